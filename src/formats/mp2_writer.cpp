#include "formats/mp2_writer.h"
#include <new>

kyWriterFilter* mp2_Writer::Create(int fd, const char* fileName, const char* subformat,
                                   const kyFormatEntry* entry) {
    return new (std::nothrow) mp2_Writer(fd, fileName, subformat, entry);
}

kyError mp2_Writer::Configure(uint32_t& encoderRate) {
    const char* text = Subformat();
    m_config = kyConfigureMp2(text ? text : "", m_stream.sampleRate, m_stream.channels);
    if (!kyMp2Encoder::available()) return KYERR_MISSING_COMPONENT;
    encoderRate = m_config.outputRate;
    return KY_OK;
}

kyError mp2_Writer::EncoderStart() {
    return m_codec.start(m_config);
}

kyError mp2_Writer::EncodeFrames(float** planes, uint32_t first, uint32_t frames,
                                 std::vector<uint8_t>& out) {
    return m_codec.encode(planes, first, frames, out);
}

kyError mp2_Writer::EncoderFlush() {
    m_out.clear();
    kyError err = m_codec.flush(m_out);
    if (kySucceeded(err)) err = WriteOutput();
    return err;
}
