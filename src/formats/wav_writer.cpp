#include "formats/wav_writer.h"
#include "core/text.h"
#include "filters/channel_broker_filter.h"
#include "filters/resampling_filter.h"
#include "formats/codecs/g72x_adpcm.h"
#include "formats/codecs/gsm610.h"
#include "formats/codecs/ima_adpcm.h"
#include "formats/codecs/mp2_encoder.h"
#include "formats/codecs/mp3_encoder.h"
#include "formats/codecs/ms_adpcm.h"
#include "formats/format_catalog.h"
#include "formats/mpeg_audio_common.h"
#include "formats/reader_filter.h"
#include "formats/wav_common.h"
#include "formats/wav_reader.h"
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

using namespace wav;

namespace {

// RIFF sizes are 32-bit: the file may not grow past what they can describe.
constexpr uint64_t kRiffLimit = 0xFFFFFFFFull;

const char kCodingHistoryTail[] = ",T=Velmora ZiV++ engine v4.2\r\n";
const char kSoftware[] = "ZiV++ v4.2";

// Copies at most `max` bytes of `text` into `dst` (zero-filled already).
void putText(uint8_t* dst, const char* text, size_t max) {
    if (!text) return;
    std::memcpy(dst, text, std::min(std::strlen(text), max));
}

// ReplayGain word: name << 13 | originator << 10 | sign << 9 | value (tenths of a dB).
uint16_t gainWord(double gain, uint32_t name, uint32_t originator) {
    uint32_t v = static_cast<uint32_t>(std::fabs(gain) * 10.0 + 0.5);
    if (v > 510) {
        v = 510;
        name = 0;
    }
    uint32_t sign = gain < 0 ? 1 : 0;
    return static_cast<uint16_t>((name << 13) | (originator << 10) | (sign << 9) | v);
}

} // namespace

wav_Writer::wav_Writer(int fd, const char* fileName, const char* subformat,
                       const kyFormatEntry* entry)
    : kyWriterFilter(fd, fileName, subformat, entry) {
    SetFileSizeLimit(kRiffLimit);
}

wav_Writer::~wav_Writer() = default;

kyError wav_Writer::chooseMpeg(const std::string& name) {
    m_tag = TAG_MPEG;
    if (name.size() > 2 && name[2] == '2')
        m_mpegLayer2 = true;
    else if (name.size() > 2 && name[2] == '3')
        m_mpegLayer2 = false;
    else
        m_mpegLayer2 = name.size() == 19;
    m_fileChannels = std::min<uint32_t>(m_stream.channels, 2);
    m_bitsPerSample = 0;
    m_mpegLsf = false;
    if (m_passthrough) {
        // The stream's own headers say the rest once it is written.
        m_mpegBitRate = 0;
        m_blockAlign = 1;
        m_bytesPerSecond = 0;
        return KY_OK;
    }
    // "MP3 CBR 128 kbit/s" is configured from "CBR 128 kbit/s".
    const std::string text = name.size() > 4 ? name.substr(4) : std::string();
    const uint32_t rate = m_stream.sampleRate;
    uint32_t outRate, bitRate;
    if (m_mpegLayer2) {
        kyMp2Config c = kyConfigureMp2(text, rate, m_fileChannels);
        if (isBwf() && m_fileChannels == 1) {
            // Mono layer II has no rate above 192 kbit/s: from 224 on, BWF makes the
            // stream stereo instead.
            const kyMp2Config stereo = kyConfigureMp2(text, rate, 2);
            if (stereo.bitRate >= 224) {
                c = stereo;
                m_brokerChannels = 2;
            }
        }
        if (!kyMp2Encoder::available()) return KYERR_MISSING_COMPONENT;
        m_mp2 = std::make_unique<kyMp2Encoder>();
        outRate = c.outputRate;
        bitRate = c.bitRate;
        m_mpegLsf = c.mpeg2;
        m_fileChannels = c.channels;
        m_pendingMp2 = c;
    } else {
        const kyMp3Config c = kyConfigureMp3(text, rate, m_fileChannels);
        if (!kyMp3Encoder::available()) return KYERR_MISSING_COMPONENT;
        m_mp3 = std::make_unique<kyMp3Encoder>();
        outRate = c.outputRate;
        bitRate = c.bitRate;
        m_mpegLsf = c.mpeg2;
        m_pendingMp3 = c;
    }
    // The encoders take at most two channels: more are mixed down to two in front.
    if (m_stream.channels > 2) m_brokerChannels = 2;
    m_encodeRate = outRate;
    m_mpegBitRate = bitRate * 1000;
    m_bytesPerSecond = (m_mpegBitRate + 4) / 8;
    m_blockAlign = static_cast<uint32_t>(uint64_t(m_mpegBitRate) * 144 / outRate);
    return KY_OK;
}

