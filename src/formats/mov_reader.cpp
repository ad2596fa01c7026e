#include "formats/mov_reader.h"
#include "core/data_format.h"
#include "formats/codecs/aac_decoder.h"
#include "formats/codecs/amr_nb.h"
#include "formats/codecs/ima_adpcm.h"
#include "formats/codecs/mpeg_audio_decoder.h"
#include "formats/mov_common.h"
#include "formats/tags/mp4_atoms.h"
#include "formats/tags/mp4_boxes.h"
#include "platform/file_io.h"
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <new>
#include <zlib.h>

using namespace mov;

namespace {

// A packet larger than this is not audio any codec here writes.
constexpr uint32_t kMaxPacket = 1u << 20;
// Chunks of the sample table kept in memory at most.
constexpr size_t kMaxChunks = size_t(1) << 22;
// Top-level boxes walked while looking for the movie.
constexpr int kMaxTopLevelBoxes = 100000;
// Frames decoded at a time, fewer with many channels.
constexpr uint32_t kDecodeFrames = 8192;
// More channels than any writer makes are not a sound track.
constexpr uint32_t kMaxChannels = 1000;

struct Span {
    const uint8_t* data = nullptr;
    size_t size = 0;
    explicit operator bool() const { return data != nullptr; }
};

Span spanOf(const kyMp4Box& b) {
    return {b.payload, b.size};
}

// The first child of a payload with this type.
Span child(Span parent, const char* type) {
    kyMp4BoxWalker w(parent.data, parent.size);
    kyMp4Box b;
    while (w.next(b))
        if (b.is(type)) return spanOf(b);
    return {};
}

// A descriptor length: up to four bytes of seven bits.
bool descriptorLength(const uint8_t*& p, const uint8_t* end, uint32_t& length) {
    length = 0;
    for (int i = 0; i < 4; ++i) {
        if (p >= end) return false;
        const uint8_t b = *p++;
        length = (length << 7) | (b & 0x7F);
        if (!(b & 0x80)) return true;
    }
    return true;
}

// The "esds" payload: the object type and the decoder-specific information.
void parseEsds(Span esds, uint8_t& objectType, std::vector<uint8_t>& config) {
    if (esds.size < 4) return;
    const uint8_t* p = esds.data + 4;
    const uint8_t* end = esds.data + esds.size;
    uint32_t length;
    if (p >= end || *p++ != 3 || !descriptorLength(p, end, length)) return;
    end = p + std::min<size_t>(length, static_cast<size_t>(end - p));
    if (end - p < 3) return;
    const uint8_t flags = p[2];
    p += 3;
    if (flags & 0x80) p += 2;
    if (flags & 0x40) {
        if (p >= end) return;
        p += 1 + *p;
    }
    if (flags & 0x20) p += 2;
    if (p >= end || *p++ != 4 || !descriptorLength(p, end, length)) return;
    const uint8_t* dcEnd = p + std::min<size_t>(length, static_cast<size_t>(end - p));
    if (dcEnd - p < 13) return;
    objectType = p[0];
    p += 13;
    if (p >= dcEnd || *p++ != 5 || !descriptorLength(p, dcEnd, length)) return;
    const size_t n = std::min<size_t>(length, static_cast<size_t>(dcEnd - p));
    config.assign(p, p + n);
}

// The channel mask a "chan" layout stands for (0: none known).
uint32_t channelMaskOf(Span chan) {
    if (chan.size < 12) return 0;
    const uint32_t tag = get32(chan.data + 4);
    if (tag == 0x10000) return get32(chan.data + 8);
    if (tag == ((100u << 16) | 1)) return 0x4;
    if (tag == ((101u << 16) | 2)) return 0x3;
    return 0;
}

// " 00000000 00000840 000001CA 00000000003F31F6 ...": priming, padding, original length.
bool parseGapless(const std::string& text, uint64_t& priming, uint64_t& length) {
    uint64_t words[4] = {};
    size_t i = 0, pos = 0;
    while (i < 4) {
        while (pos < text.size() && text[pos] == ' ') ++pos;
        if (pos >= text.size()) return false;
        uint64_t v = 0;
        size_t digits = 0;
        for (; pos < text.size() && std::isxdigit(static_cast<unsigned char>(text[pos]));
             ++pos, ++digits) {
            const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[pos])));
            v = (v << 4) | static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        }
        if (digits == 0 || digits > 16) return false;
        words[i++] = v;
    }
    priming = words[1];
    length = words[3];
    return length > 0;
}

uint64_t rescale(uint64_t value, uint32_t to, uint32_t from) {
    if (from == 0 || to == from) return value;
    const long double v = static_cast<long double>(value) * to / from + 0.5L;
    return v >= 1.8e19L ? UINT64_MAX : static_cast<uint64_t>(v);
}

} // namespace

struct mov_Reader::Track {
    bool sound = false;
    uint32_t timeScale = 0;
    uint64_t mediaDuration = 0;
    bool haveEdit = false;
    uint64_t editMediaTime = 0;
    uint64_t editDuration = 0;

