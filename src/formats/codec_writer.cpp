#include "formats/codec_writer.h"
#include "core/data_format.h"
#include <algorithm>

void kyCodecWriter::ChoosePassthrough(const std::string& rawId) {
    m_passthrough = false;
    m_rawId.clear();
    if (rawId.empty() || !m_upstream) return;
    const char* native = m_upstream->GetInterleavedFormat(m_stream.channels);
    const kyDataFormatInfo* info = kyFindDataFormat(rawId.c_str());
    if (native && info && rawId == native) {
        m_passthrough = true;
        m_rawId = rawId;
        m_rawBytesPerFrame = info->bytes * m_stream.channels;
    }
}

kyError kyCodecWriter::RunEncoded() {
    m_convert = false;
    if (!m_passthrough) return RunStream();
    kyError err = EncoderStart();
    if (kyFailed(err)) return err;
    err = RunStream();
    if (kyFailed(err)) return err;
    return EncoderFlush();
}

kyError kyCodecWriter::WriteInterleaved(const void* bytes, uint32_t byteCount, uint32_t frames) {
    // Raw bytes are never written as they are: the file holds the codec's stream.
    if (!m_passthrough) return 1;
    if (byteCount == 0 || frames == 0) return KY_OK;
    if (byteCount < uint64_t(frames) * m_rawBytesPerFrame) return KYERR_INVALID_PARAMETER;
    kyError err = EncodeInterleaved(static_cast<const uint8_t*>(bytes), frames);
    if (kyFailed(err)) return err;
    m_framesWritten += frames;
    return KY_OK;
}

kyError kyCodecWriter::MissingLibrary(const std::string& what) {
    kySetErrorReason(KYERR_MISSING_COMPONENT, what);
    return KYERR_MISSING_COMPONENT;
}

int32_t kyCodecWriter::Level(int32_t lowest, int32_t highest, int32_t fallback) const {
    const int32_t level = CompressionLevel();
    return level < 0 ? fallback : std::clamp(level, lowest, highest);
}
