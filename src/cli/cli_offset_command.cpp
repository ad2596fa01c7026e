// offset: the drive's read offset, found with a disc the AccurateRip database knows.
#include "cli/cli_commands.h"
#include "cli/cli_drive.h"
#include "cli/cli_run_options.h"
#include "cli/json_writer.h"
#include "job/accuraterip_check.h"
#include "job/offset_finder.h"

#include <cstdio>

int commandOffset(const CliArguments& args) {
    if (!args.positional.empty()) return usageError("'offset' takes no file names");
    RipSettings settings;
    loadStoredSettings(settings);
    std::string error;
    if (!applySettingOptions(args, settings, error)) return usageError(error);
    CliDisc disc;
    bool usage;
    if (!openCliDisc(args, settings.iDevice, true, disc, error, usage))
        return usage ? usageError(error) : failure(error);
    settings.bAccurateRip = true;
    std::fprintf(stderr, "Asking the AccurateRip database...\n");
    const kyAccurateRipRecord record = kyLookUpAccurateRip(settings, disc.reader->Toc());
    std::fprintf(stderr, "Reading around frame 450 of the first tracks...\n");
    const kyOffsetFinding f = kyFindReadOffset(*disc.reader, record);
    const kyDriveRecord* drive = disc.reader->DriveRecord(static_cast<uint32_t>(disc.driveNumber));

    bool saved = false;
    if (f.found && args.has("save")) {
        if (!drive || readOffsetKey(drive->vendorProduct).empty())
            return failure("the drive does not tell its name, so its offset cannot be kept");
        setReadOffset(settings, drive->vendorProduct, f.offset);
        if (!saveSettings(settings)) return failure("the settings could not be saved");
        saved = true;
    }
    if (args.has("json")) {
        JsonWriter out;
        out.beginObject().key("drive").value(drive ? drive->vendorProduct : "");
        out.key("found").value(f.found).key("offset");
        if (f.found)
            out.value(f.offset);
        else
            out.null();
        out.key("tracks").value(f.tracks).key("pressings").value(f.pressings);
        out.key("tracks_read").value(f.tracksTried).key("saved").value(saved);
        out.key("message").value(f.found ? std::string() : f.message).endObject();
        std::printf("%s\n", out.str().c_str());
    } else if (f.found) {
        std::printf("Read offset %s%d samples: %d of %d tracks read and %d pressing(s) agree%s\n",
                    f.offset > 0 ? "+" : "", f.offset, f.tracks, f.tracksTried, f.pressings,
                    saved ? "; kept for the drive" : "");
    } else {
        std::printf("No read offset found: %s\n", f.message.c_str());
    }
    return f.found ? kExitOk : kExitFailure;
}
