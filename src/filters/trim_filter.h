#pragma once
// kyTrimFilter ("Trim morph"): keeps a window of frames of the stream, with a linear
// fade-in of `fade` frames ending at `start` and a linear fade-out of `fade` frames
// starting at `cut`. cut = 0 with fade = 0 keeps everything from `start` on.
//
// The window is [start - fade, cut + fade). The fade-in gain rises from 1/fade to 1; the
// fade-out gain falls from 1 on its first frame to 1/fade on its last, so the file never
// ends on a hard zero. Once the window has been delivered, downstream gets EndOfStream once
// and everything after it is dropped.
//
// With no fade the filter also passes interleaved PCM and float data, cut by byte ranges.
#include "core/filter.h"
#include "core/sample_block.h"
#include <cstdint>
#include <vector>

class kyTrimFilter : public kyMorphFilter {
public:
    // All three are frame counts.
    kyTrimFilter(uint32_t start, uint32_t cut, uint32_t fade);

    // Source side.
    kyError GetFormat(kyAudioFormat& format) override;
    kyError Prepare() override;
    const char* GetInterleavedFormat(uint32_t channels) override;
    kyError RunInterleaved() override;

    // Sink side.
    kyError Write(float** planes, uint32_t frames) override;
    kyError EndOfStream() override;
    kyError WriteInterleaved(const void* bytes, uint32_t byteCount, uint32_t frames) override;

private:
    void clampToLength(uint32_t lengthFrames);
    kyError deliver(float** planes, uint32_t offset, uint32_t frames);
    kyError flushFade();
    kyError endDownstream();

    // Window positions in frames (64-bit so that no sum overflows). A and D as
    // constructed, and as brought in to the length of the stream.
    int64_t m_requestedFadeInStart;
    int64_t m_requestedWindowEnd;
    int64_t m_fadeInStart;  // A
    int64_t m_fadeInEnd;    // B
    int64_t m_fadeOutStart; // K
    int64_t m_windowEnd;    // D
    int64_t m_position = 0;
    uint32_t m_fade;
    uint32_t m_channels = 0;
    uint32_t m_fadeFill = 0;
    uint32_t m_frameBytes = 0; // interleaved frame size, 0 until negotiated
    bool m_ended = false;      // EndOfStream already sent downstream
    std::vector<float*> m_pointers;
    kyPlaneBuffer m_fadeBuffer;
};
