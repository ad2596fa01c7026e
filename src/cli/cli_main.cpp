// dskr-cli: DskR on the command line. It drives the same core and batch runner as the
// desktop wizard and reads the same settings store.
#include "cli/cli_commands.h"
#include "cli/cli_help.h"
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], "--json") == 0) g_jsonErrors = true;
    if (argc < 2) {
        std::fputs(cliUsageText().c_str(), stderr);
        return kExitUsage;
    }
    const std::string first = argv[1];
    if (first == "--help" || first == "-h") {
        std::fputs(cliUsageText().c_str(), stdout);
        return kExitOk;
    }
    if (first == "--version") {
        std::fputs(cliVersionText().c_str(), stdout);
        return kExitOk;
    }
    const CliCommand* command = findCliCommand(first);
    if (!command) {
        std::vector<std::string> names;
        for (const CliCommand& c : cliCommands()) names.push_back(c.name);
        const std::string near = closestWord(first, names);
        return usageError("unknown command '" + first + "'" +
                          (near.empty() ? "" : " (did you mean '" + near + "'?)"));
    }
    g_currentCommand = command;
    CliArguments args;
    std::string error;
    const bool parsed = parseCliArguments(argc, argv, 2, *command, args, error);
    // Help is what was asked for, whatever else the line holds (even a word it does not
    // understand).
    bool help = args.help;
    for (int i = 2; !parsed && i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        help |= std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0;
    if (help) {
        std::fputs(cliCommandHelp(*command).c_str(), stdout);
        return kExitOk;
    }
    if (!parsed) return usageError(error);
    return command->run(args);
}
