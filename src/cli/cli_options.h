#pragma once
// dskr-cli's commands and options, and the parsing of a command line against them.
//
// Every option of every command is one entry of one table (cli_table.cpp): its name,
// short name, opposite, argument, help text, the stored setting it overrides and the
// commands that take it. Parsing, each command's --help, the manual page and the bash
// completion are all made from that table, so they cannot disagree. An option that
// overrides a setting is applied by the settings table (app/settings_table.h), which
// knows the setting's range and words; an option without a setting is read by its
// command.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The commands, one bit each, for CliOption::commands.
enum : uint32_t {
    kCmdDrives = 1u << 0,
    kCmdFormats = 1u << 1,
    kCmdToc = 1u << 2,
    kCmdRip = 1u << 3,
    kCmdConvert = 1u << 4,
    kCmdAnalyze = 1u << 5,
    kCmdSettings = 1u << 6,
    kCmdHelp = 1u << 7,
    kCmdLookup = 1u << 8,
    kCmdSubmit = 1u << 9,
    kCmdInfo = 1u << 10,
    kCmdOffset = 1u << 11,
    kCmdPlay = 1u << 12,
    kCmdDevices = 1u << 13,
    kCmdAll = ~0u,
};

// What the shell offers for an option's argument or a command's operands.
enum class CliValue { None, Text, Number, Folder, File, CueFile, JsonFile, Words, Format, Setting };

struct RipSettings;

struct CliOption {
    const char* name;               // long name without dashes: "merge"
    char shortName = 0;             // 'o' for -o, or 0
    const char* opposite = nullptr; // the option that undoes it: "no-merge", or null
    const char* argument = nullptr; // "DIR" for an option that takes a value; null: a switch
    const char* help = nullptr;     // what it does, one sentence without a final stop
    // Value name of the stored setting it overrides for one run ("bMergeConsecutive"), or
    // null for an option its command reads itself. A switch sets the setting on and its
    // opposite sets it off; an option with a value sets the setting to the value.
    const char* setting = nullptr;
    // A stored switch the option also turns on, and its opposite off ("bResample" for
    // --resample RATE / --no-resample).
    const char* enables = nullptr;
    // Applies the option itself where setting one value is not all it does (another
    // setting depends on it, or its value needs reading of its own). Given the value typed
    // (empty for a switch) and whether the opposite was given; false with a message.
    bool (*apply)(RipSettings& settings, bool opposite, const std::string& value,
                  std::string& error) = nullptr;
    uint32_t commands = 0;           // the kCmd... bits of the commands that take it
    const char* section = "Options"; // heading it is listed under in the help
    CliValue value = CliValue::None; // what completes its argument
    const char* words = nullptr;     // CliValue::Words: "burst jitter scratch"
    bool repeatable = false;         // may be given more than once, every value counts
};

struct CliArguments;

struct CliCommand {
    const char* name;        // "rip"
    uint32_t bit;            // its kCmd... bit
    const char* operands;    // what follows the name in the synopsis: "[DRIVE] [OPTIONS]"
    const char* summary;     // one line for the list of commands
    const char* description; // what it does, for its help and the manual page
    const char* examples;    // one or more command lines, each on its own line
    CliValue positional;     // what completes its operands
    int (*run)(const CliArguments&);
};

// The two tables.
const std::vector<CliOption>& cliOptions();
const std::vector<CliCommand>& cliCommands();
const CliCommand* findCliCommand(std::string_view name);
// The options `command` takes, in table order.
std::vector<const CliOption*> cliOptionsOf(const CliCommand& command);

// A parsed command line.
struct CliArguments {
    struct Given {
        const CliOption* option;
        bool opposite; // given as its opposite (--no-merge)
        std::string value;
    };
    const CliCommand* command = nullptr;
    std::vector<Given> given; // in the order typed
    std::vector<std::string> positional;
    bool help = false; // -h or --help

    // Given, and not undone by its opposite after it.
    bool has(std::string_view name) const;
    // The value of its last occurrence (a repeatable option: see all()).
    std::optional<std::string> get(std::string_view name) const;
    std::vector<std::string> all(std::string_view name) const;
    // The last of the option and its opposite that was given, if either was.
    const Given* last(std::string_view name) const;
};

// Parses argv[first..argc) for `command`. False with a message naming the offending word.
bool parseCliArguments(int argc, char** argv, int first, const CliCommand& command,
                       CliArguments& out, std::string& error);

// "1,3-5" -> {1,3,4,5}; false on anything else (empty items, reversed ranges, 0, > 99).
bool parseTrackList(const std::string& text, std::vector<int>& tracks);

// The word of `candidates` closest to `word` when it is close enough to be a typo, else
// empty: for "did you mean" hints.
std::string closestWord(std::string_view word, const std::vector<std::string>& candidates);
