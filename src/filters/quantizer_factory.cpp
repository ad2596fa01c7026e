#include "filters/quantizer_factory.h"
#include <atomic>
#include <new>

namespace {
std::atomic<uint32_t> g_defaultKind{0};
}

void kySetDefaultQuantizerKind(uint32_t kind) { g_defaultKind = kind; }
uint32_t kyGetDefaultQuantizerKind() { return g_defaultKind; }

std::unique_ptr<kyQuantizer> kyCreateQuantizer(uint32_t bits, uint32_t kind, uint32_t channels,
                                               uint32_t sampleRate) {
    if (bits == 32) return std::unique_ptr<kyQuantizer>(new (std::nothrow) kyQuantizerRound32);
    if (bits < 1 || bits > 30) return nullptr;
    if (kind == KY_QUANTIZER_DEFAULT_KIND) kind = g_defaultKind;
    // The dithering kinds arrive with the noise quantizers; until then every kind rounds.
    (void)channels;
    (void)sampleRate;
    return std::unique_ptr<kyQuantizer>(new (std::nothrow) kyRoundNearestQuantizer(bits));
}
