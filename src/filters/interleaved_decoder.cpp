#include "filters/interleaved_decoder.h"
#include "core/data_format.h"
#include "core/filter.h"
#include "formats/codecs/aac_decoder.h"
#include "formats/codecs/mpeg_audio_decoder.h"
#include <algorithm>
#include <cstring>

namespace {
struct Accepted {
    const char* id;
    uint32_t bytes;
};
constexpr Accepted kAccepted[] = {
    {"PCM 16-bit", 2},
    {"PCM 24-bit", 3},
    {"PCM 32-bit", 4},
    {"PCM 8-bit", 1},
    {"Float 32-bit", 4},
    {"Float 64-bit", 8},
    {"mu-Law", 1},
    {"A-Law", 1},
    {"MPEG audio layer III", 0},
    {"MPEG audio layer II", 0},
    {"MPEG audio layer I", 0},
    {"MPEG AAC", 0},
};
} // namespace

bool kyAcceptedInterleavedFormat(const char* id, uint32_t& bytesPerSample) {
    if (!id) return false;
    for (const Accepted& a : kAccepted)
        if (std::strcmp(a.id, id) == 0) {
            bytesPerSample = a.bytes;
            return true;
        }
    return false;
}

const char* kyOfferAcceptedFormat(kySourceFilter* upstream, uint32_t channels,
                                  std::string& offered) {
    offered.clear();
    const char* id = upstream ? upstream->GetInterleavedFormat(channels) : nullptr;
    uint32_t bytesPerSample = 0;
    if (!kyAcceptedInterleavedFormat(id, bytesPerSample)) return nullptr;
    offered = id;
    return offered.c_str();
}

kyError kyInterleavedDecoder::start(const char* idText, uint32_t channels, uint32_t blockFrames) {
    const std::string id = idText ? idText : ""; // may be our own id(): copied first
    m_stream.reset();
    m_id.clear();
    if (channels == 0 || blockFrames == 0) return KYERR_INVALID_PARAMETER;
    if (!kyAcceptedInterleavedFormat(id.c_str(), m_bytesPerSample)) return KYERR_DATA_FORMAT;
    m_id = id;
    m_channels = channels;
    if (m_planes.channels() != channels || m_planes.frames() < blockFrames) {
        kyError e = m_planes.allocate(channels, blockFrames);
        if (kyFailed(e)) return e;
    }
    if (m_bytesPerSample == 0) {
        if (id == "MPEG AAC")
            m_stream = std::make_unique<kyAacDecoder>();
        else
            m_stream = std::make_unique<kyMpegAudioDecoder>();
        kyError e = m_stream->start(channels);
        if (kyFailed(e)) {
            m_stream.reset();
            m_id.clear();
            return e;
        }
    }
    return KY_OK;
}

kyError kyInterleavedDecoder::decode(const void* bytes, uint32_t byteCount, uint32_t frames,
                                     const BlockFn& fn) {
    if (m_id.empty()) return KYERR_SEQUENCE;
    if (m_bytesPerSample > 0) {
        const uint32_t frameBytes = this->frameBytes();
        if (uint64_t(frames) * frameBytes != byteCount) return KYERR_UNKNOWN;
        // The conversion leaves the bytes alone (no swap, no flip).
        uint8_t* src = static_cast<uint8_t*>(const_cast<void*>(bytes));
        for (uint32_t done = 0; done < frames;) {
            const uint32_t n = std::min(frames - done, m_planes.frames());
            kyError e = InterleavedToPlanar(m_planes.planes(), src + size_t(done) * frameBytes,
                                            m_channels, 0, n, m_id.c_str(), false, false);
            if (kyFailed(e)) return e;
            e = fn(m_planes.planes(), n);
            if (kyFailed(e)) return e;
            done += n;
        }
        return KY_OK;
    }
    if (!m_stream) return KYERR_COMPRESSION;
    kyError e = m_stream->feed(bytes, byteCount);
    if (kyFailed(e)) return e;
    for (;;) {
        uint32_t got = 0;
        e = m_stream->read(m_planes.planes(), m_planes.frames(), got);
        if (kyFailed(e)) return e;
        if (got == 0) return KY_OK; // needs the next block (or the stream cannot go on)
        e = fn(m_planes.planes(), got);
        if (kyFailed(e)) return e;
    }
}

kyError kyInterleavedDecoder::configure(const void* bytes, uint32_t byteCount) {
    if (!m_stream) return KYERR_COMPRESSION;
    return m_stream->configure(bytes, byteCount);
}
