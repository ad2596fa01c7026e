#pragma once
// Test chain pieces for the resampling tests: a source that plays fixed planes in blocks of
// chosen sizes, and a sink that collects what arrives.
#include "core/filter.h"
#include "core/sample_block.h"
#include "filters/resampling_filter.h"
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace resampling_test {

using Planes = std::vector<std::vector<float>>;

class PlaneSource : public kySourceFilter2 {
public:
    // Blocks take their sizes from `sizes` in turn, cycling.
    PlaneSource(Planes data, uint32_t rate, std::vector<uint32_t> sizes)
        : kySourceFilter2("Test source"), m_data(std::move(data)), m_sizes(std::move(sizes)) {
        m_format.channels = static_cast<uint32_t>(m_data.size());
        m_format.lengthFrames = m_data.empty() ? 0 : static_cast<uint32_t>(m_data[0].size());
        m_format.sampleRate = rate;
        m_format.blockFrames = *std::max_element(m_sizes.begin(), m_sizes.end());
    }
    void setLength(uint32_t frames) { m_format.lengthFrames = frames; }
    // Announces a block size other than the largest block actually sent.
    void setAnnouncedBlock(uint32_t frames) { m_format.blockFrames = frames; }

    kyError Prepare() override {
        m_pos = 0;
        m_next = 0;
        return m_block.allocate(m_format.channels,
                                *std::max_element(m_sizes.begin(), m_sizes.end()));
    }
    kyError Process() override {
        const size_t len = m_data.empty() ? 0 : m_data[0].size();
        if (m_pos >= len) return m_downstream->EndOfStream();
        const uint32_t n = static_cast<uint32_t>(
            std::min<size_t>(m_sizes[m_next++ % m_sizes.size()], len - m_pos));
        // A fresh copy each time: filters may work on the block in place.
        for (uint32_t c = 0; c < m_format.channels; ++c)
            std::copy_n(m_data[c].begin() + m_pos, n, m_block.plane(c));
        m_pos += n;
        return m_downstream->Write(m_block.planes(), n);
    }
    uint32_t Seek(uint32_t frame) override {
        lastSeek = frame;
        return seekAnswer ? seekAnswer : frame;
    }
    const char* GetInterleavedFormat(uint32_t channels) override {
        return !interleavedId.empty() && channels == m_format.channels ? interleavedId.c_str()
                                                                       : nullptr;
    }
    kyError RunInterleaved() override {
        if (interleavedId.empty()) return KYERR_SEQUENCE;
        const uint32_t frameBytes = 2 * m_format.channels;
        for (size_t at = 0; at < interleaved.size(); at += 1000 * frameBytes) {
            const size_t bytes = std::min<size_t>(1000 * frameBytes, interleaved.size() - at);
            kyError e = m_downstream->WriteInterleaved(interleaved.data() + at,
                                                       static_cast<uint32_t>(bytes),
                                                       static_cast<uint32_t>(bytes / frameBytes));
            if (kyFailed(e)) return e;
        }
        return m_downstream->EndOfStream();
    }

    uint32_t lastSeek = 0;
    uint32_t seekAnswer = 0;
    std::string interleavedId;
    std::vector<uint8_t> interleaved;

private:
    Planes m_data;
    std::vector<uint32_t> m_sizes;
    size_t m_pos = 0;
    size_t m_next = 0;
    kyPlaneBuffer m_block;
};

class CollectSink : public kySinkFilter2 {
public:
    CollectSink() : kySinkFilter2("Test sink") {}
    kyError Write(float** planes, uint32_t frames) override {
        const uint32_t channels = kyPlaneCount(planes);
        if (got.size() < channels) got.resize(channels);
        for (uint32_t c = 0; c < channels; ++c)
            got[c].insert(got[c].end(), planes[c], planes[c] + frames);
        largestBlock = std::max(largestBlock, frames);
        ++writes;
        return KY_OK;
    }
    kyError WriteInterleaved(const void* bytes, uint32_t byteCount, uint32_t frames) override {
        const auto* b = static_cast<const uint8_t*>(bytes);
        interleaved.insert(interleaved.end(), b, b + byteCount);
        return KY_OK;
    }

    Planes got;
    uint32_t largestBlock = 0;
    uint32_t writes = 0;
    std::vector<uint8_t> interleaved;
};

struct Result {
    kyError error = KY_OK;
    Planes out;
    kyAudioFormat format;
    uint32_t largestBlock = 0;
};

// Runs source -> resampler -> sink once.
inline Result resample(const Planes& in, uint32_t inRate, uint32_t outRate, uint32_t algorithm,
                       std::vector<uint32_t> sizes = {8192}) {
    PlaneSource source(in, inRate, std::move(sizes));
    kyResamplingFilter resampler(outRate, algorithm);
    CollectSink sink;
    source.Connect(&sink);
    source.InsertAfter(&resampler);
    Result r;
    r.error = sink.Run();
    resampler.GetFormat(r.format);
    r.out = std::move(sink.got);
    r.largestBlock = sink.largestBlock;
    return r;
}

// A sine of `freq` Hz and peak `amplitude`, computed in double.
inline std::vector<float> sine(double freq, double rate, double amplitude, size_t frames) {
    std::vector<float> v(frames);
    const double w = 2.0 * 3.14159265358979323846 * freq / rate;
    for (size_t i = 0; i < frames; ++i) v[i] = float(amplitude * std::sin(w * double(i)));
    return v;
}

// Deterministic white noise in [-0.5, 0.5).
inline std::vector<float> noise(size_t frames, uint32_t seed) {
    std::vector<float> v(frames);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& s : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s = float(x) / 4294967296.0f - 0.5f;
    }
    return v;
}

} // namespace resampling_test
