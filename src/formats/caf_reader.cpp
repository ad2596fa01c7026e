#include "formats/caf_reader.h"
#include "core/data_format.h"
#include "formats/caf_common.h"
#include "formats/codecs/ima_adpcm.h"
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

using namespace caf;

namespace {

// More channels than any layout names: refused rather than allocated.
constexpr uint32_t kMaxChannels = 65535;

} // namespace

caf_Reader::caf_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option)
    : kyReaderFilter(fd, fileName, entry, option) {
    m_openResult = open();
}

kyReaderFilter* caf_Reader::Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                   int32_t option) {
    return new (std::nothrow) caf_Reader(fd, fileName, entry, option);
}

kyError caf_Reader::open() {
    if (m_fd < 0) return KYERR_OPEN_FILE;
    uint8_t h[kChunkHeader];
    if (m_fileSize < 8 || kyFailed(ReadAt(0, h, 8))) return KYERR_CORRUPT;
    if (!be::isFourCC(h, "caff") || be::get16(h + 4) != 1) return KYERR_CORRUPT;

    std::vector<uint8_t> chan;
    uint64_t pos = 8;
    for (int chunks = 0; pos + kChunkHeader <= m_fileSize && chunks < 100000; ++chunks) {
        if (kyFailed(ReadAt(pos, h, kChunkHeader))) return KYERR_READ_FILE;
        const uint64_t bodyStart = pos + kChunkHeader;
        const uint64_t rest = m_fileSize - bodyStart;
        const uint64_t size = be::get64(h + 4);
        // An open-ended chunk (a writer that never finished) and a size past the end of
        // the file both end with the file.
        const uint64_t avail = std::min(size, rest);

        if (be::isFourCC(h, "data")) {
            if (!m_haveData && avail >= 4) {
                m_haveData = true;
                m_dataOffset = bodyStart + 4; // after the edit count
                m_dataBytes = avail - 4;
            }
            if (size == kOpenEnded) break;
        } else if (avail <= kMaxMetadataChunk &&
                   (be::isFourCC(h, "desc") || be::isFourCC(h, "pakt") || be::isFourCC(h, "chan") ||
                    be::isFourCC(h, "info"))) {
            std::vector<uint8_t> body;
            if (kyError err = ReadBody(bodyStart, avail, body); kyFailed(err)) return err;
            const uint8_t* b = body.data();
            const uint32_t n = static_cast<uint32_t>(body.size());
            if (be::isFourCC(h, "desc")) {
                if (n < 32) return KYERR_CORRUPT;
                if (!m_haveDesc) {
                    kyError err = parseDesc(b);
                    if (kyFailed(err)) return err;
                    m_haveDesc = true;
                }
            } else if (be::isFourCC(h, "pakt")) {
                if (n >= 24 && !m_havePakt) {
                    m_havePakt = true;
                    m_validFrames = be::get64(b + 8);
                    m_primingFrames = be::get32(b + 16);
                    m_remainderFrames = be::get32(b + 20);
                }
            } else if (be::isFourCC(h, "chan")) {
                chan = std::move(body);
            } else {
                parseInfo(b, n);
            }
        }
        pos = bodyStart + avail;
    }

    if (!m_haveDesc) return KYERR_CORRUPT;
    kyError err = chooseDecoder();
    if (kyFailed(err)) return err;
    if (!chan.empty())
        m_format.channelMask = MaskOfLayout(chan.data(), chan.size(), m_format.channels);
    if (!m_haveData) {
        m_format.lengthFrames = 0;
        return KY_OK; // Prepare reports the missing audio
    }
    uint64_t frames = 0;
    if (m_decoder) {
        // Whole packets only; the packet table may leave out priming frames at the start
        // and unused frames of the last packet.
        const uint64_t packets = m_dataBytes / m_bytesPerPacket;
        m_dataBytes = packets * m_bytesPerPacket;
        const uint64_t total = packets * kIma4Frames;
        const uint64_t priming = std::min<uint64_t>(m_primingFrames, total);
        if (m_havePakt && m_validFrames)
            frames = std::min(m_validFrames, total - priming);
        else if (m_havePakt)
            frames = total - std::min<uint64_t>(total, priming + m_remainderFrames);
        else
            frames = total;
        m_leadingFrames = static_cast<uint32_t>(std::min<uint64_t>(priming, 0xFFFFFFFFu));
    } else {
        frames = m_dataBytes / m_bytesPerFrame;
    }
    m_format.lengthFrames = static_cast<uint32_t>(std::min<uint64_t>(frames, KY_NO_LENGTH - 1));
    LimitBlockFrames();
    return KY_OK;
}

