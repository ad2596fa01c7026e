#pragma once
// kyResamplingFilter: changes the sample rate of a planar float stream to a target rate
// with one of the interpolation methods below. When the rates already match it passes
// everything through untouched, interleaved encoded data included.
#include "filters/buffering_filter.h"
#include <cstdint>
#include <memory>
#include <string>

// Algorithm codes as stored in the settings.
enum kyResampleAlgorithm : uint32_t {
    KYRESAMPLE_NEAREST = 0,    // "Nearest neighbour (1-tap)"
    KYRESAMPLE_LINEAR = 1,     // "Linear interpolation (2-tap)"
    KYRESAMPLE_CUBIC = 2,      // "Cubic interpolation (4-tap)"
    KYRESAMPLE_FIR_17 = 3,     // accepted, not offered
    KYRESAMPLE_FIR_FAST = 4,   // "F.I.R. filter, > 12-bits S/N (fast)"
    KYRESAMPLE_FIR_NORMAL = 5, // "F.I.R. filter, > 16-bits S/N (normal)"
    KYRESAMPLE_FIR_SLOW = 6,   // "F.I.R. filter, > 20-bits S/N (slow)"
    KYRESAMPLE_FIR_999 = 7,    // accepted, not offered
    KYRESAMPLE_DEFAULT = 999,  // same as KYRESAMPLE_FIR_NORMAL
};

// The label the user interface offers for an algorithm code, or null for codes it does
// not offer.
const char* kyResampleAlgorithmLabel(uint32_t algorithm);

class kyResamplingFir;

class kyResamplingFilter : public kyBufferingFilter {
public:
    kyResamplingFilter(uint32_t targetRate, uint32_t algorithm);
    ~kyResamplingFilter() override;

    // Source side.
    kyError GetFormat(kyAudioFormat& format) override;
    uint32_t Seek(uint32_t frame) override;
    kyError Prepare() override;
    const char* GetInterleavedFormat(uint32_t channels) override;
    const char* GetPropertyA(uint32_t slot) override;
    const char* GetPropertyUtf8(uint32_t slot) override;
    const char16_t* GetPropertyW(uint32_t slot) override;

    // Sink side.
    kyError Write(float** planes, uint32_t frames) override;
    kyError EndOfStream() override;
    kyError WriteInterleaved(const void* bytes, uint32_t byteCount, uint32_t frames) override;

    uint32_t ProcessSpan(float* const* out, uint32_t outIndex, float* const* in, uint32_t inIndex,
                         uint32_t count) override;

    uint32_t targetRate() const { return m_targetRate; }
    uint32_t algorithm() const { return m_algorithm; }
    bool passThrough() const { return m_passThrough; }
    double ratio() const { return m_ratio; }

protected:
    uint64_t maxOutputFrames(uint64_t inputFrames) const override;

private:
    // Turns the upstream format into this filter's and notes the ratio.
    kyError updateRates(kyAudioFormat& format);
    kyError refresh();
    // Answers the slots this filter changes; false for the slots it forwards.
    bool scaledSlot(uint32_t slot, const char*& answer);

    uint32_t m_algorithm;
    uint32_t m_kernel = 0; // the algorithm code in use (999 resolved)
    uint32_t m_targetRate;
    int32_t m_outputLength = 0;
    double m_ratio = 1.0; // output rate / input rate
    double m_step = 1.0;  // input frames per output frame
    bool m_passThrough = true;
    bool m_prepared = false;
    uint32_t m_inRate = 0;

    // The input position of the next output frame, kept exactly as a whole part relative
    // to the current span and a fraction m_posNum / m_stepDen, so that the output does
    // not depend on how upstream cuts the stream into blocks.
    uint64_t m_stepNum = 1; // step = m_stepNum / m_stepDen
    uint64_t m_stepDen = 1;
    uint64_t m_posNum = 0;
    uint64_t m_posWhole = 0; // whole frames still to skip at the start of the next span

    std::unique_ptr<kyResamplingFir> m_fir;

    // Answers to the scaled position queries, kept alive until the next query.
    std::string m_propText;
    std::u16string m_propTextW;
};
