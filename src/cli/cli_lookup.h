#pragma once
// Disc names on the command line: the options that reach the databases (MusicBrainz and
// gnudb), the e-mail address gnudb requires, and the look-up that names a rip.
#include "app/rip_settings.h"
#include "cd/disc_layout.h"
#include "cd/disc_toc.h"
#include "cli/cli_options.h"
#include "metadata/disc_info.h"
#include "platform/http_client.h"

#include <string>
#include <vector>

// What the freedb options ask for this run.
struct CliFreedbRun {
    kyHttpTimeouts timeouts;
    bool emailGiven = false; // --email: stored at once
    std::string releaseId;   // --release: name the disc from this MusicBrainz release
};

// Applies --server, --proxy / --no-proxy, --email, --timeout, --mb-server,
// --cover-art-server, --lookup-order, --cover-art / --no-cover-art and --release to
// `settings` and `run`. False with a usage message when a value is not usable.
bool applyFreedbOptions(const CliArguments& args, RipSettings& settings, CliFreedbRun& run,
                        std::string& error);

// Makes sure an e-mail address is set: one given with --email is stored; without one, a
// terminal user is asked for it and it is stored; otherwise false with the reason.
bool ensureEmail(RipSettings& settings, const CliFreedbRun& run, std::string& error);

// For rip: looks the disc up when --lookup, --match or --release asks or, without
// --no-lookup, when the disc is not the demo disc (which has its names) and a database can
// be asked unbidden: MusicBrainz for a real drive, gnudb once an e-mail address is set.
// Copies the names it finds into `info`, with the release's front cover when the settings
// ask for it. Without names from a database (or without asking one), the disc's CD-Text
// names it where the look-up order has "cdtext". A database that cannot be reached only costs the
// names (with a warning). Returns kExitOk to go on, else the exit code and the message (several
// matches and no way to choose, a bad --match, no e-mail address, cancelled).
int lookUpForRip(const CliArguments& args, RipSettings& settings, const CliFreedbRun& run,
                 const kyDiscToc& toc, const kyCdText& cdText, bool demo, bool image,
                 DiscInfo& info, std::string& message);
