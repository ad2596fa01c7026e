// rip, convert and analyze.
#include "cli/cli_commands.h"
int commandRip(const CliArguments&) {
    return failure("'rip' is not ready yet");
}
int commandConvert(const CliArguments&) {
    return failure("'convert' is not ready yet");
}
int commandAnalyze(const CliArguments&) {
    return failure("'analyze' is not ready yet");
}
