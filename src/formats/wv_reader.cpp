#include "formats/wv_reader.h"
#include "formats/lossless_format.h"
#include "formats/tags/file_tags.h"
#include "platform/file_io.h"
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace {
// The library's message buffer must hold at least 80 characters.
constexpr size_t kErrorText = 128;
} // namespace

wv_Reader::wv_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option)
    : kyReaderFilter(fd, fileName, entry, option) {
    m_reader.read_bytes = readBytes;
    m_reader.write_bytes = writeBytes;
    m_reader.get_pos = getPos;
    m_reader.set_pos_abs = setPosAbs;
    m_reader.set_pos_rel = setPosRel;
    m_reader.push_back_byte = pushBackByte;
    m_reader.get_length = getLength;
    m_reader.can_seek = canSeek;
    m_openResult = open();
}

wv_Reader::~wv_Reader() {
    closeContext();
}

int wv_Reader::Probe(const uint8_t* head, size_t size) {
    if (size < 32 || std::memcmp(head, "wvpk", 4) != 0) return 0;
    const uint32_t blockSize = uint32_t(head[4]) | (uint32_t(head[5]) << 8) |
                               (uint32_t(head[6]) << 16) | (uint32_t(head[7]) << 24);
    const uint32_t version = uint32_t(head[8]) | (uint32_t(head[9]) << 8);
    // A block holds at least the rest of its header; versions the library reads.
    if (blockSize < 24 || version < 0x402 || version > 0x410) return 0;
    return 6;
}

kyReaderFilter* wv_Reader::Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                  int32_t option) {
    return new (std::nothrow) wv_Reader(fd, fileName, entry, option);
}

void wv_Reader::closeContext() {
    if (m_context) m_lib->closeFile(m_context);
    m_context = nullptr;
}

kyError wv_Reader::openContext() {
    closeContext();
    m_pos = 0;
    m_pushedBack = -1;
    char error[kErrorText] = {};
    m_context = m_lib->openFileInput(&m_reader, this, nullptr, error, OPEN_NORMALIZE, 0);
    if (!m_context) {
        if (error[0]) kySetErrorReason(KYERR_CORRUPT, error);
        return KYERR_CORRUPT;
    }
    return KY_OK;
}

kyError wv_Reader::open() {
    if (m_fd < 0) return KYERR_OPEN_FILE;
    kyTagLayout layout;
    kyError err = kyReadFileTags(m_fd, m_fileSize, m_properties, layout);
    if (kyFailed(err)) return err;
    m_audioEnd = layout.audioEnd ? layout.audioEnd : m_fileSize;
    m_lib = kyWavPackDecoderLibrary::Get();
    if (!m_lib) {
        kySetErrorReason(KYERR_MISSING_COMPONENT, kyWavPackDecoderLibrary::Missing());
        return KYERR_MISSING_COMPONENT;
    }
    err = openContext();
    if (kyFailed(err)) return err;
    const int mode = m_lib->getMode(m_context);
    const int channels = m_lib->getNumChannels(m_context);
    const int bytes = m_lib->getBytesPerSample(m_context);
    const int bits = m_lib->getBitsPerSample(m_context);
    const uint32_t rate = m_lib->getSampleRate(m_context);
    if (channels <= 0 || bytes < 1 || bytes > 4 || rate == 0) return KYERR_CORRUPT;
    m_channels = static_cast<uint32_t>(channels);
    m_isFloat = (mode & MODE_FLOAT) != 0;
    m_width = static_cast<uint32_t>(bytes) * 8;
    kyLosslessFormat f;
    f.isFloat = m_isFloat;
    f.bits = m_isFloat ? 32 : m_width;
    if (m_isFloat && bytes != 4) return KYERR_DATA_FORMAT;
    // Hybrid files without their correction file are not lossless.
    const std::string name = kyLosslessSubformatName(static_cast<uint32_t>(bits), m_isFloat);
    m_properties.setUtf8(2, (mode & MODE_LOSSLESS) ? name : "Hybrid" + name.substr(8));
    m_rawId = kyLosslessRawId(f);
    m_format.channels = m_channels;
    m_format.sampleRate = rate;
    m_format.channelMask = static_cast<uint32_t>(m_lib->getChannelMask(m_context));
    const int64_t total = m_lib->getNumSamples(m_context);
    m_format.lengthFrames =
        total < 0 ? KY_NO_LENGTH
                  : static_cast<uint32_t>(std::min<int64_t>(total, int64_t(KY_NO_LENGTH) - 1));
    m_format.blockFrames = 4096;
    m_bits = 32;
    LimitBlockFrames();
    return KY_OK;
}