    bool haveEntry = false;
    uint8_t type[4] = {};
    uint32_t version = 0;
    uint32_t channels = 0;
    uint32_t sampleSize = 0;
    uint32_t rate16 = 0;
    double rate = 0;
    uint32_t v1BytesPerFrame = 0;
    uint32_t v2Bits = 0, v2Flags = 0, v2BytesPerPacket = 0, v2FramesPerPacket = 0;
    bool littleEndian = false;
    uint32_t channelMask = 0;
    uint8_t objectType = 0;
    std::vector<uint8_t> config;
    uint32_t amrModeSet = 0;

    Span stts, stsc, stsz, stco;
    bool compactSizes = false, wideOffsets = false;
};

mov_Reader::mov_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option)
    : kyReaderFilter(fd, fileName, entry, option) {
    try {
        m_openResult = open();
    } catch (const std::bad_alloc&) {
        m_openResult = KYERR_OUT_OF_MEMORY;
    }
}

mov_Reader::~mov_Reader() = default;

kyReaderFilter* mov_Reader::Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                   int32_t option) {
    return new (std::nothrow) mov_Reader(fd, fileName, entry, option);
}

kyError mov_Reader::readMovie(std::vector<uint8_t>& movie) {
    const uint64_t fileSize = m_fileSize;
    uint64_t pos = 0;
    for (int n = 0; n < kMaxTopLevelBoxes && pos + 8 <= fileSize; ++n) {
        uint8_t h[16];
        const size_t avail = static_cast<size_t>(std::min<uint64_t>(16, fileSize - pos));
        if (kyFailed(ReadAt(pos, h, avail))) return KYERR_READ_FILE;
        uint64_t size = get32(h);
        uint64_t header = 8;
        if (size == 1) {
            if (avail < 16) break;
            size = get64(h + 8);
            header = 16;
        } else if (size == 0) {
            size = fileSize - pos;
        }
        if (size < header) break;
        const bool isMoov = isType(h + 4, "moov");
        if (size > fileSize - pos) {
            if (isMoov) return KYERR_CORRUPT; // the movie is cut short
            break;
        }
        if (isMoov) {
            const uint64_t payload = size - header;
            if (payload > kMaxMovieBytes) return KYERR_CORRUPT;
            movie.resize(static_cast<size_t>(payload));
            if (payload && kyFailed(ReadAt(pos + header, movie.data(), movie.size())))
                return KYERR_READ_FILE;
            return KY_OK;
        }
        pos += size;
    }
    return KYERR_CORRUPT;
}

kyError mov_Reader::open() {
    if (m_fd < 0) return KYERR_OPEN_FILE;
    std::vector<uint8_t> movie;
    kyError err = readMovie(movie);
    if (kyFailed(err)) return err;

    // A compressed movie: "cmov" holds the method ("dcom") and the data ("cmvd": the
    // inflated size, then the zlib stream) of a whole "moov" box.
    const Span cmov = child({movie.data(), movie.size()}, "cmov");
    if (cmov) {
        const Span dcom = child(cmov, "dcom");
        const Span cmvd = child(cmov, "cmvd");
        if (!dcom || dcom.size < 4 || !isType(dcom.data, "zlib")) return KYERR_COMPRESSION;
        if (!cmvd || cmvd.size < 4) return KYERR_CORRUPT;
        const uint64_t inflatedSize = get32(cmvd.data);
        if (inflatedSize < 8 || inflatedSize > kMaxMovieBytes) return KYERR_CORRUPT;
        std::vector<uint8_t> inflated(static_cast<size_t>(inflatedSize));
        z_stream z{};
        if (inflateInit(&z) != Z_OK) return KYERR_OUT_OF_MEMORY;
        z.next_in = const_cast<Bytef*>(cmvd.data + 4);
        z.avail_in = static_cast<uInt>(cmvd.size - 4);
        z.next_out = inflated.data();
        z.avail_out = static_cast<uInt>(inflated.size());
        // The output never grows past the size the box announced.
        const int rc = inflate(&z, Z_FINISH);
        const size_t produced = inflated.size() - z.avail_out;
        inflateEnd(&z);
        if (rc != Z_STREAM_END && rc != Z_BUF_ERROR && rc != Z_OK) return KYERR_CORRUPT;
        inflated.resize(produced);
        kyMp4BoxWalker w(inflated.data(), inflated.size());
        kyMp4Box moov;
        if (!w.next(moov) || !moov.is("moov")) return KYERR_CORRUPT;
        // The inflated movie must not itself be compressed again.
        if (child(spanOf(moov), "cmov")) return KYERR_CORRUPT;
        std::vector<uint8_t> payload(moov.payload, moov.payload + moov.size);
        movie.swap(payload);
    }
    return parseMovie(movie.data(), movie.size());
}

