#include "formats/aac_reader.h"
#include "formats/codecs/aac_decoder.h"
#include "formats/format_catalog.h"
#include "formats/frame_walker.h"
#include "formats/tags/file_tags.h"
#include "platform/file_io.h"
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {
constexpr size_t kSearch = 64 * 1024;
constexpr size_t kFeed = 16384;
// Room for the frames of a few AAC frames (2048 each with SBR).
constexpr uint32_t kBlockFrames = 8192;
constexpr uint32_t kPassOnBytes = 64 * 1024;

bool sameStream(const adts::Header& a, const adts::Header& b) {
    return a.rateIndex == b.rateIndex && a.channelConfig == b.channelConfig &&
           a.objectType == b.objectType;
}
} // namespace

aac_Reader::aac_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option)
    : kyReaderFilter(fd, fileName, entry, option) {
    m_openResult = open();
}

aac_Reader::~aac_Reader() = default;

kyReaderFilter* aac_Reader::Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                   int32_t option) {
    return new (std::nothrow) aac_Reader(fd, fileName, entry, option);
}

kyError
aac_Reader::walk(const std::function<kyError(const uint8_t*, uint32_t, const adts::Header*)>& fn) {
    const adts::Header first = m_header;
    adts::Header h;
    return kyWalkFrames(
        [this](uint64_t offset, uint8_t* data, size_t size) -> long {
            return static_cast<long>(kyReadUpTo(m_fd, offset, data, size));
        },
        m_firstFrame, m_audioEnd,
        [&](const uint8_t* p, size_t avail, kyWalkedFrame& f) {
            if (!adts::Parse(p, avail, h) || !sameStream(first, h)) return false;
            f.bytes = h.frameBytes;
            f.samples = 1024 * h.rawBlocks;
            return true;
        },
        [&](const uint8_t* data, uint32_t size, const kyWalkedFrame* f) {
            if (f) adts::Parse(data, size, h);
            return fn(data, size, f ? &h : nullptr);
        });
}

kyError aac_Reader::startDecoder(uint32_t channels) {
    try {
        if (!m_decoder) m_decoder = std::make_unique<kyAacDecoder>();
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    kyError err = m_decoder->start(channels);
    if (kyFailed(err)) return err;
    err = SeekFile(m_firstFrame);
    if (kyFailed(err)) return err;
    return m_input.start(m_audioEnd - m_firstFrame, kFeed);
}

kyError aac_Reader::pull(float** planes, uint32_t capacity, uint32_t& frames) {
    return kyPullStream(
        *m_decoder, [this](uint8_t* d, size_t size) { return ReadSome(d, size); }, m_input, planes,
        capacity, frames);
}

kyError aac_Reader::open() {
    if (m_fd < 0) return KYERR_OPEN_FILE;
    kyTagLayout tags;
    kyError err = kyReadFileTags(m_fd, m_fileSize, m_properties, tags);
    if (kyFailed(err)) return err;
    m_audioStart = tags.audioStart;
    m_audioEnd = tags.audioEnd;
    if (m_audioEnd <= m_audioStart) return KYERR_NO_AUDIO;
    m_properties.setUtf8(2, "MPEG AAC");
    m_rawPcm = false;

    std::vector<uint8_t> head;
    try {
        head.resize(static_cast<size_t>(std::min<uint64_t>(kSearch, m_audioEnd - m_audioStart)));
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    err = ReadAt(m_audioStart, head.data(), head.size());
    if (kyFailed(err)) return err;
    uint64_t aacFrames = 0;
    if (head.size() >= 4 && !std::memcmp(head.data(), "ADIF", 4)) {
        m_adif = true;
        m_firstFrame = m_audioStart;
    } else {
        // The first frame whose successor starts where it ends (or that ends the file).
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
        err = walk([&](const uint8_t*, uint32_t, const adts::Header* h) {
            if (h) aacFrames += h->rawBlocks;
            return KY_OK;
        });
        if (kyFailed(err)) return err;
    }
    if (!kyAacDecoder::available()) return KYERR_MISSING_COMPONENT;

    // The rate and channels are what the decoder makes of the stream (SBR doubles the rate
    // an ADTS header names, parametric stereo makes two channels of one), so the first
    // frames are decoded now. The decoder gives nothing for the first frame.
    err = startDecoder(1);
    if (kyFailed(err)) return err;
    kyPlaneBuffer probe;
    err = probe.allocate(1, kBlockFrames);
    if (kyFailed(err)) return err;
    uint32_t frames = 0;
    err = pull(probe.planes(), kBlockFrames, frames);
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

uint32_t aac_Reader::Seek(uint32_t frame) {
    if (kyFailed(m_openResult)) return 0;
    if (m_format.lengthFrames != KY_NO_LENGTH) frame = std::min(frame, m_format.lengthFrames);
    m_startFrame = frame;
    m_prepared = false;
    return frame;
}

const char* aac_Reader::GetInterleavedFormat(uint32_t channels) {
    if (kyFailed(m_openResult) || m_adif || channels != m_format.channels) return nullptr;
    return m_properties.getUtf8(2);
}

kyError aac_Reader::RunInterleaved() {
    if (kyFailed(m_openResult)) return m_openResult;
    if (m_adif || !m_downstream || m_fd < 0) return KYERR_SEQUENCE;
    std::vector<uint8_t> out;
    try {
        out.reserve(kPassOnBytes + 8192);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    uint32_t frames = 0;
    auto send = [&]() -> kyError {
        if (out.empty()) return KY_OK;
        kyError e =
            m_downstream->WriteInterleaved(out.data(), static_cast<uint32_t>(out.size()), frames);
        out.clear();
        frames = 0;
        if (e == 1) return KYERR_SEQUENCE; // the sink does not take interleaved blocks
        return e;
    };
    // Whole ADTS frames, unchanged; what lies between them stays out.
    kyError err = walk([&](const uint8_t* data, uint32_t size, const adts::Header* h) {
        if (!h) return KY_OK;
        frames += 1024 * h->rawBlocks;
        out.insert(out.end(), data, data + size);
        return out.size() >= kPassOnBytes ? send() : KY_OK;
    });
    if (kySucceeded(err)) err = send();
    if (kyFailed(err)) return err;
    return m_downstream->EndOfStream();
}

kyError aac_Reader::PrepareDecoder() {
    kyError err = startDecoder(m_format.channels);
    if (kyFailed(err)) return err;
    m_frames.reset(m_startFrame);
    return m_frames.allocate(m_format.channels, kBlockFrames);
}

kyError aac_Reader::DecodeFrames(float** planes, uint32_t frames, uint32_t& got) {
    return m_frames.take(planes, frames, got, [this](float** p, uint32_t capacity, uint32_t& n) {
        return pull(p, capacity, n);
    });
}
