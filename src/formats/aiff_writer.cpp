#include "formats/aiff_writer.h"
#include "core/text.h"
#include "formats/aiff_common.h"
#include "formats/aiff_reader.h"
#include "formats/codecs/ima_adpcm.h"
#include "formats/format_catalog.h"
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

using namespace aiff;

namespace {

constexpr uint32_t kMaxChunkSize = 0x7FFFFFFF;

// A marker position from a frame count given as text: rounded, never negative.
uint32_t markerPosition(double frames) {
    double p = std::trunc(frames + 0.5);
    if (!(p > 0)) return 0;
    return p >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(p);
}

} // namespace

aiff_Writer::aiff_Writer(int fd, const char* fileName, const char* subformat,
                         const kyFormatEntry* entry)
    : kyWriterFilter(fd, fileName, subformat, entry) {
    SetFileSizeLimit(kFileLimit);
}

kyWriterFilter* aiff_Writer::Create(int fd, const char* fileName, const char* subformat,
                                    const kyFormatEntry* entry) {
    return new (std::nothrow) aiff_Writer(fd, fileName, subformat, entry);
}

bool aiff_Writer::isAifc() const {
    return m_entry && m_entry->parameter == 1;
}

kyError aiff_Writer::chooseFormat() {
    m_encoder.reset();
    m_convert = false;
    m_signFlip = false;
    m_byteSwap = false;
    m_compression = CompressionFor(Subformat());
    if (!m_compression) return KYERR_DATA_FORMAT;
    const uint32_t channels = m_stream.channels;
    if (m_compression->subformat && std::strcmp(m_compression->subformat, "IMA ADPCM 4-bit") == 0) {
        kyError err = UseEncoder(std::make_unique<kyImaAdpcmEncoder>(kyImaLayout::Ima4), 4);
        if (kyFailed(err)) return err;
        m_sampleSize = m_compression->sampleSize;
        m_unitBytes = kIma4Bytes * channels;
        return KY_OK;
    }
    m_byteSwap = true; // every sample is big-endian
    kyError err = PreparePcmConversion();
    if (kyFailed(err)) return err;
    m_sampleSize = m_compression->sampleSize ? m_compression->sampleSize : m_bytesPerSample * 8;
    m_unitBytes = m_bytesPerSample * channels;
    return KY_OK;
}

kyError aiff_Writer::writeChunk(const char* id, const std::vector<uint8_t>& body) {
    uint8_t h[8];
    std::memcpy(h, id, 4);
    be::put32(h + 4, static_cast<uint32_t>(body.size()));
    kyError err = WriteBytes(h, 8);
    if (kySucceeded(err) && !body.empty()) err = WriteBytes(body.data(), body.size());
    if (kySucceeded(err) && (body.size() & 1)) {
        const uint8_t pad = 0;
        err = WriteBytes(&pad, 1);
    }
    return err;
}

std::vector<uint8_t> aiff_Writer::commChunk(uint32_t units) const {
    std::vector<uint8_t> c(18, 0);
    be::put16(&c[0], m_stream.channels);
    be::put32(&c[2], units);
    be::put16(&c[6], m_sampleSize);
    PutExtended(&c[8], m_stream.sampleRate);
    if (isAifc()) {
        // Compression type, then its name as a counted string padded to an even length.
        c.insert(c.end(), m_compression->type, m_compression->type + 4);
        const size_t n = std::strlen(m_compression->name);
        c.push_back(static_cast<uint8_t>(n));
        c.insert(c.end(), m_compression->name, m_compression->name + n);
        if ((n + 1) & 1) c.push_back(0);
    }
    return c;
}