kyError caf_Reader::parseDesc(const uint8_t* b) {
    uint32_t rate = 0;
    if (!RateFromDouble(be::getDouble(b), rate)) return KYERR_CORRUPT;
    std::memcpy(m_formatId, b + 8, 4);
    m_formatFlags = be::get32(b + 12);
    m_bytesPerPacket = be::get32(b + 16);
    m_framesPerPacket = be::get32(b + 20);
    const uint32_t channels = be::get32(b + 24);
    m_bitsPerChannel = be::get32(b + 28);
    if (channels == 0) return KYERR_CORRUPT;
    if (channels > kMaxChannels) return KYERR_CHANNEL_FORMAT;
    m_format.channels = channels;
    m_format.sampleRate = rate;
    return KY_OK;
}

kyError caf_Reader::chooseDecoder() {
    const uint32_t channels = m_format.channels;
    const FormatId* f = FindFormatId(m_formatId);
    if (!f) return RefuseCoding(m_formatId);
    const char* id = f->subformat;
    if (!id) {
        // "lpcm": the container is the packet's share of each channel.
        if (m_framesPerPacket != 1 || m_bytesPerPacket == 0 || m_bytesPerPacket % channels)
            return KYERR_CORRUPT;
        const uint32_t container = m_bytesPerPacket / channels;
        const uint32_t bits = m_bitsPerChannel;
        if (m_formatFlags & kFlagFloat) {
            id = bits == 32 && container == 4   ? "Float 32-bit"
                 : bits == 64 && container == 8 ? "Float 64-bit"
                                                : nullptr;
        } else {
            if (bits == 0) return KYERR_CORRUPT;
            id = kyPcmIdForBits(bits);
            if (id && kyFindDataFormat(id)->bytes != container)
                id = container == 4 && bits > 16 && bits <= 24
                         ? (bits <= 20 ? "PCM 20-bit (32)" : "PCM 24-bit (32)")
                         : nullptr;
        }
        if (!id) return KYERR_DATA_FORMAT;
    }
    if (SetSubformat(id)) {
        if (m_bits / 8 * channels != m_bytesPerPacket) return KYERR_CORRUPT;
        m_byteSwap = !(m_formatFlags & kFlagLittleEndian);
        m_bytesPerFrame = m_bytesPerPacket;
        return KY_OK;
    }
    if (std::strcmp(id, "IMA ADPCM 4-bit") != 0) return KYERR_COMPRESSION;
    if (m_framesPerPacket != kIma4Frames || m_bytesPerPacket != kIma4Bytes * channels)
        return KYERR_CORRUPT;
    m_decoder = std::make_unique<kyImaAdpcmDecoder>(kyImaLayout::Ima4);
    m_codecBits = 4;
    m_codecBlockAlign = m_bytesPerPacket;
    kyError err = m_decoder->start(m_codecBits, channels, m_codecBlockAlign);
    if (kyFailed(err)) {
        m_decoder.reset();
        return err == KYERR_CHANNEL_FORMAT ? err : KYERR_CORRUPT;
    }
    m_format.blockFrames = 4096;
    return KY_OK;
}

void caf_Reader::parseInfo(const uint8_t* b, uint32_t n) {
    if (n < 4) return;
    const uint32_t count = be::get32(b);
    // Key and value pairs, each NUL-terminated; the count cannot pass the body.
    uint32_t pos = 4;
    auto next = [&](std::string& s) {
        const uint8_t* end = static_cast<const uint8_t*>(std::memchr(b + pos, 0, n - pos));
        if (!end) return false;
        s.assign(reinterpret_cast<const char*>(b + pos), static_cast<size_t>(end - (b + pos)));
        pos = static_cast<uint32_t>(end - b) + 1;
        return true;
    };
    std::string key, value;
    for (uint32_t i = 0; i < count && pos < n; ++i) {
        if (!next(key) || pos >= n || !next(value)) break;
        for (const InfoKey& k : kInfoKeys)
            if (key == k.key && !value.empty()) m_properties.setUtf8(k.property, value);
    }
}