kyWriterFilter* wav_Writer::Create(int fd, const char* fileName, const char* subformat,
                                   const kyFormatEntry* entry) {
    return new (std::nothrow) wav_Writer(fd, fileName, subformat, entry);
}

bool wav_Writer::isBwf() const {
    return m_entry && m_entry->parameter == 2;
}

kyError wav_Writer::chooseFormat() {
    const char* nameC = Subformat();
    std::string name = nameC ? nameC : "";
    const uint32_t channels = m_stream.channels;
    uint32_t rate = m_stream.sampleRate;
    m_fileChannels = channels;
    m_encodeRate = 0;
    m_encoderBits = 4;
    m_encoder.reset();
    m_mp3.reset();
    m_mp2.reset();
    m_brokerChannels = 0;
    m_signFlip = false;
    m_byteSwap = false;
    m_convert = false;

    auto pcmFields = [&](uint16_t tag) -> kyError {
        m_tag = tag;
        m_signFlip = name == "PCM 8-bit";
        kyError err = PreparePcmConversion();
        if (kyFailed(err)) return err;
        m_bitsPerSample = m_bytesPerSample * 8;
        m_blockAlign = m_bytesPerSample * channels;
        m_bytesPerSecond = m_blockAlign * rate;
        return KY_OK;
    };

    if (!name.empty() && name[0] == 'P') return pcmFields(TAG_PCM);
    if (!name.empty() && name[0] == 'F') return pcmFields(TAG_FLOAT);
    if (name == "mu-Law") return pcmFields(TAG_MULAW);
    if (name == "A-Law") return pcmFields(TAG_ALAW);
    if (name == "GSM 06.10") {
        m_tag = TAG_GSM;
        m_fileChannels = 1;
        m_encodeRate = 8000;
        m_encoder = std::make_unique<kyGsm610Encoder>();
        m_bitsPerSample = 0;
        m_blockAlign = 65;
        m_bytesPerSecond = static_cast<uint32_t>(8000 * 1.625 * 0.125);
        return KY_OK;
    }
    if (name == "IMA ADPCM 4-bit") {
        m_tag = TAG_IMA_ADPCM;
        m_encoder = std::make_unique<kyImaAdpcmEncoder>(kyImaLayout::Wav);
        m_bitsPerSample = 4;
        m_blockAlign = 512 * channels;
        m_bytesPerSecond = (rate * channels * 4) / 8;
        return KY_OK;
    }
    if (name == "MS ADPCM 4-bit") {
        m_tag = TAG_MS_ADPCM;
        m_fileChannels = std::min<uint32_t>(channels, 2);
        m_encoder = std::make_unique<kyMsAdpcmEncoder>();
        m_bitsPerSample = 4;
        m_blockAlign = 1024 * m_fileChannels;
        m_bytesPerSecond = static_cast<uint32_t>(uint64_t(m_fileChannels) * rate * 1024 / 2036);
        return KY_OK;
    }
    struct G72x {
        const char* name;
        uint16_t tag;
        uint32_t bits;
    };
    static const G72x kG72x[] = {{"G.723 ADPCM 3-bit", TAG_G723, 3},
                                 {"G.721 ADPCM 4-bit", TAG_G721, 4},
                                 {"G.723 ADPCM 5-bit", TAG_G723, 5}};
    for (const G72x& g : kG72x) {
        if (name != g.name) continue;
        m_tag = g.tag;
        m_fileChannels = 1;
        m_encoderBits = g.bits;
        m_encoder = std::make_unique<kyG72xEncoder>();
        m_bitsPerSample = g.bits;
        m_blockAlign = g.bits * 16;
        m_bytesPerSecond = (rate * g.bits + 7) / 8;
        return KY_OK;
    }
    if (name.size() >= 2 && name[0] == 'M' && name[1] == 'P') return chooseMpeg(name);
    if (name == "AC3" || name == "DTS") {
        if (!m_passthrough) return KYERR_DATA_FORMAT;
        m_tag = name == "AC3" ? TAG_AC3 : TAG_DTS;
        m_bitsPerSample = 0;
        m_blockAlign = 1;
        m_bytesPerSecond = name == "AC3" ? 80000 : 94313;
        return KY_OK;
    }
    return KYERR_DATA_FORMAT;
}

