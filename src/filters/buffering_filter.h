#pragma once
// kyBufferingFilter: turns the irregular blocks arriving from upstream into calls of
// ProcessSpan that see a fixed number of frames of context before and after every frame
// they handle. The context is kept across blocks; the stream is taken to start after
// silence and is padded with silence at its end.
#include "core/filter.h"
#include "core/sample_block.h"
#include <cstdint>
#include <vector>

class kyBufferingFilter : public kyMorphFilter {
public:
    kyBufferingFilter(const char* name, uint32_t contextBefore, uint32_t contextAfter);

    kyError Prepare() override;
    kyError Write(float** planes, uint32_t frames) override;
    kyError EndOfStream() override;

    // Handles input frames [inIndex, inIndex + count) of `in`, whose planes hold at least
    // contextBefore frames before and contextAfter frames after that range, and writes
    // its output to `out` from `outIndex`. Returns the number of output frames written.
    // This version copies the frames unchanged.
    virtual uint32_t ProcessSpan(float* const* out, uint32_t outIndex, float* const* in,
                                 uint32_t inIndex, uint32_t count);

    uint32_t contextBefore() const { return m_before; }
    uint32_t contextAfter() const { return m_after; }

protected:
    // For derived filters: the context their kernel needs (set before Prepare) and the
    // most output frames ProcessSpan may produce for `inputFrames` input frames.
    void setContext(uint32_t before, uint32_t after);
    virtual uint64_t maxOutputFrames(uint64_t inputFrames) const { return inputFrames; }

    uint32_t m_before;
    uint32_t m_after;
    uint32_t m_channels = 0;
    uint32_t m_blockFrames = 0;    // the largest block upstream announced
    uint32_t m_outputCapacity = 0; // frames of m_output
    uint32_t m_historyFill = 0;
    kyPlaneBuffer m_history; // channels x 2 x (before + after) frames
    kyPlaneBuffer m_output;  // channels x output capacity frames

private:
    kyError processHistory(uint32_t& produced);
    kyError writeChunk(float** planes, uint32_t frames);
    kyError emit(uint32_t produced);

    uint32_t m_emitLimit = 0; // the block size announced downstream
    std::vector<float*> m_inView;
    std::vector<float*> m_outView;
};
