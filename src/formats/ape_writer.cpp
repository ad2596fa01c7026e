#include "formats/ape_writer.h"
#include "core/data_format.h"
#include "filters/quantizer_factory.h"
#include "formats/ape_reader.h"
#include "formats/format_catalog.h"
#include "formats/tags/ape_tag.h"
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <unistd.h>

namespace {
constexpr uint32_t kChunkFrames = 4096;
} // namespace

ape_Writer::ape_Writer(int fd, const char* fileName, const char* subformat,
                       const kyFormatEntry* entry)
    : kyCodecWriter(fd, fileName, subformat, entry) {}

ape_Writer::~ape_Writer() {
    destroy();
}

kyWriterFilter* ape_Writer::Create(int fd, const char* fileName, const char* subformat,
                                   const kyFormatEntry* entry) {
    return new (std::nothrow) ape_Writer(fd, fileName, subformat, entry);
}

void ape_Writer::destroy() {
    if (m_handle) m_lib->destroy(m_handle);
    m_handle = nullptr;
}

kyError ape_Writer::Run() {
    kyError err = NegotiateFormat("Lossless 16-bit");
    if (kyFailed(err)) return err;
    const char* name = Subformat();
    if (!name || !kyParseLosslessSubformat(name, m_format) || m_format.isFloat ||
        m_format.maximum || (m_format.bits != 8 && m_format.bits != 16 && m_format.bits != 24))
        return KYERR_DATA_FORMAT;
    m_bytesPerSample = m_format.bits / 8;
    m_lib = kyMacEncoderLibrary::Get();
    if (!m_lib) return MissingLibrary(kyMacEncoderLibrary::Missing());
    ChoosePassthrough(kyLosslessRawId(m_format));
    m_quantizer.reset();
    if (!m_passthrough)
        m_quantizer = kyCreateQuantizer(m_format.bits, KY_QUANTIZER_DEFAULT_KIND, m_stream.channels,
                                        m_stream.sampleRate);
    err = RunEncoded();
    destroy();
    if (kySucceeded(err)) err = appendTag();
    return kyFailed(err) ? err : KY_OK;
}