kyError mov_Reader::parseMovie(const uint8_t* data, size_t size) {
    uint32_t movieTimeScale = 0;
    Track sound;
    bool found = false;
    std::vector<kyMp4Freeform> freeform;
    kyMp4BoxWalker w(data, size);
    kyMp4Box b;
    while (w.next(b)) {
        if (b.is("mvhd") && b.size >= 20) {
            movieTimeScale = b.payload[0] == 1 ? (b.size >= 24 ? get32(b.payload + 20) : 0)
                                               : get32(b.payload + 12);
        } else if (b.is("trak") && !found) {
            Track t;
            kyError err = parseTrack(b.payload, b.size, t, 1);
            if (kyFailed(err)) return err;
            if (t.sound && t.haveEntry) {
                sound = std::move(t);
                found = true;
            }
            // The track's own user data (some programs put the metadata there).
            if (found) {
                if (Span u = child(spanOf(b), "udta"))
                    kyParseMp4UserData(u.data, u.size, m_properties, &freeform);
            }
        } else if (b.is("udta")) {
            kyParseMp4UserData(b.payload, b.size, m_properties, &freeform);
        }
    }
    if (!found) {
        // A movie without sound: Prepare reports that the file holds no audio.
        m_format.lengthFrames = 0;
        m_format.channels = 0;
        return KY_OK;
    }
    kyError err = chooseCodec(sound);
    if (kyFailed(err)) return err;
    err = layOut(sound);
    if (kyFailed(err)) return err;

    // Where the audio starts and how long it is: the edit list, else the encoder's gapless
    // information, else the whole media.
    uint64_t total = m_format.lengthFrames;
    uint64_t start = 0, length = total;
    const uint32_t mediaScale = sound.timeScale ? sound.timeScale : m_rate;
    if (sound.haveEdit) {
        start = rescale(sound.editMediaTime, m_rate, mediaScale);
        if (sound.editDuration && movieTimeScale) {
            length = rescale(sound.editDuration, m_rate, movieTimeScale);
            // A coarse movie time scale (ffmpeg writes 1000) rounds the edit's length: when
            // it is the rest of the media to within one movie tick, the rest it is.
            const uint64_t rest = total > start ? total - start : 0;
            const uint64_t tick = (m_rate + movieTimeScale - 1) / movieTimeScale;
            if (length + tick >= rest && length <= rest + tick) length = rest;
            // iTunes' gapless information, when it agrees, gives the length to the frame.
            for (const kyMp4Freeform& f : freeform) {
                uint64_t priming = 0, original = 0;
                if (f.name == "iTunSMPB" && parseGapless(f.value, priming, original) &&
                    priming == start && original + tick >= length && original <= length + tick)
                    length = original;
            }
        }
    } else {
        // The media's own duration leaves out the padding of a last packet.
        if (sound.mediaDuration)
            length = std::min(length, rescale(sound.mediaDuration, m_rate, mediaScale));
        for (const kyMp4Freeform& f : freeform) {
            uint64_t priming = 0, original = 0;
            if (f.name == "iTunSMPB" && parseGapless(f.value, priming, original)) {
                start = priming;
                length = original;
                break;
            }
        }
    }
    if (start > total) start = total;
    length = std::min(length, total - start);
    m_mediaStart = start;
    m_format.lengthFrames = static_cast<uint32_t>(std::min<uint64_t>(length, KY_NO_LENGTH - 1));
    if (IsRawPcm()) {
        m_dataOffset += start * m_pcmFrameBytes;
        // No more frames than the file holds.
        const uint64_t held =
            m_fileSize > m_dataOffset ? (m_fileSize - m_dataOffset) / m_pcmFrameBytes : 0;
        if (m_format.lengthFrames > held) m_format.lengthFrames = static_cast<uint32_t>(held);
    }
    LimitBlockFrames();
    return KY_OK;
}

