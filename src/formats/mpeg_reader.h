#pragma once
// mpeg_Reader: MPEG audio files, layers I, II and III. The length comes from the VBR header
// (less the encoder's delay and padding that a LAME header names, which the decoder drops
// too) or from a count of the frames. Decoded by libmpg123.
#include "formats/framed_stream_reader.h"
#include "formats/mpeg_audio_common.h"

class mpeg_Reader : public kyFramedStreamReader {
public:
    mpeg_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option);

    const mpeg::VbrHeader& vbrHeader() const { return m_vbr; }

    static kyReaderFilter* Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                  int32_t option);

protected:
    bool ParseFrame(const uint8_t* p, size_t avail, kyWalkedFrame& frame) override;
    uint32_t FrameSamples(const uint8_t* data, uint32_t size, const kyWalkedFrame& frame,
                          bool first) override;
    std::unique_ptr<kyStreamDecoder> MakeDecoder() override;

private:
    kyError open();

    mpeg::FrameHeader m_header; // the first frame's
    mpeg::VbrHeader m_vbr;
};