kyError ape_Writer::EncoderStart() {
    destroy();
    const uint32_t channels = m_stream.channels;
    try {
        m_chunkFrames = kChunkFrames;
        m_pcm.assign(size_t(m_chunkFrames) * channels * m_bytesPerSample, 0);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    int error = 0;
    m_handle = m_lib->create(&error);
    if (!m_handle) return KYERR_OUT_OF_MEMORY;
    mac::WaveFormat wfx{};
    wfx.formatTag = 1;
    wfx.channels = static_cast<uint16_t>(channels);
    wfx.samplesPerSec = m_stream.sampleRate;
    wfx.blockAlign = static_cast<uint16_t>(channels * m_bytesPerSample);
    wfx.avgBytesPerSec = m_stream.sampleRate * wfx.blockAlign;
    wfx.bitsPerSample = static_cast<uint16_t>(m_format.bits);
    const mac::Int maxBytes = m_stream.lengthFrames == KY_NO_LENGTH
                                  ? -1
                                  : mac::Int(channels) * m_stream.lengthFrames * m_bytesPerSample;
    // Levels 1 to 5 are the library's fast, normal, high, extra high and insane.
    const int level = Level(1, 5, mac::kCompressionHigh / 1000) * 1000;
    const char* file = m_properties.getUtf8(0);
    const std::wstring wide = kyMacFileName(file ? file : "");
    if (m_lib->startW(m_handle, wide.c_str(), &wfx, maxBytes, level, nullptr,
                      mac::kCreateWavHeader) != 0)
        return KYERR_CREATE_FILE;
    return KY_OK;
}

kyError ape_Writer::add(const uint8_t* bytes, size_t size) {
    if (!m_handle) return KYERR_SEQUENCE;
    while (size > 0) {
        mac::Int available = 0;
        unsigned char* buffer = m_lib->lockBuffer(m_handle, &available);
        if (!buffer || available <= 0) return KYERR_UNKNOWN;
        // Whole frames only, so that the library never holds half a frame.
        const size_t frame = size_t(m_stream.channels) * m_bytesPerSample;
        size_t n =
            std::min<size_t>(size, static_cast<size_t>(std::min<mac::Int>(available, 1 << 30)));
        n -= n % frame;
        if (n == 0) n = std::min(size, frame);
        std::memcpy(buffer, bytes, n);
        if (m_lib->unlockBuffer(m_handle, static_cast<int>(n), 1) != 0) return KYERR_UNKNOWN;
        bytes += n;
        size -= n;
    }
    return KY_OK;
}

kyError ape_Writer::Encode(const uint8_t*& out, uint32_t& outBytes, float** planes,
                           uint32_t& consumed, uint32_t& remaining) {
    out = nullptr;
    outBytes = 0;
    const uint32_t channels = m_stream.channels;
    const std::string id = kyLosslessRawId(m_format);
    while (remaining > 0) {
        const uint32_t n = std::min(remaining, m_chunkFrames);
        // 8-bit samples are stored unsigned, as in a WAV file.
        kyError err = PlanarToInterleaved(m_pcm.data(), planes, m_quantizer.get(), channels,
                                          consumed, n, id.c_str(), m_format.bits == 8, false);
        if (kyFailed(err)) return err;
        err = add(m_pcm.data(), size_t(n) * channels * m_bytesPerSample);
        if (kyFailed(err)) return err;
        consumed += n;
        remaining -= n;
    }
    return KY_OK;
}

kyError ape_Writer::EncodeInterleaved(const uint8_t* bytes, uint32_t frames) {
    const size_t size = size_t(frames) * m_rawBytesPerFrame;
    if (m_format.bits != 8) return add(bytes, size);
    while (frames > 0) {
        const uint32_t n = std::min(frames, m_chunkFrames);
        const size_t chunk = size_t(n) * m_rawBytesPerFrame;
        std::memcpy(m_pcm.data(), bytes, chunk);
        kySignFlip(m_pcm.data(), chunk, 1);
        kyError err = add(m_pcm.data(), chunk);
        if (kyFailed(err)) return err;
        bytes += chunk;
        frames -= n;
    }
    return KY_OK;
}

kyError ape_Writer::EncoderFlush() {
    if (!m_handle) return KYERR_SEQUENCE;
    if (m_lib->finish(m_handle, nullptr, 0, 0) != 0) return KYERR_UNKNOWN;
    return KY_OK;
}

kyError ape_Writer::appendTag() {
    // The library wrote the file by its name: the tag goes to that file.
    const char* file = m_properties.getUtf8(0);
    const int out = file ? ::open(file, O_RDWR | O_CLOEXEC) : -1;
    if (out < 0) return KYERR_OPEN_FILE;
    kyPropertyTable props = TagProperties();
    kyError err = WriteApeTag(out, props);
    if (::close(out) != 0 && kySucceeded(err)) err = KYERR_WRITE_FILE;
    return err;
}

namespace {
std::vector<std::string> apeList() {
    return {"<Auto select>", "Lossless 8-bit", "Lossless 16-bit", "Lossless 24-bit"};
}
} // namespace

void ape_RegisterFormats(kyFormatCatalog& catalog) {
    static const kyFormatEntry ape{
        .extension = "ape",
        .displayName = "Monkey Audio lossless compression",
        .probe = ape_Reader::Probe,
        .reader = ape_Reader::Create,
        .writer = ape_Writer::Create,
        .subformats = apeList(),
        .minChannels = 1,
        .maxChannels = 2,
        .component =
            [](bool writing) {
                return kyComponentStatus{KY_MAC_LIBRARY, "",
                                         writing ? kyMacEncoderLibrary::Missing()
                                                 : kyMacDecoderLibrary::Missing()};
            },
        .lowestLevel = 1,
        .highestLevel = 5,
    };
    catalog.RegisterFormat(&ape);
}
