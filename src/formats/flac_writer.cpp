#include "formats/flac_writer.h"
#include "filters/quantizer_factory.h"
#include "formats/flac_common.h"
#include "formats/flac_reader.h"
#include "formats/format_catalog.h"
#include "formats/tags/tag_fields.h"
#include "formats/tags/vorbis_comment.h"
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {
constexpr uint32_t kChunkFrames = 4608;
// Encoded frames are gathered and written in pieces of this size.
constexpr size_t kOutputBuffer = 256 * 1024;
} // namespace

flac_Writer::flac_Writer(int fd, const char* fileName, const char* subformat,
                         const kyFormatEntry* entry)
    : kyCodecWriter(fd, fileName, subformat, entry) {}

flac_Writer::~flac_Writer() {
    abandon();
}

kyWriterFilter* flac_Writer::Create(int fd, const char* fileName, const char* subformat,
                                    const kyFormatEntry* entry) {
    return new (std::nothrow) flac_Writer(fd, fileName, subformat, entry);
}

void flac_Writer::abandon() {
    // Deleting an encoder that was not finished writes nothing more: the header keeps what
    // it had, and the file is left to be removed.
    if (m_flac) m_lib->encoderDelete(m_flac);
    m_flac = nullptr;
    if (m_comments) m_lib->objectDelete(m_comments);
    m_comments = nullptr;
    if (m_picture) m_lib->objectDelete(m_picture);
    m_picture = nullptr;
}

kyError flac_Writer::Run() {
    kyError err = NegotiateFormat("Lossless 16-bit");
    if (kyFailed(err)) return err;
    const char* name = Subformat();
    if (!name || !kyParseLosslessSubformat(name, m_format) || m_format.isFloat ||
        m_format.bits < 4 || m_format.bits > 32)
        return KYERR_DATA_FORMAT;
    m_lib = kyFlacEncoderLibrary::Get();
    if (!m_lib) return MissingLibrary(kyFlacEncoderLibrary::Missing());
    ChoosePassthrough(kyLosslessRawId(m_format));
    m_quantizer.reset();
    if (!m_passthrough) {
        m_quantizer = kyCreateQuantizer(m_format.bits, KY_QUANTIZER_DEFAULT_KIND, m_stream.channels,
                                        m_stream.sampleRate);
    }
    m_ioError = KY_OK;
    err = RunEncoded();
    err = FinishFile(err);
    if (kyFailed(err)) abandon();
    return err;
}

