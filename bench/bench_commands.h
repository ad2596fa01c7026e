#pragma once
// What the command-line benchmarks share: a scratch folder with a 74-minute CUE/BIN image,
// shell quoting, and the wall and processor time of one whole command.
#include "cd/virtual_drive.h"
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/resource.h>

namespace bench {

constexpr uint32_t kImageMinutes = 74;

struct CommandTime {
    double wall = 1e30, cpu = 1e30;
    bool measured() const { return wall < 1e29; }
    void keepBest(const CommandTime& t) {
        wall = std::min(wall, t.wall);
        cpu = std::min(cpu, t.cpu);
    }
};

inline double childCpu() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs `command` through the shell; false (with a message) when it fails.
inline bool timeCommand(const std::string& command, CommandTime& time) {
    const double cpu0 = childCpu();
    const auto start = std::chrono::steady_clock::now();
    const int rc = std::system(command.c_str());
    time.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    time.cpu = childCpu() - cpu0;
    if (rc != 0) std::fprintf(stderr, "command failed (%d): %s\n", rc, command.c_str());
    return rc == 0;
}

inline std::string quote(const std::filesystem::path& p) {
    return "'" + p.string() + "'";
}

inline bool haveTool(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// A new scratch folder under /tmp named after `name`, with the test image in it; the
// image's cue sheet in `cue`. False with a message on stderr.
inline bool makeBenchImage(const char* name, std::filesystem::path& dir, std::string& cue) {
    std::string tmpl = std::string("/tmp/") + name + "-XXXXXX";
    if (!mkdtemp(tmpl.data())) return false;
    dir = tmpl;
    std::string error;
    cue = kyWriteTestImage(dir.string(), kImageMinutes, error);
    if (cue.empty()) std::fprintf(stderr, "cannot write the test image: %s\n", error.c_str());
    return !cue.empty();
}

// The start of a command that rips the test image with dskr-cli (`cli`) in burst mode under
// settings of its own, so that a user's stored ones do not change what is measured; it ends
// in "--out ", for the folder and the format options. The image is first ripped to WAV
// files in dir/wav, one per track, for the peers: their quoted paths in `wavs`. False when
// that rip fails.
inline bool prepareRipBench(const std::filesystem::path& cli, const std::filesystem::path& dir,
                            const std::string& cue, std::string& dskr, std::string& wavs) {
    dskr = "XDG_CONFIG_HOME=" + quote(dir / "config") + " " + quote(cli) + " rip --image " +
           quote(cue) + " --mode burst --overwrite replace" +
           " --json </dev/null >/dev/null 2>&1 --out ";
    CommandTime unused;
    if (!timeCommand(dskr + quote(dir / "wav") + " --format wav --subformat 'PCM 16-bit'", unused))
        return false;
    wavs.clear();
    for (auto& e : std::filesystem::recursive_directory_iterator(dir / "wav"))
        if (e.path().extension() == ".wav") wavs += " " + quote(e.path());
    return true;
}

} // namespace bench