kyError mov_Reader::parseTrack(const uint8_t* data, size_t size, Track& t, int depth) {
    if (depth > kMaxDepth) return KY_OK;
    const Span trak{data, size};
    if (const Span edts = child(trak, "edts")) {
        if (const Span elst = child(edts, "elst"); elst.size >= 8) {
            const bool wide = elst.data[0] == 1;
            const uint32_t count = get32(elst.data + 4);
            const size_t entry = wide ? 20 : 12;
            const size_t n = std::min<size_t>(count, (elst.size - 8) / entry);
            for (size_t i = 0; i < n && !t.haveEdit; ++i) {
                const uint8_t* e = elst.data + 8 + i * entry;
                const int64_t mediaTime =
                    wide ? static_cast<int64_t>(get64(e + 8)) : static_cast<int32_t>(get32(e + 4));
                if (mediaTime < 0) continue; // an empty edit: a pause before the media
                t.haveEdit = true;
                t.editMediaTime = static_cast<uint64_t>(mediaTime);
                t.editDuration = wide ? get64(e) : get32(e);
            }
        }
    }
    const Span mdia = child(trak, "mdia");
    if (!mdia) return KY_OK;
    if (const Span hdlr = child(mdia, "hdlr"); hdlr.size >= 12)
        t.sound = isType(hdlr.data + 8, "soun");
    if (!t.sound) return KY_OK;
    if (const Span mdhd = child(mdia, "mdhd"); mdhd.size >= 20) {
        if (mdhd.data[0] == 1) {
            if (mdhd.size >= 32) {
                t.timeScale = get32(mdhd.data + 20);
                t.mediaDuration = get64(mdhd.data + 24);
            }
        } else {
            t.timeScale = get32(mdhd.data + 12);
            t.mediaDuration = get32(mdhd.data + 16);
        }
    }
    const Span minf = child(mdia, "minf");
    const Span stbl = minf ? child(minf, "stbl") : Span{};
    if (!stbl) return KY_OK;
    kyMp4BoxWalker w(stbl.data, stbl.size);
    kyMp4Box b;
    while (w.next(b)) {
        if (b.is("stsd") && !t.haveEntry && b.size >= 8 && get32(b.payload + 4) >= 1) {
            kyMp4BoxWalker entries(b.payload + 8, b.size - 8);
            kyMp4Box e;
            if (entries.next(e)) {
                std::memcpy(t.type, e.type, 4);
                kyError err = parseSampleEntry(e.payload, e.size, t, depth + 4);
                if (kyFailed(err)) return err;
            }
        } else if (b.is("stts")) {
            t.stts = spanOf(b);
        } else if (b.is("stsc")) {
            t.stsc = spanOf(b);
        } else if (b.is("stsz") || b.is("stz2")) {
            t.stsz = spanOf(b);
            t.compactSizes = b.is("stz2");
        } else if (b.is("stco") || b.is("co64")) {
            t.stco = spanOf(b);
            t.wideOffsets = b.is("co64");
        }
    }
    return KY_OK;
}

kyError mov_Reader::parseSampleEntry(const uint8_t* d, size_t size, Track& t, int depth) {
    if (size < 28) return KY_OK;
    t.haveEntry = true;
    t.version = get16(d + 8);
    t.channels = get16(d + 16);
    t.sampleSize = get16(d + 18);
    t.rate16 = get32(d + 24) >> 16;
    t.rate = t.rate16;
    size_t extensions = 28;
    // QuickTime's version 1 adds four words; an ISO file's version 1 entry does not, and
    // its boxes follow at once.
    auto boxAt = [&](size_t at) {
        if (size < at + 8) return false;
        const uint32_t n = get32(d + at);
        if (n < 8 || n > size - at) return false;
        for (size_t i = at + 4; i < at + 8; ++i)
            if (!std::isprint(d[i])) return false;
        return true;
    };
    if (t.version == 1 && size >= 44 && !boxAt(28)) {
        t.v1BytesPerFrame = get32(d + 36);
        extensions = 44;
    } else if (t.version == 2 && size >= 64) {
        double rate;
        uint64_t bits = get64(d + 32);
        std::memcpy(&rate, &bits, 8);
        if (std::isfinite(rate) && rate >= 1 && rate < 1e7) t.rate = rate;
        t.channels = get32(d + 40);
        t.v2Bits = get32(d + 48);
        t.v2Flags = get32(d + 52);
        t.v2BytesPerPacket = get32(d + 56);
        t.v2FramesPerPacket = get32(d + 60);
        extensions = 64;
    }
    if (depth > kMaxDepth) return KY_OK;
    const Span ext{d + extensions, size - extensions};
    auto look = [&](Span in) {
        kyMp4BoxWalker w(in.data, in.size);
        kyMp4Box b;
        while (w.next(b)) {
            if (b.is("esds"))
                parseEsds(spanOf(b), t.objectType, t.config);
            else if (b.is("chan"))
                t.channelMask = channelMaskOf(spanOf(b));
            else if (b.is("enda") && b.size >= 2)
                t.littleEndian = get16(b.payload) != 0;
            else if ((b.is("damr") || b.is("samr")) && b.size >= 9)
                t.amrModeSet = get16(b.payload + 5);
        }
    };
    look(ext);
    if (depth + 1 <= kMaxDepth)
        if (const Span wave = child(ext, "wave")) look(wave);
    return KY_OK;
}

