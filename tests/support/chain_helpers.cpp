#include "support/chain_helpers.h"
#include "formats/format_catalog.h"
#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kytest {

MemorySource::MemorySource(std::vector<std::vector<float>> planes, uint32_t rate,
                           uint32_t blockFrames)
    : kySourceFilter2("Memory source"), m_data(std::move(planes)) {
    m_frames = m_data.empty() ? 0 : static_cast<uint32_t>(m_data[0].size());
    m_format.lengthFrames = m_frames;
    m_format.channels = static_cast<uint32_t>(m_data.size());
    m_format.sampleRate = rate;
    m_format.blockFrames = blockFrames;
    m_scratch.assign(m_data.size(), std::vector<float>(blockFrames));
    m_ptrs.resize(m_data.size() + 1, nullptr);
}

void MemorySource::setInterleaved(std::string id, std::vector<uint8_t> bytes,
                                  uint32_t bytesPerFrame) {
    m_interleavedId = std::move(id);
    m_interleaved = std::move(bytes);
    m_bytesPerFrame = bytesPerFrame;
    m_properties.setUtf8(2, m_interleavedId);
}

kyError MemorySource::Prepare() {
    m_pos = 0;
    if (m_frames == 0 && m_downstream) return m_downstream->EndOfStream();
    return KY_OK;
}

kyError MemorySource::Process() {
    ++m_processCalls;
    if (!m_downstream) return KY_OK;
    uint32_t n = std::min(m_format.blockFrames, m_frames - m_pos);
    for (size_t c = 0; c < m_data.size(); ++c) {
        std::copy_n(m_data[c].begin() + m_pos, n, m_scratch[c].begin());
        m_ptrs[c] = m_scratch[c].data();
    }
    m_pos += n;
    if (n) {
        kyError err = m_downstream->Write(m_ptrs.data(), n);
        if (kyFailed(err)) return err;
    }
    if (m_pos >= m_frames) return m_downstream->EndOfStream();
    return KY_OK;
}

const char* MemorySource::GetInterleavedFormat(uint32_t channels) {
    if (m_interleavedId.empty() || channels != m_format.channels) return nullptr;
    return m_interleavedId.c_str();
}

kyError MemorySource::RunInterleaved() {
    if (m_interleavedId.empty() || !m_downstream) return KYERR_SEQUENCE;
    const size_t chunk = size_t(m_bytesPerFrame) * m_format.blockFrames;
    for (size_t pos = 0; pos < m_interleaved.size(); pos += chunk) {
        size_t n = std::min(chunk, m_interleaved.size() - pos);
        std::vector<uint8_t> copy(m_interleaved.begin() + pos, m_interleaved.begin() + pos + n);
        kyError err = m_downstream->WriteInterleaved(copy.data(), static_cast<uint32_t>(n),
                                                     static_cast<uint32_t>(n / m_bytesPerFrame));
        if (kyFailed(err)) return err;
    }
    return m_downstream->EndOfStream();
}

kyError CollectSink::Write(float** planes, uint32_t frames) {
    for (size_t c = 0; c < data.size(); ++c)
        data[c].insert(data[c].end(), planes[c], planes[c] + frames);
    return KY_OK;
}

int32_t catalogIndex(const char* displayName, bool writer) {
    kyFormatCatalog& cat = kyFormatCatalog::Instance();
    for (size_t i = 0; i < cat.Count(); ++i) {
        const kyFormatEntry* e = cat.Entry(static_cast<int32_t>(i));
        if (e->displayName == displayName && (writer ? e->writer != nullptr : e->reader != nullptr))
            return static_cast<int32_t>(i);
    }
    return -1;
}

std::string capture(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen((command + " 2>&1").c_str(), "r")) {
        char buf[512];
        while (fgets(buf, sizeof buf, pipe)) out += buf;
        pclose(pipe);
    }
    return out;
}

std::vector<std::vector<float>> sinePlanes(uint32_t channels, uint32_t frames, uint32_t rate,
                                           float amplitude) {
    std::vector<std::vector<float>> p(channels, std::vector<float>(frames));
    for (uint32_t c = 0; c < channels; ++c) {
        double f = 220.0 * (c + 1) + 31.0 * c;
        for (uint32_t i = 0; i < frames; ++i)
            p[c][i] = amplitude * static_cast<float>(std::sin(2 * M_PI * f * i / rate));
    }
    return p;
}

} // namespace kytest
