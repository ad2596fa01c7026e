// dskr-cli ripping a 74-minute CUE/BIN image to WAV files in burst mode, beside
// cd-paranoia -B -d ripping the same image in the same run. Wall time of whole commands,
// best of N runs (argument 1, default 3), as a user would see it.
#include "bench_commands.h"

namespace fs = std::filesystem;
using bench::quote;

namespace {
// The wall time of a command, or -1 when it failed.
double timeCommand(const std::string& command) {
    bench::CommandTime t;
    return bench::timeCommand(command, t) ? t.wall : -1;
}
} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const fs::path cli = fs::path(DSKR_BINARY_DIR) / "bin" / "dskr-cli";
    fs::path dir;
    std::string cue;
    if (!bench::makeBenchImage("dskr-cli-bench", dir, cue)) return 1;
    const double seconds = bench::kImageMinutes * 60;
    const bool paranoia = bench::haveTool("cd-paranoia");
    double best[3] = {1e30, 1e30, 1e30};
    for (int r = 0; r < runs; ++r) {
        fs::remove_all(dir / "rips");
        fs::remove_all(dir / "paranoia");
        fs::create_directories(dir / "paranoia");
        // Settings of their own, so that a user's stored ones do not change what is measured.
        const std::string ours = "XDG_CONFIG_HOME=" + quote(dir / "config") + " " + quote(cli) +
                                 " rip --image " + quote(cue) + " --mode burst --format wav" +
                                 " --subformat 'PCM 16-bit' --out " + quote(dir / "rips") +
                                 " --overwrite replace --json </dev/null >/dev/null 2>&1";
        if (double s = timeCommand(ours); s > 0) best[0] = std::min(best[0], s);
        if (paranoia) {
            const std::string base = "cd " + quote(dir / "paranoia") + " && cd-paranoia -q ";
            if (double s = timeCommand(base + "-B -d " + quote(cue) + " >/dev/null 2>&1"); s > 0)
                best[1] = std::min(best[1], s);
            fs::remove_all(dir / "paranoia");
            fs::create_directories(dir / "paranoia");
            if (double s = timeCommand(base + "-Z -B -d " + quote(cue) + " >/dev/null 2>&1"); s > 0)
                best[2] = std::min(best[2], s);
        }
    }
    std::printf("74-minute CUE/BIN to WAV, wall time, best of %d\n", runs);
    const char* names[] = {"dskr-cli rip --mode burst", "cd-paranoia -B -d",
                           "cd-paranoia -Z -B -d"};
    for (int i = 0; i < 3; ++i)
        if (best[i] < 1e29)
            std::printf("  %-28s %7.2f s  %7.0fx realtime\n", names[i], best[i], seconds / best[i]);
    if (best[0] < 1e29 && best[1] < 1e29)
        std::printf("  dskr-cli / cd-paranoia -B -d wall time: %.2f\n", best[0] / best[1]);
    fs::remove_all(dir);
    return 0;
}