kyReaderFilter* wav_Writer::markerSource() const {
    kySourceFilter* s = m_upstream;
    for (int guard = 0; s && guard < 64; ++guard) {
        if (auto* r = dynamic_cast<kyReaderFilter*>(s)) return r;
        kySinkFilter* k = s->AsSink();
        s = k ? k->upstream() : nullptr;
    }
    return nullptr;
}

kyError wav_Writer::writeChunk(const char* id, const std::vector<uint8_t>& body) {
    uint8_t h[8];
    std::memcpy(h, id, 4);
    put32(h + 4, static_cast<uint32_t>(body.size()));
    kyError err = WriteBytes(h, 8);
    if (kyFailed(err)) return err;
    if (!body.empty()) err = WriteBytes(body.data(), body.size());
    if (kyFailed(err)) return err;
    if (body.size() & 1) {
        uint8_t pad = 0;
        err = WriteBytes(&pad, 1);
    }
    return err;
}

std::vector<uint8_t> wav_Writer::bextChunk() {
    std::vector<uint8_t> b(602, 0);
    const char* desc = GetPropertyA(15);
    if (!desc || !*desc) desc = GetPropertyA(3);
    putText(b.data(), desc, 256);
    putText(b.data() + 256, GetPropertyA(9), 32);
    putText(b.data() + 288, GetPropertyA(28), 32);
    if (const char* date = GetPropertyA(14)) {
        size_t n = std::min<size_t>(std::strlen(date), 10);
        for (size_t i = 0; i < n; ++i) b[320 + i] = date[i] == '-' ? ':' : date[i];
        const char* t = date + n;
        while (*t && (*t < '0' || *t > '9')) ++t;
        putText(b.data() + 330, t, 8);
    }
    double seconds = 0;
    if (kyParseLeadingNumber(GetPropertyA(30), seconds) && seconds > 0) {
        double product = std::trunc(seconds * m_stream.sampleRate + 0.5);
        uint64_t whole = product >= 1.8e19 ? 0 : static_cast<uint64_t>(product);
        uint32_t low = static_cast<uint32_t>(whole);
        uint32_t high = static_cast<uint32_t>((product - low) * (1.0 / 4294967296.0) + 0.5);
        put32(b.data() + 338, low);
        put32(b.data() + 342, high);
    }
    char line[160];
    const char* mode = m_fileChannels == 1 ? "mono" : "stereo";
    if (m_tag == TAG_PCM)
        std::snprintf(line, sizeof line, "A=PCM,F=%u,W=%u,M=%s", m_stream.sampleRate,
                      m_bitsPerSample, mode);
    else if (m_tag == TAG_MPEG && m_mpegBitRate)
        // The lower sampling frequencies are MPEG-2's.
        std::snprintf(line, sizeof line, "A=MPEG%dL%d,F=%u,B=%u,M=%s", m_mpegLsf ? 2 : 1,
                      m_mpegLayer2 ? 2 : 3, m_stream.sampleRate, m_mpegBitRate,
                      m_fileChannels == 1 ? "mono" : "joint-stereo");
    else
        std::snprintf(line, sizeof line, "F=%u", m_stream.sampleRate);
    std::string history = std::string(line) + kCodingHistoryTail;
    b.insert(b.end(), history.begin(), history.end());
    b.push_back(0);
    return b;
}

