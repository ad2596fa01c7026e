#include "core/quantizer.h"
#include <cmath>

kyQuantizerBase::kyQuantizerBase(uint32_t b)
    : scale(static_cast<float>(1u << (b - 1))), offset(1u << (b - 1)),
      overflowMask(0xFFFFFFFEu << (b - 1)), bits(b) {}

int32_t kyRoundSample(float x, uint32_t bits) {
    if (bits >= 32) {
        double v = (static_cast<double>(x) + 1.0) * 2147483648.0 + 0.5;
        if (!(v > 0.0)) return INT32_MIN; // also NaN
        if (v >= 4294967295.0) return INT32_MAX;
        return static_cast<int32_t>(static_cast<int64_t>(v) - 2147483648ll);
    }
    const uint32_t offset = 1u << (bits - 1);
    int64_t n;
    if (bits <= 16) {
        float v = (x + 1.0f) * static_cast<float>(offset) + 0.5f;
        if (!(v > 0.0f)) return -static_cast<int32_t>(offset);
        if (v >= 2.0f * static_cast<float>(offset)) return static_cast<int32_t>(offset - 1);
        n = static_cast<int64_t>(v);
    } else {
        double v = (static_cast<double>(x) + 1.0) * offset + 0.5;
        if (!(v > 0.0)) return -static_cast<int32_t>(offset);
        if (v >= 2.0 * offset) return static_cast<int32_t>(offset - 1);
        n = static_cast<int64_t>(v);
    }
    const int64_t r = n - offset;
    return r >= static_cast<int64_t>(offset) ? static_cast<int32_t>(offset - 1)
                                             : static_cast<int32_t>(r);
}

int32_t kyRoundNearestQuantizer::quantize(uint32_t, float sample) {
    return kyRoundSample(sample, bits);
}

int32_t kyQuantizerRound32::quantize(uint32_t, float sample) { return kyRoundSample(sample, 32); }
