#pragma once
// Command-line parsing for dskr-cli: a command word, options and positional arguments.
#include <map>
#include <optional>
#include <string>
#include <vector>

struct CliArguments {
    std::string command;
    std::map<std::string, std::string> options; // "--out" -> "DIR"; flags map to ""
    std::vector<std::string> positional;

    bool has(const std::string& name) const { return options.count(name) != 0; }
    std::optional<std::string> get(const std::string& name) const {
        auto it = options.find(name);
        if (it == options.end()) return std::nullopt;
        return it->second;
    }
};

struct CliOptionSpec {
    const char* name;
    bool takesValue;
};

// Parses argv against the options the command allows. On a usage error returns false and
// sets `error` to a message naming the offending word.
bool parseCliArguments(int argc, char** argv, const std::vector<CliOptionSpec>& allowed,
                       CliArguments& out, std::string& error);

// "1,3-5" -> {1,3,4,5}; false on anything else (empty items, reversed ranges, 0, > 99).
bool parseTrackList(const std::string& text, std::vector<int>& tracks);

// Whole decimal number within [lo, hi].
bool parseInteger(const std::string& text, long lo, long hi, long& value);
bool parseDecimal(const std::string& text, double lo, double hi, double& value);
