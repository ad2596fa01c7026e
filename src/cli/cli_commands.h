#pragma once
// The commands of dskr-cli. Each returns the process exit code: 0 all done, 1 a failure,
// 2 a usage error, 130 cancelled.
#include "cli/cli_options.h"
#include <string>

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCancelled = 130;

int commandDrives(const CliArguments& args);
int commandFormats(const CliArguments& args);
int commandToc(const CliArguments& args);
int commandRip(const CliArguments& args);
int commandConvert(const CliArguments& args);
int commandAnalyze(const CliArguments& args);
int commandLookup(const CliArguments& args);
int commandSubmit(const CliArguments& args);
int commandInfo(const CliArguments& args);
int commandSettings(const CliArguments& args);
int commandHelp(const CliArguments& args);

// Set when the command line asked for --json: failures are then also printed as one
// JSON object {"error": "..."} on stdout, so that a script reading it always gets one.
extern bool g_jsonErrors;
// The command being run, for the hint after a usage error; null before one is known.
extern const CliCommand* g_currentCommand;
int commandOffset(const CliArguments& args);
int commandPlay(const CliArguments& args);
int commandDevices(const CliArguments& args);

// Prints "dskr-cli: <message>" and a hint to stderr; returns kExitUsage.
int usageError(const std::string& message);
// Prints "dskr-cli: <message>" to stderr; returns kExitFailure.
int failure(const std::string& message);
