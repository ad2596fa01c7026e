#include "formats/wav_reader.h"
#include "core/data_format.h"
#include "core/text.h"
#include "formats/codecs/aac_decoder.h"
#include "formats/codecs/g72x_adpcm.h"
#include "formats/codecs/gsm610.h"
#include "formats/codecs/ima_adpcm.h"
#include "formats/codecs/mpeg_audio_decoder.h"
#include "formats/codecs/ms_adpcm.h"
#include "formats/codecs/vorbis_file_decoder.h"
#include "formats/format_catalog.h"
#include "formats/tags/replay_gain.h"
#include "formats/wav_common.h"
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

using namespace wav;

namespace {

// Bytes of MPEG and AAC data fed to the decoder at a time.
constexpr size_t kStreamFeed = 16384;
constexpr uint32_t kMpegFrames = 1152;
// Room for the frames of one decoded AAC frame (twice 1024 with SBR).
constexpr uint32_t kAacFrames = 2048;
// Bytes of a stored stream handed on at a time.
constexpr uint32_t kPassOnBytes = 65536;

const uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                               0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

} // namespace

wav_Reader::wav_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option)
    : kyReaderFilter(fd, fileName, entry, option) {
    m_openResult = open();
}

wav_Reader::~wav_Reader() = default;

kyReaderFilter* wav_Reader::Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                   int32_t option) {
    return new (std::nothrow) wav_Reader(fd, fileName, entry, option);
}

