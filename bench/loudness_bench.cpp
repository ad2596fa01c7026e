// Loudness analyzers and quantizers on stereo 44.1 kHz music-like material, in times real
// time, beside metaflac's ReplayGain analysis and libebur128's integrated loudness of the
// same audio. Each figure is the best of several runs, timed in CPU time (this process's,
// or metaflac's as a child process), so that other work on a shared machine counts less.
#include "../tests/support/loudness_signals.h"
#include "filters/itu_bs1770_analyzer.h"
#include "filters/quantizer_factory.h"
#include "filters/replaygain_analyzer.h"
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#if DSKR_HAVE_EBUR128
#include <ebur128.h>
#endif

using namespace loudness_signals;
namespace fs = std::filesystem;

namespace {
constexpr uint32_t kRate = 44100;
constexpr int kRuns = 5;

// CPU seconds of this process and of its finished children.
double cpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    rusage ru;
    getrusage(RUSAGE_CHILDREN, &ru);
    auto tv = [](const timeval& v) { return v.tv_sec + v.tv_usec * 1e-6; };
    return t.tv_sec + t.tv_nsec * 1e-9 + tv(ru.ru_utime) + tv(ru.ru_stime);
}

double bestSeconds(const std::function<void()>& f) {
    double best = 1e30;
    for (int r = 0; r < kRuns; ++r) {
        const double t0 = cpuSeconds();
        f();
        best = std::min(best, cpuSeconds() - t0);
    }
    return best;
}

void report(const char* what, double audioSeconds, double seconds, const char* note = "") {
    std::printf("  %-45s %8.1f x realtime %s\n", what, audioSeconds / seconds, note);
}

template <class T> double analyzerRun(Planes& p, T&& make, float* result) {
    return bestSeconds([&] {
        auto a = make();
        a->init(kRate, 2, 0);
        feed(*a, p, 588 * 8);
        *result = a->gain();
    });
}
} // namespace

int main() {
    // One minute of material, repeated to five.
    auto minute = musicLike(2, kRate, kRate * 60, -14, 7);
    Planes audio(2);
    for (int rep = 0; rep < 5; ++rep)
        for (int c = 0; c < 2; ++c)
            audio[c].insert(audio[c].end(), minute[c].begin(), minute[c].end());
    for (auto& ch : audio)
        for (float& v : ch)
            v = static_cast<float>(std::clamp(std::lround(v * 32768.0), -32768l, 32767l) / 32768.0);
    const uint32_t frames = static_cast<uint32_t>(audio[0].size());
    const double seconds = double(frames) / kRate;
    std::printf("%.0f s of stereo 44.1 kHz audio, best of %d runs\n", seconds, kRuns);

    float g = 0;
    double t = analyzerRun(
        audio, [] { return kyMakeGainAnalyzer<kyReplayGainAnalyzer>(false, 89.0f); }, &g);
    char note[64];
    std::snprintf(note, sizeof note, "(gain %+.2f dB)", g);
    report("ReplayGain, standard", seconds, t, note);
    t = analyzerRun(
        audio, [] { return kyMakeGainAnalyzer<kyReplayGainAnalyzer>(true, 89.0f); }, &g);
    std::snprintf(note, sizeof note, "(gain %+.2f dB)", g);
    report("ReplayGain, ISO 226:2003", seconds, t, note);
    t = analyzerRun(
        audio, [] { return kyMakeGainAnalyzer<kyITUBS1770Analyzer>(2, 0.0f); }, &g);
    std::snprintf(note, sizeof note, "(%.2f LUFS)", -23.0 - g);
    report("BS.1770, gated", seconds, t, note);

#if DSKR_HAVE_EBUR128
    {
        std::vector<float> inter(size_t(frames) * 2);
        for (uint32_t i = 0; i < frames; ++i)
            inter[2 * i] = audio[0][i], inter[2 * i + 1] = audio[1][i];
        double lufs = 0;
        t = bestSeconds([&] {
            ebur128_state* st = ebur128_init(2, kRate, EBUR128_MODE_I);
            for (uint32_t pos = 0; pos < frames; pos += 588 * 8)
                ebur128_add_frames_float(st, inter.data() + size_t(pos) * 2,
                                         std::min(588u * 8, frames - pos));
            ebur128_loudness_global(st, &lufs);
            ebur128_destroy(&st);
        });
        std::snprintf(note, sizeof note, "(%.2f LUFS)", lufs);
        report("libebur128, integrated", seconds, t, note);
    }
#else
    std::printf("  libebur128 not available\n");
#endif

    // metaflac reads a FLAC copy of the same audio: its figure includes decoding.
    {
        std::string dir = (fs::temp_directory_path() / "loudbenchXXXXXX").string();
        if (mkdtemp(dir.data()) && std::system("command -v metaflac >/dev/null 2>&1") == 0) {
            const fs::path raw = fs::path(dir) / "a.raw", flac = fs::path(dir) / "a.flac";
            {
                std::ofstream f(raw, std::ios::binary);
                for (uint32_t i = 0; i < frames; ++i)
                    for (int c = 0; c < 2; ++c) {
                        const int16_t s = static_cast<int16_t>(std::lround(audio[c][i] * 32768.0));
                        f.write(reinterpret_cast<const char*>(&s), 2);
                    }
            }
            const std::string enc = "flac -s -f --force-raw-format --endian=little --sign=signed "
                                    "--channels=2 --bps=16 --sample-rate=44100 -o '" +
                                    flac.string() + "' '" + raw.string() + "'";
            if (std::system(enc.c_str()) == 0) {
                const std::string cmd = "metaflac --add-replay-gain '" + flac.string() + "'";
                t = bestSeconds([&] {
                    if (std::system(cmd.c_str()) != 0) std::printf("  metaflac failed\n");
                });
                report("metaflac --add-replay-gain", seconds, t, "(decoding included)");
            }
        } else {
            std::printf("  metaflac not available\n");
        }
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    const char* names[] = {"rounding", "rectangular dither", "triangular dither",
                           "noise-shaped dither"};
    for (uint32_t kind = 0; kind < 4; ++kind) {
        int64_t sink = 0;
        t = bestSeconds([&] {
            auto q = kyCreateQuantizer(16, kind, 2, kRate);
            for (uint32_t i = 0; i < frames; ++i) {
                sink += q->quantize(0, audio[0][i]);
                sink += q->quantize(1, audio[1][i]);
            }
        });
        benchmark::DoNotOptimize(sink);
        const std::string what = std::string("quantizer to 16 bits, ") + names[kind];
        report(what.c_str(), seconds, t, "(per-sample calls)");
    }
    return 0;
}