bool wav_Writer::samplerChunk(std::vector<uint8_t>& b) {
    int note = 0, cents = 0;
    bool haveNote = kyParseLeadingInteger(GetPropertyA(21), note);
    double loopStart = 0, loopEnd = 0;
    const char* mode = GetPropertyA(20);
    bool haveLoop = mode && kyParseLeadingNumber(GetPropertyA(19), loopEnd) && loopEnd > 0;
    if (!(haveNote && note >= 0) && !haveLoop) return false;
    kyParseLeadingNumber(GetPropertyA(18), loopStart);
    b.assign(36 + (haveLoop ? 24 : 0), 0);
    uint32_t rate = m_stream.sampleRate ? m_stream.sampleRate : 1;
    put32(&b[8], static_cast<uint32_t>(1000000000.0 / rate));
    uint32_t unity = haveNote ? static_cast<uint32_t>(note) : 60;
    uint32_t fraction = 0;
    if (haveNote && kyParseLeadingInteger(GetPropertyA(22), cents)) {
        if (cents < 0) {
            unity += 1;
            cents += 100;
        }
        fraction = static_cast<uint32_t>(std::clamp(cents * 0.01, 0.0, 1.0) * 4294967295.0);
    }
    put32(&b[12], unity);
    put32(&b[16], fraction);
    put32(&b[28], haveLoop ? 1 : 0);
    if (haveLoop) {
        uint8_t* l = &b[36];
        double span = loopEnd - loopStart;
        double s = std::trunc(loopStart + 0.5);
        double e = std::trunc(s + span);
        put32(l + 4, std::strcmp(mode, "bid") == 0 ? 1 : 0);
        put32(l + 8, static_cast<uint32_t>(static_cast<int64_t>(s)));
        put32(l + 12, static_cast<uint32_t>(static_cast<int64_t>(e) - 1));
        double frac = (span - (e - s)) * 4294967296.0;
        put32(l + 16, frac > 0 && frac < 4294967296.0 ? static_cast<uint32_t>(frac) : 0);
    }
    return true;
}

std::vector<uint8_t> wav_Writer::infoList() {
    std::vector<uint8_t> body = {'I', 'N', 'F', 'O'};
    auto item = [&](const char* id, const char* text) {
        size_t n = std::strlen(text) + 1;
        uint8_t h[8];
        std::memcpy(h, id, 4);
        put32(h + 4, static_cast<uint32_t>(n));
        body.insert(body.end(), h, h + 8);
        body.insert(body.end(), text, text + n);
        if (n & 1) body.push_back(0);
    };
    for (uint32_t p = 0; p <= 30; ++p) {
        const InfoItem* first = nullptr;
        for (const InfoItem& it : kInfoItems)
            if (it.property == p) {
                first = &it;
                break;
            }
        if (!first) continue;
        const char* text = GetPropertyA(p);
        if (!text || !*text) continue;
        item(first->id, text);
    }
    item("ISFT", kSoftware);
    return body;
}