kyError wav_Reader::open() {
    if (m_fd < 0) return KYERR_OPEN_FILE;
    const uint64_t fileSize = m_fileSize;
    uint64_t pos = 0;
    bool rf64 = false, haveDs64 = false;
    uint64_t ds64Data = 0, ds64Samples = 0;
    uint64_t dataSize32 = 0;
    bool inWave = false;
    int chunks = 0;

    while (pos + 8 <= fileSize && chunks++ < 100000) {
        uint8_t h[12];
        if (kyFailed(ReadAt(pos, h, 8))) return KYERR_READ_FILE;
        const uint64_t bodyStart = pos + 8;
        const uint64_t rest = fileSize - bodyStart;
        uint64_t size = get32(h + 4);

        if (isFourCC(h, "RIFF") || isFourCC(h, "RF64") || isFourCC(h, "LIST")) {
            if (rest >= 4 && kySucceeded(ReadAt(bodyStart, h + 8, 4))) {
                const bool isRiff = !isFourCC(h, "LIST");
                if ((isRiff && isFourCC(h + 8, "WAVE")) ||
                    (!isRiff && (isFourCC(h + 8, "INFO") || isFourCC(h + 8, "adtl")))) {
                    if (isRiff) {
                        inWave = true;
                        rf64 = isFourCC(h, "RF64");
                    }
                    pos = bodyStart + 4; // enter the list
                    continue;
                }
            }
        }
        if (pos == 0 && !inWave) return KYERR_CORRUPT; // not a RIFF/WAVE file at all

        // A size past the end of the file is read as far as the file goes.
        uint64_t avail = std::min(size, rest);
        if (isFourCC(h, "data")) {
            uint64_t len = size;
            if (rf64 && haveDs64 && size == 0xFFFFFFFFu)
                len = ds64Data;
            else if (size == 0 || size == 0xFFFFFFFFu || size == rest + 8)
                len = rest;
            if (!m_haveData) {
                m_haveData = true;
                m_dataOffset = bodyStart;
                m_dataBytes = std::min(len, rest);
                dataSize32 = size;
            }
            avail = std::min(len, rest);
            pos = bodyStart + avail + (avail & 1);
            continue;
        }

        std::vector<uint8_t> body;
        const bool wanted =
            isFourCC(h, "fmt ") || isFourCC(h, "fact") || isFourCC(h, "ds64") ||
            isFourCC(h, "cue ") || isFourCC(h, "labl") || isFourCC(h, "smpl") ||
            isFourCC(h, "bext") || isFourCC(h, "cart") || isFourCC(h, "rgad") ||
            (h[0] == 'I' && std::any_of(std::begin(kInfoItems), std::end(kInfoItems),
                                        [&](const InfoItem& it) { return isFourCC(h, it.id); }));
        if (wanted && avail <= kMaxMetadataChunk) {
            if (kyError err = ReadBody(bodyStart, avail, body); kyFailed(err)) return err;
            const uint8_t* b = body.data();
            const uint32_t n = static_cast<uint32_t>(body.size());
            if (isFourCC(h, "fmt ")) {
                if (!m_haveFmt) {
                    kyError err = parseFormat(b, n);
                    if (kyFailed(err)) return err;
                    m_haveFmt = true;
                }
            } else if (isFourCC(h, "fact")) {
                if (n >= 4) {
                    uint32_t c = get32(b);
                    if (c == 0xFFFFFFFFu && haveDs64)
                        m_sampleCount = ds64Samples;
                    else if (c)
                        m_sampleCount = c;
                }
            } else if (isFourCC(h, "ds64")) {
                if (rf64 && n >= 24) {
                    haveDs64 = true;
                    ds64Data = get64(b + 8);
                    ds64Samples = get64(b + 16);
                }
            } else if (isFourCC(h, "cue ")) {
                parseCue(b, n);
            } else if (isFourCC(h, "labl")) {
                if (n >= 4) {
                    uint32_t id = get32(b);
                    for (CuePoint& c : m_cues)
                        if (c.id == id) c.label = FixedText(b + 4, n - 4);
                }
            } else if (isFourCC(h, "smpl")) {
                parseSmpl(b, n);
            } else if (isFourCC(h, "bext")) {
                parseBext(b, n);
            } else if (isFourCC(h, "cart")) {
                parseCart(b, n);
            } else if (isFourCC(h, "rgad")) {
                parseRgad(b, n);
            } else {
                for (const InfoItem& it : kInfoItems)
                    if (isFourCC(h, it.id)) {
                        std::string text = FixedText(b, n);
                        if (!text.empty()) m_properties.setA(it.property, text.c_str());
                        break;
                    }
            }
        }
        pos = bodyStart + avail + (avail & 1);
    }
    (void)dataSize32;

    if (!inWave) return KYERR_CORRUPT;
    if (!m_haveFmt) return KYERR_CORRUPT;
    kyError err = chooseDecoder();
    if (kyFailed(err)) return err;
    if (!m_haveData) {
        m_format.lengthFrames = 0;
        return KY_OK; // Prepare reports the missing audio
    }
    if (m_vorbis) return openVorbis();

    // Length in frames.
    uint64_t frames = 0;
    if (IsRawPcm()) {
        frames = m_dataBytes / m_bytesPerFrame;
        // A sample count beyond the data is not believed.
        if (m_sampleCount && m_sampleCount < frames) frames = m_sampleCount;
    } else if (m_sampleCount) {
        frames = m_sampleCount;
    } else if (m_tag == TAG_GSM) {
        frames = static_cast<uint64_t>((m_dataBytes / m_channels) * 8 * 0.6153846);
    } else if (m_stream) {
        frames = KY_NO_LENGTH; // decoded until the data ends
    } else if (storedStream()) {
        // AC3 and DTS: their bytes per second say how long they play.
        frames = m_bytesPerSecond ? m_dataBytes * m_rate / m_bytesPerSecond : KY_NO_LENGTH;
    } else if (m_bitsPerSample) {
        frames = m_dataBytes / m_channels * 8 / m_bitsPerSample;
    }
    m_format.lengthFrames = static_cast<uint32_t>(std::min<uint64_t>(frames, KY_NO_LENGTH));
    LimitBlockFrames();
    return KY_OK;
}

