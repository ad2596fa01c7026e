#include "formats/ogg_writer.h"
#include "core/text.h"
#include "filters/channel_broker_filter.h"
#include "filters/resampling_filter.h"
#include "formats/format_catalog.h"
#include "formats/ogg_reader.h"
#include "formats/tags/vorbis_comment.h"
#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <random>

namespace {
// Frames handed to the encoder at a time.
constexpr uint32_t kChunkFrames = 4096;

// The nominal bit rate the subformat names ("160 kbit/s"), 128 when it names none.
uint32_t nominalKbps(const char* subformat) {
    double v = 0;
    if (!subformat || !kyParseLeadingNumber(subformat, v) || !(v >= 1 && v <= 100000)) return 128;
    return static_cast<uint32_t>(v);
}
} // namespace

bool kyChooseVorbisSetup(uint32_t channels, uint32_t sampleRate, uint32_t kbps,
                         const std::function<bool(const kyVorbisSetup&)>& tryInit,
                         kyVorbisSetup& chosen) {
    kyVorbisSetup s{channels, sampleRate, kbps};
    if (tryInit(s)) {
        chosen = s;
        return true;
    }
    if (s.kbps == 8 && s.channels == 2) {
        s.channels = 1;
        if (tryInit(s)) {
            chosen = s;
            return true;
        }
    }
    if (sampleRate > 48000 || (s.channels == 2 && s.kbps < 48) ||
        (s.channels == 1 && s.kbps < 24)) {
        for (uint32_t rate : {48000u, 44100u, 32000u, 22050u, 16000u, 11025u, 8000u}) {
            if (rate >= sampleRate) continue;
            s.sampleRate = rate;
            if (tryInit(s)) {
                chosen = s;
                return true;
            }
        }
        s.sampleRate = sampleRate;
    }
    if (s.kbps < 64 * s.channels)
        s.kbps += 8;
    else if (s.kbps > 128 * s.channels)
        s.kbps /= 2;
    else
        return false;
    if (!tryInit(s)) return false;
    chosen = s;
    return true;
}

ogg_Writer::ogg_Writer(int fd, const char* fileName, const char* subformat,
                       const kyFormatEntry* entry)
    : kyCodecWriter(fd, fileName, subformat, entry) {}

ogg_Writer::~ogg_Writer() {
    clear();
}

kyWriterFilter* ogg_Writer::Create(int fd, const char* fileName, const char* subformat,
                                   const kyFormatEntry* entry) {
    return new (std::nothrow) ogg_Writer(fd, fileName, subformat, entry);
}

void ogg_Writer::clear() {
    if (!m_lib) return;
    if (m_haveOgg) m_lib->streamClear(&m_ogg);
    if (m_haveBlock) m_lib->blockClear(&m_block);
    if (m_haveDsp) m_lib->dspClear(&m_dsp);
    if (m_haveComment) m_lib->commentClear(&m_comment);
    if (m_haveInfo) m_lib->infoClear(&m_info);
    m_haveOgg = m_haveBlock = m_haveDsp = m_haveComment = m_haveInfo = false;
}

kyError ogg_Writer::setUpEncoder() {
    clear();
    const uint32_t kbps = nominalKbps(Subformat());
    auto tryInit = [this](const kyVorbisSetup& s) {
        if (m_haveInfo) m_lib->infoClear(&m_info);
        m_lib->infoInit(&m_info);
        m_haveInfo = true;
        const int r = m_lib->encodeInit(&m_info, static_cast<long>(s.channels),
                                        static_cast<long>(s.sampleRate), -1,
                                        static_cast<long>(s.kbps) * 1000, -1);
        // A refused set-up has cleared the information already.
        if (r != 0) m_haveInfo = false;
        return r == 0;
    };
    if (!kyChooseVorbisSetup(m_stream.channels, m_stream.sampleRate, kbps, tryInit, m_setup))
        return KYERR_UNKNOWN;
    return KY_OK;
}

kyError ogg_Writer::Run() {
    kyError err = NegotiateFormat("160 kbit/s");
    if (kyFailed(err)) return err;
    m_lib = kyVorbisEncoderLibrary::Get();
    if (!m_lib) return MissingLibrary(kyVorbisEncoderLibrary::Missing());
    err = setUpEncoder();
    const bool inserting = kySucceeded(err) && (m_setup.channels != m_stream.channels ||
                                                m_setup.sampleRate != m_stream.sampleRate);
    if (kySucceeded(err) && m_setup.channels != m_stream.channels) {
        auto* broker = new (std::nothrow) kyChannelBrokerFilter(m_setup.channels);
        if (!broker) err = KYERR_OUT_OF_MEMORY;
        if (broker) InsertInFront(broker);
    }
    if (kySucceeded(err) && m_setup.sampleRate != m_stream.sampleRate) {
        auto* r = new (std::nothrow) kyResamplingFilter(m_setup.sampleRate, KYRESAMPLE_FIR_NORMAL);
        if (!r) err = KYERR_OUT_OF_MEMORY;
        if (r) InsertInFront(r);
    }
    if (kySucceeded(err) && inserting) {
        // The encoder now sees what the inserted filters make of the stream.
        m_haveStream = false;
        err = FetchStreamFormat();
        if (kySucceeded(err) &&
            (m_stream.channels != m_setup.channels || m_stream.sampleRate != m_setup.sampleRate))
            err = KYERR_UNKNOWN;
    }
    m_passthrough = false;
    if (kySucceeded(err)) err = RunEncoded();
    err = FinishFile(err);
    clear();
    ReleaseInserted();
    return err;
}

