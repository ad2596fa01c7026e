#include "formats/flac_reader.h"
#include "formats/flac_common.h"
#include "formats/lossless_format.h"
#include "formats/tags/file_tags.h"
#include "platform/file_io.h"
#include <algorithm>
#include <cstring>
#include <new>

namespace {
kyError missing(const std::string& what) {
    kySetErrorReason(KYERR_MISSING_COMPONENT, what);
    return KYERR_MISSING_COMPONENT;
}
} // namespace

flac_Reader::flac_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option)
    : kyReaderFilter(fd, fileName, entry, option) {
    m_openResult = open();
}

flac_Reader::~flac_Reader() {
    closeDecoder();
}

kyReaderFilter* flac_Reader::Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                    int32_t option) {
    return new (std::nothrow) flac_Reader(fd, fileName, entry, option);
}

kyError flac_Reader::open() {
    if (m_fd < 0) return KYERR_OPEN_FILE;
    // Tags other programs put around the stream (ID3v2 before it, ID3v1 or APE after it)
    // count too, but the stream's own comments come first; the stream ends where the
    // trailing tags begin.
    kyPropertyTable fileTags;
    kyTagLayout layout;
    kyError err = kyReadFileTags(m_fd, m_fileSize, fileTags, layout);
    if (kyFailed(err)) return err;
    m_audioEnd = layout.audioEnd;
    flac::StreamInfo info;
    uint64_t audio = 0;
    kyPropertyTable comments;
    err =
        flac::ReadMetadata([this](uint64_t offset, void* data,
                                  size_t size) { return kySucceeded(ReadAt(offset, data, size)); },
                           m_audioEnd, info, comments, audio);
    if (kyFailed(err)) return err;
    TakeProperties(fileTags);
    TakeProperties(comments);
    m_channels = info.channels;
    m_bitsPerSample = info.bitsPerSample;
    m_properties.setUtf8(2, kyLosslessSubformatName(m_bitsPerSample, false));
    kyLosslessFormat f;
    f.bits = m_bitsPerSample;
    m_rawId = kyLosslessRawId(f);
    m_format.channels = m_channels;
    m_format.sampleRate = info.sampleRate;
    m_format.channelMask = 0;
    m_format.lengthFrames =
        info.totalSamples == 0
            ? KY_NO_LENGTH
            : static_cast<uint32_t>(std::min<uint64_t>(info.totalSamples, KY_NO_LENGTH - 1));
    m_format.blockFrames = 8192;
    m_bits = 32;
    LimitBlockFrames();
    m_lib = kyFlacDecoderLibrary::Get();
    if (!m_lib) return missing(kyFlacDecoderLibrary::Missing());
    return KY_OK;
}

void flac_Reader::closeDecoder() {
    if (m_decoder) m_lib->decoderDelete(m_decoder);
    m_decoder = nullptr;
}

kyError flac_Reader::PrepareDecoder() {
    closeDecoder();
    m_pendingFrames = m_pendingPos = 0;
    m_streamError = false;
    m_ended = false;
    m_streamPos = 0;
    m_delivered = 0;
    m_decoder = m_lib->decoderNew();
    if (!m_decoder) return KYERR_OUT_OF_MEMORY;
    m_lib->setMd5Checking(m_decoder, true);
    if (m_lib->initStream(m_decoder, readCallback, seekCallback, tellCallback, lengthCallback,
                          eofCallback, writeCallback, nullptr, errorCallback,
                          this) != FLAC__STREAM_DECODER_INIT_STATUS_OK)
        return KYERR_OUT_OF_MEMORY;
    if (!m_lib->processMetadata(m_decoder) || m_streamError) return KYERR_CORRUPT;
    m_fromStart = m_startFrame == 0;
    if (!m_fromStart && !m_lib->seekAbsolute(m_decoder, m_startFrame)) {
        // A seek that fails leaves the decoder to be flushed before it can go on; a
        // position it cannot reach is past the audio.
        if (m_lib->getState(m_decoder) == FLAC__STREAM_DECODER_SEEK_ERROR) m_lib->flush(m_decoder);
        return KYERR_CORRUPT;
    }
    return m_streamError ? KYERR_CORRUPT : KY_OK;
}

kyError flac_Reader::refill() {
    m_pendingFrames = m_pendingPos = 0;
    while (m_pendingFrames == 0) {
        if (m_ended || !m_decoder) return KY_NOTHING_DONE;
        const bool ok = m_lib->processSingle(m_decoder);
        if (m_streamError) return KYERR_CORRUPT;
        if (!ok) {
            return m_lib->getState(m_decoder) == FLAC__STREAM_DECODER_MEMORY_ALLOCATION_ERROR
                       ? KYERR_OUT_OF_MEMORY
                       : KYERR_READ_FILE;
        }
        if (m_lib->getState(m_decoder) == FLAC__STREAM_DECODER_END_OF_STREAM) {
            m_ended = true;
            // The stream's checksum is only known for a stream decoded from its start.
            const bool checked = m_lib->finish(m_decoder);
            if (m_fromStart && !checked) return KYERR_CORRUPT;
            if (m_pendingFrames == 0) return KY_NOTHING_DONE;
        }
    }
    return KY_OK;
}

kyError flac_Reader::DecodeFrames(float** planes, uint32_t frames, uint32_t& got) {
    got = 0;
    while (got < frames) {
        if (m_pendingPos >= m_pendingFrames) {
            kyError err = refill();
            if (kyFailed(err)) return err;
            if (err == KY_NOTHING_DONE) break;
        }
        const uint32_t n = std::min(frames - got, m_pendingFrames - m_pendingPos);
        kyIntegersToPlanes(planes, m_pending.data() + size_t(m_pendingPos) * m_channels, m_channels,
                           got, n, m_bitsPerSample, false);
        m_pendingPos += n;
        got += n;
    }
    m_delivered += got;
    if (m_format.lengthFrames != KY_NO_LENGTH &&
        m_delivered + m_startFrame >= m_format.lengthFrames)
        return verifyEnd();
    return KY_OK;
}

