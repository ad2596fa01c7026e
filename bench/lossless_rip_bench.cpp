// A 74-minute CUE/BIN image ripped by dskr-cli to FLAC (level 5) and WavPack (normal
// mode), beside flac -5 and wavpack encoding the same PCM from WAV files (the image's
// tracks, ripped first) in the same run. Wall and processor time of whole commands, best
// of N runs (argument 1, default 3), and the speed as a multiple of real time.
#include "cd/virtual_drive.h"
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/resource.h>

namespace fs = std::filesystem;

namespace {
struct Time {
    double wall = 1e30, cpu = 1e30;
};

double childCpu() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs `command` and keeps the best wall and processor times in `best`.
bool timeCommand(const std::string& command, Time& best) {
    const double cpu0 = childCpu();
    const auto start = std::chrono::steady_clock::now();
    const int rc = std::system(command.c_str());
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (rc != 0) {
        std::fprintf(stderr, "command failed (%d): %s\n", rc, command.c_str());
        return false;
    }
    best.wall = std::min(best.wall, wall);
    best.cpu = std::min(best.cpu, childCpu() - cpu0);
    return true;
}

std::string quote(const fs::path& p) {
    return "'" + p.string() + "'";
}

bool have(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}
} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const fs::path cli = fs::path(DSKR_BINARY_DIR) / "bin" / "dskr-cli";
    char tmpl[] = "/tmp/dskr-lossless-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const fs::path dir = tmpl;
    std::string error;
    const std::string cue = kyWriteTestImage(dir.string(), 74, error);
    if (cue.empty()) {
        std::fprintf(stderr, "cannot write the test image: %s\n", error.c_str());
        return 1;
    }
    const double seconds = 74 * 60;
    // Settings of their own, so that a user's stored ones do not change what is measured.
    const std::string dskr = "XDG_CONFIG_HOME=" + quote(dir / "config") + " " + quote(cli) +
                             " rip --image " + quote(cue) + " --mode burst --overwrite replace" +
                             " --json </dev/null >/dev/null 2>&1 --out ";
    // The same PCM as WAV files, one per track, for the peers.
    Time unused;
    if (!timeCommand(dskr + quote(dir / "wav") + " --format wav --subformat 'PCM 16-bit'", unused))
        return 1;
    std::string wavs;
    for (auto& e : fs::recursive_directory_iterator(dir / "wav"))
        if (e.path().extension() == ".wav") wavs += " " + quote(e.path());

    struct Row {
        const char* name;
        std::string command;
        Time best;
        bool ok = true;
    };
    std::vector<Row> rows = {
        {"dskr-cli rip --format flac", dskr + quote(dir / "flac") + " --format flac", {}},
        {"flac -5", have("flac") ? "flac -5 -s -f --output-prefix=" + quote(dir / "peer") + "/" +
                                       wavs + " >/dev/null 2>&1"
                                 : "",
         {}},
        {"dskr-cli rip --format wv", dskr + quote(dir / "wv") + " --format wv", {}},
        {"wavpack", have("wavpack") ? "cd " + quote(dir / "wav") + " && wavpack -q -y " + wavs +
                                          " >/dev/null 2>&1 && find . -name '*.wv' -delete"
                                    : "",
         {}},
    };
    fs::create_directories(dir / "peer");
    for (int r = 0; r < runs; ++r)
        for (Row& row : rows)
            if (!row.command.empty() && row.ok) row.ok = timeCommand(row.command, row.best);

    std::printf("74-minute CUE/BIN, best of %d (wall and processor time)\n", runs);
    for (const Row& row : rows)
        if (!row.command.empty() && row.ok && row.best.wall < 1e29)
            std::printf("  %-28s %7.2f s wall %7.2f s cpu  %6.0fx realtime\n", row.name,
                        row.best.wall, row.best.cpu, seconds / row.best.wall);
    auto ratio = [&](size_t ours, size_t peer) {
        if (rows[ours].best.wall < 1e29 && rows[peer].best.wall < 1e29)
            std::printf("  %s / %s: %.3f wall, %.3f cpu\n", rows[ours].name, rows[peer].name,
                        rows[ours].best.wall / rows[peer].best.wall,
                        rows[ours].best.cpu / rows[peer].best.cpu);
    };
    ratio(0, 1);
    ratio(2, 3);
    fs::remove_all(dir);
    return 0;
}
