#include "formats/caf_writer.h"
#include "formats/caf_common.h"
#include "formats/caf_reader.h"
#include "formats/codecs/ima_adpcm.h"
#include "formats/format_catalog.h"
#include <bit>
#include <cstring>
#include <new>
#include <string>

using namespace caf;

caf_Writer::caf_Writer(int fd, const char* fileName, const char* subformat,
                       const kyFormatEntry* entry)
    : kyWriterFilter(fd, fileName, subformat, entry) {}

kyWriterFilter* caf_Writer::Create(int fd, const char* fileName, const char* subformat,
                                   const kyFormatEntry* entry) {
    return new (std::nothrow) caf_Writer(fd, fileName, subformat, entry);
}

bool caf_Writer::bigEndian() const {
    return m_entry && (m_entry->parameter & 1);
}

kyError caf_Writer::chooseFormat() {
    m_encoder.reset();
    m_convert = false;
    m_signFlip = false;
    m_byteSwap = false;
    const char* sub = Subformat();
    const std::string name = sub ? sub : "";
    const uint32_t channels = m_stream.channels;
    if (name == "IMA ADPCM 4-bit") {
        kyError err = UseEncoder(std::make_unique<kyImaAdpcmEncoder>(kyImaLayout::Ima4), 4);
        if (kyFailed(err)) return err;
        std::memcpy(m_formatId, "ima4", 4);
        m_formatFlags = 0;
        m_bytesPerPacket = kIma4Bytes * channels;
        m_framesPerPacket = kIma4Frames;
        m_bitsPerChannel = 0;
        return KY_OK;
    }
    const char* id = name == "mu-Law" ? "ulaw" : name == "A-Law" ? "alaw" : "lpcm";
    m_byteSwap = bigEndian();
    kyError err = PreparePcmConversion();
    if (kyFailed(err)) return err;
    std::memcpy(m_formatId, id, 4);
    m_formatFlags = (bigEndian() ? 0 : kFlagLittleEndian) | (name[0] == 'F' ? kFlagFloat : 0);
    m_bytesPerPacket = m_bytesPerSample * channels;
    m_framesPerPacket = 1;
    m_bitsPerChannel = m_bytesPerSample * 8;
    return KY_OK;
}

kyError caf_Writer::writeChunk(const char* id, const std::vector<uint8_t>& body) {
    uint8_t h[kChunkHeader];
    std::memcpy(h, id, 4);
    be::put64(h + 4, body.size());
    kyError err = WriteBytes(h, sizeof h);
    if (kySucceeded(err) && !body.empty()) err = WriteBytes(body.data(), body.size());
    return err;
}

std::vector<uint8_t> caf_Writer::descChunk() const {
    std::vector<uint8_t> d(32);
    be::putDouble(&d[0], m_stream.sampleRate);
    std::memcpy(&d[8], m_formatId, 4);
    be::put32(&d[12], m_formatFlags);
    be::put32(&d[16], m_bytesPerPacket);
    be::put32(&d[20], m_framesPerPacket);
    be::put32(&d[24], m_stream.channels);
    be::put32(&d[28], m_bitsPerChannel);
    return d;
}

std::vector<uint8_t> caf_Writer::infoChunk() {
    std::vector<uint8_t> body(4, 0);
    uint32_t count = 0;
    for (const InfoKey& k : kInfoKeys) {
        const char* value = GetPropertyUtf8(k.property);
        if (!value || !*value) continue;
        body.insert(body.end(), k.key, k.key + std::strlen(k.key) + 1);
        body.insert(body.end(), value, value + std::strlen(value) + 1);
        ++count;
    }
    if (count == 0) return {};
    be::put32(body.data(), count);
    return body;
}

