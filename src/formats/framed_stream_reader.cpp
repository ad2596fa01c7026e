#include "formats/framed_stream_reader.h"
#include "formats/codecs/byte_output.h"
#include "formats/codecs/stream_decoder.h"
#include "formats/tags/file_tags.h"
#include "platform/file_io.h"
#include <algorithm>
#include <new>
#include <vector>

namespace {
// Bytes fed to the decoder at a time.
constexpr size_t kFeed = 16384;
// Bytes of the stream handed on at a time (whole frames, so a little more).
constexpr size_t kPassOnBytes = 64 * 1024;
} // namespace

kyFramedStreamReader::kyFramedStreamReader(int fd, const char* fileName, const kyFormatEntry* entry,
                                           int32_t option)
    : kyReaderFilter(fd, fileName, entry, option) {}

kyFramedStreamReader::~kyFramedStreamReader() = default;

kyError kyFramedStreamReader::ReadTags() {
    if (m_fd < 0) return KYERR_OPEN_FILE;
    kyTagLayout tags;
    kyError err = kyReadFileTags(m_fd, m_fileSize, m_properties, tags);
    if (kyFailed(err)) return err;
    m_audioStart = tags.audioStart;
    m_audioEnd = tags.audioEnd;
    m_rawPcm = false;
    return m_audioEnd > m_audioStart ? KY_OK : KYERR_NO_AUDIO;
}

kyError kyFramedStreamReader::ReadHead(std::vector<uint8_t>& head, size_t size) {
    try {
        head.resize(static_cast<size_t>(std::min<uint64_t>(size, m_audioEnd - m_audioStart)));
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    return ReadAt(m_audioStart, head.data(), head.size());
}

kyError kyFramedStreamReader::WalkFrames(const kyWalkFn& fn) {
    return kyWalkFrames(
        [this](uint64_t offset, uint8_t* data, size_t size) -> long {
            return static_cast<long>(kyReadUpTo(m_fd, offset, data, size));
        },
        m_firstFrame, m_audioEnd,
        [this](const uint8_t* p, size_t avail, kyWalkedFrame& f) {
            return ParseFrame(p, avail, f);
        },
        fn);
}

kyError kyFramedStreamReader::StartDecoder(uint32_t channels) {
    try {
        if (!m_decoder) m_decoder = MakeDecoder();
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    if (!m_decoder) return KYERR_OUT_OF_MEMORY;
    kyError err = m_decoder->start(channels);
    if (kyFailed(err)) return err;
    err = SeekFile(m_firstFrame);
    if (kyFailed(err)) return err;
    return m_input.start(m_audioEnd - m_firstFrame, kFeed);
}

kyError kyFramedStreamReader::Pull(float** planes, uint32_t capacity, uint32_t& frames) {
    return kyPullStream(
        *m_decoder, [this](uint8_t* d, size_t size) { return ReadSome(d, size); }, m_input, planes,
        capacity, frames);
}

uint32_t kyFramedStreamReader::Seek(uint32_t frame) {
    if (kyFailed(m_openResult)) return 0;
    if (m_format.lengthFrames != KY_NO_LENGTH) frame = std::min(frame, m_format.lengthFrames);
    m_startFrame = frame;
    m_prepared = false;
    return frame;
}

kyError kyFramedStreamReader::PrepareDecoder() {
    kyError err = StartDecoder(m_format.channels);
    if (kyFailed(err)) return err;
    m_frames.reset(m_startFrame);
    return m_frames.allocate(m_format.channels, std::max<uint32_t>(m_format.blockFrames, 1));
}

kyError kyFramedStreamReader::DecodeFrames(float** planes, uint32_t frames, uint32_t& got) {
    return m_frames.take(planes, frames, got, [this](float** p, uint32_t capacity, uint32_t& n) {
        return Pull(p, capacity, n);
    });
}

const char* kyFramedStreamReader::GetInterleavedFormat(uint32_t channels) {
    if (kyFailed(m_openResult) || !CanPassOn() || channels != m_format.channels) return nullptr;
    return m_properties.getUtf8(2);
}

kyError kyFramedStreamReader::RunInterleaved() {
    if (kyFailed(m_openResult)) return m_openResult;
    if (!CanPassOn() || !m_downstream || m_fd < 0) return KYERR_SEQUENCE;
    std::vector<uint8_t> out;
    try {
        out.reserve(kPassOnBytes + 8192);
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
    // The frames go on unchanged, and what lies between them where the format keeps it.
    kyError err = WalkFrames([&](const uint8_t* data, uint32_t size, const kyWalkedFrame* f) {
        if (!f && !PassesGaps()) return KY_OK;
        if (f) {
            frames += FrameSamples(data, size, *f, first);
            first = false;
        }
        kyError e = kyAppendBytes(out, data, size);
        if (kyFailed(e)) return e;
        return out.size() >= kPassOnBytes ? send() : KY_OK;
    });
    if (kySucceeded(err)) err = send();
    if (kyFailed(err)) return err;
    return m_downstream->EndOfStream();
}