kyError mov_Reader::chooseCodec(Track& t) {
    m_channels = t.channels;
    // The entry's rate, unless it could not hold the real one (above 16 bits) and the
    // media's time scale is the rate.
    double rate = t.rate;
    if (t.version != 2 && t.timeScale > 65535 && t.rate16 <= 65535) rate = t.timeScale;
    if (rate < 1 && t.timeScale) rate = t.timeScale;
    m_rate = static_cast<uint32_t>(std::lround(std::min(rate, 1e7)));
    m_format.channelMask = t.channelMask;

    const uint8_t* ty = t.type;
    const char* pcm = nullptr;
    bool bigEndian = true, unsignedBytes = false;
    uint32_t bytes = 0;
    if (isType(ty, "twos") || isType(ty, "NONE") || isType(ty, "sowt") || isType(ty, "raw ")) {
        bytes = t.sampleSize <= 8 ? 1 : 2;
        if (t.v1BytesPerFrame && m_channels && t.v1BytesPerFrame / m_channels >= 1 &&
            t.v1BytesPerFrame / m_channels <= 2)
            bytes = t.v1BytesPerFrame / m_channels;
        pcm = bytes == 1 ? "PCM 8-bit" : "PCM 16-bit";
        bigEndian = !isType(ty, "sowt");
        unsignedBytes = isType(ty, "raw ");
    } else if (isType(ty, "in24")) {
        pcm = "PCM 24-bit";
        bigEndian = !t.littleEndian;
    } else if (isType(ty, "in32")) {
        pcm = "PCM 32-bit";
        bigEndian = !t.littleEndian;
    } else if (isType(ty, "fl32")) {
        pcm = "Float 32-bit";
        bigEndian = !t.littleEndian;
    } else if (isType(ty, "fl64")) {
        pcm = "Float 64-bit";
        bigEndian = !t.littleEndian;
    } else if (isType(ty, "ulaw")) {
        pcm = "mu-Law";
    } else if (isType(ty, "alaw")) {
        pcm = "A-Law";
    } else if (isType(ty, "lpcm")) {
        // Format flags: float 1, big-endian 2, signed 4.
        const bool isFloat = t.v2Flags & 1;
        bigEndian = t.v2Flags & 2;
        const uint32_t width = m_channels ? t.v2BytesPerPacket / m_channels : 0;
        if (isFloat && t.v2Bits == 32 && width == 4)
            pcm = "Float 32-bit";
        else if (isFloat && t.v2Bits == 64 && width == 8)
            pcm = "Float 64-bit";
        else if (!isFloat && width >= 1 && width <= 4 && t.v2Bits == width * 8) {
            static const char* const kIds[] = {"PCM 8-bit", "PCM 16-bit", "PCM 24-bit",
                                               "PCM 32-bit"};
            pcm = kIds[width - 1];
            unsignedBytes = !(t.v2Flags & 4);
        } else {
            m_properties.setUtf8(2, "PCM");
            return KYERR_DATA_FORMAT;
        }
    }

    if (m_channels == 0 || m_rate == 0) return KYERR_CORRUPT;
    if (m_channels > kMaxChannels) return KYERR_CHANNEL_FORMAT;
    m_format.channels = m_channels;
    m_format.sampleRate = m_rate;
    if (pcm) {
        m_codec = Codec::Pcm;
        m_pcmId = pcm;
        const kyDataFormatInfo* info = kyFindDataFormat(pcm);
        m_pcmFrameBytes = info->bytes * m_channels;
        m_byteSwap = bigEndian && info->bytes > 1;
        m_signFlip = unsignedBytes;
        m_properties.setUtf8(2, pcm);
        return KY_OK;
    }
    if (isType(ty, "ima4")) {
        m_properties.setUtf8(2, "IMA ADPCM 4-bit");
        if (m_channels > 32) return KYERR_CHANNEL_FORMAT;
        m_codec = Codec::Ima4;
        m_framesPerPacket = 64;
        m_packetBytes = 34 * m_channels;
        return KY_OK;
    }
    if (isType(ty, "samr")) {
        uint32_t mode = 7;
        for (uint32_t m = 0; m < KY_AMR_MODES; ++m)
            if (t.amrModeSet & (1u << m)) mode = m;
        static const char* const kNames[KY_AMR_MODES] = {
            "AMR 4.75 kbit/s", "AMR 5.15 kbit/s", "AMR 5.9 kbit/s",  "AMR 6.7 kbit/s",
            "AMR 7.4 kbit/s",  "AMR 7.95 kbit/s", "AMR 10.2 kbit/s", "AMR 12.2 kbit/s"};
        m_properties.setUtf8(2, kNames[mode]);
        if (m_channels != 1) return KYERR_CHANNEL_FORMAT;
        if (!kyAmrNbDecoder::available()) return KYERR_MISSING_COMPONENT;
        m_codec = Codec::Amr;
        // AMR is 8000 Hz whatever the entry says.
        m_rate = m_format.sampleRate = 8000;
        return KY_OK;
    }
    const bool mpegAudio = isType(ty, ".mp3") ||
                           (ty[0] == 'm' && ty[1] == 's' && ty[2] == 0 && ty[3] == 0x55) ||
                           (isType(ty, "mp4a") && (t.objectType == 0x6B || t.objectType == 0x69));
    if (mpegAudio) {
        m_properties.setUtf8(2, "MPEG audio layer III");
        if (m_channels > 2) return KYERR_CHANNEL_FORMAT;
        if (!kyMpegAudioDecoder::available()) return KYERR_MISSING_COMPONENT;
        m_codec = Codec::Mpeg;
        return KY_OK;
    }
    if (isType(ty, "mp4a")) {
        m_properties.setUtf8(2, "MPEG AAC");
        m_objectType = t.objectType;
        m_decoderConfig = t.config;
        // Raw frames need their audio specific configuration.
        if (m_decoderConfig.size() < 2) return KYERR_CORRUPT;
        if (!kyAacDecoder::available()) return KYERR_MISSING_COMPONENT;
        m_codec = Codec::Aac;
        return KY_OK;
    }
    std::string name(reinterpret_cast<const char*>(ty), 4);
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
    m_properties.setUtf8(2, name);
    return KYERR_COMPRESSION;
}