kyError wav_Reader::parseFormat(const uint8_t* b, uint32_t n) {
    if (n < 14) return KYERR_CORRUPT;
    m_tag = get16(b);
    m_channels = get16(b + 2);
    m_rate = get32(b + 4);
    m_bytesPerSecond = get32(b + 8);
    m_blockAlign = get16(b + 12);
    m_bitsPerSample = n >= 16 ? get16(b + 14) : 0;
    uint32_t cbSize = n >= 18 ? get16(b + 16) : 0;
    if (cbSize && n >= 18) m_extra.assign(b + 18, b + 18 + std::min<uint32_t>(cbSize, n - 18));
    if (m_channels == 0 || m_rate == 0) return KYERR_CORRUPT;
    if (m_tag == TAG_EXTENSIBLE) {
        if (n < 40 || cbSize < 22) return KYERR_CORRUPT;
        m_validBits = get16(b + 18);
        m_format.channelMask = get32(b + 20);
        m_subTag = get16(b + 24);
        if (std::memcmp(b + 26, kGuidTail, sizeof kGuidTail) != 0) m_subTag = 0;
    }
    if (m_tag == TAG_MPEG_L3) {
        m_tag = TAG_MPEG;
        m_subTag = 4; // layer III by definition
    } else if (m_tag == TAG_MPEG && n >= 20) {
        m_subTag = get16(b + 18); // head layer
    }
    // Block codecs need their extra fields and a block size to find their blocks.
    if ((m_tag == TAG_MS_ADPCM || m_tag == TAG_IMA_ADPCM || m_tag == TAG_GSM) &&
        (n < 20 || m_blockAlign == 0))
        return KYERR_CORRUPT;
    m_format.channels = m_channels;
    m_format.sampleRate = m_rate;
    return KY_OK;
}