kyError wv_Reader::PrepareDecoder() {
    m_delivered = 0;
    try {
        m_samples.resize(size_t(std::max<uint32_t>(1, m_format.blockFrames)) * m_channels);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    // A fresh context for every run: the error count then tells about this run only.
    kyError err = openContext();
    if (kyFailed(err)) return err;
    if (m_startFrame && !m_lib->seekSample(m_context, m_startFrame)) return KYERR_CORRUPT;
    return KY_OK;
}

kyError wv_Reader::unpack(uint32_t frames, uint32_t& got) {
    got = 0;
    if (!m_context) return KYERR_SEQUENCE;
    frames = std::min<uint32_t>(frames, static_cast<uint32_t>(m_samples.size() / m_channels));
    while (got < frames) {
        const uint32_t n = m_lib->unpackSamples(
            m_context, m_samples.data() + size_t(got) * m_channels, frames - got);
        if (n == 0) break;
        got += n;
    }
    // A block whose checksum fails is not the file's audio.
    if (m_lib->getNumErrors(m_context) > 0) return KYERR_CORRUPT;
    m_delivered += got;
    return KY_OK;
}

kyError wv_Reader::DecodeFrames(float** planes, uint32_t frames, uint32_t& got) {
    got = 0;
    while (got < frames) {
        uint32_t n = 0;
        kyError err = unpack(frames - got, n);
        if (kyFailed(err)) return err;
        if (n == 0) break;
        kyIntegersToPlanes(planes, m_samples.data(), m_channels, got, n, m_width, m_isFloat);
        got += n;
    }
    return KY_OK;
}

const char* wv_Reader::GetInterleavedFormat(uint32_t channels) {
    if (kyFailed(m_openResult) || m_rawId.empty() || channels != m_channels) return nullptr;
    return m_rawId.c_str();
}

kyError wv_Reader::RunInterleaved() {
    if (m_rawId.empty()) return KYERR_SEQUENCE;
    kyError err = Prepare();
    if (kyFailed(err)) return err;
    const uint32_t width = m_width / 8;
    std::vector<uint8_t> bytes;
    try {
        bytes.resize(m_samples.size() * width);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    while (m_remaining > 0) {
        uint32_t n = 0;
        err = unpack(std::min<uint32_t>(m_remaining, m_format.blockFrames), n);
        if (kyFailed(err)) return err;
        if (n == 0) break;
        const size_t samples = size_t(n) * m_channels;
        kyIntegersToRaw(bytes.data(), m_samples.data(), samples, m_rawId);
        m_remaining -= n;
        err =
            m_downstream->WriteInterleaved(bytes.data(), static_cast<uint32_t>(samples * width), n);
        if (kyFailed(err)) return err;
        if (err == 1) return KYERR_SEQUENCE; // the sink does not take interleaved blocks
    }
    m_remaining = 0;
    return m_downstream->EndOfStream();
}

int32_t wv_Reader::readBytes(void* data, void* buffer, int32_t count) {
    auto* self = static_cast<wv_Reader*>(data);
    if (count <= 0) return 0;
    auto* out = static_cast<uint8_t*>(buffer);
    int32_t done = 0;
    if (self->m_pushedBack >= 0) {
        out[done++] = static_cast<uint8_t>(self->m_pushedBack);
        self->m_pushedBack = -1;
    }
    const uint64_t left = self->m_audioEnd > self->m_pos ? self->m_audioEnd - self->m_pos : 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(uint64_t(count - done), left));
    if (want == 0) return done;
    const long long n = kyReadUpTo(self->m_fd, self->m_pos, out + done, want);
    if (n < 0) return done;
    self->m_pos += static_cast<uint64_t>(n);
    return done + static_cast<int32_t>(n);
}

int32_t wv_Reader::writeBytes(void*, void*, int32_t) {
    return 0; // a reader never writes
}

int64_t wv_Reader::getPos(void* data) {
    auto* self = static_cast<wv_Reader*>(data);
    return static_cast<int64_t>(self->m_pos) - (self->m_pushedBack >= 0 ? 1 : 0);
}

int wv_Reader::setPosAbs(void* data, int64_t pos) {
    auto* self = static_cast<wv_Reader*>(data);
    if (pos < 0 || static_cast<uint64_t>(pos) > self->m_audioEnd) return -1;
    self->m_pos = static_cast<uint64_t>(pos);
    self->m_pushedBack = -1;
    return 0;
}

int wv_Reader::setPosRel(void* data, int64_t delta, int mode) {
    auto* self = static_cast<wv_Reader*>(data);
    int64_t base = 0;
    if (mode == SEEK_CUR)
        base = getPos(data);
    else if (mode == SEEK_END)
        base = static_cast<int64_t>(self->m_audioEnd);
    else if (mode != SEEK_SET)
        return -1;
    if (delta > 0 && base > INT64_MAX - delta) return -1;
    return setPosAbs(data, base + delta);
}

int wv_Reader::pushBackByte(void* data, int c) {
    auto* self = static_cast<wv_Reader*>(data);
    if (self->m_pushedBack >= 0 || self->m_pos == 0) return EOF;
    self->m_pushedBack = c & 0xFF;
    return c;
}

int64_t wv_Reader::getLength(void* data) {
    return static_cast<int64_t>(static_cast<wv_Reader*>(data)->m_audioEnd);
}

int wv_Reader::canSeek(void*) {
    return 1;
}