kyError wav_Writer::writeHeader() {
    const uint32_t rate = m_stream.sampleRate;
    // "fmt "
    std::vector<uint8_t>& f = m_fmt;
    size_t fmtSize = 16;
    if (m_tag == TAG_FLOAT || m_tag == TAG_MULAW || m_tag == TAG_ALAW || m_tag == TAG_AC3 ||
        m_tag == TAG_DTS)
        fmtSize = 18;
    else if (m_tag == TAG_GSM || m_tag == TAG_IMA_ADPCM || m_tag == TAG_G723 || m_tag == TAG_G721)
        fmtSize = 20;
    else if (m_tag == TAG_MS_ADPCM)
        fmtSize = 50;
    else if (m_tag == TAG_MPEG)
        fmtSize = 40;
    f.assign(fmtSize, 0);
    put16(&f[0], m_tag);
    put16(&f[2], m_fileChannels);
    put32(&f[4], rate);
    put32(&f[8], m_bytesPerSecond);
    put16(&f[12], m_blockAlign);
    put16(&f[14], m_bitsPerSample);
    if (fmtSize >= 18) put16(&f[16], static_cast<uint32_t>(fmtSize - 18));
    switch (m_tag) {
    case TAG_GSM:
        put16(&f[18], 320);
        break;
    case TAG_IMA_ADPCM:
        put16(&f[18], 1017);
        break;
    case TAG_MS_ADPCM:
        put16(&f[18], 2036);
        put16(&f[20], kyMsAdpcmCoefficientCount);
        for (uint32_t i = 0; i < kyMsAdpcmCoefficientCount; ++i) {
            put16(&f[22 + i * 4], static_cast<uint16_t>(kyMsAdpcmCoefficients[i][0]));
            put16(&f[24 + i * 4], static_cast<uint16_t>(kyMsAdpcmCoefficients[i][1]));
        }
        break;
    case TAG_MPEG:
        put16(&f[18], m_mpegLayer2 ? 2 : 4);
        put32(&f[20], m_mpegBitRate);
        put16(&f[24], m_fileChannels == 1 ? 8 : 2);
        put16(&f[26], 0);
        put16(&f[28], 1);
        put16(&f[30], 0x10);
        break;
    default:
        break;
    }

    static const uint8_t riff[12] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    kyError err = SeekTo(0);
    if (kyFailed(err)) return err;
    err = WriteBytes(riff, sizeof riff);
    if (kyFailed(err)) return err;
    if (isBwf()) {
        err = writeChunk("bext", bextChunk());
        if (kyFailed(err)) return err;
    }
    m_fmtOffset = Position();
    err = writeChunk("fmt ", f);
    if (kyFailed(err)) return err;
    m_hasFact = m_tag != TAG_PCM;
    if (m_hasFact) {
        m_factOffset = Position();
        std::vector<uint8_t> fact(4);
        put32(fact.data(), m_stream.lengthFrames);
        err = writeChunk("fact", fact);
        if (kyFailed(err)) return err;
    }
    double trackGain = 0;
    if (kyParseLeadingNumber(GetPropertyA(23), trackGain)) {
        std::vector<uint8_t> rg(8);
        double peak = 1.0;
        kyParseLeadingNumber(GetPropertyA(27), peak);
        float pk = static_cast<float>(peak);
        std::memcpy(rg.data(), &pk, 4); // little-endian host
        uint16_t radio = gainWord(trackGain, 1, 3);
        double albumGain = 0;
        uint16_t audiophile = kyParseLeadingNumber(GetPropertyA(24), albumGain)
                                  ? gainWord(albumGain, 2, 3)
                                  : static_cast<uint16_t>((2u << 13) | (radio & 0x3FF));
        put16(&rg[4], radio);
        put16(&rg[6], audiophile);
        err = writeChunk("rgad", rg);
        if (kyFailed(err)) return err;
    }
    m_hasMext = isBwf() && m_tag == TAG_MPEG;
    if (m_hasMext) {
        m_mextOffset = Position();
        std::vector<uint8_t> mext(12, 0);
        put16(&mext[0], 3);
        put16(&mext[2], rate ? static_cast<uint32_t>(uint64_t(m_mpegBitRate) * 144 / rate) : 0);
        err = writeChunk("mext", mext);
        if (kyFailed(err)) return err;
    }
    if (kyReaderFilter* src = markerSource()) {
        std::vector<uint8_t> cue(4), adtl = {'a', 'd', 't', 'l'};
        uint32_t n = 0, frame = 0;
        std::string label;
        while (n < 65536 && src->GetMarker(n, frame, label)) {
            if (label.size() > 511) label.resize(511);
            ++n;
            uint8_t p[24] = {};
            put32(p, n);
            put32(p + 4, frame);
            std::memcpy(p + 8, "data", 4);
            put32(p + 20, frame);
            cue.insert(cue.end(), p, p + 24);
            uint8_t h[12];
            std::memcpy(h, "labl", 4);
            uint32_t size = static_cast<uint32_t>(4 + label.size() + 1);
            put32(h + 4, size);
            put32(h + 8, n);
            adtl.insert(adtl.end(), h, h + 12);
            adtl.insert(adtl.end(), label.begin(), label.end());
            adtl.push_back(0);
            if (size & 1) adtl.push_back(0);
        }
        if (n) {
            put32(cue.data(), n);
            err = writeChunk("cue ", cue);
            if (kyFailed(err)) return err;
            err = writeChunk("LIST", adtl);
            if (kyFailed(err)) return err;
        }
    }
    static const uint8_t data[8] = {'d', 'a', 't', 'a', 0, 0, 0, 0};
    err = WriteBytes(data, sizeof data);
    if (kyFailed(err)) return err;
    m_dataOffset = Position();
    return KY_OK;
}

