#pragma once
// A scripted source and a recording sink for exercising morph filters: the source plays a
// fixed planar stream in a chosen pattern of block sizes, the sink keeps everything it is
// handed. Header-only, shared by the tests in this folder.
#include "core/data_format.h"
#include "core/filter.h"
#include "core/sample_block.h"
#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace filters_test {

using Planes = std::vector<std::vector<float>>; // [channel][frame]

// Block-size patterns every filter must be indifferent to.
struct BlockPattern {
    const char* name;
    std::vector<uint32_t> sizes; // cycled; empty = random sizes from the seed
    uint32_t seed = 0;
};

inline std::vector<BlockPattern> standardPatterns() {
    return {{"1", {1}},       {"587", {587}},        {"588", {588}},
            {"4096", {4096}}, {"random", {}, 12345}, {"random2", {}, 777}};
}

// Deterministic test signal in [-1, 1).
inline Planes noise(uint32_t channels, uint32_t frames, uint32_t seed = 1) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    Planes p(channels, std::vector<float>(frames));
    for (uint32_t i = 0; i < frames; ++i)
        for (uint32_t c = 0; c < channels; ++c) p[c][i] = dist(rng);
    return p;
}

class ScriptedSource : public kySourceFilter2 {
public:
    ScriptedSource(Planes data, BlockPattern pattern, uint32_t announcedBlock = 588)
        : kySourceFilter2("Scripted source"), m_data(std::move(data)),
          m_pattern(std::move(pattern)) {
        m_format.channels = static_cast<uint32_t>(m_data.size());
        m_format.lengthFrames = frames();
        m_format.blockFrames = announcedBlock;
    }

    uint32_t frames() const { return m_data.empty() ? 0 : uint32_t(m_data[0].size()); }
    void setLength(uint32_t length) { m_format.lengthFrames = length; }
    void setMask(uint32_t mask) { m_format.channelMask = mask; }
    void setSampleRate(uint32_t rate) { m_format.sampleRate = rate; }
    // Blocks pushed per Process, as a CD read of several sectors does.
    void setBlocksPerProcess(uint32_t n) { m_blocksPerProcess = n; }
    // Loops the data for ever and never ends the stream.
    void setEndless(bool endless) { m_endless = endless; }
    void setPrepareResult(kyError e) { m_prepareResult = e; }
    // Offers the data interleaved in this format from GetInterleavedFormat.
    void setInterleaved(const char* id) { m_interleavedId = id; }

    const std::vector<float*>& lastPlanes() const { return m_lastPlanes; }
    int processCalls = 0;

    kyError Prepare() override {
        m_sent = 0;
        m_next = 0;
        m_rng.seed(m_pattern.seed);
        return m_prepareResult;
    }

    kyError Process() override {
        ++processCalls;
        for (uint32_t b = 0; b < m_blocksPerProcess; ++b) {
            if (!m_endless && m_sent >= frames()) return m_downstream->EndOfStream();
            const uint32_t n = nextSize();
            const uint32_t channels = m_format.channels;
            m_block.allocate(channels, n);
            for (uint32_t c = 0; c < channels; ++c)
                for (uint32_t i = 0; i < n; ++i)
                    m_block.plane(c)[i] = m_data[c][(m_sent + i) % frames()];
            m_lastPlanes.assign(m_block.planes(), m_block.planes() + channels);
            m_sent += n;
            kyError e = m_downstream->Write(m_block.planes(), n);
            if (kyFailed(e)) return e;
        }
        return KY_OK;
    }

    const char* GetInterleavedFormat(uint32_t channels) override {
        return channels == m_format.channels ? m_interleavedId : nullptr;
    }

