#pragma once
// The run options of rip and convert, each overriding one stored setting for this run.
#include "app/rip_settings.h"
#include "cli/cli_options.h"
#include "cli/terminal_frontend.h"
#include <string>

// The stored settings, with what loading found out told on stderr.
void loadStoredSettings(RipSettings& settings);

// Applies the options to `settings`. False with a usage message when an option's value is
// not one the setting takes.
bool applyRunOptions(const CliArguments& args, RipSettings& settings, OverwritePolicy& policy,
                     std::string& error);

// The normalisation options alone (part of applyRunOptions): --normalize TYPE,
// --no-normalize, --target VALUE[UNIT], --meta/--modify, --album-gain/--no-album-gain,
// --never-clip/--allow-clip.
bool applyNormalizeOptions(const CliArguments& args, RipSettings& settings, std::string& error);

// The AccurateRip options alone (part of applyRunOptions): --accuraterip-server URL and
// --accuraterip-timeout SECONDS.
bool applyAccurateRipOptions(const CliArguments& args, RipSettings& settings, std::string& error);

// The catalogue display name for what a user typed: a display name (any letter case) or a
// short alias (wav, bwf, aiff, caf, flac, mp3, m4a, ...). Empty when nothing matches.
std::string resolveFormatName(const std::string& text);