kyError wav_Reader::chooseDecoder() {
    uint16_t tag = m_tag == TAG_EXTENSIBLE ? m_subTag : m_tag;
    const uint32_t bits = m_bitsPerSample;
    const char* id = nullptr;
    auto monoOnly = [&]() { return m_channels == 1 ? KY_OK : KYERR_CHANNEL_FORMAT; };

    if (m_tag == TAG_EXTENSIBLE && tag != TAG_PCM && tag != TAG_FLOAT) return KYERR_COMPRESSION;
    switch (tag) {
    case TAG_PCM:
        if (bits == 0) return KYERR_CORRUPT;
        id = kyPcmIdForBits(bits);
        if (!id) return KYERR_DATA_FORMAT;
        m_signFlip = bits <= 8; // unsigned bytes
        break;
    case TAG_FLOAT:
        if (bits == 0 || bits > 64) return KYERR_DATA_FORMAT;
        id = bits <= 32 ? "Float 32-bit" : "Float 64-bit";
        break;
    case TAG_ALAW:
    case 0x172:
        id = "A-Law";
        break;
    case TAG_MULAW:
    case 0x171:
        id = "mu-Law";
        break;
    default:
        break;
    }
    if (id) {
        SetSubformat(id);
        // Frames are as wide as the samples say; the block-align field is not trusted.
        m_bytesPerFrame = (m_bits / 8) * m_channels;
        return KY_OK;
    }

    m_rawPcm = false;
    uint32_t codecBits = 4;
    switch (tag) {
    case TAG_MS_ADPCM:
        if (bits != 4) return KYERR_COMPRESSION;
        m_properties.setUtf8(2, "MS ADPCM 4-bit");
        m_decoder = std::make_unique<kyMsAdpcmDecoder>();
        break;
    case TAG_IMA_ADPCM:
        if (bits == 2) m_properties.setUtf8(2, "IMA ADPCM 2-bit");
        if (bits == 3) m_properties.setUtf8(2, "IMA ADPCM 3-bit");
        if (bits != 4) return KYERR_COMPRESSION;
        m_properties.setUtf8(2, "IMA ADPCM 4-bit");
        m_decoder = std::make_unique<kyImaAdpcmDecoder>(kyImaLayout::Wav);
        break;
    case 0x14:
    case 0x40:
    case 0x42:
    case 0x45:
    case 0x59:
    case 0x64:
    case 0x85:
    case 0x8B:
    case 0x93:
    case 0x140:
    case 0x4243:
    case 0xA105:
    case 0xA107: {
        static const char* const kNames[] = {"G.726 ADPCM 2-bit", "G.723 ADPCM 3-bit",
                                             "G.721 ADPCM 4-bit", "G.723 ADPCM 5-bit"};
        if (bits < 2 || bits > 5) return KYERR_COMPRESSION;
        m_properties.setUtf8(2, kNames[bits - 2]);
        if (bits == 2) return KYERR_COMPRESSION;
        kyError err = monoOnly();
        if (kyFailed(err)) return err;
        codecBits = bits;
        m_decoder = std::make_unique<kyG72xDecoder>();
        break;
    }
    case TAG_GSM: {
        m_properties.setUtf8(2, "GSM 06.10");
        kyError err = monoOnly();
        if (kyFailed(err)) return err;
        m_decoder = std::make_unique<kyGsm610Decoder>();
        break;
    }
    case 0x303:
        m_properties.setUtf8(2, "GSM 06.10");
        return KYERR_COMPRESSION;
    case TAG_MPEG: {
        const char* name = m_subTag == 1   ? "MPEG audio layer I"
                           : m_subTag == 2 ? "MPEG audio layer II"
                           : m_subTag == 4 ? "MPEG audio layer III"
                                           : "MPEG audio";
        m_properties.setUtf8(2, name);
        if (m_channels > 2) return KYERR_CHANNEL_FORMAT;
        if (!kyMpegAudioDecoder::available()) return KYERR_MISSING_COMPONENT;
        m_stream = std::make_unique<kyMpegAudioDecoder>();
        m_format.blockFrames = kMpegFrames;
        m_passOn = m_subTag == 1 || m_subTag == 2 || m_subTag == 4;
        return KY_OK;
    }
    case 0x674F: // Ogg Vorbis in its three modes, and the same with the "plus" flag
    case 0x6750:
    case 0x6751:
    case 0x676F:
    case 0x6770:
    case 0x6771:
        m_properties.setUtf8(2, "Ogg");
        m_vorbis = std::make_unique<kyVorbisFileDecoder>();
        return KY_OK;
    case 0x92:
    case 0x241:
    case TAG_AC3:
    case 8:
    case 400:
    case TAG_DTS:
        // Not decoded here: handed on unchanged to a writer that stores them.
        m_properties.setUtf8(2, tag == 8 || tag == 400 || tag == TAG_DTS ? "DTS" : "AC3");
        m_passOn = true;
        return KY_OK;
    case 0xB0:
    case 0xFF:
    case 0x180:
    case 0x2006:
    case 0x2007:
    case 0x4143:
    case 0xA106:
        m_properties.setUtf8(2, "MPEG AAC");
        if (!kyAacDecoder::available()) return KYERR_MISSING_COMPONENT;
        m_stream = std::make_unique<kyAacDecoder>();
        m_format.blockFrames = kAacFrames;
        return KY_OK;
    default:
        return KYERR_COMPRESSION;
    }
    m_codecBits = codecBits;
    m_codecBlockAlign = m_blockAlign;
    kyError err = m_decoder->start(codecBits, m_channels, m_blockAlign);
    if (kyFailed(err)) {
        m_decoder.reset();
        return err == KYERR_CHANNEL_FORMAT ? err : KYERR_CORRUPT;
    }
    if (m_decoder->bytesPerBlock() == 0 || m_decoder->framesPerBlock() == 0) return KYERR_CORRUPT;
    m_format.blockFrames = std::max<uint32_t>(m_decoder->framesPerBlock(), 1024);
    return KY_OK;
}

kyError wav_Reader::openVorbis() {
    // Only a data chunk that holds a whole Ogg Vorbis stream, headers included, can be
    // decoded; the modes that keep the headers elsewhere are not.
    kyError err = m_vorbis->open(m_fd, m_dataOffset, m_dataOffset + m_dataBytes);
    if (kyFailed(err)) return err == KYERR_MISSING_COMPONENT ? err : KYERR_COMPRESSION;
    if (m_vorbis->channels() != m_channels) return KYERR_CORRUPT;
    m_format.sampleRate = m_vorbis->sampleRate();
    kyPropertyTable comments;
    m_vorbis->readComments(comments);
    TakeProperties(comments);
    uint64_t frames = m_vorbis->length();
    if (frames == 0) frames = m_sampleCount ? m_sampleCount : KY_NO_LENGTH;
    m_format.lengthFrames = static_cast<uint32_t>(std::min<uint64_t>(frames, KY_NO_LENGTH));
    m_format.blockFrames = 4096;
    LimitBlockFrames();
    return KY_OK;
}