    // Plays the stream as interleaved little-endian 16-bit PCM, without EndOfStream.
    kyError RunInterleaved() override {
        if (!m_interleavedId || !m_downstream) return KYERR_SEQUENCE;
        kyError e = Prepare();
        if (kyFailed(e)) return e;
        const uint32_t channels = m_format.channels;
        while (m_sent < frames()) {
            const uint32_t n = nextSize();
            std::vector<int16_t> bytes(size_t(n) * channels);
            for (uint32_t i = 0; i < n; ++i)
                for (uint32_t c = 0; c < channels; ++c)
                    bytes[size_t(i) * channels + c] = pcm16(m_sent + i, c);
            m_sent += n;
            e = m_downstream->WriteInterleaved(bytes.data(), uint32_t(bytes.size() * 2), n);
            if (kyFailed(e)) return e;
        }
        return KY_OK;
    }

    int16_t pcm16(uint32_t frame, uint32_t channel) const {
        return static_cast<int16_t>(m_data[channel][frame] * 32767.0f);
    }

private:
    uint32_t nextSize() {
        uint32_t n;
        if (m_pattern.sizes.empty()) {
            n = std::uniform_int_distribution<uint32_t>(1, 5000)(m_rng);
        } else {
            n = m_pattern.sizes[m_next % m_pattern.sizes.size()];
            ++m_next;
        }
        return m_endless ? n : std::min(n, frames() - m_sent);
    }

    Planes m_data;
    BlockPattern m_pattern;
    std::mt19937 m_rng;
    size_t m_next = 0;
    uint32_t m_sent = 0;
    uint32_t m_blocksPerProcess = 1;
    bool m_endless = false;
    kyError m_prepareResult = KY_OK;
    const char* m_interleavedId = nullptr;
    kyPlaneBuffer m_block;
    std::vector<float*> m_lastPlanes;
};

class RecordingSink : public kySinkFilter2 {
public:
    RecordingSink() : kySinkFilter2("Recording sink") {}

    Planes got;                            // [channel][frame] of everything written
    std::vector<uint32_t> blockSizes;      // frames per Write
    std::vector<std::vector<float*>> ptrs; // plane pointers of each Write
    std::vector<uint8_t> bytes;            // everything written interleaved
    uint32_t interleavedFrames = 0;
    int endCalls = 0;
    int writeCalls = 0;
    int failAtWrite = -1; // 0-based Write / WriteInterleaved call that fails
    kyError failWith = KYERR_WRITE_FILE;
    kyError endResult = KY_OK;

    uint32_t frames() const { return got.empty() ? 0 : uint32_t(got[0].size()); }

    kyError Write(float** planes, uint32_t frames) override {
        if (writeCalls++ == failAtWrite) return failWith;
        const uint32_t channels = kyPlaneCount(planes);
        if (got.size() < channels) got.resize(channels);
        ptrs.emplace_back(planes, planes + channels);
        for (uint32_t c = 0; c < channels; ++c)
            got[c].insert(got[c].end(), planes[c], planes[c] + frames);
        blockSizes.push_back(frames);
        return KY_OK;
    }

    kyError WriteInterleaved(const void* data, uint32_t byteCount, uint32_t frames) override {
        if (writeCalls++ == failAtWrite) return failWith;
        const auto* p = static_cast<const uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + byteCount);
        interleavedFrames += frames;
        return KY_OK;
    }

    kyError EndOfStream() override {
        ++endCalls;
        kySinkFilter2::EndOfStream();
        return endResult;
    }
};

// source -> morphs... -> sink. The chain owns every member; the destructor frees it.
struct Chain {
    ScriptedSource* source;
    RecordingSink* sink;

    Chain(ScriptedSource* src, std::initializer_list<kyMorphFilter*> morphs)
        : source(src), sink(new RecordingSink) {
        source->Connect(sink);
        for (kyMorphFilter* m : morphs) sink->InsertBefore(m);
    }
    ~Chain() { source->DestroyChain(); }
    Chain(const Chain&) = delete;
    Chain& operator=(const Chain&) = delete;

    kyError run() { return sink->Run(); }
};

} // namespace filters_test
