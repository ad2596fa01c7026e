#pragma once
// Choosing the drive a command works on: a real drive by number, a virtual drive over a
// CUE sheet, or the built-in demo disc.
#include "cd/dsk_reader.h"
#include "cli/cli_options.h"
#include "metadata/disc_info.h"
#include <memory>
#include <string>

struct CliDisc {
    std::unique_ptr<kyDskReader> reader;
    int32_t driveNumber = -1;
    std::shared_ptr<class kyDiscImage> image; // virtual drives only
    bool demo = false;
};

// Registers the virtual drive the options ask for (--image, --demo, --faults), then makes
// the CD source. With `open`, opens the chosen drive: --drive N, the virtual drive, or
// `defaultDrive`. False with a message when anything fails; `usage` tells whether the
// failure is a usage error.
bool openCliDisc(const CliArguments& args, int32_t defaultDrive, bool open, CliDisc& disc,
                 std::string& error, bool& usage);

// With --verbose: the device nodes the drive methods passed over, and why, on stderr.
void reportSkippedDevices(const CliArguments& args, const CliDisc& disc);

// The disc record of the open disc: its rows from the table of contents and the names a
// virtual disc comes with.
void discRecordOf(const CliDisc& disc, DiscInfo& info);
// The same with the names of --names and the name options over them.
// False with a message; `usage` tells whether the command line was wrong.
bool discRecordFor(const CliArguments& args, const CliDisc& disc, DiscInfo& info,
                   std::string& error, bool& usage);
