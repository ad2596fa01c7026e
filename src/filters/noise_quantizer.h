#pragma once
// The dithering quantizers: rounding after adding rectangular (1 LSB) or triangular
// (2 LSB peak to peak) white noise, and triangular dither with error feedback that pushes
// the requantization noise away from the frequencies where hearing is most sensitive.
//
// All of them round in offset binary, v = (x + 1) * 2^(b-1), so that truncation acts as
// rounding down: n = trunc(v + noise + 0.5), result n - 2^(b-1), clamped to the b-bit
// range. Depths above 16 bits compute v in double precision: single precision cannot
// carry the fraction of (x + 1) * 2^23, and the dither would be rounded away.
#include "core/quantizer.h"
#include <cstdint>
#include <memory>

class kyNoiseQuantizerBase : public kyQuantizerBase {
public:
    explicit kyNoiseQuantizerBase(uint32_t bits) : kyQuantizerBase(bits) {}

    // Linear congruential generator; every new quantizer starts from the same state, so
    // output is reproducible.
    uint32_t randomState = 0xDEADBEEFu;

protected:
    // Uniform in [-0.5, +0.5) LSB.
    float nextUniform() {
        randomState = randomState * 140359821u + 1u;
        return static_cast<float>(randomState) * 2.3283064365386963e-10f - 0.5f;
    }
    // Offset-binary value of `x` before the noise, in the precision the depth needs.
    double offsetValue(float x) const {
        if (bits <= 16) return static_cast<double>((x + 1.0f) * scale);
        return (static_cast<double>(x) + 1.0) * scale;
    }
    // trunc(v + noise + 0.5) as an offset-binary integer clamped to 0 .. 2^b - 1.
    int64_t roundOffset(double v, float noise) const;
};

// Rectangular dither: one uniform draw per sample.
class kyRectWhiteNoiseQuantizer : public kyNoiseQuantizerBase {
public:
    explicit kyRectWhiteNoiseQuantizer(uint32_t bits) : kyNoiseQuantizerBase(bits) {}
    int32_t quantize(uint32_t channel, float sample) override;
};

// Triangular dither: the sum of two uniform draws per sample.
class kyTriWhiteNoiseQuantizer : public kyNoiseQuantizerBase {
public:
    explicit kyTriWhiteNoiseQuantizer(uint32_t bits) : kyNoiseQuantizerBase(bits) {}
    int32_t quantize(uint32_t channel, float sample) override;
};

// Triangular dither with an error-feedback filter of `order` taps per channel. The error
// history of each channel is a ring stored twice in a row, so that `order` consecutive
// entries can always be read without wrapping (and zeros after it, for whole vectors).
//
// The feedback is the newest error times the first tap plus the older errors through the
// other taps, summed in eight independent lanes: that sum does not wait for the sample
// before, so the processor computes it ahead and the loop is not held up by one long
// chain of additions per sample.
class kyShapedNoiseQuantizerBase : public kyNoiseQuantizerBase {
public:
    kyShapedNoiseQuantizerBase(uint32_t bits, uint32_t channels, uint32_t order);
    ~kyShapedNoiseQuantizerBase() override = default;

    // False when the buffer could not be allocated: the quantizer is then unusable (it
    // still answers, with unshaped triangular dither).
    bool valid() const { return m_buffer != nullptr; }
    uint32_t channels() const { return m_channels; }
    uint32_t order() const { return m_order; }
    const float* coefficients() const { return m_coefs; }

    // Frame by frame, without a call per sample.
    void quantizeFrames(const float* const* planes, uint32_t channels, uint32_t first,
                        uint32_t frames, int32_t* out) override;

protected:
    int32_t quantizeShaped(uint32_t channel, float sample);
    // After the coefficients are set: the older taps, padded with zeros to whole vectors.
    void prepareTaps();
    static void shapeFrames(kyShapedNoiseQuantizerBase& q, const float* const* planes,
                            uint32_t channels, uint32_t first, uint32_t frames, int32_t* out);

    uint32_t m_channels;
    uint32_t m_order;
    uint32_t m_olderTaps = 0;  // order - 1 rounded up to a multiple of 8
    uint32_t m_ringStride = 0; // 2 x order + 8 floats per channel
    // Errors (m_ringStride per channel), the coefficients, then the older taps.
    std::unique_ptr<float[]> m_buffer;
    float* m_coefs = nullptr;
    float* m_older = nullptr;
    std::unique_ptr<uint32_t[]> m_position;
};

// Noise shaping designed from the ISO 226:2003 hearing threshold: order 95, the filter is
// the linear predictor of a spectrum following the ear's sensitivity, so the shaped noise
// follows the threshold of hearing.
class kyShapedNoiseMDQuantizer : public kyShapedNoiseQuantizerBase {
public:
    static constexpr uint32_t kOrder = 95;
    kyShapedNoiseMDQuantizer(uint32_t bits, uint32_t channels, uint32_t sampleRate);
    ~kyShapedNoiseMDQuantizer() override = default;
    int32_t quantize(uint32_t channel, float sample) override;
    void quantizeFrames(const float* const* planes, uint32_t channels, uint32_t first,
                        uint32_t frames, int32_t* out) override {
        kyShapedNoiseQuantizerBase::quantizeFrames(planes, channels, first, frames, out);
    }
};
