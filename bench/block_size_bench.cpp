// The same chains fed in the CD source's 588-frame blocks and in 8192-frame blocks: every
// filter and writer should cost the same per sample whatever the block size (goal: the
// small blocks within 10% of the large). Processor time of this thread, best of N runs
// (argument 1, default 3), on 10 minutes of stereo audio written to a scratch folder.
#include "filters/quantizer_factory.h"
#include "filters/resampling_filter.h"
#include "formats/format_catalog.h"
#include "formats/writer_filter.h"
#include "tone_source.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>

namespace {

int32_t writerIndex(const char* name) {
    kyFormatCatalog& c = kyFormatCatalog::Instance();
    for (size_t i = 0; i < c.Count(); ++i)
        if (c.Entry(int32_t(i))->displayName == std::string(name) && c.Entry(int32_t(i))->writer)
            return int32_t(i);
    return -1;
}

struct Chain {
    const char* what;
    const char* format;
    const char* subformat;
    uint32_t resampleTo; // 0: none
    uint32_t quantizer;  // default kind for the run
};

} // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const double seconds = 600;
    const fs::path dir =
        fs::temp_directory_path() / ("dskr-block-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const Chain chains[] = {
        {"WAV 16-bit", "Microsoft wave format", "PCM 16-bit", 0, 0},
        {"WAV 16-bit, noise-shaped dither", "Microsoft wave format", "PCM 16-bit", 0, 3},
        {"resampled to 48 kHz, WAV 16-bit, dither", "Microsoft wave format", "PCM 16-bit", 48000,
         3},
        {"FLAC level 5", "Free lossless audio codec", "Lossless 16-bit", 0, 0},
    };
    std::printf("%u s of stereo audio, processor time, best of %d\n", unsigned(seconds), runs);
    for (const Chain& c : chains) {
        const int32_t index = writerIndex(c.format);
        if (index < 0) continue;
        double t[2] = {0, 0};
        const uint32_t blocks[2] = {588, 8192};
        for (int b = 0; b < 2; ++b) {
            double best = 1e30;
            for (int r = 0; r < runs; ++r) {
                const std::string out = (dir / "out").string();
                kyWriterFilter* w = nullptr;
                if (kyFailed(kyFormatCatalog::Instance().CreateWriter(w, out.c_str(), c.subformat,
                                                                      index)))
                    return 1;
                kySetDefaultQuantizerKind(c.quantizer);
                auto* src = new bench::ToneSource(uint32_t(seconds * bench::kRate), blocks[b]);
                src->Connect(w);
                if (c.resampleTo)
                    w->InsertBefore(new kyResamplingFilter(c.resampleTo, KYRESAMPLE_FIR_NORMAL));
                const double t0 = bench::cpuSeconds();
                const kyError e = w->Run();
                const double el = bench::cpuSeconds() - t0;
                w->DestroyChain();
                if (kyFailed(e)) {
                    std::printf("  %s: %s\n", c.what, kyErrorMessage(e));
                    break;
                }
                best = std::min(best, el);
            }
            t[b] = best;
        }
        std::printf("  %-42s 588: %7.0fx  8192: %7.0fx  ratio %.2f\n", c.what, seconds / t[0],
                    seconds / t[1], t[0] / t[1]);
    }
    kySetDefaultQuantizerKind(0);
    fs::remove_all(dir);
    return 0;
}