void wav_Reader::parseBext(const uint8_t* b, uint32_t n) {
    if (n < 602) return;
    std::string s = FixedText(b, 256);
    if (!s.empty()) m_properties.setA(15, s.c_str());
    s = FixedText(b + 256, 32);
    if (!s.empty()) m_properties.setA(9, s.c_str());
    s = FixedText(b + 288, 32);
    if (!s.empty()) m_properties.setA(28, s.c_str());
    std::string date = FixedText(b + 320, 10);
    std::replace(date.begin(), date.end(), ':', '-');
    std::string time = FixedText(b + 330, 8);
    if (!date.empty()) {
        if (!time.empty()) date += ", " + time;
        m_properties.setA(14, date.c_str());
    }
    uint64_t ref = get32(b + 338) | (uint64_t(get32(b + 342)) << 32);
    if (ref && m_rate) {
        m_properties.setA(30, kyFormatFixed(double(ref) / m_rate, 6).c_str());
    }
}

void wav_Reader::parseCart(const uint8_t* b, uint32_t n) {
    if (n < 1024) return;
    // Version, then Title, Artist, CutID, ClientID, Category (64 bytes each).
    static const struct {
        uint32_t offset, size, property;
    } kFields[] = {{4, 64, 3}, {68, 64, 5}, {132, 64, 4}, {196, 64, 9}, {260, 64, 28}};
    for (const auto& f : kFields) {
        std::string s = FixedText(b + f.offset, f.size);
        if (!s.empty()) m_properties.setA(f.property, s.c_str());
    }
    std::string version = FixedText(b, 4);
    // After the fixed fields: the user-defined text at 616, the level reference and post
    // timers, reserved bytes, then from 1024 the URL (1024 bytes) and the tag text.
    constexpr uint32_t kUserDefined = 616, kUrl = 1024, kTagText = 2048;
    if (version >= "0101" && n >= kTagText) {
        std::string url = FixedText(b + kUrl, 1024);
        if (!url.empty()) m_properties.setA(17, url.c_str());
        std::string tag = FixedText(b + kTagText, n - kTagText);
        if (!tag.empty()) {
            m_properties.setA(15, tag.c_str());
            return;
        }
    }
    std::string user = FixedText(b + kUserDefined, 64);
    if (!user.empty()) m_properties.setA(15, user.c_str());
}

void wav_Reader::parseRgad(const uint8_t* b, uint32_t n) {
    if (n < 8) return;
    float peak;
    std::memcpy(&peak, b, 4);
    const kyRgadTexts rg = kyDecodeRgad(peak, get16(b + 4), get16(b + 6));
    if (rg.peak) m_properties.setUtf8(27, *rg.peak);
    if (rg.trackGain) m_properties.setUtf8(23, *rg.trackGain);
    if (rg.albumGain) m_properties.setUtf8(24, *rg.albumGain);
}

void wav_Reader::parseSmpl(const uint8_t* b, uint32_t n) {
    if (n < 36) return;
    char buf[64];
    int32_t note = static_cast<int32_t>(get32(b + 12));
    if (note != 0) {
        int64_t cents = get32(b + 16) / 42949672u;
        if (cents > 50) {
            note -= 1;
            cents -= 100;
        }
        std::snprintf(buf, sizeof buf, "%d", note);
        m_properties.setA(21, buf);
        std::snprintf(buf, sizeof buf, "%d", static_cast<int>(cents));
        m_properties.setA(22, buf);
    }
    uint32_t loops = get32(b + 28);
    if (loops && n >= 36 + 24) {
        const uint8_t* l = b + 36;
        std::snprintf(buf, sizeof buf, "%u", get32(l + 8));
        m_properties.setA(18, buf);
        m_properties.setA(
            19,
            kyFormatFixed(double(get32(l + 12)) + 1.0 + get32(l + 16) / 4294967296.0, 2).c_str());
        m_properties.setA(20, get32(l + 4) == 1 ? "bid" : "fwd");
    }
}

