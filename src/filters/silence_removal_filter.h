#pragma once
// kySilenceRemovalFilter ("Silence removal morph"): drops runs of near-silent frames from
// a planar float stream. A frame is silent when no channel's magnitude exceeds the
// threshold; a silent run of at least `minimumRun` frames is removed whole, a shorter one
// is kept. In leading-only mode only the silence before the first audible frame is looked
// at, and from that frame on the stream passes untouched.
//
// The result does not depend on how the stream is cut into blocks: a silent run still too
// short to decide on at the end of a block is held back until the next block (or the end
// of the stream) settles it. The reported stream length is not corrected.
#include "core/filter.h"
#include <cstdint>
#include <vector>

class kySilenceRemovalFilter : public kyMorphFilter {
public:
    kySilenceRemovalFilter(float threshold, int32_t minimumRun, bool leadingOnly);

    // Source side.
    kyError Prepare() override;
    const char* GetInterleavedFormat(uint32_t) override { return nullptr; }

    // Sink side.
    kyError Write(float** planes, uint32_t frames) override;
    kyError EndOfStream() override;
    kyError WriteInterleaved(const void*, uint32_t, uint32_t) override { return 1; }

private:
    kyError deliver(float** planes, uint32_t offset, uint32_t frames);
    kyError deliverHeld();
    void dropHeld();
    kyError hold(float** planes, uint32_t offset, uint32_t frames);

    float m_threshold;
    int32_t m_minimumRun;
    bool m_leadingOnly;
    bool m_atStart = true;
    int64_t m_runLength = 0;
    uint32_t m_channels = 0;
    bool m_prepared = false;
    std::vector<float*> m_pointers;         // channels + null terminator
    std::vector<std::vector<float>> m_held; // silent frames whose run is still undecided
};
