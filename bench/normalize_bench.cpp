// Ripping with normalisation: a generated CUE/BIN image in a virtual drive (74 minutes by
// default, a full disc), every track to a 16-bit WAV file, as × realtime, with the most
// temporary disk space the normalize filters held at once. Rows: no normalisation (the
// baseline), ReplayGain "Modify Audio" file by file and as an album, and ReplayGain
// "Store Meta data" (the disc's samples stored unchanged). Wall-clock and processor time
// both, as the machine may be shared.
//
//   normalize_bench [minutes] [rounds]     (defaults: 74 minutes, best of 1)
#include "bench_batch.h"
#include "filters/normalize_filter.h"
#include "job/batch_runner.h"
#include "platform/temp_file.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    const uint32_t minutes = argc > 1 ? uint32_t(std::atoi(argv[1])) : 74;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;
    BenchDisc bench("normalize_bench", minutes);
    if (!bench) return 1;
    RipSettings& settings = bench.settings;
    DiscInfo& disc = bench.disc;
    kyDskReader* reader = bench.reader.get();
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
        double best = 1e30, bestCpu = 1e30;
        uint64_t peak = 0;
        for (int r = 0; r < rounds; ++r) {
            QuietFrontend fe;
            kyBatchRunner runner(settings, disc, *reader, fe);
            kyTempFile::resetPeak();
            auto t0 = std::chrono::steady_clock::now();
            const double cpu0 = processSeconds();
            runner.Run();
            best = std::min(
                best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
            bestCpu = std::min(bestCpu, processSeconds() - cpu0);
            peak = std::max(peak, kyTempFile::peakBytesInUse());
            if (runner.result().successes != runner.result().fileCount) return 1;
        }
        std::printf("  %-30s %8.3f s %7.1f x realtime (processor: %6.1f x)  temporary files "
                    "at most %6.1f MB\n",
                    row.name, best, audioSeconds / best, audioSeconds / bestCpu, peak / 1e6);
    }
    return 0;
}
