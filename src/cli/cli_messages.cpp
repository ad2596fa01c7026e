// How dskr-cli reports a failure: a line on stderr, and with --json one JSON object on
// stdout as well.
#include "cli/cli_commands.h"
#include "cli/json_writer.h"
#include <cstdio>

bool g_jsonErrors = false;
const CliCommand* g_currentCommand = nullptr;

namespace {
void printJsonError(const std::string& message) {
    if (!g_jsonErrors) return;
    JsonWriter json;
    json.beginObject().key("error").value(message).endObject();
    std::printf("%s\n", json.str().c_str());
    std::fflush(stdout);
    g_jsonErrors = false; // one object per run
}
} // namespace

int usageError(const std::string& message) {
    const std::string command =
        g_currentCommand ? std::string(g_currentCommand->name) + " " : std::string();
    std::fprintf(stderr, "dskr-cli: %s\nTry 'dskr-cli %s--help'.\n", message.c_str(),
                 command.c_str());
    printJsonError(message);
    return kExitUsage;
}

int failure(const std::string& message) {
    std::fprintf(stderr, "dskr-cli: %s\n", message.c_str());
    printJsonError(message);
    return kExitFailure;
}
