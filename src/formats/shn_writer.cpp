#include "formats/shn_writer.h"
#include "filters/quantizer_factory.h"
#include "formats/format_catalog.h"
#include "formats/shn_reader.h"
#include <algorithm>
#include <new>

namespace {
constexpr uint32_t kChunkFrames = 4096;
} // namespace

shn_Writer::shn_Writer(int fd, const char* fileName, const char* subformat,
                       const kyFormatEntry* entry)
    : kyCodecWriter(fd, fileName, subformat, entry) {}

kyWriterFilter* shn_Writer::Create(int fd, const char* fileName, const char* subformat,
                                   const kyFormatEntry* entry) {
    return new (std::nothrow) shn_Writer(fd, fileName, subformat, entry);
}

kyError shn_Writer::Run() {
    kyError err = NegotiateFormat("Lossless 16-bit");
    if (kyFailed(err)) return err;
    const char* name = Subformat();
    if (!name || !kyParseLosslessSubformat(name, m_format) || m_format.maximum ||
        m_format.isFloat || (m_format.bits != 8 && m_format.bits != 16))
        return KYERR_DATA_FORMAT;
    ChoosePassthrough(kyLosslessRawId(m_format));
    m_quantizer.reset();
    if (!m_passthrough)
        m_quantizer = kyCreateQuantizer(m_format.bits, KY_QUANTIZER_DEFAULT_KIND, m_stream.channels,
                                        m_stream.sampleRate);
    return FinishFile(RunEncoded());
}

uint64_t shn_Writer::dataBytes(uint64_t frames) const {
    return frames * m_stream.channels * (m_format.bits / 8);
}

kyError shn_Writer::drain() {
    std::vector<uint8_t>& out = m_encoder.output();
    if (out.empty()) return KY_OK;
    kyError err = WriteBytes(out.data(), out.size());
    m_encoder.clearOutput();
    return err;
}

kyError shn_Writer::EncoderStart() {
    try {
        m_chunkFrames = kChunkFrames;
        m_samples.assign(size_t(m_chunkFrames) * m_stream.channels, 0);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    m_announced = m_stream.lengthFrames == KY_NO_LENGTH ? 0 : m_stream.lengthFrames;
    m_start = Position();
    const std::vector<uint8_t> header = kyShnWaveHeader(m_stream.channels, m_stream.sampleRate,
                                                        m_format.bits, dataBytes(m_announced));
    kyError err = m_encoder.start(m_format.bits == 8 ? KY_SHN_TYPE_U8 : KY_SHN_TYPE_S16LH,
                                  m_stream.channels, header);
    if (kyFailed(err)) return err;
    return drain();
}

kyError shn_Writer::Encode(const uint8_t*& out, uint32_t& outBytes, float** planes,
                           uint32_t& consumed, uint32_t& remaining) {
    out = nullptr;
    outBytes = 0;
    while (remaining > 0) {
        const uint32_t n = std::min(remaining, m_chunkFrames);
        kyPlanesToIntegers(m_samples.data(), planes, m_stream.channels, consumed, n,
                           m_quantizer.get(), m_format.bits);
        m_encoder.encode(m_samples.data(), n);
        kyError err = drain();
        if (kyFailed(err)) return err;
        consumed += n;
        remaining -= n;
    }
    return KY_OK;
}

kyError shn_Writer::EncodeInterleaved(const uint8_t* bytes, uint32_t frames) {
    const uint32_t width = m_format.bits / 8;
    while (frames > 0) {
        const uint32_t n = std::min(frames, m_chunkFrames);
        kyRawToIntegers(m_samples.data(), bytes, size_t(n) * m_stream.channels, m_rawId);
        m_encoder.encode(m_samples.data(), n);
        kyError err = drain();
        if (kyFailed(err)) return err;
        bytes += size_t(n) * m_stream.channels * width;
        frames -= n;
    }
    return KY_OK;
}

kyError shn_Writer::EncoderFlush() {
    m_encoder.finish();
    kyError err = drain();
    if (kyFailed(err)) return err;
    if (m_announced == m_framesWritten) return KY_OK;
    // The header's sizes: read back the bytes that hold it and recode it in place (every
    // verbatim byte takes the same 9 bits, so nothing around it moves).
    const std::vector<uint8_t> header = kyShnWaveHeader(m_stream.channels, m_stream.sampleRate,
                                                        m_format.bits, dataBytes(m_framesWritten));
    const uint64_t bit = m_encoder.verbatimBit();
    const size_t bytes = static_cast<size_t>((bit + header.size() * 9 + 7) / 8);
    std::vector<uint8_t> head(bytes);
    err = ReadAt(m_start, head.data(), head.size());
    if (kyFailed(err)) return err;
    kyShnPatchVerbatim(head, bit, header);
    return WriteAt(m_start, head.data(), head.size());
}

void shn_RegisterFormats(kyFormatCatalog& catalog) {
    static const kyFormatEntry shn{
        .extension = "shn",
        .displayName = "Shorten lossless compression",
        .probe = shn_Reader::Probe,
        .reader = shn_Reader::Create,
        .writer = shn_Writer::Create,
        .subformats = {"<Auto select>", "Lossless 8-bit", "Lossless 16-bit"},
        .minChannels = 1,
        .maxChannels = 1000,
    };
    catalog.RegisterFormat(&shn);
}
