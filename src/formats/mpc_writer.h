#pragma once
// mpc_Writer: Musepack SV8 files made by our own encoder, at the rate the subformat names
// ("~20 kbit/s" to "~350 kbit/s"), followed by an APE tag. A stream at a rate the format
// does not have is resampled in front of the encoder; the stream header is brought up to
// date with the real length once the stream is complete.
#include "formats/codec_writer.h"
#include "formats/codecs/mpc_encoder.h"

class kyFormatCatalog;

class mpc_Writer : public kyCodecWriter {
public:
    mpc_Writer(int fd, const char* fileName, const char* subformat, const kyFormatEntry* entry);

    kyError Run() override;

    kyError EncoderStart() override;
    kyError Encode(const uint8_t*& out, uint32_t& outBytes, float** planes, uint32_t& consumed,
                   uint32_t& remaining) override;
    kyError EncoderFlush() override;

    static kyWriterFilter* Create(int fd, const char* fileName, const char* subformat,
                                  const kyFormatEntry* entry);

private:
    kyError drain();

    kyMpcEncoder m_encoder;
    uint32_t m_kbps = 0;
    uint32_t m_quality = 0;
    uint64_t m_start = 0;
};

// The nominal rate and quality (0 to 10) of a subformat; false for one not listed.
bool kyMpcSubformat(const char* name, uint32_t& kbps, uint32_t& quality);

void mpc_RegisterFormats(kyFormatCatalog& catalog);