kyError mov_Reader::layOut(Track& t) {
    // Sample sizes.
    m_sampleCount = 0;
    m_constantSize = 0;
    m_sizes.clear();
    if (t.stsz.size >= 12) {
        const uint8_t* p = t.stsz.data;
        if (!t.compactSizes) {
            m_constantSize = get32(p + 4);
            m_sampleCount = get32(p + 8);
            if (m_constantSize == 0) {
                m_sampleCount = std::min<uint64_t>(m_sampleCount, (t.stsz.size - 12) / 4);
                m_sizes.resize(static_cast<size_t>(m_sampleCount));
                for (size_t i = 0; i < m_sizes.size(); ++i) m_sizes[i] = get32(p + 12 + 4 * i);
            }
        } else {
            const uint32_t field = p[7];
            const uint64_t count = get32(p + 8);
            if (field == 4 || field == 8 || field == 16) {
                const uint64_t room = (t.stsz.size - 12) * 8 / field;
                m_sampleCount = std::min(count, room);
                m_sizes.resize(static_cast<size_t>(m_sampleCount));
                for (size_t i = 0; i < m_sizes.size(); ++i) {
                    const uint8_t* q = p + 12;
                    if (field == 16)
                        m_sizes[i] = get16(q + 2 * i);
                    else if (field == 8)
                        m_sizes[i] = q[i];
                    else
                        m_sizes[i] = (i & 1) ? (q[i / 2] & 0x0F) : (q[i / 2] >> 4);
                }
            }
        }
    }

    // Chunks: offsets, and the samples of each from the sample-to-chunk runs.
    m_chunks.clear();
    if (t.stco.size >= 8 && t.stsc.size >= 8) {
        const size_t width = t.wideOffsets ? 8 : 4;
        const size_t count =
            std::min<size_t>({get32(t.stco.data + 4), (t.stco.size - 8) / width, kMaxChunks});
        const uint32_t runs =
            static_cast<uint32_t>(std::min<size_t>(get32(t.stsc.data + 4), (t.stsc.size - 8) / 12));
        m_chunks.reserve(count);
        uint64_t samples = 0;
        for (uint32_t r = 0; r < runs && m_chunks.size() < count; ++r) {
            const uint8_t* e = t.stsc.data + 8 + 12 * size_t(r);
            const uint64_t first = get32(e);
            const uint32_t perChunk = get32(e + 4);
            const uint64_t next = r + 1 < runs ? get32(e + 12) : uint64_t(count) + 1;
            // Runs must go forward from chunk 1 on; a gap or a step back ends the table.
            if (first != m_chunks.size() + 1 || next <= first) break;
            for (uint64_t c = first; c < next && m_chunks.size() < count && samples < m_sampleCount;
                 ++c) {
                const uint8_t* o = t.stco.data + 8 + width * (c - 1);
                const uint32_t n =
                    static_cast<uint32_t>(std::min<uint64_t>(perChunk, m_sampleCount - samples));
                m_chunks.push_back({t.wideOffsets ? get64(o) : get32(o), n});
                samples += n;
            }
        }
        m_sampleCount = std::min<uint64_t>(m_sampleCount, samples);
    } else {
        m_sampleCount = 0;
    }

    // Frames of the media.
    uint64_t frames = 0;
    if (m_codec == Codec::Pcm) {
        // A sample is one frame, or (stsz saying so) several.
        uint64_t perSample = 1;
        if (m_constantSize > m_pcmFrameBytes && m_constantSize % m_pcmFrameBytes == 0)
            perSample = m_constantSize / m_pcmFrameBytes;
        for (Chunk& c : m_chunks) {
            const uint64_t f = c.samples * perSample;
            c.samples = static_cast<uint32_t>(std::min<uint64_t>(f, UINT32_MAX));
            frames += c.samples;
        }
        // One run of bytes: the base reads it directly (and can hand it on unchanged).
        bool contiguous = !m_chunks.empty();
        for (size_t i = 1; i < m_chunks.size() && contiguous; ++i)
            contiguous =
                m_chunks[i].offset ==
                m_chunks[i - 1].offset + uint64_t(m_chunks[i - 1].samples) * m_pcmFrameBytes;
        if (contiguous) {
            SetSubformat(m_pcmId.c_str());
            m_dataOffset = m_chunks[0].offset;
        }
    } else if (m_codec == Codec::Ima4) {
        // Either packets of 64 frames, or (older files) frames counted one by one.
        m_framesAreSamples = m_constantSize != m_packetBytes;
        frames = m_framesAreSamples ? m_sampleCount : m_sampleCount * m_framesPerPacket;
    } else {
        // Frames from the time-to-sample table, in the media's time scale.
        uint32_t firstDelta = 0;
        if (t.stts.size >= 8) {
            const uint32_t n = static_cast<uint32_t>(
                std::min<size_t>(get32(t.stts.data + 4), (t.stts.size - 8) / 8));
            uint64_t counted = 0;
            for (uint32_t i = 0; i < n && counted < m_sampleCount; ++i) {
                const uint8_t* e = t.stts.data + 8 + 8 * size_t(i);
                const uint64_t c = std::min<uint64_t>(get32(e), m_sampleCount - counted);
                counted += c;
                frames += c * get32(e + 4);
            }
            if (n) firstDelta = get32(t.stts.data + 12);
        }
        const uint32_t scale = t.timeScale ? t.timeScale : m_rate;
        frames = rescale(frames, m_rate, scale);
        // The AAC decoder gives nothing for the first packet: its output starts one
        // packet into the media.
        if (m_codec == Codec::Aac)
            m_decoderDrop =
                firstDelta ? std::min<uint64_t>(rescale(firstDelta, m_rate, scale), 8192) : 1024;
    }
    m_format.lengthFrames = static_cast<uint32_t>(std::min<uint64_t>(frames, KY_NO_LENGTH - 1));
    if (!IsRawPcm() && m_codec == Codec::Pcm) m_framesPerPacket = 0;
    return KY_OK;
}

