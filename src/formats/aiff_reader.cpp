#include "formats/aiff_reader.h"
#include "core/data_format.h"
#include "formats/aiff_common.h"
#include "formats/codecs/ima_adpcm.h"
#include "formats/tags/id3v2.h"
#include <algorithm>
#include <cstring>
#include <new>

using namespace aiff;

aiff_Reader::aiff_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option)
    : kyReaderFilter(fd, fileName, entry, option) {
    m_openResult = open();
}

kyReaderFilter* aiff_Reader::Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                    int32_t option) {
    return new (std::nothrow) aiff_Reader(fd, fileName, entry, option);
}

kyError aiff_Reader::open() {
    if (m_fd < 0) return KYERR_OPEN_FILE;
    uint8_t h[12];
    if (m_fileSize < 12 || kyFailed(ReadAt(0, h, 12))) return KYERR_CORRUPT;
    if (!be::isFourCC(h, "FORM")) return KYERR_CORRUPT;
    if (be::isFourCC(h + 8, "AIFC"))
        m_aifc = true;
    else if (!be::isFourCC(h + 8, "AIFF"))
        return KYERR_CORRUPT;
    // The chunks end with the form; a form size that cannot be right is not believed.
    const uint64_t formEnd = 8 + uint64_t(be::get32(h + 4));
    const uint64_t end = formEnd >= 12 && formEnd <= m_fileSize ? formEnd : m_fileSize;

    uint64_t pos = 12;
    for (int chunks = 0; pos + 8 <= end && chunks < 100000; ++chunks) {
        if (kyFailed(ReadAt(pos, h, 8))) return KYERR_READ_FILE;
        const uint64_t bodyStart = pos + 8;
        const uint64_t rest = end - bodyStart;
        const uint64_t size = be::get32(h + 4);
        // A size past the end of the file is read as far as the file goes.
        const uint64_t avail = std::min(size, rest);

        if (be::isFourCC(h, "SSND")) {
            // A writer that could not go back leaves the size short of its header.
            const uint64_t body = size < 8 ? rest : avail;
            uint8_t o[4];
            if (!m_haveData && body >= 8 && kySucceeded(ReadAt(bodyStart, o, 4))) {
                const uint64_t offset = be::get32(o);
                m_haveData = true;
                m_dataOffset = bodyStart + 8 + std::min<uint64_t>(offset, body - 8);
                m_dataBytes = body - 8 - std::min<uint64_t>(offset, body - 8);
            }
            pos = bodyStart + body + (body & 1);
            continue;
        }

        const bool text = std::any_of(std::begin(kTextChunks), std::end(kTextChunks),
                                      [&](const TextChunk& t) { return be::isFourCC(h, t.id); });
        const bool id3 = be::isFourCC(h, "ID3 ") || be::isFourCC(h, "id3 ");
        const bool wanted = text || id3 || be::isFourCC(h, "COMM") || be::isFourCC(h, "MARK") ||
                            be::isFourCC(h, "INST") || be::isFourCC(h, "COMT");
        if (wanted && avail <= kMaxMetadataChunk) {
            std::vector<uint8_t> body;
            if (kyError err = ReadBody(bodyStart, avail, body); kyFailed(err)) return err;
            const uint8_t* b = body.data();
            const uint32_t n = static_cast<uint32_t>(body.size());
            if (be::isFourCC(h, "COMM")) {
                if (!m_haveComm) {
                    kyError err = parseComm(b, n);
                    if (kyFailed(err)) return err;
                    m_haveComm = true;
                }
            } else if (be::isFourCC(h, "MARK")) {
                parseMarkers(b, n);
            } else if (be::isFourCC(h, "INST")) {
                if (n >= sizeof m_instrument) {
                    std::memcpy(m_instrument, b, sizeof m_instrument);
                    m_haveInstrument = true;
                }
            } else if (be::isFourCC(h, "COMT")) {
                parseComments(b, n);
            } else if (id3) {
                // Tag editors and other rippers keep their metadata in an ID3v2 tag.
                kyParseId3v2Tag(b, n, m_properties);
            } else {
                for (const TextChunk& t : kTextChunks) {
                    if (!be::isFourCC(h, t.id)) continue;
                    std::string s = FixedText(b, n);
                    if (!s.empty()) m_properties.setA(t.property, s.c_str());
                    if (t.property == 15) m_haveAnno = true;
                }
            }
        }
        pos = bodyStart + avail + (avail & 1);
    }

    if (!m_haveComm) return KYERR_CORRUPT;
    if (m_haveInstrument) parseInstrument(m_instrument, sizeof m_instrument);
    kyError err = chooseDecoder();
    if (kyFailed(err)) return err;
    if (!m_haveData) {
        m_format.lengthFrames = 0;
        return KY_OK; // Prepare reports the missing audio
    }
    // A frame count beyond the data is not believed; none at all (a writer that could not
    // go back) means all of the data.
    const uint64_t unitBytes =
        m_decoder ? uint64_t(kIma4Bytes) * m_format.channels : m_bytesPerFrame;
    uint64_t units = m_dataBytes / unitBytes;
    if (m_units && m_units < units) units = m_units;
    m_dataBytes = units * unitBytes;
    const uint64_t frames = m_decoder ? units * kIma4Frames : units;
    m_format.lengthFrames = static_cast<uint32_t>(std::min<uint64_t>(frames, KY_NO_LENGTH - 1));
    LimitBlockFrames();
    return KY_OK;
}

