#include "formats/writer_filter.h"
#include "core/data_format.h"
#include "core/text.h"
#include "filters/quantizer_factory.h"
#include "formats/format_catalog.h"
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <unistd.h>

std::string kyNormalizeSubformat(const std::string& name) {
    static const struct {
        const char* from;
        const char* to;
    } kMap[] = {
        {"Lossless 8-bit", "PCM 8-bit"},   {"Lossless 12-bit", "PCM 12-bit"},
        {"PCM 12-bit (16)", "PCM 12-bit"}, {"Lossless 16-bit", "PCM 16-bit"},
        {"Lossless 20-bit", "PCM 20-bit"}, {"PCM 20-bit (24)", "PCM 20-bit"},
        {"PCM 20-bit (32)", "PCM 20-bit"}, {"Lossless 24-bit", "PCM 24-bit"},
        {"Lossless 32-bit", "PCM 32-bit"}, {"Lossless Float", "Float 32-bit"},
    };
    for (const auto& m : kMap)
        if (name == m.from) return m.to;
    return name;
}

std::string kyDefaultSubformat(const kyFormatEntry& entry) {
    for (const std::string& item : entry.subformats)
        if (item == "PCM 16-bit") return item;
    if (entry.subformats.empty()) return {};
    return entry.subformats[entry.subformats.size() / 2];
}

kyWriterFilter::kyWriterFilter(int fd, const char* fileName, const char* subformat,
                               const kyFormatEntry* entry)
    : kySinkFilter2("File writer sink"), m_entry(entry), m_fd(fd), m_file(fd) {
    m_properties.setUtf8(0, fileName ? fileName : "");
    if (entry) m_properties.setUtf8(1, entry->displayName);
    if (subformat && *subformat)
        m_properties.setUtf8(2, subformat);
    else if (entry)
        m_properties.setUtf8(2, kyDefaultSubformat(*entry));
}

kyWriterFilter::~kyWriterFilter() {
    ReleaseInserted();
    if (m_fd >= 0) ::close(m_fd);
}

void kyWriterFilter::InsertInFront(kyMorphFilter* filter) {
    InsertBefore(filter);
    m_inserted.push_back(filter);
}

void kyWriterFilter::ReleaseInserted() {
    for (kyMorphFilter* m : m_inserted) {
        m->Remove();
        delete m;
    }
    m_inserted.clear();
}

uint32_t kyWriterFilter::Length() const {
    return m_framesWritten ? m_framesWritten : m_stream.lengthFrames;
}

const char* kyWriterFilter::GetPropertyA(uint32_t slot) {
    if (slot < KY_WRITER_PROPERTY_SLOTS) return m_properties.getA(slot);
    return m_upstream ? m_upstream->GetPropertyA(slot) : nullptr;
}

const char* kyWriterFilter::GetPropertyUtf8(uint32_t slot) {
    if (slot < KY_WRITER_PROPERTY_SLOTS) return m_properties.getUtf8(slot);
    return m_upstream ? m_upstream->GetPropertyUtf8(slot) : nullptr;
}

const char16_t* kyWriterFilter::GetPropertyW(uint32_t slot) {
    if (slot < KY_WRITER_PROPERTY_SLOTS) return m_properties.getW(slot);
    return m_upstream ? m_upstream->GetPropertyW(slot) : nullptr;
}

kyPropertyTable kyWriterFilter::TagProperties() {
    kyPropertyTable props;
    for (uint32_t slot = KY_WRITER_PROPERTY_SLOTS; slot < props.size(); ++slot)
        if (const char* text = GetPropertyUtf8(slot)) props.setUtf8(slot, text);
    return props;
}

kyError kyWriterFilter::FetchStreamFormat() {
    if (m_haveStream) return KY_OK;
    if (!m_upstream) return KYERR_SEQUENCE;
    kyError err = m_upstream->GetFormat(m_stream);
    if (kyFailed(err)) return err;
    m_haveStream = true;
    return KY_OK;
}