uint32_t mov_Reader::packetSize(uint64_t sample) const {
    if (m_constantSize) return m_constantSize;
    return sample < m_sizes.size() ? m_sizes[static_cast<size_t>(sample)] : 0;
}

bool mov_Reader::nextPacket(Cursor& c, uint64_t& offset, uint32_t& size) const {
    while (c.chunk < m_chunks.size() && c.inChunk >= m_chunks[c.chunk].samples) {
        ++c.chunk;
        c.inChunk = 0;
        if (c.chunk < m_chunks.size()) c.offset = m_chunks[c.chunk].offset;
    }
    if (c.chunk >= m_chunks.size() || c.sample >= m_sampleCount) return false;
    if (c.inChunk == 0) c.offset = m_chunks[c.chunk].offset;
    offset = c.offset;
    if (m_codec == Codec::Ima4 && m_framesAreSamples) {
        // Frames counted one by one: a packet is 64 of them.
        const uint32_t left = m_chunks[c.chunk].samples - c.inChunk;
        const uint32_t n = std::min<uint32_t>(left, m_framesPerPacket);
        size = m_packetBytes;
        c.inChunk += n;
        c.sample += n;
    } else {
        size = packetSize(c.sample);
        ++c.inChunk;
        ++c.sample;
    }
    c.offset += size;
    return true;
}

