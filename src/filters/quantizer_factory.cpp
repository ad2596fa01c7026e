#include "filters/quantizer_factory.h"
#include "filters/noise_quantizer.h"
#include <atomic>
#include <new>

namespace {
std::atomic<uint32_t> g_defaultKind{0};
thread_local uint32_t t_threadKind = KY_QUANTIZER_DEFAULT_KIND;
} // namespace

void kySetThreadQuantizerKind(uint32_t kind) {
    t_threadKind = kind;
}

void kySetDefaultQuantizerKind(uint32_t kind) {
    g_defaultKind = kind;
}
uint32_t kyGetDefaultQuantizerKind() {
    return t_threadKind != KY_QUANTIZER_DEFAULT_KIND ? t_threadKind : g_defaultKind.load();
}

std::unique_ptr<kyQuantizer> kyCreateQuantizer(uint32_t bits, uint32_t kind, uint32_t channels,
                                               uint32_t sampleRate) {
    if (bits == 32) return std::unique_ptr<kyQuantizer>(new (std::nothrow) kyQuantizerRound32);
    if (bits < 1 || bits > 30) return nullptr;
    if (kind == KY_QUANTIZER_DEFAULT_KIND) kind = kyGetDefaultQuantizerKind();
    switch (kind) {
    case 1:
        return std::unique_ptr<kyQuantizer>(new (std::nothrow) kyRectWhiteNoiseQuantizer(bits));
    case 2:
        return std::unique_ptr<kyQuantizer>(new (std::nothrow) kyTriWhiteNoiseQuantizer(bits));
    case 3: {
        std::unique_ptr<kyShapedNoiseMDQuantizer> q(
            new (std::nothrow) kyShapedNoiseMDQuantizer(bits, channels, sampleRate));
        if (!q || !q->valid()) return nullptr;
        return q;
    }
    default:
        return std::unique_ptr<kyQuantizer>(new (std::nothrow) kyRoundNearestQuantizer(bits));
    }
}