kyError kyWriterFilter::NegotiateFormat(const char* preferred) {
    if (!m_upstream) return KYERR_SEQUENCE;
    m_haveStream = false;
    kyError err = FetchStreamFormat();
    if (kyFailed(err)) return err;
    if (!m_entry) return KYERR_SEQUENCE;
    if (m_stream.channels < m_entry->minChannels || m_stream.channels > m_entry->maxChannels ||
        m_stream.channels == 0)
        return KYERR_CHANNEL_FORMAT;
    const char* nativeId = m_upstream->GetInterleavedFormat(m_stream.channels);
    std::string native = nativeId ? nativeId : "";
    const char* cur = m_properties.getUtf8(2);
    std::string chosen = cur ? cur : "";

    if (chosen.empty() || chosen[0] != '<') {
        bool listed = false;
        for (const std::string& item : m_entry->subformats)
            if (item == chosen) listed = true;
        if (!listed) return KYERR_DATA_FORMAT;
        m_passthrough = !native.empty() && chosen == native;
        return KY_OK;
    }

    const char16_t* srcW = m_upstream->GetPropertyW(2);
    std::string source = kyNormalizeSubformat(srcW ? kyUtf16ToUtf8(srcW) : "");
    std::string remembered;
    std::string match;
    for (const std::string& item : m_entry->subformats) {
        if (item.empty() || item[0] == '<') continue;
        if (item[0] == '*') {
            if (!native.empty() && item.compare(1, std::string::npos, native) == 0) {
                match = item.substr(1);
                break;
            }
            continue;
        }
        if (!source.empty() && kyNormalizeSubformat(item) == source) {
            match = item;
            break;
        }
        if (!preferred && remembered.empty() && item == "PCM 16-bit") remembered = item;
    }
    m_passthrough = false;
    if (!match.empty()) {
        chosen = match;
        m_passthrough = !native.empty() && chosen == native;
    } else if (preferred) {
        chosen = preferred;
    } else if (!remembered.empty()) {
        chosen = remembered;
    } else {
        chosen.clear();
        for (const std::string& item : m_entry->subformats)
            if (!item.empty() && item[0] != '<') {
                chosen = item;
                break;
            }
    }
    m_properties.setUtf8(2, chosen);
    return KY_OK;
}

