#include "formats/mov_writer.h"
#include "core/data_format.h"
#include "filters/channel_broker_filter.h"
#include "filters/resampling_filter.h"
#include "formats/codecs/amr_nb.h"
#include "formats/codecs/encoder_text.h"
#include "formats/codecs/ima_adpcm.h"
#include "formats/format_catalog.h"
#include "formats/mov_boxes.h"
#include "formats/mov_common.h"
#include "formats/mov_reader.h"
#include "formats/mpeg_audio_common.h"
#include "formats/tags/mp4_atoms.h"
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>

using namespace mov;

namespace {

// AMR frames in one packet (a sample of the track): 100 ms.
constexpr uint32_t kAmrFramesPerPacket = 1;

const char* const kAmrModes[KY_AMR_MODES] = {
    "AMR 4.75 kbit/s", "AMR 5.15 kbit/s", "AMR 5.9 kbit/s",  "AMR 6.7 kbit/s",
    "AMR 7.4 kbit/s",  "AMR 7.95 kbit/s", "AMR 10.2 kbit/s", "AMR 12.2 kbit/s",
};

constexpr uint32_t kLanguageUndetermined = 0x55C4;

// The identity matrix of the movie and track headers.
void putMatrix(TBoxMem& box, size_t at) {
    static const uint32_t kMatrix[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
    for (uint32_t v : kMatrix) {
        box.put32(at, v);
        at += 4;
    }
}

// A descriptor of the "esds" box: tag, the length in `n` bytes of 7 bits (top bit set on
// all but the last), the body.
void appendDescriptor(std::vector<uint8_t>& out, uint8_t tag, uint32_t n,
                      const std::vector<uint8_t>& body) {
    out.push_back(tag);
    const uint32_t length = static_cast<uint32_t>(body.size());
    for (uint32_t i = n; i-- > 0;) {
        uint8_t b = static_cast<uint8_t>((length >> (7 * i)) & 0x7F);
        if (i) b |= 0x80;
        out.push_back(b);
    }
    out.insert(out.end(), body.begin(), body.end());
}

void appendBE32(std::vector<uint8_t>& out, uint32_t v) {
    uint8_t b[4];
    put32(b, v);
    out.insert(out.end(), b, b + 4);
}

bool startsWith(const std::string& s, const char* prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

} // namespace

mov_Writer::mov_Writer(int fd, const char* fileName, const char* subformat,
                       const kyFormatEntry* entry)
    : kyWriterFilter(fd, fileName, subformat, entry), m_largeAbove(kLargeAbove) {}

mov_Writer::~mov_Writer() {
    release();
    releaseInserted();
}

kyWriterFilter* mov_Writer::Create(int fd, const char* fileName, const char* subformat,
                                   const kyFormatEntry* entry) {
    return new (std::nothrow) mov_Writer(fd, fileName, subformat, entry);
}

bool mov_Writer::quickTime() const {
    return m_entry && (m_entry->parameter & kQuickTime);
}

void mov_Writer::releaseInserted() {
    for (kyMorphFilter* m : m_inserted) {
        m->Remove();
        delete m;
    }
    m_inserted.clear();
}

void mov_Writer::release() {
    m_mdat.reset();
    m_stsz.reset();
    m_blockEncoder.reset();
    m_aac.reset();
    m_mp3.reset();
    m_out.clear();
    m_pending.clear();
}

kyError mov_Writer::chooseFormat() {
    const char* nameC = Subformat();
    const std::string name = nameC ? nameC : "";
    m_fileChannels = m_stream.channels;
    m_fileRate = m_stream.sampleRate;
    m_framesPerPacket = 1;
    m_blocksPerPacket = 1;
    m_bytesPerPacket = 0;
    m_float = false;
    m_priming = 0;
    m_convert = false;
    m_byteSwap = false;
    m_signFlip = false;
    m_blockEncoder.reset();
    if (m_fileRate == 0) return KYERR_DATA_FORMAT;

    const bool isPcm = startsWith(name, "PCM ") || startsWith(name, "Float ");
    if (isPcm || name == "mu-Law" || name == "A-Law") {
        m_coding = Coding::Pcm;
        m_byteSwap = true; // big-endian samples
        kyError err = PreparePcmConversion();
        if (kyFailed(err)) return err;
        m_bytesPerSample = kyWriterFilter::m_bytesPerSample;
        m_bytesPerPacket = m_bytesPerSample * m_fileChannels;
        const bool large = m_fileChannels > 2 || m_fileRate > 64000;
        if (name == "mu-Law")
            std::strcpy(m_entryType, "ulaw");
        else if (name == "A-Law")
            std::strcpy(m_entryType, "alaw");
        else if (large && quickTime())
            std::strcpy(m_entryType, "lpcm");
        else if (name[0] == 'F')
            std::strcpy(m_entryType, m_bytesPerSample == 4 ? "fl32" : "fl64");
        else
            std::strcpy(m_entryType, m_bytesPerSample < 3    ? "twos"
                                     : m_bytesPerSample == 3 ? "in24"
                                                             : "in32");
        m_float = name[0] == 'F';
    } else if (name == "IMA ADPCM 4-bit") {
        m_coding = Coding::Block;
        std::strcpy(m_entryType, "ima4");
        m_blockEncoder = std::make_unique<kyImaAdpcmEncoder>(kyImaLayout::Ima4);
        m_framesPerPacket = 64;
        m_bytesPerPacket = 34 * m_fileChannels;
    } else if (startsWith(name, "AMR ")) {
        uint32_t mode = KY_AMR_MODES;
        for (uint32_t m = 0; m < KY_AMR_MODES; ++m)
            if (name == kAmrModes[m]) mode = m;
        if (mode == KY_AMR_MODES) return KYERR_DATA_FORMAT;
        if (!kyAmrNbEncoder::available()) return KYERR_MISSING_COMPONENT;
        m_coding = Coding::Block;
        std::strcpy(m_entryType, "samr");
        m_amrMode = mode;
        m_blockEncoder = std::make_unique<kyAmrNbEncoder>(mode);
        m_fileChannels = 1;
        m_fileRate = 8000;
        m_blocksPerPacket = kAmrFramesPerPacket;
        m_framesPerPacket = KY_AMR_FRAME_SAMPLES * kAmrFramesPerPacket;
    } else if (startsWith(name, "AAC ")) {
        kyError err = chooseAac(name);
        if (kyFailed(err)) return err;
    } else if (startsWith(name, "MP3 ")) {
        kyError err = chooseMp3(name);
        if (kyFailed(err)) return err;
    } else {
        return KYERR_DATA_FORMAT;
    }
    if (!m_blockEncoder && m_coding == Coding::Block) return KYERR_OUT_OF_MEMORY;

    const bool large = m_fileChannels > 2 || m_fileRate > 64000;
    m_version = quickTime() ? (large ? 2 : 1) : 0;
    // About half a second of audio per chunk.
    if (std::strcmp(m_entryType, "ima4") == 0)
        m_packetsPerChunk = (static_cast<uint32_t>(m_fileRate * 0.5) + 32) / 64;
    else
        m_packetsPerChunk = static_cast<uint32_t>(m_fileRate * 0.5 / m_framesPerPacket + 0.5);
    m_packetsPerChunk = std::max<uint32_t>(m_packetsPerChunk, 1);
    return KY_OK;
}

kyError mov_Writer::chooseAac(const std::string& name) {
    // Main profile for the "mp42" brand, else Low Complexity; the quality or the average
    // bit rate (all channels) from the text.
    const uint32_t objectType = m_entry && (m_entry->parameter & kBrandMp42) ? 1 : 2;
    const uint32_t quality = kyNumberAfter(name, "AAC VBR Quality ", 0);
    const uint32_t bitRate = quality ? 0 : kyNumberAfter(name, "AAC ABR ", 64 * m_fileChannels);
    m_aacConfig =
        kyConfigureAac(false, objectType, quality, bitRate, m_stream.sampleRate, m_fileChannels);
    if (kyAacChannelConfig(m_fileChannels) == 0) return KYERR_CHANNEL_FORMAT;
    if (!kyAacEncoder::available()) return KYERR_MISSING_COMPONENT;
    m_coding = Coding::Aac;
    std::strcpy(m_entryType, "mp4a");
    m_fileRate = m_aacConfig.outputRate;
    m_framesPerPacket = 1024;
    m_objectTypeIndication = 0x40;
    if (quality) {
        m_maxBitRate = std::min<uint32_t>(256 * m_fileChannels, 2048) * 1000;
        m_avgBitRate = 0;
    } else {
        m_maxBitRate = m_avgBitRate = m_aacConfig.bitRate * 1000;
    }
    m_aac = std::make_unique<kyAacEncoder>();
    return KY_OK;
}

kyError mov_Writer::chooseMp3(const std::string& name) {
    m_mp3Config = kyConfigureMp3(name.substr(4), m_stream.sampleRate, m_fileChannels);
    if (!kyMp3Encoder::available()) return KYERR_MISSING_COMPONENT;
    m_coding = Coding::Mp3;
    m_fileChannels = m_mp3Config.channels;
    m_fileRate = m_mp3Config.outputRate;
    m_framesPerPacket = m_mp3Config.mpeg2 ? 576 : 1152;
    // QuickTime names MP3 by its entry type; MPEG-4 files by the object type in "esds".
    std::strcpy(m_entryType, quickTime() ? ".mp3" : "mp4a");
    m_objectTypeIndication = m_mp3Config.mpeg2 ? 0x69 : 0x6B;
    m_decoderConfig.clear();
    const uint32_t rate = m_mp3Config.mode == kyMp3Mode::Vbr ? 0 : m_mp3Config.bitRate * 1000;
    m_avgBitRate = rate;
    m_maxBitRate =
        m_mp3Config.mode == kyMp3Mode::Cbr ? rate : (m_mp3Config.mpeg2 ? 160000 : 320000);
    m_mp3 = std::make_unique<kyMp3Encoder>();
    return KY_OK;
}

kyError mov_Writer::appendMp3Frames() {
    // The encoder's bytes, one MPEG frame per packet.
    size_t pos = 0;
    while (m_pending.size() - pos >= 4) {
        mpeg::FrameHeader h;
        if (!mpeg::ParseFrameHeader(&m_pending[pos], m_pending.size() - pos, h)) {
            ++pos; // not a frame start: the encoder writes none of these
            continue;
        }
        if (m_pending.size() - pos < h.frameBytes) break;
        kyError err = appendPacket(&m_pending[pos], h.frameBytes);
        if (kyFailed(err)) return err;
        pos += h.frameBytes;
    }
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<ptrdiff_t>(pos));
    return KY_OK;
}

kyError mov_Writer::insertConversions() {
    if (m_fileChannels != m_stream.channels) {
        auto* broker = new (std::nothrow) kyChannelBrokerFilter(m_fileChannels);
        if (!broker) return KYERR_OUT_OF_MEMORY;
        InsertBefore(broker);
        m_inserted.push_back(broker);
        m_stream.channels = m_fileChannels;
        m_stream.channelMask = kyDefaultChannelMask(m_fileChannels);
    }
    if (m_fileRate != m_stream.sampleRate) {
        auto* r = new (std::nothrow) kyResamplingFilter(m_fileRate, KYRESAMPLE_FIR_NORMAL);
        if (!r) return KYERR_OUT_OF_MEMORY;
        InsertBefore(r);
        m_inserted.push_back(r);
        m_stream.sampleRate = m_fileRate;
    }
    return KY_OK;
}

kyError mov_Writer::Run() {
    kyError err = NegotiateFormat(quickTime() ? "PCM 16-bit" : "AAC ABR 192 kbit/s");
    if (kySucceeded(err)) err = chooseFormat();
    if (kySucceeded(err)) err = insertConversions();
    if (kySucceeded(err)) {
        m_mdat = std::make_unique<TBoxFileBuf>("mdat");
        m_stsz = std::make_unique<TSizesBoxMem>();
        m_packets = 0;
        m_mediaFrames = 0;
        if (!m_mdat->Create()) err = KYERR_CREATE_FILE;
    }
    if (kySucceeded(err)) err = RunStream();
    if (kySucceeded(err)) err = finish();
    err = FinishFile(err);
    // Nothing of a failed stream reaches the output: the boxes, the temporary file and the
    // encoder go on every path.
    release();
    releaseInserted();
    return err;
}

kyError mov_Writer::appendPacket(const uint8_t* data, size_t size) {
    kyError err = m_mdat->Append(data, size);
    if (kyFailed(err)) return err;
    if (m_bytesPerPacket == 0) {
        try {
            m_stsz->Append(static_cast<uint32_t>(size));
        } catch (const std::bad_alloc&) {
            return KYERR_OUT_OF_MEMORY;
        }
    }
    ++m_packets;
    m_mediaFrames += m_framesPerPacket;
    return KY_OK;
}

kyError mov_Writer::appendBlocks(const std::vector<uint8_t>& bytes) {
    const size_t packet = size_t(m_blockEncoder->bytesPerBlock()) * m_blocksPerPacket;
    if (packet == 0) return KYERR_UNKNOWN;
    size_t pos = 0;
    if (!m_pending.empty()) {
        // Complete the packet begun by the previous write.
        const size_t n = std::min(packet - m_pending.size(), bytes.size());
        m_pending.insert(m_pending.end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n));
        pos = n;
        if (m_pending.size() < packet) return KY_OK;
        kyError err = appendPacket(m_pending.data(), packet);
        if (kyFailed(err)) return err;
        m_pending.clear();
    }
    for (; bytes.size() - pos >= packet; pos += packet) {
        kyError err = appendPacket(bytes.data() + pos, packet);
        if (kyFailed(err)) return err;
    }
    m_pending.insert(m_pending.end(), bytes.begin() + static_cast<ptrdiff_t>(pos), bytes.end());
    return KY_OK;
}