kyError flac_Reader::verifyEnd() {
    if (!m_fromStart || m_ended || !m_decoder) return KY_OK;
    // Frames beyond the announced length are not this stream's: nothing to check then.
    for (int guard = 0; guard < 4 && m_pendingPos >= m_pendingFrames; ++guard) {
        kyError err = refill();
        if (kyFailed(err)) return err;
        if (err == KY_NOTHING_DONE) break;
    }
    return KY_OK;
}

const char* flac_Reader::GetInterleavedFormat(uint32_t channels) {
    if (kyFailed(m_openResult) || m_rawId.empty() || channels != m_channels) return nullptr;
    return m_rawId.c_str();
}

kyError flac_Reader::RunInterleaved() {
    if (m_rawId.empty()) return KYERR_SEQUENCE;
    kyError err = Prepare();
    if (kyFailed(err)) return err;
    const uint32_t width = m_bitsPerSample / 8;
    std::vector<uint8_t> bytes;
    while (m_remaining > 0) {
        if (m_pendingPos >= m_pendingFrames) {
            err = refill();
            if (kyFailed(err)) return err;
            if (err == KY_NOTHING_DONE) break;
        }
        const uint32_t n = std::min(m_remaining, m_pendingFrames - m_pendingPos);
        const size_t samples = size_t(n) * m_channels;
        try {
            if (bytes.size() < samples * width) bytes.resize(samples * width);
        } catch (const std::bad_alloc&) {
            return KYERR_OUT_OF_MEMORY;
        }
        kyIntegersToRaw(bytes.data(), m_pending.data() + size_t(m_pendingPos) * m_channels, samples,
                        m_rawId);
        m_pendingPos += n;
        m_remaining -= n;
        m_delivered += n;
        err =
            m_downstream->WriteInterleaved(bytes.data(), static_cast<uint32_t>(samples * width), n);
        if (kyFailed(err)) return err;
        if (err == 1) return KYERR_SEQUENCE; // the sink does not take interleaved blocks
    }
    m_remaining = 0;
    err = verifyEnd();
    if (kyFailed(err)) return err;
    return m_downstream->EndOfStream();
}

FLAC__StreamDecoderReadStatus flac_Reader::readCallback(const FLAC__StreamDecoder*,
                                                        FLAC__byte buffer[], size_t* bytes,
                                                        void* data) {
    auto* self = static_cast<flac_Reader*>(data);
    const uint64_t left =
        self->m_audioEnd > self->m_streamPos ? self->m_audioEnd - self->m_streamPos : 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(*bytes, left));
    if (want == 0) {
        *bytes = 0;
        return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
    }
    const long long got = kyReadUpTo(self->m_fd, self->m_streamPos, buffer, want);
    if (got < 0) return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
    *bytes = static_cast<size_t>(got);
    self->m_streamPos += static_cast<uint64_t>(got);
    return got == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM
                    : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

FLAC__StreamDecoderSeekStatus flac_Reader::seekCallback(const FLAC__StreamDecoder*,
                                                        FLAC__uint64 offset, void* data) {
    auto* self = static_cast<flac_Reader*>(data);
    if (offset > self->m_audioEnd) return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
    self->m_streamPos = offset;
    return FLAC__STREAM_DECODER_SEEK_STATUS_OK;
}

FLAC__StreamDecoderTellStatus flac_Reader::tellCallback(const FLAC__StreamDecoder*,
                                                        FLAC__uint64* offset, void* data) {
    *offset = static_cast<flac_Reader*>(data)->m_streamPos;
    return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

FLAC__StreamDecoderLengthStatus flac_Reader::lengthCallback(const FLAC__StreamDecoder*,
                                                            FLAC__uint64* length, void* data) {
    *length = static_cast<flac_Reader*>(data)->m_audioEnd;
    return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
}

FLAC__bool flac_Reader::eofCallback(const FLAC__StreamDecoder*, void* data) {
    auto* self = static_cast<flac_Reader*>(data);
    return self->m_streamPos >= self->m_audioEnd;
}

FLAC__StreamDecoderWriteStatus flac_Reader::writeCallback(const FLAC__StreamDecoder*,
                                                          const FLAC__Frame* frame,
                                                          const FLAC__int32* const buffer[],
                                                          void* data) {
    auto* self = static_cast<flac_Reader*>(data);
    const uint32_t channels = self->m_channels;
    const uint32_t n = frame->header.blocksize;
    // A stream whose frames change their layout is not one stream.
    if (frame->header.channels != channels ||
        frame->header.bits_per_sample != self->m_bitsPerSample) {
        self->m_streamError = true;
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    try {
        if (self->m_pending.size() < size_t(n) * channels)
            self->m_pending.resize(size_t(n) * channels);
    } catch (const std::bad_alloc&) {
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    int32_t* d = self->m_pending.data();
    for (uint32_t c = 0; c < channels; ++c)
        for (uint32_t i = 0; i < n; ++i) d[size_t(i) * channels + c] = buffer[c][i];
    self->m_pendingFrames = n;
    self->m_pendingPos = 0;
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void flac_Reader::errorCallback(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus,
                                void* data) {
    // Lost sync, a bad header or a checksum mismatch: the samples would not be the file's.
    static_cast<flac_Reader*>(data)->m_streamError = true;
}