kyError kyWriterFilter::PreparePcmConversion() {
    kyError err = FetchStreamFormat();
    if (kyFailed(err)) return err;
    const char* id = m_properties.getUtf8(2);
    const kyDataFormatInfo* info = id ? kyFindDataFormat(id) : nullptr;
    if (!info) return KYERR_DATA_FORMAT;
    uint32_t block = m_stream.blockFrames ? m_stream.blockFrames : 8192;
    if (m_stream.channels == 0) return KYERR_CHANNEL_FORMAT;
    // Planar writes larger than this are converted in pieces.
    uint64_t samples = uint64_t(block) * m_stream.channels;
    if (samples > (1u << 20))
        samples = std::max<uint64_t>(1, (1u << 20) / m_stream.channels) * m_stream.channels;
    m_samplesPerBlock = static_cast<uint32_t>(samples);
    m_bytesPerSample = info->bytes;
    m_quantizer.reset();
    if (info->kind == kySampleKind::Integer) {
        m_quantizer = kyCreateQuantizer(info->bits, KY_QUANTIZER_DEFAULT_KIND, m_stream.channels,
                                        m_stream.sampleRate);
        if (!m_quantizer) return KYERR_OUT_OF_MEMORY;
    }
    try {
        m_convertBuffer.assign(size_t(m_samplesPerBlock) * m_bytesPerSample, 0);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    m_convert = true;
    return KY_OK;
}

kyError kyWriterFilter::RunStream() {
    m_framesWritten = 0;
    if (m_passthrough) {
        if (!m_upstream) return KYERR_SEQUENCE;
        return m_upstream->RunInterleaved();
    }
    if (!m_convert) {
        kyError err = EncoderStart();
        if (kyFailed(err)) return err;
    }
    kyError err = kySinkFilter2::Run();
    if (kyFailed(err)) return err;
    if (!m_convert) return EncoderFlush();
    return err;
}

kyError kyWriterFilter::Write(float** planes, uint32_t frames) {
    if (frames == 0) return KY_OK;
    m_framesWritten += frames;
    if (m_convert) {
        const char* id = m_properties.getUtf8(2);
        uint32_t done = 0;
        const uint32_t perChunk = m_samplesPerBlock / m_stream.channels;
        // A block larger than announced is converted in pieces rather than overrunning.
        while (done < frames) {
            uint32_t n = std::min(perChunk, frames - done);
            kyError err =
                PlanarToInterleaved(m_convertBuffer.data(), planes, m_quantizer.get(),
                                    m_stream.channels, done, n, id, m_signFlip, m_byteSwap);
            if (kyFailed(err)) return err;
            err = WriteBytes(m_convertBuffer.data(),
                             size_t(n) * m_stream.channels * m_bytesPerSample);
            if (kyFailed(err)) return err;
            done += n;
        }
        return KY_OK;
    }
    uint32_t consumed = 0;
    uint32_t remaining = frames;
    while (remaining > 0) {
        const uint8_t* out = nullptr;
        uint32_t outBytes = 0;
        uint32_t before = remaining;
        kyError err = Encode(out, outBytes, planes, consumed, remaining);
        if (kyFailed(err)) return err;
        if (out && outBytes) {
            err = WriteBytes(out, outBytes);
            if (kyFailed(err)) return err;
        }
        if (remaining == before && outBytes == 0) return KYERR_UNKNOWN; // no progress
    }
    return KY_OK;
}

kyError kyWriterFilter::UseEncoder(std::unique_ptr<kySampleEncoder> encoder, uint32_t bits) {
    m_encoder = std::move(encoder);
    m_encoderBits = bits;
    m_encoderChannels = m_stream.channels;
    return m_encoder->start(bits, m_stream.channels);
}

kyError kyWriterFilter::EncoderStart() {
    if (!m_encoder) return KY_OK;
    m_encoded.clear();
    return m_encoder->start(m_encoderBits,
                            m_encoderChannels ? m_encoderChannels : m_stream.channels);
}

kyError kyWriterFilter::Encode(const uint8_t*& out, uint32_t& outBytes, float** planes,
                               uint32_t& consumed, uint32_t& remaining) {
    if (!m_encoder) return KYERR_UNKNOWN;
    m_encoded.clear();
    kyError err = m_encoder->encode(planes, consumed, remaining, m_encoded);
    if (kyFailed(err)) return err;
    return EncodedAll(m_encoded, out, outBytes, consumed, remaining);
}

kyError kyWriterFilter::EncoderFlush() {
    if (!m_encoder) return KY_OK;
    m_encoded.clear();
    kyError err = m_encoder->flush(m_encoded);
    if (kyFailed(err)) return err;
    return m_encoded.empty() ? KY_OK : WriteBytes(m_encoded.data(), m_encoded.size());
}

kyError kyWriterFilter::WriteInterleaved(const void* bytes, uint32_t byteCount, uint32_t frames) {
    if (byteCount == 0) return KY_OK;
    if (m_convert && (m_signFlip || m_byteSwap) && m_bytesPerSample) {
        // The caller's bytes are changed in place, as the interleaved protocol allows.
        size_t samples = size_t(m_stream.channels) * frames;
        if (samples * m_bytesPerSample > byteCount) samples = byteCount / m_bytesPerSample;
        const char* id = m_properties.getUtf8(2);
        uint8_t* p = static_cast<uint8_t*>(const_cast<void*>(bytes));
        if (m_signFlip && id && id[0] == 'P') kySignFlip(p, samples, m_bytesPerSample);
        if (m_byteSwap) kyByteSwap(p, samples, m_bytesPerSample);
    }
    kyError err = WriteBytes(bytes, byteCount);
    if (kyFailed(err)) return err;
    m_framesWritten += frames;
    return KY_OK;
}

kyError kyWriterFilter::SeekTo(uint64_t offset) {
    if (m_fd < 0) return KYERR_WRITE_FILE;
    m_position = offset;
    return KY_OK;
}

kyError kyWriterFilter::WriteAt(uint64_t offset, const void* data, size_t size) {
    if (m_fd < 0) return KYERR_WRITE_FILE;
    if (offset > m_fileSizeLimit || size > m_fileSizeLimit - offset) {
        // The format cannot address more.
        kySetErrorReason(KYERR_WRITE_FILE, EFBIG);
        return KYERR_WRITE_FILE;
    }
    if (!m_file.writeAt(offset, data, size)) {
        kySetErrorReason(KYERR_WRITE_FILE, errno);
        return KYERR_WRITE_FILE;
    }
    if (offset + size > m_fileEnd) m_fileEnd = offset + size;
    return KY_OK;
}

kyError kyWriterFilter::WriteBytes(const void* data, size_t size) {
    kyError err = WriteAt(m_position, data, size);
    if (kyFailed(err)) return err;
    m_position += size;
    return KY_OK;
}

kyError kyWriterFilter::ReadAt(uint64_t offset, void* data, size_t size) {
    errno = 0;
    if (m_file.readAt(offset, data, size)) return KY_OK;
    kySetErrorReason(KYERR_READ_FILE, errno);
    return KYERR_READ_FILE;
}

kyError kyWriterFilter::FlushFile() {
    if (m_file.flush()) return KY_OK;
    kySetErrorReason(KYERR_WRITE_FILE, errno);
    return KYERR_WRITE_FILE;
}