kyError ogg_Writer::EncoderStart() {
    if (!m_haveInfo) return KYERR_SEQUENCE;
    m_lib->commentInit(&m_comment);
    m_haveComment = true;
    kyPropertyTable props = TagProperties();
    for (kyVorbisComment& c : kyVorbisComments(props))
        m_lib->commentAddTag(&m_comment, c.name.data(), c.value.data());
    if (std::optional<kyVorbisComment> cover = kyVorbisPictureComment(props))
        m_lib->commentAddTag(&m_comment, cover->name.data(), cover->value.data());
    if (m_lib->analysisInit(&m_dsp, &m_info) != 0) return KYERR_UNKNOWN;
    m_haveDsp = true;
    if (m_lib->blockInit(&m_dsp, &m_block) != 0) return KYERR_UNKNOWN;
    m_haveBlock = true;
    // Each stream of a file needs its own serial number; chained files are told apart by it.
    std::mt19937 random(
        static_cast<uint32_t>(std::chrono::system_clock::now().time_since_epoch().count()));
    if (m_lib->streamInit(&m_ogg, static_cast<int>(random())) != 0) return KYERR_OUT_OF_MEMORY;
    m_haveOgg = true;
    ogg_packet header, comments, codebooks;
    if (m_lib->analysisHeaderout(&m_dsp, &m_comment, &header, &comments, &codebooks) != 0)
        return KYERR_UNKNOWN;
    for (ogg_packet* p : {&header, &comments, &codebooks})
        if (m_lib->streamPacketin(&m_ogg, p) != 0) return KYERR_OUT_OF_MEMORY;
    // The audio starts on a page of its own.
    return writePages(true);
}

kyError ogg_Writer::writePages(bool flush) {
    ogg_page page;
    for (;;) {
        const int r =
            flush ? m_lib->streamFlush(&m_ogg, &page) : m_lib->streamPageout(&m_ogg, &page);
        if (r == 0) return KY_OK;
        kyError err = WriteBytes(page.header, static_cast<size_t>(page.header_len));
        if (kySucceeded(err)) err = WriteBytes(page.body, static_cast<size_t>(page.body_len));
        if (kyFailed(err)) return err;
    }
}

kyError ogg_Writer::drain() {
    while (m_lib->analysisBlockout(&m_dsp, &m_block) == 1) {
        if (m_lib->analysis(&m_block, nullptr) != 0) return KYERR_UNKNOWN;
        if (m_lib->bitrateAddblock(&m_block) != 0) return KYERR_UNKNOWN;
        ogg_packet packet;
        while (m_lib->bitrateFlushpacket(&m_dsp, &packet) == 1) {
            if (m_lib->streamPacketin(&m_ogg, &packet) != 0) return KYERR_OUT_OF_MEMORY;
            kyError err = writePages(false);
            if (kyFailed(err)) return err;
        }
    }
    return KY_OK;
}

kyError ogg_Writer::Encode(const uint8_t*& out, uint32_t& outBytes, float** planes,
                           uint32_t& consumed, uint32_t& remaining) {
    out = nullptr;
    outBytes = 0;
    if (!m_haveBlock) return KYERR_SEQUENCE;
    const uint32_t channels = m_stream.channels;
    while (remaining > 0) {
        const uint32_t n = std::min(remaining, kChunkFrames);
        float** buffer = m_lib->analysisBuffer(&m_dsp, static_cast<int>(n));
        if (!buffer) return KYERR_OUT_OF_MEMORY;
        for (uint32_t c = 0; c < channels; ++c)
            std::memcpy(buffer[c], planes[c] + consumed, n * sizeof(float));
        if (m_lib->analysisWrote(&m_dsp, static_cast<int>(n)) != 0) return KYERR_UNKNOWN;
        kyError err = drain();
        if (kyFailed(err)) return err;
        consumed += n;
        remaining -= n;
    }
    return KY_OK;
}

kyError ogg_Writer::EncoderFlush() {
    if (!m_haveBlock) return KYERR_SEQUENCE;
    // Zero frames written tells the encoder the stream has ended; its last packet carries
    // the end-of-stream mark.
    if (m_lib->analysisWrote(&m_dsp, 0) != 0) return KYERR_UNKNOWN;
    kyError err = drain();
    if (kyFailed(err)) return err;
    return writePages(true);
}

namespace {
std::vector<std::string> oggList() {
    std::vector<std::string> l = {"<Auto select>"};
    for (int r : {8,   16,  20,  24,  32,  40,  48,  56,  64,  72,  80,  86,  96, 112,
                  128, 144, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 480})
        l.push_back(std::to_string(r) + " kbit/s");
    return l;
}
} // namespace

void ogg_RegisterFormats(kyFormatCatalog& catalog) {
    static const kyFormatEntry ogg{
        .extension = "ogg",
        .displayName = "Vorbis Ogg stream",
        .probe = ogg_Reader::Probe,
        .reader = ogg_Reader::Create,
        .writer = ogg_Writer::Create,
        .subformats = oggList(),
        .minChannels = 1,
        .maxChannels = 2,
        .component =
            [](bool writing) {
                return kyComponentStatus{
                    "libvorbis.so.0, libvorbisenc.so.2, libogg.so.0, libvorbisfile.so.3", "",
                    writing ? kyVorbisEncoderLibrary::Missing()
                            : kyVorbisDecoderLibrary::Missing()};
            },
    };
    catalog.RegisterFormat(&ogg);
}