kyError aiff_Reader::parseComm(const uint8_t* b, uint32_t n) {
    if (n < 18) return KYERR_CORRUPT;
    const uint32_t channels = be::get16(b);
    m_units = be::get32(b + 2);
    m_sampleSize = be::get16(b + 6);
    uint32_t rate = 0;
    if (channels == 0 || !RateFromDouble(GetExtended(b + 8), rate)) return KYERR_CORRUPT;
    // An AIFF-C COMM without its compression type is taken as uncompressed.
    if (m_aifc && n >= 22) std::memcpy(m_type, b + 18, 4);
    m_format.channels = channels;
    m_format.sampleRate = rate;
    return KY_OK;
}

kyError aiff_Reader::chooseDecoder() {
    const Compression* c = FindCompression(m_type); // "NONE" for plain AIFF
    if (!c) return RefuseCoding(m_type);
    const char* id = c->subformat;
    if (!id) {
        if (m_sampleSize == 0) return KYERR_CORRUPT;
        id = kyPcmIdForBits(m_sampleSize);
        if (!id) return KYERR_DATA_FORMAT;
    }
    if (SetSubformat(id)) {
        m_byteSwap = !c->littleEndian;
        m_bytesPerFrame = (m_bits / 8) * m_format.channels;
        return KY_OK;
    }
    if (std::strcmp(id, "IMA ADPCM 4-bit") != 0) return KYERR_COMPRESSION;
    m_decoder = std::make_unique<kyImaAdpcmDecoder>(kyImaLayout::Ima4);
    m_codecBits = 4;
    m_codecBlockAlign = kIma4Bytes * m_format.channels;
    kyError err = m_decoder->start(m_codecBits, m_format.channels, m_codecBlockAlign);
    if (kyFailed(err)) {
        m_decoder.reset();
        return err == KYERR_CHANNEL_FORMAT ? err : KYERR_CORRUPT;
    }
    m_format.blockFrames = 4096;
    return KY_OK;
}

void aiff_Reader::parseMarkers(const uint8_t* b, uint32_t n) {
    if (n < 2) return;
    const uint32_t count = be::get16(b);
    uint32_t pos = 2;
    m_markers.clear();
    for (uint32_t i = 0; i < count && pos + 7 <= n; ++i) {
        Marker m;
        m.id = be::get16(b + pos);
        m.position = be::get32(b + pos + 2);
        const uint32_t len = b[pos + 6];
        const uint32_t nameEnd = pos + 7 + len;
        if (nameEnd > n) break;
        m.name = FixedText(b + pos + 7, len);
        m_markers.push_back(std::move(m));
        pos = nameEnd + ((1 + len) & 1); // counted strings are padded to an even length
    }
}

void aiff_Reader::parseInstrument(const uint8_t* b, uint32_t n) {
    if (n < 20) return;
    m_properties.setA(21, std::to_string(std::min<uint32_t>(b[0], 127)).c_str());
    m_properties.setA(22, std::to_string(static_cast<int8_t>(b[1])).c_str());
    // The sustain loop, when it plays and both its markers exist.
    const uint32_t mode = be::get16(b + 8);
    if (mode != 1 && mode != 2) return;
    const Marker* begin = nullptr;
    const Marker* end = nullptr;
    for (const Marker& m : m_markers) {
        if (m.id == be::get16(b + 10)) begin = &m;
        if (m.id == be::get16(b + 12)) end = &m;
    }
    if (!begin || !end || end->position <= begin->position) return;
    m_properties.setA(18, std::to_string(begin->position).c_str());
    m_properties.setA(19, std::to_string(end->position).c_str());
    m_properties.setA(20, mode == 2 ? "bid" : "fwd");
}

void aiff_Reader::parseComments(const uint8_t* b, uint32_t n) {
    // The first comment stands for the file when there is no annotation.
    if (m_haveAnno || n < 2 + 8 || be::get16(b) == 0) return;
    const uint32_t len = be::get16(b + 2 + 6);
    std::string s = FixedText(b + 10, std::min<uint32_t>(len, n - 10));
    if (!s.empty()) m_properties.setA(15, s.c_str());
}

bool aiff_Reader::GetMarker(uint32_t index, uint32_t& frame, std::string& name) {
    if (index >= m_markers.size()) return false;
    frame = m_markers[index].position;
    name = m_markers[index].name;
    return true;
}
