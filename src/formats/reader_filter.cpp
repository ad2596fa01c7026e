#include "formats/reader_filter.h"
#include "core/data_format.h"
#include "formats/format_catalog.h"
#include "platform/file_io.h"
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

kyReaderFilter::kyReaderFilter(int fd, const char* fileName, const kyFormatEntry* entry,
                               int32_t option)
    : kySourceFilter2("File reader source"), m_entry(entry), m_option(option), m_fd(fd) {
    std::string name = fileName ? fileName : "";
    m_properties.setUtf8(0, name);
    if (entry) m_properties.setUtf8(1, entry->displayName);
    // The title is the bare file name.
    size_t slash = name.find_last_of('/');
    std::string title = slash == std::string::npos ? name : name.substr(slash + 1);
    size_t dot = title.find_last_of('.');
    if (dot != std::string::npos && dot > 0) title.resize(dot);
    if (!title.empty()) m_properties.setUtf8(3, title);
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0) m_fileSize = static_cast<uint64_t>(st.st_size);
    m_format.lengthFrames = KY_NO_LENGTH;
}

kyReaderFilter::~kyReaderFilter() {
    if (m_fd >= 0) ::close(m_fd);
}

void kyReaderFilter::TakeProperties(kyPropertyTable& tags) {
    for (uint32_t slot = KYPROP_TITLE; slot < tags.size() && slot < m_properties.size(); ++slot)
        if (const char* text = tags.getUtf8(slot)) m_properties.setUtf8(slot, text);
}

bool kyReaderFilter::SetSubformat(const char* id) {
    m_properties.setUtf8(2, id);
    const kyDataFormatInfo* info = kyFindDataFormat(id);
    m_rawPcm = info != nullptr;
    if (!info) return false;
    m_bits = info->bytes * 8;
    return true;
}

kyError kyReaderFilter::GetFormat(kyAudioFormat& format) {
    if (kyFailed(m_openResult)) {
        format = kyAudioFormat{};
        return m_openResult;
    }
    return kySourceFilter2::GetFormat(format);
}

bool kyReaderFilter::RateFromDouble(double value, uint32_t& rate) {
    if (!std::isfinite(value) || value < 0.5 || value >= 4294967295.5) return false;
    rate = static_cast<uint32_t>(std::llround(value));
    return true;
}

std::string kyReaderFilter::FixedText(const uint8_t* p, size_t max) {
    size_t n = 0;
    while (n < max && p[n]) ++n;
    return std::string(reinterpret_cast<const char*>(p), n);
}

kyError kyReaderFilter::RefuseCoding(const uint8_t* fourCC) {
    std::string name(reinterpret_cast<const char*>(fourCC), 4);
    for (char& ch : name)
        if (ch < 32 || ch > 126) ch = '?';
    m_properties.setUtf8(2, name);
    return KYERR_COMPRESSION;
}

const char* kyReaderFilter::GetInterleavedFormat(uint32_t channels) {
    if (kyFailed(m_openResult) || !IsRawPcm() || channels != m_format.channels) return nullptr;
    return m_properties.getUtf8(2);
}

uint32_t kyReaderFilter::Seek(uint32_t frame) {
    if (kyFailed(m_openResult)) return 0;
    if (m_format.lengthFrames != KY_NO_LENGTH && frame > m_format.lengthFrames)
        frame = m_format.lengthFrames;
    m_startFrame = frame;
    // Raw PCM starts reading later; compressed data is decoded from its start and skipped.
    m_startOffset = IsRawPcm() ? uint64_t(frame) * (m_bits / 8) * m_format.channels : 0;
    m_prepared = false;
    return frame;
}

