#pragma once
// shn_Writer: Shorten files coded by our own encoder (8- or 16-bit samples, any channel
// count). The stream starts with a RIFF/WAVE header in a verbatim section, which decoders
// use to rebuild the original file; its sizes are brought up to date at the end when the
// stream's length was not known, or not what was announced.
#include "formats/codec_writer.h"
#include "formats/codecs/shorten.h"
#include "formats/lossless_format.h"
#include <vector>

class kyFormatCatalog;

class shn_Writer : public kyCodecWriter {
public:
    shn_Writer(int fd, const char* fileName, const char* subformat, const kyFormatEntry* entry);

    kyError Run() override;

    kyError EncoderStart() override;
    kyError Encode(const uint8_t*& out, uint32_t& outBytes, float** planes, uint32_t& consumed,
                   uint32_t& remaining) override;
    kyError EncoderFlush() override;

    static kyWriterFilter* Create(int fd, const char* fileName, const char* subformat,
                                  const kyFormatEntry* entry);

protected:
    kyError EncodeInterleaved(const uint8_t* bytes, uint32_t frames) override;

private:
    kyError drain();
    uint64_t dataBytes(uint64_t frames) const;

    kyShortenEncoder m_encoder;
    kyLosslessFormat m_format;
    std::vector<int32_t> m_samples; // one chunk, interleaved
    uint32_t m_chunkFrames = 0;
    uint64_t m_announced = 0; // frames the header was written with
    uint64_t m_start = 0;     // where the stream starts in the file
};

void shn_RegisterFormats(kyFormatCatalog& catalog);
