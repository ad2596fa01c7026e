#pragma once
// Quantizers turn a float sample (nominally -1..+1) into a signed integer of a given
// bit depth. The block converters ask one per sample; the dithering kinds live with the
// processing filters, the two stateless kinds live here because the core needs them.
#include <cstdint>

class kyQuantizer {
public:
    virtual ~kyQuantizer() = default;
    virtual int32_t quantize(uint32_t channel, float sample) = 0;
    // `frames` frames of `planes` from `first` on, frame by frame and channel by channel
    // into `out` (frames x channels values): the same values as as many quantize() calls,
    // for kinds that can spare the call per sample.
    virtual void quantizeFrames(const float* const* planes, uint32_t channels, uint32_t first,
                                uint32_t frames, int32_t* out) {
        for (uint32_t i = 0; i < frames; ++i)
            for (uint32_t c = 0; c < channels; ++c) *out++ = quantize(c, planes[c][first + i]);
    }

    // True for plain rounding, which has no state: block converters then round inline,
    // giving the same integers as quantize() without a call per sample.
    bool isPlainRounding() const { return m_plainRounding; }

protected:
    bool m_plainRounding = false;
};

// Shared fields of the integer kinds below 32 bits, for bit depth b (1 to 30).
class kyQuantizerBase : public kyQuantizer {
public:
    explicit kyQuantizerBase(uint32_t bits);

    float scale;           // 2^(b-1)
    uint32_t offset;       // 2^(b-1)
    uint32_t overflowMask; // every bit from bit b up
    uint32_t bits;

protected:
    // Offset-binary integer n to the signed result, clamped to the b-bit range.
    int32_t clampResult(int64_t n) const {
        if (static_cast<uint64_t>(n) & (0xFFFFFFFF00000000ull | overflowMask))
            return n < 0 ? -static_cast<int32_t>(offset) : static_cast<int32_t>(offset - 1);
        return static_cast<int32_t>(n - offset);
    }
};

// Round to nearest, ties up. Depths above 16 bits are computed in double precision:
// single precision cannot hold (x + 1) * 2^23 + 0.5 exactly, and a 24-bit sample would
// not come back as itself.
class kyRoundNearestQuantizer : public kyQuantizerBase {
public:
    explicit kyRoundNearestQuantizer(uint32_t bits) : kyQuantizerBase(bits) {
        m_plainRounding = true;
    }
    int32_t quantize(uint32_t channel, float sample) override;
};

// Rounding to 32 bits with saturation.
class kyQuantizerRound32 : public kyQuantizer {
public:
    kyQuantizerRound32() { m_plainRounding = true; }
    int32_t quantize(uint32_t channel, float sample) override;
};

// Plain rounding of one sample to `bits` (1..32) significant bits; the rule every
// stateless path shares.
int32_t kyRoundSample(float sample, uint32_t bits);
