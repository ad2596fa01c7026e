#include "cli/cli_options.h"
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>

bool parseCliArguments(int argc, char** argv, const std::vector<CliOptionSpec>& allowed,
                       CliArguments& out, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        // Short forms of a few long options.
        if (word == "-j") word = "--jobs";
        if (word.size() > 2 && word.compare(0, 2, "--") == 0) {
            std::string value;
            bool inlineValue = false;
            if (auto eq = word.find('='); eq != std::string::npos) {
                value = word.substr(eq + 1);
                word = word.substr(0, eq);
                inlineValue = true;
            }
            const CliOptionSpec* spec = nullptr;
            for (const auto& s : allowed)
                if (word == s.name) spec = &s;
            if (!spec) {
                error = "unknown option '" + word + "'" +
                        (out.command.empty() ? "" : " for '" + out.command + "'");
                return false;
            }
            if (spec->takesValue && !inlineValue) {
                if (i + 1 >= argc) {
                    error = "option '" + word + "' needs a value";
                    return false;
                }
                value = argv[++i];
            } else if (!spec->takesValue && inlineValue) {
                error = "option '" + word + "' takes no value";
                return false;
            }
            out.options[word] = value;
        } else if (out.command.empty()) {
            out.command = word;
        } else {
            out.positional.push_back(word);
        }
    }
    return true;
}

bool parseInteger(const std::string& text, long lo, long hi, long& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno || !end || *end || v < lo || v > hi) return false;
    value = v;
    return true;
}

bool parseDecimal(const std::string& text, double lo, double hi, double& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno || !end || *end || !std::isfinite(v) || v < lo || v > hi) return false;
    value = v;
    return true;
}

bool parseTrackList(const std::string& text, std::vector<int>& tracks) {
    std::set<int> set;
    size_t pos = 0;
    while (pos <= text.size()) {
        const size_t comma = text.find(',', pos);
        const std::string item =
            text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        long a, b;
        if (auto dash = item.find('-'); dash != std::string::npos) {
            if (!parseInteger(item.substr(0, dash), 1, 99, a) ||
                !parseInteger(item.substr(dash + 1), 1, 99, b) || b < a)
                return false;
        } else {
            if (!parseInteger(item, 1, 99, a)) return false;
            b = a;
        }
        for (long t = a; t <= b; ++t) set.insert(static_cast<int>(t));
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    tracks.assign(set.begin(), set.end());
    return !tracks.empty();
}
