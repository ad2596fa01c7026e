#pragma once
// What the options of a run change: the stored settings they override for this run, the
// answer to an existing file, and the names given for the disc.
#include "app/rip_settings.h"
#include "cli/cli_options.h"
#include "cli/terminal_frontend.h"
#include "metadata/disc_names.h"
#include <string>

// Applies every option given that overrides a stored setting, in table order (so that
// --subformat is taken within the --format given). False with a usage message when a
// value is not one its setting takes.
bool applySettingOptions(const CliArguments& args, RipSettings& settings, std::string& error);

// --overwrite ask|replace|skip, else what bNoOverwritePrompt says. "replace" also sets
// bNoOverwritePrompt, so that --save keeps it.
bool overwritePolicy(const CliArguments& args, RipSettings& settings, OverwritePolicy& policy,
                     std::string& error);

// -q and -v: the one given last counts.
Verbosity verbosityOf(const CliArguments& args);

// The stored settings, with what loading found out (each value put back to its default,
// say) told on stderr.
void loadStoredSettings(RipSettings& settings);

// Whether any of the name options below was given.
bool nameOptionsGiven(const CliArguments& args);
// Puts the names given into `info`, over the names it has: those of --names FILE (the
// JSON shape 'toc --json' prints, or an xmcd record, each of whose keys replaces its field),
// then --artist, --album, --year, --genre and each --title N=TEXT. False with a message
// (the file's, with the system's reason); `usage` tells whether the command line was wrong.
bool applyNameOptions(const CliArguments& args, DiscInfo& info, std::string& error, bool& usage);

// The normalisation options that do more than set one value (cli_normalize_options.cpp):
// --normalize TYPE / --no-normalize (another type starts from its own target and mode),
// --target VALUE[UNIT] (read in the unit of the type), --album-gain / --no-album-gain.
bool applyNormalizeType(RipSettings& settings, bool opposite, const std::string& value,
                        std::string& error);
bool applyNormalizeTarget(RipSettings& settings, bool opposite, const std::string& value,
                          std::string& error);
bool applyAlbumGain(RipSettings& settings, bool opposite, const std::string& value,
                    std::string& error);

// --id3v2, --id3v1 and --ape-tag (and their opposites) set the tags of the output format's
// own stream: MP3, MP2 or AAC; false with a message for any other format.
bool applyId3v2Tag(RipSettings& settings, bool opposite, const std::string& value,
                   std::string& error);
bool applyId3v1Tag(RipSettings& settings, bool opposite, const std::string& value,
                   std::string& error);
bool applyApeTag(RipSettings& settings, bool opposite, const std::string& value,
                 std::string& error);