kyError kyReaderFilter::Prepare() {
    m_prepared = false;
    if (kyFailed(m_openResult)) return m_openResult;
    if (!m_downstream || m_fd < 0) return KYERR_SEQUENCE;
    if (m_format.lengthFrames == 0 || m_format.channels == 0) return KYERR_NO_AUDIO;
    m_bytesPerFrame = ((m_bits + 7) / 8) * m_format.channels;
    LimitBlockFrames();
    uint32_t block = std::max<uint32_t>(1, m_format.blockFrames);
    try {
        if (IsRawPcm()) m_readBuffer.assign(size_t(block) * m_bytesPerFrame, 0);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    if (m_planes.channels() != m_format.channels || m_planes.frames() < block) {
        if (kyFailed(m_planes.allocate(m_format.channels, block))) return KYERR_OUT_OF_MEMORY;
    }
    if (IsRawPcm()) {
        kyError err = SeekFile(m_dataOffset + m_startOffset);
        if (kyFailed(err)) return err;
        if (m_format.lengthFrames == KY_NO_LENGTH) {
            uint64_t avail = m_fileSize > m_dataOffset + m_startOffset
                                 ? m_fileSize - m_dataOffset - m_startOffset
                                 : 0;
            m_format.lengthFrames = static_cast<uint32_t>(
                std::min<uint64_t>(avail / m_bytesPerFrame + m_startFrame, KY_NO_LENGTH - 1));
        }
    }
    kyError err = PrepareDecoder();
    if (kyFailed(err)) return err;
    m_remaining = m_format.lengthFrames > m_startFrame ? m_format.lengthFrames - m_startFrame : 0;
    m_prepared = true;
    if (m_remaining == 0) return m_downstream->EndOfStream();
    return KY_OK;
}

void kyReaderFilter::LimitBlockFrames() {
    // Many channels would make a block of the usual frame count huge: keep one block's
    // planes and raw bytes within a few MiB.
    const uint64_t perFrame =
        uint64_t(std::max<uint32_t>(1, m_format.channels)) * std::max<uint32_t>(4, m_bits / 8);
    const uint64_t most = std::max<uint64_t>(1, kMaxBlockBytes / perFrame);
    if (m_format.blockFrames == 0 || m_format.blockFrames > most)
        m_format.blockFrames = static_cast<uint32_t>(std::min<uint64_t>(most, 8192));
}

kyError kyReaderFilter::PrepareDecoder() {
    if (IsRawPcm() || !m_decoder) return KY_OK;
    m_dataLeft = m_dataBytes;
    m_decodedFrames = m_decodedPos = 0;
    m_skip = m_leadingFrames + m_startFrame;
    kyError err = SeekFile(m_dataOffset);
    if (kyFailed(err)) return err;
    // Fresh codec state for a stream decoded from its start.
    err = m_decoder->start(m_codecBits, m_format.channels, m_codecBlockAlign);
    if (kyFailed(err)) return err;
    const uint32_t blockBytes = m_decoder->bytesPerBlock();
    const uint32_t most = m_decoder->maxFrames(blockBytes);
    if (blockBytes == 0 || most == 0 || most > (1u << 24)) return KYERR_CORRUPT;
    // Several blocks per read: small blocks (a few bytes for G.72x) would otherwise cost a
    // read each. No more than the data holds, though.
    const uint64_t dataBlocks = (m_dataBytes + blockBytes - 1) / blockBytes;
    const uint32_t blocks = static_cast<uint32_t>(
        std::clamp<uint64_t>(dataBlocks, 1, std::max<uint32_t>(1, (64u << 10) / blockBytes)));
    try {
        m_block.resize(size_t(blocks) * blockBytes);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    if (kyFailed(m_decoded.allocate(m_format.channels, blocks * most))) return KYERR_OUT_OF_MEMORY;
    return KY_OK;
}

kyError kyReaderFilter::RefillDecoded() {
    m_decodedFrames = m_decodedPos = 0;
    if (!m_decoder) return KY_NOTHING_DONE;
    const size_t blockBytes = m_decoder->bytesPerBlock();
    while (m_dataLeft > 0) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(m_dataLeft, m_block.size()));
        long got = ReadSome(m_block.data(), n);
        if (got < 0) return KYERR_READ_FILE;
        if (got == 0) {
            m_dataLeft = 0;
            break;
        }
        m_dataLeft -= static_cast<uint64_t>(got);
        uint32_t total = 0;
        for (size_t at = 0; at < static_cast<size_t>(got); at += blockBytes) {
            uint32_t frames = 0;
            kyError err = m_decoder->decode(m_block.data() + at,
                                            std::min(blockBytes, static_cast<size_t>(got) - at),
                                            m_decoded.planes(), total, &frames);
            if (kyFailed(err)) return err;
            total += frames;
        }
        if (total) {
            m_decodedFrames = std::min(total, m_decoded.frames());
            return KY_OK;
        }
    }
    return KY_NOTHING_DONE;
}