bool aiff_Writer::loopChunks(std::vector<uint8_t>& mark, std::vector<uint8_t>& inst) {
    int note = -1, cents = 0;
    double loopStart = 0, loopEnd = 0, gain = 0;
    kyParseLeadingInteger(GetPropertyA(21), note);
    kyParseLeadingInteger(GetPropertyA(22), cents);
    kyParseLeadingNumber(GetPropertyA(18), loopStart);
    const bool loop = kyParseLeadingNumber(GetPropertyA(19), loopEnd) && loopEnd > 0;
    const char* mode = GetPropertyA(20);
    mark.clear();
    inst.clear();
    if (loop) {
        mark.assign(34, 0);
        be::put16(&mark[0], 2);
        const struct {
            uint32_t id;
            double position;
            const char* name;
        } markers[2] = {{1, loopStart, "beg loop"}, {2, loopEnd, "end loop"}};
        uint8_t* m = &mark[2];
        for (const auto& k : markers) {
            be::put16(m, k.id);
            be::put32(m + 2, markerPosition(k.position));
            m[6] = 8; // counted name, then a pad byte to an even length
            std::memcpy(m + 7, k.name, 8);
            m += 16;
        }
    }
    if (note < 0 && !loop) return loop;
    inst.assign(20, 0);
    // The base note is a MIDI note: middle C when the source names none.
    inst[0] = static_cast<uint8_t>(note < 0 ? 60 : std::min(note, 127));
    inst[1] = static_cast<uint8_t>(static_cast<int8_t>(std::clamp(cents, -50, 50)));
    inst[2] = 0;   // low note
    inst[3] = 127; // high note
    inst[4] = 0;   // low velocity
    inst[5] = 127; // high velocity
    if (kyParseLeadingNumber(GetPropertyA(23), gain) && std::isfinite(gain))
        be::put16(&inst[6], static_cast<uint16_t>(static_cast<int16_t>(
                                std::clamp(std::round(gain), -32768.0, 32767.0))));
    // Sustain and release loops: play mode (1 forward, 2 back and forth), begin and end
    // marker.
    const uint32_t playMode = !mode ? 0 : (std::strcmp(mode, "bid") == 0 ? 2 : 1);
    for (uint8_t* l : {&inst[8], &inst[14]}) {
        be::put16(l, playMode);
        be::put16(l + 2, playMode ? 1 : 0);
        be::put16(l + 4, playMode ? 2 : 0);
    }
    return true;
}

kyError aiff_Writer::Run() {
    kyError err = NegotiateFormat("PCM 16-bit");
    if (kyFailed(err)) return err;
    err = chooseFormat();
    if (kyFailed(err)) return err;

    // Text chunks: the text, its NUL, and a zero byte when that leaves the size odd.
    m_texts.clear();
    uint64_t textBytes = 0;
    for (const TextChunk& t : kTextChunks) {
        const char* text = GetPropertyA(t.property);
        if (!text || !*text) continue;
        std::vector<uint8_t> body(text, text + std::strlen(text) + 1);
        if (body.size() & 1) body.push_back(0);
        textBytes += 8 + body.size();
        m_texts.emplace_back(t.id, std::move(body));
    }
    std::vector<uint8_t> mark, inst;
    loopChunks(mark, inst);

    // Provisional sizes from the announced length, corrected when the stream has ended.
    const uint64_t length = m_stream.lengthFrames;
    const uint64_t units = isIma4() ? (length + kIma4Frames - 1) / kIma4Frames : length;
    const uint64_t dataBytes = units * m_unitBytes;
    const std::vector<uint8_t> comm =
        commChunk(static_cast<uint32_t>(std::min<uint64_t>(units, 0xFFFFFFFFu)));
    uint64_t formSize =
        4 + (isAifc() ? 12 : 0) + 8 + comm.size() + (mark.empty() ? 0 : 8 + mark.size()) +
        (inst.empty() ? 0 : 8 + inst.size()) + 16 + dataBytes + (dataBytes & 1) + textBytes;

    uint8_t form[12] = {'F', 'O', 'R', 'M', 0, 0, 0, 0};
    be::put32(form + 4, static_cast<uint32_t>(std::min<uint64_t>(formSize, kMaxChunkSize)));
    std::memcpy(form + 8, isAifc() ? "AIFC" : "AIFF", 4);
    err = SeekTo(0);
    if (kySucceeded(err)) err = WriteBytes(form, sizeof form);
    if (kySucceeded(err) && isAifc()) {
        std::vector<uint8_t> fver(4);
        be::put32(fver.data(), kAifcVersion1);
        err = writeChunk("FVER", fver);
    }
    m_commOffset = Position();
    if (kySucceeded(err)) err = writeChunk("COMM", comm);
    if (kySucceeded(err) && !mark.empty()) err = writeChunk("MARK", mark);
    if (kySucceeded(err) && !inst.empty()) err = writeChunk("INST", inst);
    m_ssndOffset = Position();
    if (kySucceeded(err)) {
        // Offset and block size 0: the samples follow at once.
        uint8_t ssnd[16] = {'S', 'S', 'N', 'D'};
        be::put32(ssnd + 4,
                  static_cast<uint32_t>(std::min<uint64_t>(dataBytes + 8, kMaxChunkSize)));
        err = WriteBytes(ssnd, sizeof ssnd);
    }
    if (kyFailed(err)) return err;
    m_dataOffset = Position();

    err = RunStream();
    if (kySucceeded(err)) err = finish();
    return FinishFile(err);
}

