#include "formats/mpeg_reader.h"
#include "formats/codecs/mpeg_audio_decoder.h"
#include <algorithm>
#include <new>
#include <vector>

namespace {
// Bytes searched for the first frame after the leading tags (junk before it included).
constexpr size_t kSearch = 64 * 1024;
constexpr uint32_t kBlockFrames = 1152 * 4;
} // namespace

mpeg_Reader::mpeg_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option)
    : kyFramedStreamReader(fd, fileName, entry, option) {
    m_openResult = open();
}

kyReaderFilter* mpeg_Reader::Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                    int32_t option) {
    return new (std::nothrow) mpeg_Reader(fd, fileName, entry, option);
}

bool mpeg_Reader::ParseFrame(const uint8_t* p, size_t avail, kyWalkedFrame& f) {
    // Frames of another layer, rate or channel count are not this stream's.
    mpeg::FrameHeader h;
    if (!mpeg::ParseFrameHeader(p, avail, h) || !mpeg::SameStream(m_header, h)) return false;
    f.bytes = h.frameBytes;
    f.samples = h.samplesPerFrame;
    return true;
}

uint32_t mpeg_Reader::FrameSamples(const uint8_t* data, uint32_t size, const kyWalkedFrame& f,
                                   bool first) {
    // A VBR header frame decodes to nothing.
    mpeg::VbrHeader vbr;
    return first && mpeg::ParseVbrHeader(data, size, m_header, vbr) ? 0 : f.samples;
}

std::unique_ptr<kyStreamDecoder> mpeg_Reader::MakeDecoder() {
    return std::make_unique<kyMpegAudioDecoder>();
}

kyError mpeg_Reader::open() {
    kyError err = ReadTags();
    if (kyFailed(err)) return err;
    std::vector<uint8_t> head;
    err = ReadHead(head, kSearch);
    if (kyFailed(err)) return err;
    const size_t at = mpeg::FindFrames(head.data(), head.size(), 0, 3, &m_header);
    if (at >= head.size()) return KYERR_CORRUPT;
    m_firstFrame = m_audioStart + at;
    mpeg::ParseVbrHeader(head.data() + at, head.size() - at, m_header, m_vbr);

    m_properties.setUtf8(2, mpeg::LayerName(m_header.layer));
    m_format.channels = m_header.channels;
    m_format.sampleRate = m_header.sampleRate;
    m_format.blockFrames = kBlockFrames;

    // The VBR header's count, unless it cannot be true for the bytes there are (a frame
    // has at least 24 bytes).
    const uint64_t bytes = m_audioEnd - m_firstFrame;
    uint64_t samples = 0;
    if (m_vbr.present && m_vbr.frames > 0 && uint64_t(m_vbr.frames) * 24 <= bytes) {
        samples = uint64_t(m_vbr.frames) * m_header.samplesPerFrame;
        if (m_vbr.lame && m_vbr.delay + m_vbr.padding < samples)
            samples -= m_vbr.delay + m_vbr.padding;
    } else {
        m_vbr.lame = false; // the decoder goes by the frames, so does the count
        bool first = true;
        err = WalkFrames([&](const uint8_t* data, uint32_t size, const kyWalkedFrame* f) {
            if (f) {
                samples += FrameSamples(data, size, *f, first);
                first = false;
            }
            return KY_OK;
        });
        if (kyFailed(err)) return err;
    }
    m_format.lengthFrames = static_cast<uint32_t>(std::min<uint64_t>(samples, KY_NO_LENGTH - 1));
    if (!kyMpegAudioDecoder::available()) return KYERR_MISSING_COMPONENT;
    LimitBlockFrames();
    return KY_OK;
}
