#pragma once
// kyPeakLevelsFilter ("Peak levels morph"): passes the stream through unchanged while
// keeping, for every run of `framesPerPoint` frames, each channel's highest and lowest
// sample (clamped to [-1, +1]): the material of a BWF peak envelope. It also finds the
// overall peak and the frame where it occurs. Points go to a temporary file in slices of
// 4096, so the envelope of any length of stream costs a fixed amount of memory.
//
// An interleaved stream (raw PCM, float, G.711, MPEG audio) passes as it is; a copy is
// converted or decoded for measuring.
#include "core/filter.h"
#include "filters/interleaved_decoder.h"
#include "platform/temp_file.h"
#include <cstdint>
#include <string>
#include <vector>

class kyPeakLevelsFilter : public kyMorphFilter {
public:
    static constexpr uint32_t kSlicePoints = 4096;

    explicit kyPeakLevelsFilter(uint32_t framesPerPoint);

    // Source side.
    kyError Prepare() override;
    const char* GetInterleavedFormat(uint32_t channels) override;
    kyError RunInterleaved() override;

    // Sink side.
    kyError Write(float** planes, uint32_t frames) override;
    kyError EndOfStream() override;
    kyError WriteInterleaved(const void* bytes, uint32_t byteCount, uint32_t frames) override;

    // Points of the envelope (complete ones, and the last partial one once the stream
    // ended).
    uint32_t PointsWritten() const { return m_points; }
    // The largest sample magnitude and the frame it occurs at.
    float Peak() const { return m_peak; }
    uint64_t PeakPosition() const { return m_peakFrame; }
    uint32_t FramesPerPoint() const { return m_framesPerPoint; }
    uint32_t Channels() const { return m_channels; }

    // Appends the envelope to the open file `fd` as little-endian 16-bit values (full scale
    // 65535), per point and channel: one value (the larger of the maximum and the negated
    // minimum), or two (the maximum, then the negated minimum, each at least 0).
    kyError WriteEnvelope(int fd, bool twoValues);

private:
    kyError start(uint32_t channels);
    void measure(float* const* planes, uint32_t frames);
    bool completePoint();
    kyError flushPoints();
    kyError finish();

    uint32_t m_framesPerPoint;
    uint32_t m_channels = 0;
    std::vector<float> m_slice; // per point and channel: maximum, minimum
    uint32_t m_sliceFill = 0;   // complete points in m_slice
    uint32_t m_pointFrames = 0; // frames in the current point
    uint32_t m_points = 0;
    uint64_t m_position = 0;
    float m_peak = 0.0f;
    uint64_t m_peakFrame = 0;
    bool m_writeFailed = false;
    bool m_finished = false;
    kyTempFile m_file;
    kyInterleavedDecoder m_decoder;
    std::string m_offered;
    std::vector<uint8_t> m_copy;
};
