// Ripping speed of the whole batch: a generated CUE/BIN image in a virtual drive, every
// track to a WAV file, in burst and jitter-correcting mode, as × realtime. Beside it, sox
// turning the same BIN file into one WAV file: the cost of the file work alone.
//
//   batch_runner_bench [minutes] [rounds]     (defaults: 10 minutes, best of 3)
#include "bench_batch.h"
#include "job/batch_runner.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

} // namespace

int main(int argc, char** argv) {
    const uint32_t minutes = argc > 1 ? uint32_t(std::atoi(argv[1])) : 10;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    BenchDisc bench("batch_bench", minutes);
    if (!bench) return 1;
    RipSettings& settings = bench.settings;
    DiscInfo& disc = bench.disc;
    kyDskReader* reader = bench.reader.get();
    const fs::path& dir = bench.dir;
    const double audioSeconds = minutes * 60.0;

    std::printf("batch runner: %u min image, %zu tracks, to WAV (best of %d; shared machine)\n",
                minutes, disc.tracks.size(), rounds);
    for (int mode : {0, 1}) {
        settings.eMode = mode;
        double best = 1e30;
        for (int r = 0; r < rounds; ++r) {
            QuietFrontend fe;
            kyBatchRunner runner(settings, disc, *reader, fe);
            auto t0 = std::chrono::steady_clock::now();
            runner.Run();
            best = std::min(best, seconds(t0));
            if (runner.result().successes != runner.result().fileCount) return 1;
        }
        std::printf("  %-24s %7.3f s  %8.1f x realtime\n",
                    mode ? "jitter correcting mode" : "burst mode", best, audioSeconds / best);
    }

    if (std::system("command -v sox >/dev/null 2>&1") == 0) {
        const std::string cmd = "sox -t raw -r 44100 -e signed-integer -b 16 -c 2 -L \"" +
                                (dir / "DskR test image.bin").string() + "\" \"" +
                                (dir / "sox.wav").string() + "\"";
        double best = 1e30;
        for (int r = 0; r < rounds; ++r) {
            auto t0 = std::chrono::steady_clock::now();
            if (std::system(cmd.c_str()) != 0) break;
            best = std::min(best, seconds(t0));
        }
        std::printf("  %-24s %7.3f s  %8.1f x realtime\n", "sox, BIN to one WAV", best,
                    audioSeconds / best);
    }
    return 0;
}