kyError wav_Writer::Run() {
    kyError err = NegotiateFormat("PCM 16-bit");
    if (kyFailed(err)) return err;
    err = chooseFormat();
    if (kyFailed(err)) return err;
    if (m_brokerChannels && m_brokerChannels != m_stream.channels) {
        auto* b = new (std::nothrow) kyChannelBrokerFilter(m_brokerChannels);
        if (!b) return KYERR_OUT_OF_MEMORY;
        InsertInFront(b);
        m_stream.channels = m_fileChannels = m_brokerChannels;
    }
    m_encoderChannels = m_fileChannels;
    if (m_encodeRate && m_encodeRate != m_stream.sampleRate) {
        auto* r = new (std::nothrow) kyResamplingFilter(m_encodeRate, KYRESAMPLE_FIR_NORMAL);
        if (!r) return KYERR_OUT_OF_MEMORY;
        InsertInFront(r);
        m_stream.sampleRate = m_encodeRate;
    }
    err = writeHeader();
    if (kySucceeded(err)) err = RunStream();
    if (kySucceeded(err)) err = finish();
    err = FinishFile(err);
    ReleaseInserted();
    return err;
}

kyError wav_Writer::EncoderStart() {
    // No VBR header for layer III: nothing in a WAV file would fill it in.
    if (m_mp3) {
        m_pendingMp3.channels = m_fileChannels;
        return m_mp3->start(m_pendingMp3, false);
    }
    if (m_mp2) {
        m_pendingMp2.channels = m_fileChannels;
        return m_mp2->start(m_pendingMp2);
    }
    return kyWriterFilter::EncoderStart();
}

