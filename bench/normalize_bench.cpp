// Ripping with normalisation: a generated CUE/BIN image in a virtual drive (74 minutes by
// default, a full disc), every track to a 16-bit WAV file, as × realtime, with the most
// temporary disk space the normalize filters held at once. Rows: no normalisation (the
// baseline), ReplayGain "Modify Audio" file by file and as an album, and ReplayGain
// "Store Meta data" (the disc's samples stored unchanged).
//
//   normalize_bench [minutes] [rounds]     (defaults: 74 minutes, best of 1)
#include "app/rip_settings.h"
#include "cd/dsk_reader.h"
#include "cd/virtual_drive.h"
#include "filters/normalize_filter.h"
#include "job/batch_runner.h"
#include "metadata/disc_info.h"
#include "platform/temp_file.h"
#include "quiet_frontend.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    const uint32_t minutes = argc > 1 ? uint32_t(std::atoi(argv[1])) : 74;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;
    std::string tmpl = (fs::temp_directory_path() / "normalize_bench_XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) return 1;
    const fs::path dir = tmpl;
    std::string error;
    const std::string cue = kyWriteTestImage(dir.string(), minutes, error);
    auto image =
        cue.empty() ? nullptr : std::shared_ptr<kyDiscImage>(kyDiscImage::LoadCue(cue, error));
    if (!image || kyAddVirtualDrive(image, "", error) < 0) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    kyDskReader reader;
    RipSettings settings;
    for (uint32_t i = 0; i < reader.DriveCount(); ++i)
        if (reader.DriveRecord(i)->devicePath == "virtual0") settings.iDevice = int32_t(i);
    if (!reader.OpenDrive(uint32_t(settings.iDevice))) return 1;
    DiscInfo disc;
    disc.makeRows(reader.Toc());
    settings.szOutDir = (dir / "out").string() + "/";
    settings.bNoOverwritePrompt = true;
    settings.bEjectWhenDone = false;
    settings.eNormalizeType = KYNORM_REPLAYGAIN;
    settings.fNormalizeTarget = 89.0f;
    const double audioSeconds = minutes * 60.0;

    std::printf("normalisation: %u min image, %zu tracks, to 16-bit WAV (best of %d; shared "
                "machine)\n",
                minutes, disc.tracks.size(), rounds);
    struct Row {
        const char* name;
        bool normalize, meta, album;
    } rows[] = {{"no normalisation", false, false, false},
                {"ReplayGain, modify, per file", true, false, false},
                {"ReplayGain, modify, album", true, false, true},
                {"ReplayGain, store meta data", true, true, false}};
    for (const Row& row : rows) {
        settings.bNormalize = row.normalize;
        settings.bNormalizeMeta = row.meta;
        settings.bNormalizeAlbum = row.album;
        double best = 1e30;
        uint64_t peak = 0;
        for (int r = 0; r < rounds; ++r) {
            QuietFrontend fe;
            kyBatchRunner runner(settings, disc, reader, fe);
            kyTempFile::resetPeak();
            auto t0 = std::chrono::steady_clock::now();
            runner.Run();
            best = std::min(
                best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
            peak = std::max(peak, kyTempFile::peakBytesInUse());
            if (runner.result().successes != runner.result().fileCount) return 1;
        }
        std::printf("  %-30s %8.3f s  %7.1f x realtime  temporary files at most %7.1f MB\n",
                    row.name, best, audioSeconds / best, peak / 1e6);
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
