#include "formats/shn_reader.h"
#include "formats/format_catalog.h"
#include "formats/lossless_format.h"
#include "formats/tags/file_tags.h"
#include "formats/wav_common.h"
#include "platform/file_io.h"
#include <algorithm>
#include <cstring>
#include <new>

namespace {
struct WaveShape {
    uint32_t channels = 0, rate = 0, bits = 0;
    uint64_t dataBytes = 0;
    bool haveData = false;
};

// The "fmt " and "data" chunks of the RIFF/WAVE header a stream carries.
bool parseWaveHeader(const std::vector<uint8_t>& h, WaveShape& w) {
    if (h.size() < 12 || std::memcmp(h.data(), "RIFF", 4) != 0 ||
        std::memcmp(h.data() + 8, "WAVE", 4) != 0)
        return false;
    bool haveFmt = false;
    size_t at = 12;
    while (at + 8 <= h.size()) {
        const uint32_t size = wav::get32(h.data() + at + 4);
        const uint8_t* body = h.data() + at + 8;
        const size_t avail = h.size() - at - 8;
        if (std::memcmp(h.data() + at, "fmt ", 4) == 0 && size >= 16 && avail >= 16) {
            const uint16_t tag = wav::get16(body);
            if (tag != 1 && tag != 0xFFFE) return false;
            w.channels = wav::get16(body + 2);
            w.rate = wav::get32(body + 4);
            w.bits = wav::get16(body + 14);
            haveFmt = true;
        } else if (std::memcmp(h.data() + at, "data", 4) == 0) {
            // The samples follow the header in the coded stream, not in it.
            w.dataBytes = size;
            w.haveData = size != 0 && size != 0xFFFFFFFFu;
            break;
        }
        at += 8 + uint64_t(size) + (size & 1);
    }
    return haveFmt;
}
} // namespace

shn_Reader::shn_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option)
    : kyReaderFilter(fd, fileName, entry, option) {
    m_openResult = open();
}

int shn_Reader::Probe(const uint8_t* head, size_t size) {
    if (size < 5 || std::memcmp(head, "ajkg", 4) != 0) return KY_PROBE_NO;
    return head[4] >= 1 && head[4] <= 3 ? KY_PROBE_CERTAIN : KY_PROBE_NO;
}

kyReaderFilter* shn_Reader::Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                   int32_t option) {
    return new (std::nothrow) shn_Reader(fd, fileName, entry, option);
}

kyError shn_Reader::startDecoder() {
    m_pos = m_audioStart;
    return m_shn.start([this](uint8_t* data, size_t size) -> long {
        const uint64_t left = m_audioEnd > m_pos ? m_audioEnd - m_pos : 0;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(size, left));
        if (want == 0) return 0;
        const long long n = kyReadUpTo(m_fd, m_pos, data, want);
        if (n < 0) return -1;
        m_pos += static_cast<uint64_t>(n);
        return static_cast<long>(n);
    });
}

kyError shn_Reader::open() {
    if (m_fd < 0) return KYERR_OPEN_FILE;
    kyTagLayout layout;
    kyError err = kyReadFileTags(m_fd, m_fileSize, m_properties, layout);
    if (kyFailed(err)) return err;
    m_audioStart = layout.audioStart;
    m_audioEnd = layout.audioEnd ? layout.audioEnd : m_fileSize;
    err = startDecoder();
    if (kyFailed(err)) return err;
    WaveShape w;
    if (!parseWaveHeader(m_shn.header(), w)) {
        kySetErrorReason(KYERR_DATA_FORMAT, "the Shorten stream holds no RIFF/WAVE header");
        return KYERR_DATA_FORMAT;
    }
    const uint32_t channels = m_shn.channels(), bits = m_shn.bits();
    if (w.channels != channels || w.bits != bits || w.rate == 0) {
        kySetErrorReason(KYERR_CORRUPT, "the Shorten stream's WAVE header does not match it");
        return KYERR_CORRUPT;
    }
    m_properties.setUtf8(2, kyLosslessSubformatName(bits, false));
    m_format.channels = channels;
    m_format.sampleRate = w.rate;
    m_format.channelMask = 0;
    const uint64_t frames = w.dataBytes / (uint64_t(channels) * (bits / 8));
    // Without a size in the header the stream is read to its end.
    m_format.lengthFrames =
        w.haveData ? static_cast<uint32_t>(std::min<uint64_t>(frames, KY_NO_LENGTH - 1))
                   : KY_NO_LENGTH;
    m_format.blockFrames = 4096;
    m_bits = 32;
    LimitBlockFrames();
    return KY_OK;
}

kyError shn_Reader::PrepareDecoder() {
    // Decoded from the start; the frames before the seek point are dropped.
    kyError err = startDecoder();
    if (kyFailed(err)) return err;
    m_frames.reset(m_startFrame);
    return m_frames.allocate(m_format.channels, m_shn.maxBlockFrames());
}

kyError shn_Reader::refill(float** planes, uint32_t capacity, uint32_t& frames) {
    kyError err = m_shn.decodeBlock(m_block, frames);
    if (kyFailed(err) || frames == 0) return err;
    if (frames > capacity) return KYERR_CORRUPT;
    const float scale = 1.0f / float(1u << (m_shn.bits() - 1));
    for (uint32_t c = 0; c < m_format.channels; ++c)
        for (uint32_t i = 0; i < frames; ++i) planes[c][i] = float(m_block[c][i]) * scale;
    return KY_OK;
}

kyError shn_Reader::DecodeFrames(float** planes, uint32_t frames, uint32_t& got) {
    return m_frames.take(planes, frames, got, [this](float** p, uint32_t capacity, uint32_t& n) {
        return refill(p, capacity, n);
    });
}
