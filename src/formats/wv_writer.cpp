#include "formats/wv_writer.h"
#include "filters/quantizer_factory.h"
#include "formats/format_catalog.h"
#include "formats/tags/ape_tag.h"
#include "formats/wv_reader.h"
#include <algorithm>
#include <cstring>
#include <new>

namespace {
constexpr uint32_t kChunkFrames = 4096;

// Compression levels: 1 fast, 2 normal, 3 high, 4 very high.
int levelFlags(int32_t level) {
    switch (level) {
    case 1:
        return CONFIG_FAST_FLAG;
    case 3:
        return CONFIG_HIGH_FLAG;
    case 4:
        return CONFIG_HIGH_FLAG | CONFIG_VERY_HIGH_FLAG;
    default:
        return 0;
    }
}
} // namespace

wv_Writer::wv_Writer(int fd, const char* fileName, const char* subformat,
                     const kyFormatEntry* entry)
    : kyCodecWriter(fd, fileName, subformat, entry) {}

wv_Writer::~wv_Writer() {
    close();
}

kyWriterFilter* wv_Writer::Create(int fd, const char* fileName, const char* subformat,
                                  const kyFormatEntry* entry) {
    return new (std::nothrow) wv_Writer(fd, fileName, subformat, entry);
}

void wv_Writer::close() {
    if (m_context) m_lib->closeFile(m_context);
    m_context = nullptr;
}

kyError wv_Writer::Run() {
    kyError err = NegotiateFormat("Lossless 16-bit");
    if (kyFailed(err)) return err;
    const char* name = Subformat();
    if (!name || !kyParseLosslessSubformat(name, m_format) || m_format.maximum ||
        (!m_format.isFloat && m_format.bits != 8 && m_format.bits != 16 && m_format.bits != 24 &&
         m_format.bits != 32))
        return KYERR_DATA_FORMAT;
    m_lib = kyWavPackEncoderLibrary::Get();
    if (!m_lib) return MissingLibrary(kyWavPackEncoderLibrary::Missing());
    ChoosePassthrough(kyLosslessRawId(m_format));
    m_quantizer.reset();
    if (!m_passthrough && !m_format.isFloat)
        m_quantizer = kyCreateQuantizer(m_format.bits, KY_QUANTIZER_DEFAULT_KIND, m_stream.channels,
                                        m_stream.sampleRate);
    m_ioError = KY_OK;
    m_haveFirstBlock = false;
    err = RunEncoded();
    close();
    err = FinishFile(err);
    if (kySucceeded(err)) {
        kyPropertyTable props = TagProperties();
        err = WriteApeTag(fd(), props);
    }
    return kyFailed(err) ? err : KY_OK;
}

kyError wv_Writer::libraryError(kyError code) const {
    if (kyFailed(m_ioError)) return m_ioError;
    const char* text = m_context ? m_lib->getErrorMessage(m_context) : nullptr;
    if (text && *text) kySetErrorReason(code, text);
    return code;
}

