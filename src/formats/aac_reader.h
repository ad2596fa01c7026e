#pragma once
// aac_Reader: raw AAC files, ADTS (every frame with its header) or ADIF (one header, then
// raw frames). The tags around the stream are read into properties and kept out of the
// audio; an ADTS stream's length comes from a count of its frames. Decoded by libfaad;
// an ADTS stream is offered unchanged ("MPEG AAC") to writers that store it.
#include "formats/adts_common.h"
#include "formats/decoded_frames.h"
#include "formats/reader_filter.h"
#include <functional>
#include <memory>

class kyAacDecoder;

class aac_Reader : public kyReaderFilter {
public:
    aac_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option);
    ~aac_Reader() override;

    uint32_t Seek(uint32_t frame) override;
    const char* GetInterleavedFormat(uint32_t channels) override;
    kyError RunInterleaved() override;

    bool adif() const { return m_adif; }
    uint64_t firstFrame() const { return m_firstFrame; }

    static kyReaderFilter* Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                  int32_t option);

protected:
    kyError PrepareDecoder() override;
    kyError DecodeFrames(float** planes, uint32_t frames, uint32_t& got) override;

private:
    kyError open();
    kyError walk(const std::function<kyError(const uint8_t*, uint32_t, const adts::Header*)>& fn);
    kyError startDecoder(uint32_t channels);
    kyError pull(float** planes, uint32_t capacity, uint32_t& frames);

    uint64_t m_audioStart = 0, m_audioEnd = 0, m_firstFrame = 0;
    bool m_adif = false;
    adts::Header m_header;
    std::unique_ptr<kyAacDecoder> m_decoder;
    kyStreamInput m_input;
    kyDecodedFrames m_frames;
};