kyError mov_Writer::Write(float** planes, uint32_t frames) {
    if (frames == 0) return KY_OK;
    if (!m_mdat) return KYERR_SEQUENCE;
    m_framesWritten += frames;
    try {
        if (m_coding == Coding::Pcm) {
            const char* id = Subformat();
            const uint32_t perChunk = m_samplesPerBlock / m_stream.channels;
            for (uint32_t done = 0; done < frames;) {
                const uint32_t n = std::min(perChunk, frames - done);
                kyError err =
                    PlanarToInterleaved(m_convertBuffer.data(), planes, m_quantizer.get(),
                                        m_stream.channels, done, n, id, false, m_byteSwap);
                if (kyFailed(err)) return err;
                err = m_mdat->Append(m_convertBuffer.data(), size_t(n) * m_bytesPerPacket);
                if (kyFailed(err)) return err;
                done += n;
            }
            m_packets += frames;
            m_mediaFrames += frames;
            return KY_OK;
        }
        if (m_coding == Coding::Block) {
            m_out.clear();
            kyError err = m_blockEncoder->encode(planes, 0, frames, m_out);
            if (kyFailed(err)) return err;
            return appendBlocks(m_out);
        }
        if (m_coding == Coding::Mp3) {
            kyError err = m_mp3->encode(planes, 0, frames, m_pending);
            return kySucceeded(err) ? appendMp3Frames() : err;
        }
        if (m_coding == Coding::Aac)
            return m_aac->encode(planes, 0, frames, [this](const uint8_t* data, size_t size) {
                return appendPacket(data, size);
            });
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    return KYERR_UNKNOWN;
}

kyError mov_Writer::WriteInterleaved(const void* bytes, uint32_t byteCount, uint32_t frames) {
    if (byteCount == 0) return KY_OK;
    if (!m_mdat) return KYERR_SEQUENCE;
    if (m_coding != Coding::Pcm) return KYERR_SEQUENCE;
    // The caller's bytes are changed in place, as the interleaved protocol allows: the
    // pipeline's little-endian samples become the file's big-endian ones.
    size_t samples = size_t(m_stream.channels) * frames;
    if (m_bytesPerSample && samples * m_bytesPerSample > byteCount)
        samples = byteCount / m_bytesPerSample;
    if (m_byteSwap && m_bytesPerSample > 1)
        kyByteSwap(const_cast<void*>(bytes), samples, m_bytesPerSample);
    kyError err = m_mdat->Append(bytes, byteCount);
    if (kyFailed(err)) return err;
    m_framesWritten += frames;
    m_packets += frames;
    m_mediaFrames += frames;
    return KY_OK;
}

kyError mov_Writer::EncoderStart() {
    m_pending.clear();
    if (m_coding == Coding::Block) return m_blockEncoder->start(4, m_fileChannels);
    if (m_coding == Coding::Mp3) {
        kyError err = m_mp3->start(m_mp3Config, false);
        if (kyFailed(err)) return err;
        m_priming = m_mp3->delay();
        return KY_OK;
    }
    if (m_coding == Coding::Aac) {
        kyError err = m_aac->start(m_aacConfig);
        if (kyFailed(err)) return err;
        m_decoderConfig = m_aac->audioSpecificConfig();
        // Every packet is kept: the edit list and iTunSMPB tell players to skip the
        // encoder's delay.
        m_priming = m_aac->delay();
        return KY_OK;
    }
    return KYERR_DATA_FORMAT;
}

kyError mov_Writer::EncoderFlush() {
    if (m_coding == Coding::Mp3) {
        try {
            kyError err = m_mp3->flush(m_pending);
            if (kySucceeded(err)) err = appendMp3Frames();
            // A cut last frame is not a packet.
            m_pending.clear();
            return err;
        } catch (const std::bad_alloc&) {
            return KYERR_OUT_OF_MEMORY;
        }
    }
    if (m_coding == Coding::Aac) {
        try {
            return m_aac->flush(
                [this](const uint8_t* data, size_t size) { return appendPacket(data, size); });
        } catch (const std::bad_alloc&) {
            return KYERR_OUT_OF_MEMORY;
        }
    }
    if (m_coding != Coding::Block) return KY_OK;
    try {
        m_out.clear();
        kyError err = m_blockEncoder->flush(m_out);
        if (kyFailed(err)) return err;
        err = appendBlocks(m_out);
        if (kyFailed(err)) return err;
        if (!m_pending.empty()) {
            // The last packet is made whole with silent blocks, so that every packet the
            // sample table counts is there and as long as the others.
            const uint32_t blockBytes = m_blockEncoder->bytesPerBlock();
            const uint32_t missing =
                m_blocksPerPacket - static_cast<uint32_t>(m_pending.size() / blockBytes);
            const uint32_t frames = missing * m_blockEncoder->framesPerBlock();
            std::vector<std::vector<float>> silence(m_fileChannels,
                                                    std::vector<float>(frames, 0.0f));
            std::vector<float*> planes;
            for (auto& p : silence) planes.push_back(p.data());
            planes.push_back(nullptr);
            m_out.clear();
            err = m_blockEncoder->encode(planes.data(), 0, frames, m_out);
            if (kyFailed(err)) return err;
            err = appendBlocks(m_out);
            if (kyFailed(err)) return err;
        }
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    return m_pending.empty() ? KY_OK : KYERR_UNKNOWN;
}

std::vector<uint8_t> mov_Writer::esdsPayload() const {
    // The decoder configuration descriptor: object type, stream type (audio), a 24-bit
    // buffer size, the largest and the average bit rate, then the decoder-specific
    // information when the codec has one.
    std::vector<uint8_t> dsi = m_decoderConfig;
    auto build = [&](uint32_t n) {
        std::vector<uint8_t> dc = {m_objectTypeIndication, 0x15, 0, 0, 0};
        appendBE32(dc, m_maxBitRate);
        appendBE32(dc, m_avgBitRate);
        if (!dsi.empty()) appendDescriptor(dc, 5, n, dsi);
        std::vector<uint8_t> es = {0, 0, 0}; // ES ID 0, no flags
        appendDescriptor(es, 4, n, dc);
        appendDescriptor(es, 6, n, {2}); // SL configuration: predefined for MP4 files
        return es;
    };
    // Every length takes the same number of bytes: as many as the longest one needs.
    uint32_t n = 1;
    std::vector<uint8_t> es = build(n);
    while (n < 4 && es.size() >= (1u << (7 * n))) es = build(++n);
    std::vector<uint8_t> payload;
    appendBE32(payload, 0); // version 0, flags 0
    appendDescriptor(payload, 3, n, es);
    return payload;
}

std::unique_ptr<TBoxHandler> mov_Writer::buildSampleEntry() {
    const uint32_t channels = m_fileChannels;
    const size_t size = m_version == 2 ? 28 + 36 : m_version == 1 ? 28 + 16 : 28;
    auto entry = std::make_unique<TBoxMem>(m_entryType, size);
    TBoxMem& e = *entry;
    e.put16(6, 1); // data reference index
    e.put16(8, m_version);
    const bool twos8 = std::strcmp(m_entryType, "twos") == 0 && m_bytesPerSample == 1;
    if (m_version == 2) {
        e.put16(16, 3);
        e.put16(18, 16);
        e.put16(20, 0xFFFE);
        e.put32(24, 0x00010000);
    } else {
        e.put16(16, channels);
        e.put16(18, twos8 ? 8 : 16);
        e.put16(20, m_version == 0 ? 0 : 0xFFFE);
        e.put32(24, std::min<uint32_t>(m_fileRate, 64000) << 16);
    }
    const bool ima4 = std::strcmp(m_entryType, "ima4") == 0;
    const bool samr = std::strcmp(m_entryType, "samr") == 0;
    const bool mp4a = std::strcmp(m_entryType, "mp4a") == 0;
    if (m_version == 1) {
        if (ima4) {
            e.put32(28, 64);
            e.put32(32, 34);
            e.put32(36, 34 * channels);
            e.put32(40, 2);
        } else if (mp4a || samr || m_coding == Coding::Mp3) {
            e.put32(28, m_framesPerPacket);
            e.put32(32, mp4a ? 1 : 2);
            e.put32(36, 2);
            e.put32(40, 2);
        } else {
            e.put32(28, 1);
            e.put32(32, m_bytesPerSample);
            e.put32(36, channels * m_bytesPerSample);
            e.put32(40, std::strcmp(m_entryType, "twos") == 0 ? m_bytesPerSample : 2);
        }
    } else if (m_version == 2) {
        e.put32(28, 72);
        double rate = m_fileRate;
        uint64_t bits;
        std::memcpy(&bits, &rate, 8);
        e.put64(32, bits);
        e.put32(40, channels);
        e.put32(44, 0x7F000000);
        if (m_coding == Coding::Pcm) {
            e.put32(48, m_bytesPerSample * 8);
            e.put32(52, m_float ? 11 : 14);
            e.put32(56, channels * m_bytesPerSample);
            e.put32(60, 1);
        } else if (ima4) {
            e.put32(56, 34 * channels);
            e.put32(60, 64);
        } else {
            e.put32(56, 0);
            e.put32(60, m_framesPerPacket);
        }
    }

    if (mp4a) {
        auto esds = std::make_unique<TBoxMem>("esds", esdsPayload());
        if (quickTime()) {
            auto wave = std::make_unique<TBoxHandler>("wave");
            auto frma = std::make_unique<TBoxMem>("frma", 4);
            frma->putType(0, "mp4a");
            wave->Add(std::move(frma));
            wave->Add(std::make_unique<TBoxMem>("mp4a", 4));
            wave->Add(std::move(esds));
            wave->Add(std::make_unique<TBoxHandler>("\0\0\0\0"));
            e.Add(std::move(wave));
        } else {
            e.Add(std::move(esds));
        }
    }
    if (samr) {
        // Vendor, decoder version, the mode set, mode change period, frames per sample.
        std::vector<uint8_t> damr(9, 0);
        std::memcpy(damr.data(), "KyAu", 4);
        put16(&damr[5], 1u << m_amrMode);
        damr[8] = static_cast<uint8_t>(m_blocksPerPacket);
        if (quickTime()) {
            auto wave = std::make_unique<TBoxHandler>("wave");
            auto frma = std::make_unique<TBoxMem>("frma", 4);
            frma->putType(0, "samr");
            wave->Add(std::move(frma));
            wave->Add(std::make_unique<TBoxMem>("enda", 2));
            wave->Add(std::make_unique<TBoxMem>("samr", std::move(damr)));
            wave->Add(std::make_unique<TBoxHandler>("\0\0\0\0"));
            e.Add(std::move(wave));
        } else {
            e.Add(std::make_unique<TBoxMem>("damr", std::move(damr)));
        }
    }
    if (quickTime()) {
        // The channel layout: mono and stereo by their tags, anything else by the bitmap.
        auto chan = std::make_unique<TFullBoxMem>("chan", 16);
        const uint32_t mask =
            m_stream.channelMask ? m_stream.channelMask : kyDefaultChannelMask(channels);
        if (channels == 1 && mask == 0x4)
            chan->put32(4, (100u << 16) | 1);
        else if (channels == 2 && mask == 0x3)
            chan->put32(4, (101u << 16) | 2);
        else {
            chan->put32(4, 0x10000); // the layout is given by the bitmap
            chan->put32(8, mask);
        }
        e.Add(std::move(chan));
    }
    return entry;
}

std::unique_ptr<TBoxHandler> mov_Writer::buildStbl(uint64_t mediaDuration) {
    auto stbl = std::make_unique<TBoxHandler>("stbl");
    auto stsd = std::make_unique<TFullBoxMem>("stsd", 8);
    stsd->put32(4, 1);
    stsd->Add(buildSampleEntry());
    stbl->Add(std::move(stsd));

    auto stts = std::make_unique<TFullBoxMem>("stts", m_packets ? 16 : 8);
    if (m_packets) {
        stts->put32(4, 1);
        stts->put32(8, static_cast<uint32_t>(m_packets));
        stts->put32(12, m_framesPerPacket);
    }
    stbl->Add(std::move(stts));

    // One entry for the full chunks, one for a short last chunk; a single short chunk
    // needs only its own.
    const uint64_t full = m_packets / m_packetsPerChunk;
    const uint32_t rest = static_cast<uint32_t>(m_packets % m_packetsPerChunk);
    const uint32_t entries = (full ? 1 : 0) + (rest ? 1 : 0);
    auto stsc = std::make_unique<TFullBoxMem>("stsc", 8 + 12 * entries);
    stsc->put32(4, entries);
    size_t at = 8;
    if (full) {
        stsc->put32(at, 1);
        stsc->put32(at + 4, m_packetsPerChunk);
        stsc->put32(at + 8, 1);
        at += 12;
    }
    if (rest) {
        stsc->put32(at, static_cast<uint32_t>(full + 1));
        stsc->put32(at + 4, rest);
        stsc->put32(at + 8, 1);
    }
    stbl->Add(std::move(stsc));

    if (m_bytesPerPacket) {
        m_stsz->SetConstant(m_bytesPerPacket);
        m_stsz->SetCount(m_packets);
    }
    m_stszBox = stbl->Add(std::move(m_stsz));
    m_offsetsBox = stbl->Add(std::make_unique<TChunkOffsetsBox>());
    return stbl;
}

std::unique_ptr<TBoxHandler> mov_Writer::buildTrak(uint64_t mediaDuration) {
    const MovieTime mt = movieTime(m_framesWritten, m_fileRate);
    const bool longMovie = mt.duration > 0xFFFFFFFFull;
    auto trak = std::make_unique<TBoxHandler>("trak");

    auto tkhd = std::make_unique<TFullBoxMem>("tkhd", longMovie ? 96 : 84, longMovie ? 1 : 0,
                                              quickTime() ? 15 : 7);
    size_t at = 4;
    if (longMovie) {
        tkhd->put32(20, 1);
        tkhd->put64(28, mt.duration);
        at = 36 + 8;
    } else {
        tkhd->put32(12, 1);
        tkhd->put32(20, static_cast<uint32_t>(mt.duration));
        at = 24 + 8;
    }
    // layer, alternate group, volume, reserved, matrix, width, height
    tkhd->put16(at + 4, 0x0100);
    putMatrix(*tkhd, at + 8);
    trak->Add(std::move(tkhd));

    if (m_priming || (m_coding == Coding::Aac || m_coding == Coding::Mp3)) {
        // Players start at the first real frame and stop after the last one; the
        // encoder's priming and padding stay in the media.
        const bool wide = mt.duration > 0xFFFFFFFFull || m_priming > 0x7FFFFFFF;
        auto elst = std::make_unique<TFullBoxMem>("elst", wide ? 28 : 20, wide ? 1 : 0);
        elst->put32(4, 1);
        if (wide) {
            elst->put64(8, mt.duration);
            elst->put64(16, m_priming);
            elst->put32(24, 0x00010000);
        } else {
            elst->put32(8, static_cast<uint32_t>(mt.duration));
            elst->put32(12, m_priming);
            elst->put32(16, 0x00010000);
        }
        auto edts = std::make_unique<TBoxHandler>("edts");
        edts->Add(std::move(elst));
        trak->Add(std::move(edts));
    }

    auto mdia = std::make_unique<TBoxHandler>("mdia");
    // Version 1 (64-bit times) once the duration needs the top bit.
    std::unique_ptr<TFullBoxMem> mdhd;
    if (mediaDuration >= 0x80000000ull) {
        mdhd = std::make_unique<TFullBoxMem>("mdhd", 36, 1);
        mdhd->put32(20, m_fileRate);
        mdhd->put64(24, mediaDuration);
        mdhd->put16(32, kLanguageUndetermined);
    } else {
        mdhd = std::make_unique<TFullBoxMem>("mdhd", 24, 0);
        mdhd->put32(12, m_fileRate);
        mdhd->put32(16, static_cast<uint32_t>(mediaDuration));
        mdhd->put16(20, kLanguageUndetermined);
    }
    mdia->Add(std::move(mdhd));

    auto hdlr = std::make_unique<TFullBoxMem>("hdlr", 25);
    if (quickTime()) hdlr->putType(4, "mhlr");
    hdlr->putType(8, "soun");
    mdia->Add(std::move(hdlr));

    auto minf = std::make_unique<TBoxHandler>("minf");
    minf->Add(std::make_unique<TFullBoxMem>("smhd", 8));
    auto dinf = std::make_unique<TBoxHandler>("dinf");
    auto dref = std::make_unique<TFullBoxMem>("dref", 8);
    dref->put32(4, 1);
    dref->Add(std::make_unique<TFullBoxMem>(quickTime() ? "alis" : "url ", 4, 0, 1));
    dinf->Add(std::move(dref));
    minf->Add(std::move(dinf));
    minf->Add(buildStbl(mediaDuration));
    mdia->Add(std::move(minf));
    trak->Add(std::move(mdia));
    return trak;
}

std::string mov_Writer::gaplessText() const {
    // iTunes' gapless information: the priming, the padding after the last real frame and
    // the real frames, in hexadecimal words.
    const uint64_t real = m_framesWritten;
    const uint64_t padding =
        m_mediaFrames > real + m_priming ? m_mediaFrames - real - m_priming : 0;
    auto word = [](std::string& out, uint64_t v, int digits) {
        char hex[16];
        const auto end = std::to_chars(hex, hex + sizeof hex, v, 16).ptr;
        out += ' ';
        out.append(static_cast<size_t>(digits - (end - hex)), '0');
        for (const char* c = hex; c < end; ++c)
            out += static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
    };
    std::string text;
    word(text, 0, 8);
    word(text, m_priming, 8);
    word(text, padding, 8);
    word(text, real, 16);
    for (int i = 0; i < 8; ++i) word(text, 0, 8);
    return text;
}

std::unique_ptr<TBoxHandler> mov_Writer::buildUserData() {
    const int32_t bits = m_entry ? m_entry->parameter : 0;
    if (!(bits & (kUserDataText | kItunesList))) return nullptr;
    kyPropertyTable props = TagProperties();
    std::vector<uint8_t> children;
    if (bits & kUserDataText) children = kyBuildQuickTimeTextAtoms(props);
    if (bits & kItunesList) {
        std::vector<kyMp4Freeform> extra;
        if (m_coding == Coding::Aac || m_coding == Coding::Mp3)
            extra.push_back({"iTunSMPB", gaplessText()});
        std::vector<uint8_t> meta = kyBuildMp4MetaBox(props, extra);
        children.insert(children.end(), meta.begin(), meta.end());
    }
    return std::make_unique<TBoxMem>("udta", std::move(children));
}

std::unique_ptr<TBoxHandler> mov_Writer::buildMoov(uint64_t& mediaDuration) {
    // Media time counts every frame the packets decode to; the movie time only the frames
    // that were written.
    mediaDuration =
        (m_coding == Coding::Aac || m_coding == Coding::Mp3) ? m_mediaFrames : m_framesWritten;
    const MovieTime mt = movieTime(m_framesWritten, m_fileRate);
    const bool longMovie = mt.duration > 0xFFFFFFFFull;
    auto moov = std::make_unique<TBoxHandler>("moov");
    auto mvhd = std::make_unique<TFullBoxMem>("mvhd", longMovie ? 112 : 100, longMovie ? 1 : 0);
    size_t at;
    if (longMovie) {
        mvhd->put32(20, mt.timeScale);
        mvhd->put64(24, mt.duration);
        at = 32;
    } else {
        mvhd->put32(12, mt.timeScale);
        mvhd->put32(16, static_cast<uint32_t>(mt.duration));
        at = 20;
    }
    mvhd->put32(at, 0x00010000); // rate
    mvhd->put16(at + 4, 0x0100); // volume
    putMatrix(*mvhd, at + 16);
    mvhd->put32(at + 76, 2); // next track ID
    moov->Add(std::move(mvhd));
    moov->Add(buildTrak(mediaDuration));
    if (auto udta = buildUserData()) moov->Add(std::move(udta));
    return moov;
}

kyError mov_Writer::finish() {
    class Output : public TBoxOutput {
    public:
        explicit Output(mov_Writer& w) : m_w(w) {}
        kyError Put(const void* data, size_t size) override { return m_w.WriteBytes(data, size); }

    private:
        mov_Writer& m_w;
    };

    try {
        // "ftyp": major brand, minor version 0, compatible brands.
        std::vector<uint8_t> brands;
        auto brand = [&](const char* b) { brands.insert(brands.end(), b, b + 4); };
        const int32_t bits = m_entry ? m_entry->parameter : 0;
        if (bits & kQuickTime) {
            brand("qt  ");
            appendBE32(brands, 0);
            brand("qt  ");
        } else if (bits & kBrandM4a) {
            brand("M4A ");
            appendBE32(brands, 0);
            brand("M4A ");
            brand("mp42");
            brand("isom");
        } else {
            brand("mp42");
            appendBE32(brands, 0);
            brand("mp42");
            brand("isom");
        }
        const TBoxMem ftyp("ftyp", std::move(brands));

        uint64_t mediaDuration = 0;
        m_offsetsBox = nullptr;
        m_stszBox = nullptr;
        const std::unique_ptr<TBoxHandler> moov = buildMoov(mediaDuration);
        if (!m_offsetsBox || !m_stszBox) return KYERR_UNKNOWN;

        // Chunk offsets: the first chunk starts after "ftyp", "moov" and the header of
        // "mdat"; each next one after the previous chunk's packets. Offsets past 4 GiB turn
        // "stco" into "co64", which makes "moov" larger: measure again until it settles.
        const uint64_t mdatSize = m_mdat->Size(m_largeAbove);
        const uint64_t mdatHeader = mdatSize - m_mdat->PayloadSize();
        const uint64_t chunks = (m_packets + m_packetsPerChunk - 1) / m_packetsPerChunk;
        const std::vector<uint32_t>& sizes = m_stszBox->Sizes();
        for (int pass = 0; pass < 3; ++pass) {
            uint64_t offset = ftyp.Size(m_largeAbove) + moov->Size(m_largeAbove) + mdatHeader;
            std::vector<uint64_t> offsets;
            offsets.reserve(static_cast<size_t>(chunks));
            uint64_t packet = 0;
            for (uint64_t c = 0; c < chunks; ++c) {
                offsets.push_back(offset);
                const uint64_t n = std::min<uint64_t>(m_packetsPerChunk, m_packets - packet);
                if (m_bytesPerPacket)
                    offset += n * m_bytesPerPacket;
                else
                    for (uint64_t i = 0; i < n; ++i)
                        offset += sizes[static_cast<size_t>(packet + i)];
                packet += n;
            }
            const bool wasLarge = m_offsetsBox->IsLarge();
            m_offsetsBox->SetOffsets(std::move(offsets), m_largeAbove);
            if (pass > 0 && wasLarge == m_offsetsBox->IsLarge()) break;
        }

        Output out(*this);
        kyError err = SeekTo(0);
        if (kySucceeded(err)) err = ftyp.Write(out, m_largeAbove);
        if (kySucceeded(err)) err = moov->Write(out, m_largeAbove);
        if (kySucceeded(err)) err = m_mdat->Write(out, m_largeAbove);
        return err;
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
}

namespace {

// "*MPEG AAC", then the average bit rates and the VBR qualities.
std::vector<std::string> mpeg4List() {
    std::vector<std::string> l = {"*MPEG AAC"};
    for (int r : {8,   16,  24,  32,  40,  48,  56,  64,  80,  96,  112,  128,
                  144, 160, 192, 256, 320, 384, 480, 512, 640, 768, 1024, 2048})
        l.push_back("AAC ABR " + std::to_string(r) + " kbit/s");
    for (int q : {20, 30, 40, 50, 55, 60, 65, 70, 75, 80, 85, 90})
        l.push_back("AAC VBR Quality " + std::to_string(q));
    for (int q = 91; q <= 100; ++q) l.push_back("AAC VBR Quality " + std::to_string(q));
    // MP3 follows, as in the WAV list.
    for (int r : {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320})
        l.push_back("MP3 CBR " + std::to_string(r) + " kbit/s");
    for (int r : {80, 96, 112, 128, 160, 192, 224, 256})
        l.push_back("MP3 ABR " + std::to_string(r) + " kbit/s");
    return l;
}

std::vector<std::string> quickTimeList() {
    std::vector<std::string> l = {"<Auto select>", "PCM 8-bit",      "PCM 16-bit",   "PCM 24-bit",
                                  "PCM 32-bit",    "Float 32-bit",   "Float 64-bit", "mu-Law",
                                  "A-Law",         "IMA ADPCM 4-bit"};
    l.insert(l.end(), std::begin(kAmrModes), std::end(kAmrModes));
    const std::vector<std::string> tail = mpeg4List();
    l.insert(l.end(), tail.begin(), tail.end());
    return l;
}

} // namespace

void mov_RegisterFormats(kyFormatCatalog& catalog) {
    static const kyFormatEntry m4a{"m4a",
                                   "iTunes MPEG-4 audio format",
                                   ProbeM4a,
                                   mov_Reader::Create,
                                   mov_Writer::Create,
                                   mpeg4List(),
                                   1,
                                   1000,
                                   0x204};
    static const kyFormatEntry qt{"mov",
                                  "Apple QuickTime movie format",
                                  ProbeMov,
                                  mov_Reader::Create,
                                  mov_Writer::Create,
                                  quickTimeList(),
                                  1,
                                  1000,
                                  0x101};
    static const kyFormatEntry mp4{"mp4",
                                   "MPEG-4 base media file format",
                                   ProbeMp4,
                                   mov_Reader::Create,
                                   mov_Writer::Create,
                                   mpeg4List(),
                                   1,
                                   1000,
                                   2};
    catalog.RegisterFormat(&m4a);
    catalog.RegisterFormat(&qt);
    catalog.RegisterFormat(&mp4);
}
