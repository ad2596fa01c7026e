#include "formats/mpeg_reader.h"
#include "formats/codecs/mpeg_audio_decoder.h"
#include "formats/format_catalog.h"
#include "formats/frame_walker.h"
#include "formats/tags/file_tags.h"
#include "platform/file_io.h"
#include <algorithm>
#include <new>
#include <vector>

namespace {
// Bytes searched for the first frame after the leading tags (junk before it included).
constexpr size_t kSearch = 64 * 1024;
constexpr size_t kFeed = 16384;
constexpr uint32_t kBlockFrames = 1152 * 4;
constexpr uint32_t kPassOnBytes = 64 * 1024;
} // namespace

mpeg_Reader::mpeg_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option)
    : kyReaderFilter(fd, fileName, entry, option) {
    m_openResult = open();
}

mpeg_Reader::~mpeg_Reader() = default;

kyReaderFilter* mpeg_Reader::Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                    int32_t option) {
    return new (std::nothrow) mpeg_Reader(fd, fileName, entry, option);
}

kyError mpeg_Reader::walk(
    const std::function<kyError(const uint8_t*, uint32_t, const mpeg::FrameHeader*)>& fn) {
    const mpeg::FrameHeader first = m_header;
    mpeg::FrameHeader h;
    return kyWalkFrames(
        [this](uint64_t offset, uint8_t* data, size_t size) -> long {
            return static_cast<long>(kyReadUpTo(m_fd, offset, data, size));
        },
        m_firstFrame, m_audioEnd,
        [&](const uint8_t* p, size_t avail, kyWalkedFrame& f) {
            if (!mpeg::ParseFrameHeader(p, avail, h) || !mpeg::SameStream(first, h)) return false;
            f.bytes = h.frameBytes;
            f.samples = h.samplesPerFrame;
            return true;
        },
        [&](const uint8_t* data, uint32_t size, const kyWalkedFrame* f) {
            if (f) mpeg::ParseFrameHeader(data, size, h);
            return fn(data, size, f ? &h : nullptr);
        });
}

kyError mpeg_Reader::open() {
    if (m_fd < 0) return KYERR_OPEN_FILE;
    kyTagLayout tags;
    kyError err = kyReadFileTags(m_fd, m_fileSize, m_properties, tags);
    if (kyFailed(err)) return err;
    m_audioStart = tags.audioStart;
    m_audioEnd = tags.audioEnd;
    if (m_audioEnd <= m_audioStart) return KYERR_NO_AUDIO;

    std::vector<uint8_t> head;
    try {
        head.resize(static_cast<size_t>(std::min<uint64_t>(kSearch, m_audioEnd - m_audioStart)));
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    err = ReadAt(m_audioStart, head.data(), head.size());
    if (kyFailed(err)) return err;
    const size_t at = mpeg::FindFrames(head.data(), head.size(), 0, 3, &m_header);
    if (at >= head.size()) return KYERR_CORRUPT;
    m_firstFrame = m_audioStart + at;
    mpeg::ParseVbrHeader(head.data() + at, head.size() - at, m_header, m_vbr);

    m_properties.setUtf8(2, mpeg::LayerName(m_header.layer));
    m_rawPcm = false;
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
        err = walk([&](const uint8_t* data, uint32_t size, const mpeg::FrameHeader* h) {
            if (!h) return KY_OK;
            mpeg::VbrHeader vbr;
            // A VBR header frame decodes to nothing.
            if (samples == 0 && mpeg::ParseVbrHeader(data, size, *h, vbr)) return KY_OK;
            samples += h->samplesPerFrame;
            return KY_OK;
        });
        if (kyFailed(err)) return err;
    }
    m_format.lengthFrames = static_cast<uint32_t>(std::min<uint64_t>(samples, KY_NO_LENGTH - 1));
    if (!kyMpegAudioDecoder::available()) return KYERR_MISSING_COMPONENT;
    LimitBlockFrames();
    return KY_OK;
}

uint32_t mpeg_Reader::Seek(uint32_t frame) {
    if (kyFailed(m_openResult)) return 0;
    frame = std::min(frame, m_format.lengthFrames);
    m_startFrame = frame;
    m_prepared = false;
    return frame;
}

const char* mpeg_Reader::GetInterleavedFormat(uint32_t channels) {
    if (kyFailed(m_openResult) || channels != m_format.channels) return nullptr;
    return m_properties.getUtf8(2);
}

kyError mpeg_Reader::RunInterleaved() {
    if (kyFailed(m_openResult)) return m_openResult;
    if (!m_downstream || m_fd < 0) return KYERR_SEQUENCE;
    std::vector<uint8_t> out;
    try {
        out.reserve(kPassOnBytes + 4096);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    uint32_t frames = 0;
    bool first = true;
    auto send = [&]() -> kyError {
        if (out.empty()) return KY_OK;
        kyError e =
            m_downstream->WriteInterleaved(out.data(), static_cast<uint32_t>(out.size()), frames);
        out.clear();
        frames = 0;
        if (e == 1) return KYERR_SEQUENCE; // the sink does not take interleaved blocks
        return e;
    };
    // The stream goes on unchanged, in pieces of whole frames.
    kyError err = walk([&](const uint8_t* data, uint32_t size, const mpeg::FrameHeader* h) {
        if (h) {
            mpeg::VbrHeader vbr;
            if (!(first && mpeg::ParseVbrHeader(data, size, *h, vbr))) frames += h->samplesPerFrame;
            first = false;
        }
        out.insert(out.end(), data, data + size);
        return out.size() >= kPassOnBytes ? send() : KY_OK;
    });
    if (kySucceeded(err)) err = send();
    if (kyFailed(err)) return err;
    return m_downstream->EndOfStream();
}

kyError mpeg_Reader::PrepareDecoder() {
    try {
        if (!m_decoder) m_decoder = std::make_unique<kyMpegAudioDecoder>();
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    kyError err = m_decoder->start(m_format.channels);
    if (kyFailed(err)) return err;
    err = SeekFile(m_firstFrame);
    if (kyFailed(err)) return err;
    err = m_input.start(m_audioEnd - m_firstFrame, kFeed);
    if (kyFailed(err)) return err;
    m_frames.reset(m_startFrame);
    return m_frames.allocate(m_format.channels, kBlockFrames);
}

kyError mpeg_Reader::DecodeFrames(float** planes, uint32_t frames, uint32_t& got) {
    return m_frames.take(planes, frames, got, [this](float** p, uint32_t capacity, uint32_t& n) {
        return kyPullStream(
            *m_decoder, [this](uint8_t* d, size_t size) { return ReadSome(d, size); }, m_input, p,
            capacity, n);
    });
}
