#pragma once
// mpeg_Reader: MPEG audio files, layers I, II and III. The tags around the stream are read
// into properties and kept out of the audio; the length comes from the VBR header (less
// the encoder's delay and padding that a LAME header names, which the decoder drops too),
// or from a count of the frames. Decoded by libmpg123; the stream itself is offered
// unchanged to writers that store it.
#include "formats/decoded_frames.h"
#include "formats/mpeg_audio_common.h"
#include "formats/reader_filter.h"
#include <memory>

class kyMpegAudioDecoder;

class mpeg_Reader : public kyReaderFilter {
public:
    mpeg_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option);
    ~mpeg_Reader() override;

    uint32_t Seek(uint32_t frame) override;
    const char* GetInterleavedFormat(uint32_t channels) override;
    kyError RunInterleaved() override;

    // Where the audio lies in the file (between the tags) and its first frame.
    uint64_t audioStart() const { return m_audioStart; }
    uint64_t audioEnd() const { return m_audioEnd; }
    uint64_t firstFrame() const { return m_firstFrame; }
    const mpeg::VbrHeader& vbrHeader() const { return m_vbr; }

    static kyReaderFilter* Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                  int32_t option);

protected:
    kyError PrepareDecoder() override;
    kyError DecodeFrames(float** planes, uint32_t frames, uint32_t& got) override;

private:
    kyError open();
    // Walks the frames of the stream that belong to it (same layer, rate and channels).
    kyError
    walk(const std::function<kyError(const uint8_t*, uint32_t, const mpeg::FrameHeader*)>& fn);

    uint64_t m_audioStart = 0, m_audioEnd = 0, m_firstFrame = 0;
    mpeg::FrameHeader m_header;
    mpeg::VbrHeader m_vbr;
    std::unique_ptr<kyMpegAudioDecoder> m_decoder;
    kyStreamInput m_input;
    kyDecodedFrames m_frames;
};