void wav_Reader::parseCue(const uint8_t* b, uint32_t n) {
    if (n < 4) return;
    uint32_t count = std::min<uint32_t>(get32(b), (n - 4) / 24);
    m_cues.clear();
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* p = b + 4 + i * 24;
        m_cues.push_back({get32(p), get32(p + 20), {}});
    }
}

bool wav_Reader::GetMarker(uint32_t index, uint32_t& frame, std::string& name) {
    if (index >= m_cues.size()) return false;
    frame = m_cues[index].position;
    name = m_cues[index].label;
    return true;
}

const char* wav_Reader::GetInterleavedFormat(uint32_t channels) {
    if (IsRawPcm()) return kyReaderFilter::GetInterleavedFormat(channels);
    if (kyFailed(m_openResult) || !storedStream() || channels != m_channels) return nullptr;
    return m_properties.getUtf8(2);
}

kyError wav_Reader::RunInterleaved() {
    if (IsRawPcm()) return kyReaderFilter::RunInterleaved();
    if (kyFailed(m_openResult)) return m_openResult;
    if (!storedStream()) return KYERR_SEQUENCE;
    if (!m_downstream || m_fd < 0) return KYERR_SEQUENCE;
    kyError err = SeekFile(m_dataOffset);
    if (kyFailed(err)) return err;
    try {
        m_block.resize(kPassOnBytes);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    // Frames each piece stands for: a share of the known length, else what the format's
    // bytes per second say.
    const bool known = m_format.lengthFrames != KY_NO_LENGTH && m_dataBytes > 0;
    uint64_t left = m_dataBytes, done = 0, framesSent = 0;
    while (left > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, m_block.size()));
        err = ReadExact(m_block.data(), n);
        if (kyFailed(err)) return err;
        left -= n;
        done += n;
        uint64_t total = known ? uint64_t(m_format.lengthFrames) * done / m_dataBytes
                               : (m_bytesPerSecond ? done * m_rate / m_bytesPerSecond : 0);
        const uint32_t frames = static_cast<uint32_t>(total - std::min(total, framesSent));
        framesSent += frames;
        err = m_downstream->WriteInterleaved(m_block.data(), static_cast<uint32_t>(n), frames);
        if (kyFailed(err)) return err;
        if (err == 1) return KYERR_SEQUENCE; // the sink does not take interleaved blocks
    }
    return m_downstream->EndOfStream();
}

kyError wav_Reader::PrepareDecoder() {
    if (IsRawPcm()) return KY_OK;
    if (m_vorbis) return m_vorbis->seek(m_startFrame);
    if (!m_stream) {
        if (!m_decoder) return KYERR_COMPRESSION; // a stream that is only handed on
        return kyReaderFilter::PrepareDecoder();
    }
    // Decoded from the start; the frames before the seek point are dropped.
    m_decodedFrames = m_decodedPos = 0;
    m_skip = m_startFrame;
    kyError err = SeekFile(m_dataOffset);
    if (kyFailed(err)) return err;
    err = m_stream->start(m_channels);
    if (kyFailed(err)) return err;
    if (m_tag != TAG_MPEG && !m_extra.empty()) {
        err = m_stream->configure(m_extra.data(), m_extra.size());
        if (kyFailed(err)) return err;
    }
    err = m_input.start(m_dataBytes, kStreamFeed);
    if (kyFailed(err)) return err;
    return m_decoded.allocate(m_channels, std::max(m_format.blockFrames, kMpegFrames * 4));
}

kyError wav_Reader::RefillDecoded() {
    if (!m_stream) return kyReaderFilter::RefillDecoded();
    m_decodedFrames = m_decodedPos = 0;
    return kyPullStream(
        *m_stream, [this](uint8_t* d, size_t n) { return ReadSome(d, n); }, m_input,
        m_decoded.planes(), m_decoded.frames(), m_decodedFrames);
}

kyError wav_Reader::DecodeFrames(float** planes, uint32_t frames, uint32_t& got) {
    if (m_vorbis) return m_vorbis->read(planes, 0, frames, got);
    return kyReaderFilter::DecodeFrames(planes, frames, got);
}
