#pragma once
// Disc names from gnudb on the command line: the options that reach the database, the
// e-mail address it requires, and the look-up that names a rip.
#include "app/rip_settings.h"
#include "cd/disc_toc.h"
#include "cli/cli_options.h"
#include "metadata/disc_info.h"
#include "platform/http_client.h"

#include <string>
#include <vector>

// --server URL, --proxy URL, --no-proxy, --email ADDRESS, --timeout SECONDS.
extern const std::vector<CliOptionSpec> kFreedbOptions;
// rip's --lookup, --no-lookup and --match N, with the options above.
extern const std::vector<CliOptionSpec> kRipLookupOptions;

// What the freedb options ask for this run.
struct CliFreedbRun {
    kyHttpTimeouts timeouts;
    bool emailGiven = false; // --email: stored at once
};

// Applies --server, --proxy / --no-proxy, --email and --timeout to `settings`. False with
// a usage message when a value is not usable.
bool applyFreedbOptions(const CliArguments& args, RipSettings& settings, CliFreedbRun& run,
                        std::string& error);

// Makes sure an e-mail address is set: one given with --email is stored; without one, a
// terminal user is asked for it and it is stored; otherwise false with the reason.
bool ensureEmail(RipSettings& settings, const CliFreedbRun& run, std::string& error);

// For rip: looks the disc up when --lookup or --match asks or, without --no-lookup, when
// an e-mail address is set and the disc is not the demo disc (which has its names), and
// copies the names it finds into `info`. A database that cannot be reached only costs the
// names (with a warning). Returns kExitOk to go on, else the exit code and the message
// (several matches and no way to choose, a bad --match, no e-mail address, cancelled).
int lookUpForRip(const CliArguments& args, RipSettings& settings, const CliFreedbRun& run,
                 const kyDiscToc& toc, bool demo, DiscInfo& info, std::string& message);
