#include "cli/cli_options.h"

#include "app/settings_table.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace {

const CliOption* findLong(const std::vector<const CliOption*>& options, std::string_view name,
                          bool& opposite) {
    for (const CliOption* o : options) {
        if (name == o->name) {
            opposite = false;
            return o;
        }
        if (o->opposite && name == o->opposite) {
            opposite = true;
            return o;
        }
    }
    return nullptr;
}

const CliOption* findShort(const std::vector<const CliOption*>& options, char c) {
    for (const CliOption* o : options)
        if (o->shortName == c) return o;
    return nullptr;
}

std::string unknownOption(const std::string& word, const CliCommand& command,
                          const std::vector<const CliOption*>& options) {
    std::string message = "unknown option '" + word + "' for '" + command.name + "'";
    if (word.size() > 2 && word.compare(0, 2, "--") == 0) {
        std::vector<std::string> names;
        for (const CliOption* o : options) {
            names.push_back(o->name);
            if (o->opposite) names.push_back(o->opposite);
        }
        const std::string near = closestWord(word.substr(2), names);
        if (!near.empty()) message += " (did you mean '--" + near + "'?)";
    }
    return message;
}

} // namespace

const CliCommand* findCliCommand(std::string_view name) {
    for (const CliCommand& c : cliCommands())
        if (name == c.name) return &c;
    return nullptr;
}

std::vector<const CliOption*> cliOptionsOf(const CliCommand& command) {
    std::vector<const CliOption*> list;
    for (const CliOption& o : cliOptions())
        if (o.commands & command.bit) list.push_back(&o);
    return list;
}

const CliArguments::Given* CliArguments::last(std::string_view name) const {
    for (auto it = given.rbegin(); it != given.rend(); ++it)
        if (name == it->option->name) return &*it;
    return nullptr;
}

bool CliArguments::has(std::string_view name) const {
    const Given* g = last(name);
    return g && !g->opposite;
}

std::optional<std::string> CliArguments::get(std::string_view name) const {
    const Given* g = last(name);
    if (!g || g->opposite) return std::nullopt;
    return g->value;
}

std::vector<std::string> CliArguments::all(std::string_view name) const {
    std::vector<std::string> values;
    for (const Given& g : given)
        if (name == g.option->name && !g.opposite) values.push_back(g.value);
    return values;
}

bool parseCliArguments(int argc, char** argv, int first, const CliCommand& command,
                       CliArguments& out, std::string& error) {
    out = CliArguments{};
    out.command = &command;
    const std::vector<const CliOption*> options = cliOptionsOf(command);
    auto take = [&](const CliOption* o, bool opposite, std::string value) {
        if (o->name == std::string_view("help")) out.help = true;
        out.given.push_back({o, opposite, std::move(value)});
    };
    bool optionsEnded = false;
    for (int i = first; i < argc; ++i) {
        const std::string word = argv[i];
        // No short option is a digit: "-23.5" is a negative number, given as it is.
        const bool number = word.size() >= 2 && word[0] == '-' &&
                            (std::isdigit(static_cast<unsigned char>(word[1])) || word[1] == '.');
        if (optionsEnded || word.size() < 2 || word[0] != '-' || number) {
            out.positional.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        if (word[1] == '-') {
            // --name, --name=VALUE or --name VALUE
            std::string name = word.substr(2), value;
            bool inlineValue = false;
            if (auto eq = name.find('='); eq != std::string::npos) {
                value = name.substr(eq + 1);
                name.resize(eq);
                inlineValue = true;
            }
            bool opposite = false;
            const CliOption* o = findLong(options, name, opposite);
            if (!o) {
                error = unknownOption("--" + name, command, options);
                return false;
            }
            const bool takesValue = o->argument && !opposite;
            if (takesValue && !inlineValue) {
                if (i + 1 >= argc) {
                    error = "option '--" + name + "' needs a value (" + o->argument + ")";
                    return false;
                }
                value = argv[++i];
            } else if (!takesValue && inlineValue) {
                error = "option '--" + name + "' takes no value";
                return false;
            }
            take(o, opposite, std::move(value));
            continue;
        }
        // -q, -qv (switches together), -o DIR, -oDIR
        for (size_t k = 1; k < word.size(); ++k) {
            const CliOption* o = findShort(options, word[k]);
            if (!o) {
                error = unknownOption(std::string("-") + word[k], command, options);
                return false;
            }
            if (!o->argument) {
                take(o, false, {});
                continue;
            }
            std::string value = word.substr(k + 1);
            if (value.empty()) {
                if (i + 1 >= argc) {
                    error = std::string("option '-") + word[k] + "' needs a value (" + o->argument +
                            ")";
                    return false;
                }
                value = argv[++i];
            }
            take(o, false, std::move(value));
            break;
        }
    }
    return true;
}

bool parseTrackList(const std::string& text, std::vector<int>& tracks) {
    std::set<int> set;
    size_t pos = 0;
    while (pos <= text.size()) {
        const size_t comma = text.find(',', pos);
        const std::string item =
            text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        long long a, b;
        if (auto dash = item.find('-'); dash != std::string::npos) {
            if (!kyParseInteger(item.substr(0, dash), 1, 99, a) ||
                !kyParseInteger(item.substr(dash + 1), 1, 99, b) || b < a)
                return false;
        } else {
            if (!kyParseInteger(item, 1, 99, a)) return false;
            b = a;
        }
        for (long long t = a; t <= b; ++t) set.insert(static_cast<int>(t));
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    tracks.assign(set.begin(), set.end());
    return !tracks.empty();
}

std::string closestWord(std::string_view word, const std::vector<std::string>& candidates) {
    // Edit distance with swapped neighbours counting as one edit; a typo is at most about a
    // third of the word away.
    auto distance = [](std::string_view a, std::string_view b) {
        std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
        for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
        for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
        for (size_t i = 1; i <= a.size(); ++i)
            for (size_t j = 1; j <= b.size(); ++j) {
                d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                    d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
                if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                    d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        return d[a.size()][b.size()];
    };
    std::string best;
    size_t bestDistance = (word.size() + 2) / 3 + 1;
    for (const std::string& c : candidates) {
        const size_t d = distance(word, c);
        if (d < bestDistance) {
            bestDistance = d;
            best = c;
        }
    }
    return best;
}