kyError wv_Writer::EncoderStart() {
    close();
    const uint32_t channels = m_stream.channels;
    try {
        m_chunkFrames = kChunkFrames;
        m_samples.assign(size_t(m_chunkFrames) * channels, 0);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    m_context = m_lib->openFileOutput(blockOutput, this, nullptr);
    if (!m_context) return KYERR_OUT_OF_MEMORY;
    WavpackConfig config{};
    const int bytes = m_format.isFloat ? 4 : static_cast<int>((m_format.bits + 7) / 8);
    config.bytes_per_sample = bytes;
    config.bits_per_sample = bytes * 8;
    config.channel_mask = static_cast<int32_t>(
        m_stream.channelMask ? m_stream.channelMask : kyDefaultChannelMask(channels));
    config.num_channels = static_cast<int>(channels);
    config.sample_rate = static_cast<int32_t>(m_stream.sampleRate);
    if (m_format.isFloat) config.float_norm_exp = 127;
    config.flags = levelFlags(Level(1, 4, 2));
    m_announced = m_stream.lengthFrames == KY_NO_LENGTH ? -1 : int64_t(m_stream.lengthFrames);
    if (!m_lib->setConfiguration(m_context, &config, m_announced, nullptr))
        return libraryError(KYERR_UNKNOWN);
    if (!m_lib->packInit(m_context)) return libraryError(KYERR_UNKNOWN);
    return KY_OK;
}

kyError wv_Writer::pack(uint32_t frames) {
    if (!m_context) return KYERR_SEQUENCE;
    if (!m_lib->packSamples(m_context, m_samples.data(), frames))
        return libraryError(KYERR_UNKNOWN);
    return m_ioError;
}

kyError wv_Writer::Encode(const uint8_t*& out, uint32_t& outBytes, float** planes,
                          uint32_t& consumed, uint32_t& remaining) {
    out = nullptr;
    outBytes = 0;
    const uint32_t channels = m_stream.channels;
    while (remaining > 0) {
        const uint32_t n = std::min(remaining, m_chunkFrames);
        if (m_format.isFloat) {
            // Floats pass as they are, bit for bit.
            for (uint32_t c = 0; c < channels; ++c)
                for (uint32_t i = 0; i < n; ++i)
                    std::memcpy(&m_samples[size_t(i) * channels + c], &planes[c][consumed + i], 4);
        } else {
            kyPlanesToIntegers(m_samples.data(), planes, channels, consumed, n, m_quantizer.get(),
                               m_format.bits);
        }
        kyError err = pack(n);
        if (kyFailed(err)) return err;
        consumed += n;
        remaining -= n;
    }
    return KY_OK;
}

kyError wv_Writer::EncodeInterleaved(const uint8_t* bytes, uint32_t frames) {
    while (frames > 0) {
        const uint32_t n = std::min(frames, m_chunkFrames);
        kyRawToIntegers(m_samples.data(), bytes, size_t(n) * m_stream.channels, m_rawId);
        kyError err = pack(n);
        if (kyFailed(err)) return err;
        bytes += size_t(n) * m_rawBytesPerFrame;
        frames -= n;
    }
    return KY_OK;
}

kyError wv_Writer::EncoderFlush() {
    if (!m_context) return KYERR_SEQUENCE;
    if (!m_lib->flushSamples(m_context)) return libraryError(KYERR_UNKNOWN);
    if (kyFailed(m_ioError)) return m_ioError;
    // The first block carries the stream's length: put the real one there when it differs
    // from what was announced. Only a complete stream gets this far.
    if (m_haveFirstBlock && m_announced != int64_t(m_framesWritten)) {
        std::vector<uint8_t> block;
        try {
            block.resize(m_firstBlockSize);
        } catch (const std::bad_alloc&) {
            return KYERR_OUT_OF_MEMORY;
        }
        kyError err = ReadAt(m_firstBlockOffset, block.data(), block.size());
        if (kyFailed(err)) return err;
        m_lib->updateNumSamples(m_context, block.data());
        err = WriteAt(m_firstBlockOffset, block.data(), block.size());
        if (kyFailed(err)) return err;
    }
    return KY_OK;
}

int wv_Writer::blockOutput(void* data, void* bytes, int32_t count) {
    auto* self = static_cast<wv_Writer*>(data);
    if (count < 0) return 0;
    if (!self->m_haveFirstBlock) {
        self->m_haveFirstBlock = true;
        self->m_firstBlockOffset = self->Position();
        self->m_firstBlockSize = static_cast<uint32_t>(count);
    }
    kyError err = self->WriteBytes(bytes, static_cast<size_t>(count));
    if (kyFailed(err)) {
        self->m_ioError = err;
        return 0;
    }
    return 1;
}

namespace {
std::vector<std::string> wvList() {
    return {"<Auto select>",   "Lossless 8-bit",  "Lossless 16-bit",
            "Lossless 24-bit", "Lossless 32-bit", "Lossless Float"};
}
} // namespace

void wv_RegisterFormats(kyFormatCatalog& catalog) {
    static const kyFormatEntry wv{
        .extension = "wv",
        .displayName = "WavPack lossless compression",
        .probe = wv_Reader::Probe,
        .reader = wv_Reader::Create,
        .writer = wv_Writer::Create,
        .subformats = wvList(),
        .minChannels = 1,
        .maxChannels = 1000,
        .component =
            [](bool writing) {
                return kyComponentStatus{KY_WAVPACK_LIBRARY, "",
                                         writing ? kyWavPackEncoderLibrary::Missing()
                                                 : kyWavPackDecoderLibrary::Missing()};
            },
        .lowestLevel = 1,
        .highestLevel = 4,
    };
    catalog.RegisterFormat(&wv);
}
