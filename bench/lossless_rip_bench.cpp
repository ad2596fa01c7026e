// A 74-minute CUE/BIN image ripped by dskr-cli to FLAC (level 5) and WavPack (normal
// mode), beside flac -5 and wavpack encoding the same PCM from WAV files (the image's
// tracks, ripped first) in the same run. Wall and processor time of whole commands, best
// of N runs (argument 1, default 3), and the speed as a multiple of real time.
#include "bench_commands.h"
#include <vector>

namespace fs = std::filesystem;
using bench::CommandTime;
using bench::quote;

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const fs::path cli = fs::path(DSKR_BINARY_DIR) / "bin" / "dskr-cli";
    fs::path dir;
    std::string cue;
    if (!bench::makeBenchImage("dskr-lossless-bench", dir, cue)) return 1;
    const double seconds = bench::kImageMinutes * 60;
    std::string dskr, wavs;
    if (!bench::prepareRipBench(cli, dir, cue, dskr, wavs)) return 1;

    struct Row {
        const char* name;
        std::string command;
        CommandTime best;
        bool ok = true;
    };
    std::vector<Row> rows = {
        {"dskr-cli rip --format flac", dskr + quote(dir / "flac") + " --format flac", {}},
        {"flac -5",
         bench::haveTool("flac") ? "flac -5 -s -f --output-prefix=" + quote(dir / "peer") + "/" +
                                       wavs + " >/dev/null 2>&1"
                                 : "",
         {}},
        {"dskr-cli rip --format wv", dskr + quote(dir / "wv") + " --format wv", {}},
        {"wavpack",
         bench::haveTool("wavpack") ? "cd " + quote(dir / "wav") + " && wavpack -q -y " + wavs +
                                          " >/dev/null 2>&1 && find . -name '*.wv' -delete"
                                    : "",
         {}},
    };
    fs::create_directories(dir / "peer");
    for (int r = 0; r < runs; ++r)
        for (Row& row : rows)
            if (!row.command.empty() && row.ok) {
                CommandTime t;
                row.ok = bench::timeCommand(row.command, t);
                row.best.keepBest(t);
            }

    std::printf("74-minute CUE/BIN, best of %d (wall and processor time)\n", runs);
    for (const Row& row : rows)
        if (!row.command.empty() && row.ok && row.best.measured())
            std::printf("  %-28s %7.2f s wall %7.2f s cpu  %6.0fx realtime\n", row.name,
                        row.best.wall, row.best.cpu, seconds / row.best.wall);
    auto ratio = [&](size_t ours, size_t peer) {
        if (rows[ours].best.measured() && rows[peer].best.measured())
            std::printf("  %s / %s: %.3f wall, %.3f cpu\n", rows[ours].name, rows[peer].name,
                        rows[ours].best.wall / rows[peer].best.wall,
                        rows[ours].best.cpu / rows[peer].best.cpu);
    };
    ratio(0, 1);
    ratio(2, 3);
    fs::remove_all(dir);
    return 0;
}