kyError aiff_Writer::finish() {
    const uint64_t dataBytes = Position() - m_dataOffset;
    kyError err = KY_OK;
    if (dataBytes & 1) {
        const uint8_t pad = 0;
        err = WriteBytes(&pad, 1);
    }
    for (const auto& [id, body] : m_texts)
        if (kySucceeded(err)) err = writeChunk(id, body);
    if (kyFailed(err)) return err;
    const uint64_t fileEnd = Position();

    // The size limit keeps every size below 2^31.
    uint8_t w[4];
    be::put32(w, static_cast<uint32_t>(fileEnd - 8));
    err = WriteAt(4, w, 4);
    if (kyFailed(err)) return err;
    const uint64_t units = isIma4() ? dataBytes / m_unitBytes : m_framesWritten;
    be::put32(w, static_cast<uint32_t>(units));
    err = WriteAt(m_commOffset + 8 + 2, w, 4);
    if (kyFailed(err)) return err;
    be::put32(w, static_cast<uint32_t>(dataBytes + 8));
    return WriteAt(m_ssndOffset + 4, w, 4);
}

void aiff_RegisterFormats(kyFormatCatalog& catalog) {
    static const std::vector<std::string> kAiffList = {"<Auto select>", "PCM 8-bit", "PCM 16-bit",
                                                       "PCM 24-bit", "PCM 32-bit"};
    static const std::vector<std::string> kAifcList = {
        "<Auto select>", "PCM 8-bit",    "PCM 16-bit", "PCM 24-bit", "PCM 32-bit",
        "Float 32-bit",  "Float 64-bit", "mu-Law",     "A-Law",      "IMA ADPCM 4-bit"};
    static const kyFormatEntry afc{"afc",     "Audio interchange format - Compressed",
                                   ProbeAifc, aiff_Reader::Create,
                                   nullptr,   {},
                                   1,         1000,
                                   0};
    static const kyFormatEntry aif{"aif",
                                   "Audio interchange format",
                                   ProbeAiff,
                                   aiff_Reader::Create,
                                   aiff_Writer::Create,
                                   kAiffList,
                                   1,
                                   1000,
                                   0};
    static const kyFormatEntry aifc{"aifc",
                                    "Audio interchange file format - Compressed",
                                    ProbeAifc,
                                    aiff_Reader::Create,
                                    aiff_Writer::Create,
                                    kAifcList,
                                    1,
                                    1000,
                                    1};
    static const kyFormatEntry aiff{"aiff",
                                    "Audio interchange file format",
                                    ProbeAiff,
                                    aiff_Reader::Create,
                                    aiff_Writer::Create,
                                    kAiffList,
                                    1,
                                    1000,
                                    0};
    for (const kyFormatEntry* e : {&afc, &aif, &aifc, &aiff}) catalog.RegisterFormat(e);
}