kyError caf_Writer::Run() {
    kyError err = NegotiateFormat("PCM 16-bit");
    if (kyFailed(err)) return err;
    err = chooseFormat();
    if (kyFailed(err)) return err;

    static const uint8_t fileHeader[8] = {'c', 'a', 'f', 'f', 0, 1, 0, 0}; // version 1, flags 0
    err = SeekTo(0);
    if (kySucceeded(err)) err = WriteBytes(fileHeader, sizeof fileHeader);
    if (kySucceeded(err)) err = writeChunk("desc", descChunk());
    // Mono and stereo are what a reader assumes; other layouts are stated, as long as the
    // mask names exactly the file's channels.
    const uint32_t mask = m_stream.channelMask;
    if (kySucceeded(err) && mask != 0 && mask != 0x4 && mask != 0x3 &&
        static_cast<uint32_t>(std::popcount(mask)) == m_stream.channels) {
        std::vector<uint8_t> chan(12, 0);
        be::put32(&chan[0], kLayoutUseBitmap);
        be::put32(&chan[4], mask);
        err = writeChunk("chan", chan);
    }
    if (kySucceeded(err)) {
        std::vector<uint8_t> info = infoChunk();
        if (!info.empty()) err = writeChunk("info", info);
    }
    if (kyFailed(err)) return err;
    // "data" is open-ended until the stream has ended; then the edit count 0.
    m_dataHeader = Position();
    uint8_t data[kChunkHeader + 4] = {'d', 'a', 't', 'a'};
    be::put64(data + 4, kOpenEnded);
    err = WriteBytes(data, sizeof data);
    if (kyFailed(err)) return err;
    err = finish(RunStream());
    return FinishFile(err);
}

kyError caf_Writer::finish(kyError streamResult) {
    const uint64_t dataEnd = Position();
    kyError err = KY_OK;
    if (kySucceeded(streamResult) && isIma4() && m_framesWritten % kIma4Frames) {
        // The last packet was padded: say how many of its frames count.
        const uint64_t packets = (dataEnd - m_dataHeader - kChunkHeader - 4) / m_bytesPerPacket;
        std::vector<uint8_t> pakt(24, 0);
        be::put64(&pakt[0], packets);
        be::put64(&pakt[8], m_framesWritten);
        be::put32(&pakt[16], 0); // priming frames
        be::put32(&pakt[20], static_cast<uint32_t>(packets * kIma4Frames - m_framesWritten));
        err = writeChunk("pakt", pakt);
    }
    // The size counts the edit count and the audio; a failed stream gets it too.
    uint8_t size[8];
    be::put64(size, dataEnd - m_dataHeader - kChunkHeader);
    kyError patched = WriteAt(m_dataHeader + 4, size, sizeof size);
    if (kyFailed(streamResult)) return streamResult;
    return kyFailed(err) ? err : patched;
}

void caf_RegisterFormats(kyFormatCatalog& catalog) {
    static const std::vector<std::string> kList = {
        "<Auto select>", "PCM 8-bit",    "PCM 16-bit", "PCM 24-bit", "PCM 32-bit",
        "Float 32-bit",  "Float 64-bit", "mu-Law",     "A-Law",      "IMA ADPCM 4-bit"};
    static const kyFormatEntry reader{
        "caf", "Apple CoreAudio format", ProbeCaf, caf_Reader::Create, nullptr, {}, 1, 1000, 0};
    static const kyFormatEntry bigEndian{"caf",
                                         "Apple CoreAudio format (big-endian)",
                                         nullptr,
                                         nullptr,
                                         caf_Writer::Create,
                                         kList,
                                         1,
                                         1000,
                                         1};
    static const kyFormatEntry littleEndian{"caf",
                                            "Apple CoreAudio format (little-endian)",
                                            nullptr,
                                            nullptr,
                                            caf_Writer::Create,
                                            kList,
                                            1,
                                            1000,
                                            0};
    static const kyFormatEntry caff{
        "caff", "Apple CoreAudio file format", ProbeCaf, caf_Reader::Create, nullptr, {}, 1, 1000,
        0};
    for (const kyFormatEntry* e : {&reader, &bigEndian, &littleEndian, &caff})
        catalog.RegisterFormat(e);
}
