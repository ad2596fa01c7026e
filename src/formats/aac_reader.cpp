#include "formats/aac_reader.h"
#include "formats/codecs/aac_decoder.h"
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {
constexpr size_t kSearch = 64 * 1024;
// Room for the frames of a few AAC frames (2048 each with SBR).
constexpr uint32_t kBlockFrames = 8192;

bool sameStream(const adts::Header& a, const adts::Header& b) {
    return a.rateIndex == b.rateIndex && a.channelConfig == b.channelConfig &&
           a.objectType == b.objectType;
}
} // namespace

aac_Reader::aac_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option)
    : kyFramedStreamReader(fd, fileName, entry, option) {
    m_openResult = open();
}

kyReaderFilter* aac_Reader::Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                   int32_t option) {
    return new (std::nothrow) aac_Reader(fd, fileName, entry, option);
}

bool aac_Reader::ParseFrame(const uint8_t* p, size_t avail, kyWalkedFrame& f) {
    adts::Header h;
    if (!adts::Parse(p, avail, h) || !sameStream(m_header, h)) return false;
    f.bytes = h.frameBytes;
    f.samples = 1024 * h.rawBlocks;
    return true;
}

std::unique_ptr<kyStreamDecoder> aac_Reader::MakeDecoder() {
    return std::make_unique<kyAacDecoder>();
}

kyError aac_Reader::open() {
    kyError err = ReadTags();
    if (kyFailed(err)) return err;
    m_properties.setUtf8(2, "MPEG AAC");
    std::vector<uint8_t> head;
    err = ReadHead(head, kSearch);
    if (kyFailed(err)) return err;
    uint64_t aacFrames = 0;
    if (head.size() >= 4 && !std::memcmp(head.data(), "ADIF", 4)) {
        m_adif = true;
        m_firstFrame = m_audioStart;
    } else {
        // The first frame whose successor starts where it ends (or that ends the head).
        size_t at = 0;
        for (; at + adts::kHeaderBytes <= head.size(); ++at) {
            adts::Header h, n;
            if (!adts::Parse(head.data() + at, head.size() - at, h)) continue;
            const size_t next = at + h.frameBytes;
            if (next + adts::kHeaderBytes > head.size() ||
                (adts::Parse(head.data() + next, head.size() - next, n) && sameStream(h, n))) {
                m_header = h;
                break;
            }
        }
        if (at + adts::kHeaderBytes > head.size()) return KYERR_CORRUPT;
        m_firstFrame = m_audioStart + at;
        err = WalkFrames([&](const uint8_t*, uint32_t, const kyWalkedFrame* f) {
            if (f) aacFrames += f->samples / 1024;
            return KY_OK;
        });
        if (kyFailed(err)) return err;
    }
    if (!kyAacDecoder::available()) return KYERR_MISSING_COMPONENT;

    // The rate and channels are what the decoder makes of the stream (SBR doubles the rate
    // an ADTS header names, parametric stereo makes two channels of one), so the first
    // frames are decoded now. The decoder gives nothing for the first frame.
    err = StartDecoder(1);
    if (kyFailed(err)) return err;
    kyPlaneBuffer probe;
    err = probe.allocate(1, kBlockFrames);
    if (kyFailed(err)) return err;
    uint32_t frames = 0;
    err = Pull(probe.planes(), kBlockFrames, frames);
    if (kyFailed(err)) return err;
    if (frames == 0 || m_decoder->streamChannels() == 0 || m_decoder->sampleRate() == 0)
        return KYERR_CORRUPT;
    m_format.channels = m_decoder->streamChannels();
    m_format.sampleRate = m_decoder->sampleRate();
    m_format.blockFrames = kBlockFrames;
    if (m_adif) {
        m_format.lengthFrames = KY_NO_LENGTH; // decoded until the data ends
    } else {
        const uint64_t perFrame = frames; // one frame's worth: 1024, or 2048 with SBR
        const uint64_t samples = aacFrames > 1 ? (aacFrames - 1) * perFrame : 0;
        m_format.lengthFrames =
            static_cast<uint32_t>(std::min<uint64_t>(samples, KY_NO_LENGTH - 1));
    }
    LimitBlockFrames();
    return KY_OK;
}