kyError flac_Writer::EncoderStart() {
    abandon();
    const uint32_t channels = m_stream.channels;
    try {
        m_chunkFrames = kChunkFrames;
        m_samples.assign(size_t(m_chunkFrames) * channels, 0);
        m_out.resize(kOutputBuffer);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    m_outUsed = 0;
    m_flac = m_lib->encoderNew();
    if (!m_flac) return KYERR_OUT_OF_MEMORY;
    const uint32_t level = static_cast<uint32_t>(Level(0, 8, m_format.maximum ? 8 : 5));
    const uint64_t total = m_stream.lengthFrames == KY_NO_LENGTH ? 0 : m_stream.lengthFrames;
    bool ok = m_lib->setVerify(m_flac, false);
    ok = ok && m_lib->setChannels(m_flac, channels);
    ok = ok && m_lib->setBitsPerSample(m_flac, m_format.bits);
    ok = ok && m_lib->setSampleRate(m_flac, m_stream.sampleRate);
    ok = ok && m_lib->setCompressionLevel(m_flac, level);
    ok = ok && m_lib->setTotalSamplesEstimate(m_flac, total);
    if (!ok) return KYERR_INVALID_PARAMETER;

    m_comments = m_lib->objectNew(FLAC__METADATA_TYPE_VORBIS_COMMENT);
    if (!m_comments) return KYERR_OUT_OF_MEMORY;
    kyPropertyTable props = TagProperties();
    for (const kyVorbisComment& c : kyVorbisComments(props)) {
        FLAC__StreamMetadata_VorbisComment_Entry entry{};
        if (!m_lib->commentEntry(&entry, c.name.c_str(), c.value.c_str()))
            return KYERR_OUT_OF_MEMORY;
        // The block takes the entry's text over.
        if (!m_lib->appendComment(m_comments, entry, false)) {
            std::free(entry.entry);
            return KYERR_OUT_OF_MEMORY;
        }
    }
    FLAC__StreamMetadata* blocks[2] = {m_comments, nullptr};
    kyTagPicture picture;
    // A metadata block's length has 24 bits: a larger image is left out, not the file.
    if (kyReadTagPicture(props, picture) && picture.bytes.size() < (1u << 24) - 1024) {
        m_picture = m_lib->objectNew(FLAC__METADATA_TYPE_PICTURE);
        if (!m_picture) return KYERR_OUT_OF_MEMORY;
        m_picture->data.picture.type = FLAC__STREAM_METADATA_PICTURE_TYPE_FRONT_COVER;
        if (!m_lib->pictureSetMimeType(m_picture, const_cast<char*>(picture.mimeType), true) ||
            !m_lib->pictureSetData(m_picture, picture.bytes.data(),
                                   static_cast<FLAC__uint32>(picture.bytes.size()), true))
            return KYERR_OUT_OF_MEMORY;
        blocks[1] = m_picture;
    }
    if (!m_lib->setMetadata(m_flac, blocks, m_picture ? 2 : 1)) return KYERR_INVALID_PARAMETER;
    const FLAC__StreamEncoderInitStatus status =
        m_lib->initStream(m_flac, writeCallback, seekCallback, tellCallback, nullptr, this);
    if (status != FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
        if (status == FLAC__STREAM_ENCODER_INIT_STATUS_ENCODER_ERROR &&
            m_lib->getState(m_flac) == FLAC__STREAM_ENCODER_MEMORY_ALLOCATION_ERROR)
            return KYERR_OUT_OF_MEMORY;
        return KYERR_INVALID_PARAMETER;
    }
    return KY_OK;
}

kyError flac_Writer::process(uint32_t frames) {
    if (!m_flac) return KYERR_SEQUENCE;
    if (!m_lib->processInterleaved(m_flac, m_samples.data(), frames)) return encoderError();
    return m_ioError;
}

kyError flac_Writer::Encode(const uint8_t*& out, uint32_t& outBytes, float** planes,
                            uint32_t& consumed, uint32_t& remaining) {
    out = nullptr;
    outBytes = 0;
    while (remaining > 0) {
        const uint32_t n = std::min(remaining, m_chunkFrames);
        kyPlanesToIntegers(m_samples.data(), planes, m_stream.channels, consumed, n,
                           m_quantizer.get(), m_format.bits);
        kyError err = process(n);
        if (kyFailed(err)) return err;
        consumed += n;
        remaining -= n;
    }
    return KY_OK;
}

kyError flac_Writer::EncodeInterleaved(const uint8_t* bytes, uint32_t frames) {
    while (frames > 0) {
        const uint32_t n = std::min(frames, m_chunkFrames);
        kyRawToIntegers(m_samples.data(), bytes, size_t(n) * m_stream.channels, m_rawId);
        kyError err = process(n);
        if (kyFailed(err)) return err;
        bytes += size_t(n) * m_rawBytesPerFrame;
        frames -= n;
    }
    return KY_OK;
}

kyError flac_Writer::EncoderFlush() {
    if (!m_flac) return KYERR_SEQUENCE;
    // Finishing encodes the last frame and puts the real sample count and checksum into
    // the header.
    const bool ok = m_lib->finish(m_flac);
    kyError err = ok ? m_ioError : encoderError();
    if (kySucceeded(err)) err = flushOutput();
    if (kyFailed(err)) return err;
    m_lib->encoderDelete(m_flac);
    m_flac = nullptr;
    m_lib->objectDelete(m_comments);
    m_comments = nullptr;
    return KY_OK;
}

kyError flac_Writer::encoderError() const {
    if (kyFailed(m_ioError)) return m_ioError;
    switch (m_lib->getState(m_flac)) {
    case FLAC__STREAM_ENCODER_MEMORY_ALLOCATION_ERROR:
        return KYERR_OUT_OF_MEMORY;
    case FLAC__STREAM_ENCODER_IO_ERROR:
    case FLAC__STREAM_ENCODER_CLIENT_ERROR:
        return KYERR_WRITE_FILE;
    default:
        return KYERR_UNKNOWN;
    }
}

kyError flac_Writer::flushOutput() {
    if (m_outUsed == 0) return KY_OK;
    const size_t n = m_outUsed;
    m_outUsed = 0;
    return WriteBytes(m_out.data(), n);
}

FLAC__StreamEncoderWriteStatus flac_Writer::writeCallback(const FLAC__StreamEncoder*,
                                                          const FLAC__byte buffer[], size_t bytes,
                                                          uint32_t, uint32_t, void* data) {
    auto* self = static_cast<flac_Writer*>(data);
    kyError err = KY_OK;
    if (bytes > self->m_out.size() - self->m_outUsed) err = self->flushOutput();
    if (kySucceeded(err)) {
        if (bytes >= self->m_out.size()) {
            err = self->WriteBytes(buffer, bytes);
        } else {
            std::memcpy(self->m_out.data() + self->m_outUsed, buffer, bytes);
            self->m_outUsed += bytes;
        }
    }
    if (kyFailed(err)) {
        self->m_ioError = err;
        return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
    }
    return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
}

FLAC__StreamEncoderSeekStatus flac_Writer::seekCallback(const FLAC__StreamEncoder*,
                                                        FLAC__uint64 offset, void* data) {
    auto* self = static_cast<flac_Writer*>(data);
    kyError err = self->flushOutput();
    if (kySucceeded(err)) err = self->SeekTo(offset);
    if (kyFailed(err)) {
        self->m_ioError = err;
        return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
    }
    return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
}

FLAC__StreamEncoderTellStatus flac_Writer::tellCallback(const FLAC__StreamEncoder*,
                                                        FLAC__uint64* offset, void* data) {
    auto* self = static_cast<flac_Writer*>(data);
    *offset = self->Position() + self->m_outUsed;
    return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

namespace {
std::vector<std::string> flacList() {
    std::vector<std::string> l = {"<Auto select>"};
    for (int bits : {8, 12, 16, 20, 24}) l.push_back("Lossless " + std::to_string(bits) + "-bit");
    // The 8-bit item has two blanks, so that the bracket starts at the same place in all.
    for (int bits : {8, 12, 16, 20, 24})
        l.push_back("Lossless " + std::to_string(bits) + "-bit" + (bits < 10 ? "  " : " ") +
                    "(maximum compression)");
    return l;
}
} // namespace

void flac_RegisterFormats(kyFormatCatalog& catalog) {
    static const kyFormatEntry flac{
        .extension = "flac",
        .displayName = "Free lossless audio codec",
        .probe = flac::Probe,
        .reader = flac_Reader::Create,
        .writer = flac_Writer::Create,
        .subformats = flacList(),
        .minChannels = 1,
        .maxChannels = 8,
        .component =
            [](bool writing) {
                return kyComponentStatus{KY_FLAC_LIBRARY, "",
                                         writing ? kyFlacEncoderLibrary::Missing()
                                                 : kyFlacDecoderLibrary::Missing()};
            },
        .lowestLevel = 0,
        .highestLevel = 8,
    };
    catalog.RegisterFormat(&flac);
}
