// A 74-minute CUE/BIN image ripped by dskr-cli to Shorten and to Musepack (our own
// encoders), beside flac -5, flac -0 and mpcenc --standard encoding the same PCM from WAV
// files (the image's tracks, ripped first) in the same run. Wall and processor time of
// whole commands, best of N runs (argument 1, default 1), the speed as a multiple of real
// time, and the size of what each made.
#include "bench_commands.h"
#include <vector>

namespace fs = std::filesystem;
using bench::CommandTime;
using bench::quote;

namespace {
uint64_t sizeOf(const fs::path& dir, const char* extension) {
    uint64_t total = 0;
    if (!fs::exists(dir)) return 0;
    for (auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file() && e.path().extension() == extension) total += e.file_size();
    return total;
}
} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
    const fs::path cli = fs::path(DSKR_BINARY_DIR) / "bin" / "dskr-cli";
    fs::path dir;
    std::string cue;
    if (!bench::makeBenchImage("dskr-shn-mpc-bench", dir, cue)) return 1;
    const double seconds = bench::kImageMinutes * 60;
    std::string dskr, wavs;
    if (!bench::prepareRipBench(cli, dir, cue, dskr, wavs)) return 1;

    struct Row {
        const char* name;
        std::string command;
        fs::path out;
        const char* extension;
        CommandTime best;
        bool ok = true;
    };
    const bool flac = bench::haveTool("flac"), mpcenc = bench::haveTool("mpcenc");
    auto flacRow = [&](const char* level, const char* sub) {
        return flac ? "mkdir -p " + quote(dir / sub) + " && flac " + level +
                          " -s -f --output-prefix=" + quote(dir / sub) + "/" + wavs +
                          " >/dev/null 2>&1"
                    : std::string();
    };
    std::string mpcencAll;
    if (mpcenc) {
        mpcencAll = "mkdir -p " + quote(dir / "peer-mpc");
        int n = 0;
        for (auto& e : fs::recursive_directory_iterator(dir / "wav"))
            if (e.path().extension() == ".wav")
                mpcencAll += " && mpcenc --silent --overwrite --standard " + quote(e.path()) + " " +
                             quote(dir / "peer-mpc" / (std::to_string(n++) + ".mpc"));
        mpcencAll += " >/dev/null 2>&1";
    }
    std::vector<Row> rows = {
        {"dskr-cli rip --format shn",
         dskr + quote(dir / "shn") + " --format shn",
         dir / "shn",
         ".shn",
         {}},
        {"flac -5", flacRow("-5", "peer-flac5"), dir / "peer-flac5", ".flac", {}},
        {"flac -0", flacRow("-0", "peer-flac0"), dir / "peer-flac0", ".flac", {}},
        {"dskr-cli rip --format mpc",
         dskr + quote(dir / "mpc") + " --format mpc",
         dir / "mpc",
         ".mpc",
         {}},
        {"mpcenc --standard", mpcencAll, dir / "peer-mpc", ".mpc", {}},
    };
    for (int r = 0; r < runs; ++r)
        for (Row& row : rows)
            if (!row.command.empty() && row.ok) {
                CommandTime t;
                row.ok = bench::timeCommand(row.command, t);
                row.best.keepBest(t);
            }

    const uint64_t pcm = sizeOf(dir / "wav", ".wav");
    std::printf("74-minute CUE/BIN, best of %d (wall and processor time); WAV files %.1f MB\n",
                runs, pcm / 1e6);
    for (const Row& row : rows)
        if (!row.command.empty() && row.ok && row.best.measured()) {
            const uint64_t size = sizeOf(row.out, row.extension);
            std::printf("  %-28s %7.2f s wall %7.2f s cpu %6.0fx realtime  %8.1f MB (%.1f%%, "
                        "%.0f kbit/s)\n",
                        row.name, row.best.wall, row.best.cpu, seconds / row.best.wall, size / 1e6,
                        100.0 * size / std::max<uint64_t>(pcm, 1), size * 8 / seconds / 1000);
        }
    fs::remove_all(dir);
    return 0;
}