kyError wav_Writer::Encode(const uint8_t*& out, uint32_t& outBytes, float** planes,
                           uint32_t& consumed, uint32_t& remaining) {
    if (m_mp3 || m_mp2) {
        m_encoded.clear();
        kyError err = m_mp3 ? m_mp3->encode(planes, consumed, remaining, m_encoded)
                            : m_mp2->encode(planes, consumed, remaining, m_encoded);
        if (kyFailed(err)) return err;
        return EncodedAll(m_encoded, out, outBytes, consumed, remaining);
    }
    if (!(m_encoder && m_fileChannels == 1 && m_stream.channels >= 2))
        return kyWriterFilter::Encode(out, outBytes, planes, consumed, remaining);
    // Mono codecs get the first two channels averaged.
    try {
        if (m_mono.size() < remaining) m_mono.resize(remaining);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    for (uint32_t i = 0; i < remaining; ++i)
        m_mono[i] = (planes[0][consumed + i] + planes[1][consumed + i]) * 0.5f;
    float* mono[2] = {m_mono.data(), nullptr};
    uint32_t from = 0;
    kyError err = kyWriterFilter::Encode(out, outBytes, mono, from, remaining);
    if (kyFailed(err)) return err;
    consumed += from;
    return KY_OK;
}

kyError wav_Writer::EncoderFlush() {
    if (!m_mp3 && !m_mp2) return kyWriterFilter::EncoderFlush();
    m_encoded.clear();
    kyError err = m_mp3 ? m_mp3->flush(m_encoded) : m_mp2->flush(m_encoded);
    if (kyFailed(err)) return err;
    return m_encoded.empty() ? KY_OK : WriteBytes(m_encoded.data(), m_encoded.size());
}

kyError wav_Writer::finish() {
    const uint64_t dataEnd = Position();
    const uint64_t dataBytes = dataEnd - m_dataOffset;
    kyError err;
    if (dataBytes & 1) {
        uint8_t pad = 0;
        err = WriteBytes(&pad, 1);
        if (kyFailed(err)) return err;
    }
    err = writeChunk("LIST", infoList());
    if (kyFailed(err)) return err;
    std::vector<uint8_t> smpl;
    if (!isBwf() && samplerChunk(smpl)) {
        err = writeChunk("smpl", smpl);
        if (kyFailed(err)) return err;
    }
    const uint64_t fileEnd = Position();

    uint8_t w[4];
    if (m_tag == TAG_MPEG && dataBytes >= 4) {
        uint8_t h[4];
        err = ReadAt(m_dataOffset, h, 4);
        if (kyFailed(err)) return err;
        mpeg::FrameHeader mh;
        if (!mpeg::ParseFrameHeader(h, sizeof h, mh)) mh = mpeg::FrameHeader{};
        if (!m_mpegBitRate && mh.bitRate) {
            m_mpegBitRate = mh.bitRate;
            if (mh.sampleRate && mh.sampleRate != m_stream.sampleRate && m_stream.sampleRate)
                m_framesWritten = static_cast<uint32_t>(uint64_t(m_framesWritten) * mh.sampleRate /
                                                        m_stream.sampleRate);
        }
        uint32_t rate = m_stream.sampleRate ? m_stream.sampleRate : 1;
        put32(&m_fmt[8], (m_mpegBitRate + 4) / 8);
        put16(&m_fmt[12], static_cast<uint32_t>(uint64_t(m_mpegBitRate) * 144 / rate));
        put32(&m_fmt[20], m_mpegBitRate);
        err = WriteAt(m_fmtOffset + 8, m_fmt.data(), m_fmt.size());
        if (kyFailed(err)) return err;
        if (m_hasMext) {
            put16(w, static_cast<uint32_t>(uint64_t(m_mpegBitRate) * 144 / rate));
            err = WriteAt(m_mextOffset + 8 + 2, w, 2);
            if (kyFailed(err)) return err;
        }
    } else if ((m_tag == TAG_AC3 || m_tag == TAG_DTS) && m_framesWritten) {
        uint32_t bps = static_cast<uint32_t>(
            std::trunc(double(dataBytes) * m_stream.sampleRate / m_framesWritten + 0.5));
        if (bps != m_bytesPerSecond) {
            m_bytesPerSecond = bps;
            put32(&m_fmt[8], bps);
            err = WriteAt(m_fmtOffset + 8, m_fmt.data(), 14);
            if (kyFailed(err)) return err;
        }
    }
    put32(w, static_cast<uint32_t>(fileEnd - 8));
    err = WriteAt(4, w, 4);
    if (kyFailed(err)) return err;
    if (m_hasFact) {
        put32(w, m_framesWritten);
        err = WriteAt(m_factOffset + 8, w, 4);
        if (kyFailed(err)) return err;
    }
    put32(w, static_cast<uint32_t>(dataBytes));
    return WriteAt(m_dataOffset - 4, w, 4);
}

namespace {

std::vector<std::string> wavList() {
    std::vector<std::string> l = {"<Auto select>",
                                  "PCM 8-bit",
                                  "PCM 16-bit",
                                  "PCM 24-bit",
                                  "PCM 32-bit",
                                  "Float 32-bit",
                                  "Float 64-bit",
                                  "mu-Law",
                                  "A-Law",
                                  "IMA ADPCM 4-bit",
                                  "MS ADPCM 4-bit",
                                  "G.723 ADPCM 3-bit",
                                  "G.721 ADPCM 4-bit",
                                  "G.723 ADPCM 5-bit",
                                  "GSM 06.10",
                                  "*MPEG audio layer III"};
    for (int r : {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320})
        l.push_back("MP3 CBR " + std::to_string(r) + " kbit/s");
    for (int r : {80, 96, 112, 128, 160, 192, 224, 256})
        l.push_back("MP3 ABR " + std::to_string(r) + " kbit/s");
    l.push_back("*MPEG audio layer II");
    for (int r : {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384})
        l.push_back("MP2 CBR " + std::to_string(r) + " kbit/s");
    l.push_back("*AC3");
    l.push_back("*DTS");
    return l;
}

std::vector<std::string> bwfList() {
    std::vector<std::string> l = {"<Auto select>", "PCM 8-bit",  "PCM 16-bit",
                                  "PCM 24-bit",    "PCM 32-bit", "*MPEG audio layer II"};
    for (int r : {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384})
        l.push_back("MP2 CBR " + std::to_string(r) + " kbit/s");
    return l;
}

} // namespace

void wav_RegisterFormats(kyFormatCatalog& catalog) {
    static const kyFormatEntry bwf{"wav",
                                   "Broadcast wave format (EBU BWF)",
                                   ProbeBwf,
                                   wav_Reader::Create,
                                   wav_Writer::Create,
                                   bwfList(),
                                   1,
                                   2,
                                   2};
    static const kyFormatEntry wavReader{
        "wav", "Microsoft wave format", ProbeWav, wav_Reader::Create, nullptr, {}, 1, 1000, 0};
    static const kyFormatEntry wavWriter{
        "wav", "Microsoft wave format", nullptr, nullptr, wav_Writer::Create, wavList(), 1, 1000,
        0};
    catalog.RegisterFormat(&bwf);
    catalog.RegisterFormat(&wavReader);
    catalog.RegisterFormat(&wavWriter);
}
