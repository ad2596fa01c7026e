#pragma once
// Helpers for tests that build chains: a source over float planes held in memory (which can
// also offer an interleaved form of its stream), a sink that keeps what it receives, and
// catalogue and tool shortcuts.
#include "core/filter.h"
#include <cstdint>
#include <string>
#include <vector>

namespace kytest {

class MemorySource : public kySourceFilter2 {
public:
    MemorySource(std::vector<std::vector<float>> planes, uint32_t rate,
                 uint32_t blockFrames = 4096);

    // Offers `bytes` as the stream in data format `id` (for `channels` channels).
    void setInterleaved(std::string id, std::vector<uint8_t> bytes, uint32_t bytesPerFrame);
    // Announces a length other than the planes' (0x7FFFFFFF: unbounded).
    void setAnnouncedLength(uint32_t frames) { m_format.lengthFrames = frames; }
    // Speaker positions other than the default of the channel count.
    void setChannelMask(uint32_t mask) { m_format.channelMask = mask; }

    kyError Prepare() override;
    kyError Process() override;
    const char* GetInterleavedFormat(uint32_t channels) override;
    kyError RunInterleaved() override;

    uint32_t processCalls() const { return m_processCalls; }

private:
    std::vector<std::vector<float>> m_data;
    std::vector<std::vector<float>> m_scratch;
    std::vector<float*> m_ptrs;
    uint32_t m_pos = 0;
    uint32_t m_frames = 0;
    uint32_t m_processCalls = 0;
    std::string m_interleavedId;
    std::vector<uint8_t> m_interleaved;
    uint32_t m_bytesPerFrame = 0;
};

// Keeps every planar block it receives.
class CollectSink : public kySinkFilter2 {
public:
    explicit CollectSink(uint32_t channels) : kySinkFilter2("Collect"), data(channels) {}
    kyError Write(float** planes, uint32_t frames) override;
    std::vector<std::vector<float>> data;
};

// Catalogue index of the entry with this display name and a writer (or a reader), or -1.
int32_t catalogIndex(const char* displayName, bool writer);

// Standard output and error of a shell command.
std::string capture(const std::string& command);

// Sines of different frequencies per channel at `amplitude`, as planes.
std::vector<std::vector<float>> sinePlanes(uint32_t channels, uint32_t frames, uint32_t rate,
                                           float amplitude = 0.5f);

} // namespace kytest
