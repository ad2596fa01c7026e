#pragma once
// shn_Reader: Shorten files decoded by our own decoder. The sample rate and the length
// come from the RIFF/WAVE header the stream carries in its first verbatim section; tags
// appended to the file (APE, ID3v1) become properties.
#include "formats/codecs/shorten.h"
#include "formats/decoded_frames.h"
#include "formats/reader_filter.h"
#include <vector>

class shn_Reader : public kyReaderFilter {
public:
    shn_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option);

    // 6 for the "ajkg" magic of a version we read, else 0.
    static int Probe(const uint8_t* head, size_t size);
    static kyReaderFilter* Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                  int32_t option);

protected:
    kyError PrepareDecoder() override;
    kyError DecodeFrames(float** planes, uint32_t frames, uint32_t& got) override;

private:
    kyError open();
    kyError startDecoder();
    kyError refill(float** planes, uint32_t capacity, uint32_t& frames);

    kyShortenDecoder m_shn;
    uint64_t m_audioStart = 0, m_audioEnd = 0;
    uint64_t m_pos = 0;
    uint32_t m_blockSize = 0;
    std::vector<std::vector<int32_t>> m_block;
    kyDecodedFrames m_frames;
};