kyError kyReaderFilter::DecodeFrames(float** planes, uint32_t frames, uint32_t& got) {
    got = 0;
    if (!IsRawPcm()) {
        while (got < frames) {
            if (m_decodedPos >= m_decodedFrames) {
                kyError err = RefillDecoded();
                if (kyFailed(err)) return err;
                if (err == KY_NOTHING_DONE) break;
            }
            uint32_t n = m_decodedFrames - m_decodedPos;
            if (m_skip) {
                uint32_t s = std::min(n, m_skip);
                m_skip -= s;
                m_decodedPos += s;
                continue;
            }
            n = std::min(n, frames - got);
            for (uint32_t c = 0; c < m_format.channels; ++c)
                std::memcpy(planes[c] + got, m_decoded.plane(c) + m_decodedPos, n * sizeof(float));
            m_decodedPos += n;
            got += n;
        }
        return KY_OK;
    }
    size_t bytes = size_t(frames) * m_bytesPerFrame;
    if (bytes > m_readBuffer.size()) return KYERR_UNKNOWN;
    kyError err = ReadExact(m_readBuffer.data(), bytes);
    if (kyFailed(err)) return err;
    err = InterleavedToPlanar(planes, m_readBuffer.data(), m_format.channels, 0, frames,
                              m_properties.getUtf8(2), m_signFlip, m_byteSwap);
    if (kyFailed(err)) return err;
    got = frames;
    return KY_OK;
}

kyError kyReaderFilter::Process() {
    if (kyFailed(m_openResult)) return m_openResult;
    if (!m_prepared) return KYERR_SEQUENCE;
    if (!m_downstream) return KY_OK;
    if (m_remaining == 0) return m_downstream->EndOfStream();
    uint32_t n = std::min(m_remaining, std::max<uint32_t>(1, m_format.blockFrames));
    uint32_t got = 0;
    kyError err = DecodeFrames(m_planes.planes(), n, got);
    if (kyFailed(err)) return err;
    // A decoder that runs dry ends the stream where the data really ends.
    m_remaining = got < n ? 0 : m_remaining - got;
    if (got) {
        err = m_downstream->Write(m_planes.planes(), got);
        if (kyFailed(err)) return err;
    }
    if (m_remaining == 0) return m_downstream->EndOfStream();
    return KY_OK;
}

kyError kyReaderFilter::RunInterleaved() {
    if (!IsRawPcm()) return KYERR_SEQUENCE;
    kyError err = Prepare();
    if (kyFailed(err)) return err;
    const char* id = m_properties.getUtf8(2);
    const uint32_t width = (m_bits + 7) / 8;
    while (m_remaining > 0) {
        uint32_t n = std::min(m_remaining, std::max<uint32_t>(1, m_format.blockFrames));
        size_t bytes = size_t(n) * m_bytesPerFrame;
        err = ReadExact(m_readBuffer.data(), bytes);
        if (kyFailed(err)) return err;
        size_t samples = size_t(n) * m_format.channels;
        if (m_byteSwap) kyByteSwap(m_readBuffer.data(), samples, width);
        if (m_signFlip && id && id[0] == 'P') kySignFlip(m_readBuffer.data(), samples, width);
        m_remaining -= n;
        err = m_downstream->WriteInterleaved(m_readBuffer.data(), static_cast<uint32_t>(bytes), n);
        if (kyFailed(err)) return err;
        if (err == 1) return KYERR_SEQUENCE; // the sink does not take interleaved blocks
    }
    return m_downstream->EndOfStream();
}

kyError kyReaderFilter::SeekFile(uint64_t offset) {
    if (m_fd < 0) return KYERR_READ_FILE;
    if (::lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) < 0) return KYERR_READ_FILE;
    return KY_OK;
}

long kyReaderFilter::ReadSome(void* data, size_t size) {
    return static_cast<long>(kyReadUpTo(m_fd, kyCurrentPosition, data, size));
}

kyError kyReaderFilter::ReadExact(void* data, size_t size) {
    errno = 0;
    long n = ReadSome(data, size);
    if (n >= 0 && static_cast<size_t>(n) == size) return KY_OK;
    // A short read has no system reason: the file ends early.
    kySetErrorReason(KYERR_READ_FILE, n < 0 ? errno : 0);
    return KYERR_READ_FILE;
}

kyError kyReaderFilter::ReadAt(uint64_t offset, void* data, size_t size) {
    errno = 0;
    if (kyReadExactlyAt(m_fd, offset, data, size)) return KY_OK;
    kySetErrorReason(KYERR_READ_FILE, errno);
    return KYERR_READ_FILE;
}

kyError kyReaderFilter::ReadBody(uint64_t offset, uint64_t size, std::vector<uint8_t>& body) {
    try {
        body.resize(static_cast<size_t>(size));
    } catch (const std::exception&) {
        return KYERR_OUT_OF_MEMORY;
    }
    return size ? ReadAt(offset, body.data(), body.size()) : KY_OK;
}
