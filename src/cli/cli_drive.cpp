#include "cli/cli_drive.h"
#include "app/settings_table.h"
#include "cd/virtual_drive.h"
#include "cli/cli_run_options.h"
#include <cstdio>
#include <cstdlib>

void reportSkippedDevices(const CliArguments& args, const CliDisc& disc) {
    if (!args.has("verbose") || !disc.reader) return;
    for (const auto& s : disc.reader->SkippedDevices())
        std::fprintf(stderr, "skipped %s: %s\n", s.devicePath.c_str(), s.reason.c_str());
}

bool openCliDisc(const CliArguments& args, int32_t defaultDrive, bool open, CliDisc& disc,
                 std::string& error, bool& usage) {
    usage = false;
    const int sources = args.has("drive") + args.has("image") + args.has("demo");
    if (sources > 1) {
        error = "choose one of --drive, --image and --demo";
        usage = true;
        return false;
    }
    if (args.has("faults") && !args.has("image") && !args.has("demo")) {
        error = "--faults works on a virtual drive: add --image FILE.cue or --demo";
        usage = true;
        return false;
    }
    long long number = defaultDrive;
    if (auto d = args.get("drive")) {
        if (!kyParseInteger(*d, 0, 255, number)) {
            error = "--drive takes a drive number (see 'dskr-cli drives')";
            usage = true;
            return false;
        }
    }
    int virtualIndex = -1;
    if (args.has("image") || args.has("demo")) {
        std::shared_ptr<kyDiscImage> image;
        if (auto path = args.get("image")) {
            std::string why;
            image = kyDiscImage::LoadCue(*path, why);
            if (!image) {
                error = why; // names the sheet and the line
                return false;
            }
        } else {
            image = kyDiscImage::Demo();
            disc.demo = true;
        }
        std::string why;
        virtualIndex = kyAddVirtualDrive(image, args.get("faults").value_or(""), why);
        if (virtualIndex < 0) {
            error = "--faults: " + why;
            usage = true;
            return false;
        }
        disc.image = image;
    }
    disc.reader = std::make_unique<kyDskReader>();
    if (!open) return true;
    if (virtualIndex >= 0) {
        const std::string device = "virtual" + std::to_string(virtualIndex);
        number = -1;
        for (uint32_t n = 0; n < disc.reader->DriveCount(); ++n)
            if (const kyDriveRecord* r = disc.reader->DriveRecord(n); r && r->devicePath == device)
                number = n;
    }
    if (kyFailed(disc.reader->ConstructionResult()) || disc.reader->DriveCount() == 0) {
        error = "no CD drive found (try --demo, or --image FILE.cue for a disc image)";
        return false;
    }
    if (number < 0 || static_cast<uint32_t>(number) >= disc.reader->DriveCount()) {
        error = "there is no drive " + std::to_string(number) + " (see 'dskr-cli drives')";
        usage = args.has("drive");
        return false;
    }
    if (!disc.reader->OpenDrive(static_cast<uint32_t>(number))) {
        const kyDriveRecord* r = disc.reader->DriveRecord(static_cast<uint32_t>(number));
        error = "cannot read the disc in " + (r ? r->displayName : std::to_string(number)) +
                " (no disc, or not an audio CD)";
        return false;
    }
    disc.driveNumber = static_cast<int32_t>(number);
    return true;
}

void discRecordOf(const CliDisc& disc, DiscInfo& info) {
    info = DiscInfo{};
    info.makeRows(disc.reader->Toc());
    // The demo disc comes with names of its own.
    if (disc.image && disc.image->Record()) applyDiscRecord(*disc.image->Record(), info);
}

bool discRecordFor(const CliArguments& args, const CliDisc& disc, DiscInfo& info,
                   std::string& error, bool& usage) {
    discRecordOf(disc, info);
    return applyNameOptions(args, info, error, usage);
}
