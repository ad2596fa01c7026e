// Ripping to MP3 and AAC: a generated CUE/BIN image in a virtual drive (74 minutes by
// default, a full disc) ripped track by track through the batch runner, beside the peer
// encoder run over the image's own PCM (the BIN file) in the same run: lame for MP3 "VBR
// Quality 2" (lame -V2, and lame -V2 -q2 -nores, the settings DskR gives the library),
// ffmpeg for AAC at 128 kbit/s and at a fixed quality, as ADTS and as iTunes MPEG-4 (m4a).
// Wall-clock and processor time (the peers' from their child process), as × realtime; the
// machine may be shared.
//
//   lossy_bench [minutes] [rounds] [filter]   (defaults: 74 minutes, best of 1, every row;
//                                              a filter runs the rows whose name holds it)
#include "bench_batch.h"
#include "job/batch_runner.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

struct Timing {
    double wall = 1e30, cpu = 1e30;
    bool ok = false;
};

double childSeconds() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void timePeer(const std::string& command, Timing& t) {
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = childSeconds();
    const int rc = std::system(command.c_str());
    if (rc != 0) {
        std::fprintf(stderr, "peer failed (%d): %s\n", rc, command.c_str());
        return;
    }
    t.wall = std::min(t.wall,
                      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    t.cpu = std::min(t.cpu, childSeconds() - c0);
    t.ok = true;
}

std::string quote(const fs::path& p) {
    return "'" + p.string() + "'";
}

} // namespace

int main(int argc, char** argv) {
    const uint32_t minutes = argc > 1 ? uint32_t(std::atoi(argv[1])) : 74;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;
    const std::string filter = argc > 3 ? argv[3] : "";
    BenchDisc bench("lossy_bench", minutes);
    if (!bench) return 1;
    RipSettings& settings = bench.settings;
    DiscInfo& disc = bench.disc;
    kyDskReader* reader = bench.reader.get();
    const fs::path& dir = bench.dir;
    const double audio = minutes * 60.0;
    const fs::path bin = dir / "DskR test image.bin";
    const std::string pcm = "-f s16le -ar 44100 -ac 2 -i " + quote(bin);
    const std::string raw = "-r -s 44.1 --bitwidth 16 --signed --little-endian ";

    std::printf("lossy encoding: %u min image, %zu tracks (best of %d; shared machine)\n", minutes,
                disc.tracks.size(), rounds);
    std::printf("%-44s %10s %10s %10s %10s\n", "", "wall s", "x realtime", "cpu s", "x realtime");
    struct Row {
        const char* name;
        const char* format; // DskR's (empty for a peer)
        const char* subformat;
        std::string peer; // the peer's command
    } rows[] = {
        {"DskR MP3 \"VBR Quality 2\"", "MPEG audio layer III", "VBR Quality 2", ""},
        {"lame -V2", "", "",
         "lame --quiet " + raw + "-V2 " + quote(bin) + " " + quote(dir / "p.mp3")},
        {"lame -V2 -q2 -nores", "", "",
         "lame --quiet " + raw + "-V2 -q2 --nores " + quote(bin) + " " + quote(dir / "p.mp3")},
        {"DskR AAC \"ABR 128 kbit/s\"", "MPEG-4 AAC - Low Complexity", "ABR 128 kbit/s", ""},
        {"ffmpeg -c:a aac -b:a 128k", "", "",
         "ffmpeg -v error -y " + pcm + " -c:a aac -b:a 128k " + quote(dir / "p.aac")},
        {"DskR AAC \"VBR Quality 90\"", "MPEG-4 AAC - Low Complexity", "VBR Quality 90", ""},
        {"ffmpeg -c:a aac -q:a 0.9", "", "",
         "ffmpeg -v error -y " + pcm + " -c:a aac -q:a 0.9 " + quote(dir / "p.aac")},
        {"DskR m4a \"AAC ABR 128 kbit/s\"", "iTunes MPEG-4 audio format", "AAC ABR 128 kbit/s", ""},
        {"ffmpeg -c:a aac -b:a 128k to m4a", "", "",
         "ffmpeg -v error -y " + pcm + " -c:a aac -b:a 128k " + quote(dir / "p.m4a")},
    };
    for (const Row& row : rows) {
        if (!filter.empty() && std::string(row.name).find(filter) == std::string::npos) continue;
        Timing t;
        for (int r = 0; r < rounds; ++r) {
            if (!row.peer.empty()) {
                timePeer(row.peer + " </dev/null", t);
                continue;
            }
            settings.szFileFormat = row.format;
            settings.szDataFormat = row.subformat;
            QuietFrontend fe;
            kyBatchRunner runner(settings, disc, *reader, fe);
            const auto t0 = std::chrono::steady_clock::now();
            const double c0 = processSeconds();
            runner.Run();
            t.wall = std::min(
                t.wall,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
            t.cpu = std::min(t.cpu, processSeconds() - c0);
            t.ok = true;
        }
        if (!t.ok) {
            std::printf("%-44s %10s\n", row.name, "(not run)");
            continue;
        }
        std::printf("%-44s %10.1f %10.1f %10.1f %10.1f\n", row.name, t.wall, audio / t.wall, t.cpu,
                    audio / t.cpu);
        std::fflush(stdout);
    }
    return 0;
}