kyError mov_Reader::PrepareDecoder() {
    if (IsRawPcm()) return KY_OK;
    m_cursor = Cursor{};
    if (!m_chunks.empty()) m_cursor.offset = m_chunks[0].offset;
    m_decodedFrames = m_decodedPos = 0;
    m_drained = m_inputEnded = false;
    m_skip = m_mediaStart + m_startFrame;
    m_lead = 0;
    if (m_skip >= m_decoderDrop) {
        m_skip -= m_decoderDrop;
    } else {
        // Media before the decoder's first output is given as silence.
        m_lead = m_decoderDrop - m_skip;
        m_skip = 0;
    }
    try {
        const uint32_t frames =
            std::clamp<uint32_t>(kDecodeFrames * 8 / m_channels, 2048, kDecodeFrames);
        if (kyFailed(m_decoded.allocate(m_channels, frames))) return KYERR_OUT_OF_MEMORY;
        switch (m_codec) {
        case Codec::Ima4:
            if (!m_ima4) m_ima4 = std::make_unique<kyImaAdpcmDecoder>(kyImaLayout::Ima4);
            return m_ima4->start(4, m_channels);
        case Codec::Amr:
            if (!m_amr) m_amr = std::make_unique<kyAmrNbDecoder>();
            return m_amr->start();
        case Codec::Mpeg: {
            m_stream = std::make_unique<kyMpegAudioDecoder>();
            return m_stream->start(m_channels);
        }
        case Codec::Aac: {
            m_stream = std::make_unique<kyAacDecoder>();
            kyError err = m_stream->start(m_channels);
            if (kySucceeded(err))
                err = m_stream->configure(m_decoderConfig.data(), m_decoderConfig.size());
            return err;
        }
        case Codec::Pcm:
            return KY_OK;
        default:
            return KYERR_COMPRESSION;
        }
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
}

kyError mov_Reader::decodePacket(const uint8_t* data, uint32_t size) {
    switch (m_codec) {
    case Codec::Ima4: {
        uint32_t frames = 0;
        kyError err = m_ima4->decode(data, size, m_decoded.planes(), 0, &frames);
        if (kyFailed(err)) return err;
        m_decodedFrames = std::min(frames, m_decoded.frames());
        return KY_OK;
    }
    case Codec::Amr: {
        m_pcm16.clear();
        kyError err = m_amr->decode(data, size, m_pcm16, m_decoded.frames() / KY_AMR_FRAME_SAMPLES);
        if (kyFailed(err)) return err;
        const uint32_t n =
            static_cast<uint32_t>(std::min<size_t>(m_pcm16.size(), m_decoded.frames()));
        float* out = m_decoded.plane(0);
        for (uint32_t i = 0; i < n; ++i) out[i] = m_pcm16[i] * kySample16Scale;
        m_decodedFrames = n;
        return KY_OK;
    }
    case Codec::Mpeg:
    case Codec::Aac:
        return m_stream->feed(data, size);
    default:
        return KYERR_COMPRESSION;
    }
}

kyError mov_Reader::refill() {
    m_decodedFrames = m_decodedPos = 0;
    if (m_drained) return KY_NOTHING_DONE;
    for (;;) {
        if (m_stream) {
            uint32_t frames = 0;
            kyError err = m_stream->read(m_decoded.planes(), m_decoded.frames(), frames);
            if (kyFailed(err)) return err;
            if (frames) {
                m_decodedFrames = frames;
                return KY_OK;
            }
            if (err == KY_NOTHING_DONE) break;
        }
        if (m_codec == Codec::Pcm) {
            // PCM spread over chunks: a piece of the current chunk at a time.
            Cursor& c = m_cursor;
            while (c.chunk < m_chunks.size() && c.inChunk >= m_chunks[c.chunk].samples) {
                ++c.chunk;
                c.inChunk = 0;
            }
            if (c.chunk >= m_chunks.size()) break;
            const Chunk& ch = m_chunks[c.chunk];
            uint32_t n = std::min(ch.samples - c.inChunk, m_decoded.frames());
            if (m_skip >= n) { // skipped without reading
                m_skip -= n;
                c.inChunk += n;
                continue;
            }
            const uint64_t at = ch.offset + uint64_t(c.inChunk) * m_pcmFrameBytes;
            m_packet.resize(size_t(n) * m_pcmFrameBytes);
            const long long got = kyReadUpTo(m_fd, at, m_packet.data(), m_packet.size());
            if (got < 0) return KYERR_READ_FILE;
            n = static_cast<uint32_t>(std::min<uint64_t>(n, uint64_t(got) / m_pcmFrameBytes));
            if (n == 0) break; // the file ends early
            kyError err = InterleavedToPlanar(m_decoded.planes(), m_packet.data(), m_channels, 0, n,
                                              m_pcmId.c_str(), m_signFlip, m_byteSwap);
            if (kyFailed(err)) return err;
            c.inChunk += n;
            m_decodedFrames = n;
            return KY_OK;
        }
        if (m_inputEnded) break;
        uint64_t offset = 0;
        uint32_t size = 0;
        bool more = nextPacket(m_cursor, offset, size);
        if (size == 0 || size > kMaxPacket) more = false; // not a packet of this stream
        long long got = 0;
        if (more) {
            m_packet.resize(size);
            got = kyReadUpTo(m_fd, offset, m_packet.data(), size);
            if (got < 0) return KYERR_READ_FILE;
            if (static_cast<uint64_t>(got) < size) more = false; // the file ends early
        }
        if (!more) {
            // What the stream decoder still holds comes out once it knows nothing follows.
            m_inputEnded = true;
            if (!m_stream) break;
            m_stream->endOfInput();
            continue;
        }
        kyError err = decodePacket(m_packet.data(), size);
        if (kyFailed(err)) return err;
        if (m_decodedFrames) return KY_OK;
    }
    m_drained = true;
    return KY_NOTHING_DONE;
}

kyError mov_Reader::DecodeFrames(float** planes, uint32_t frames, uint32_t& got) {
    if (IsRawPcm()) return kyReaderFilter::DecodeFrames(planes, frames, got);
    got = 0;
    if (m_lead) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(m_lead, frames));
        for (uint32_t c = 0; c < m_channels; ++c) std::fill_n(planes[c], n, 0.0f);
        m_lead -= n;
        got = n;
    }
    while (got < frames) {
        if (m_decodedPos >= m_decodedFrames) {
            kyError err = refill();
            if (kyFailed(err)) return err;
            if (err == KY_NOTHING_DONE) break;
        }
        uint32_t n = m_decodedFrames - m_decodedPos;
        if (m_skip) {
            const uint32_t s = static_cast<uint32_t>(std::min<uint64_t>(n, m_skip));
            m_skip -= s;
            m_decodedPos += s;
            continue;
        }
        n = std::min(n, frames - got);
        for (uint32_t c = 0; c < m_channels; ++c)
            std::memcpy(planes[c] + got, m_decoded.plane(c) + m_decodedPos, n * sizeof(float));
        m_decodedPos += n;
        got += n;
    }
    return KY_OK;
}
