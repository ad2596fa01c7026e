#pragma once
// aac_Writer: raw AAC streams with ADTS headers, for the four writing entries "MPEG-2 AAC -
// Low Complexity" (parameter 258), "MPEG-2 AAC - Main Profile" (257), "MPEG-4 AAC - Low
// Complexity" (2) and "MPEG-4 AAC - Main Profile" (1). The stream is encoded by the AAC
// encoder from the subformat ("VBR Quality 90", "ABR 128 kbit/s"), or copied when the
// source delivers an ADTS stream itself; ID3v2, APE and ID3v1 tags by the AAC tag options.
#include "formats/codecs/aac_encoder.h"
#include "formats/encoded_stream_writer.h"

class kyFormatCatalog;

class aac_Writer : public kyEncodedStreamWriter {
public:
    using kyEncodedStreamWriter::kyEncodedStreamWriter;

    kyError EncoderStart() override;
    kyError EncoderFlush() override;

    const kyAacConfig& config() const { return m_config; }

    static kyWriterFilter* Create(int fd, const char* fileName, const char* subformat,
                                  const kyFormatEntry* entry);

protected:
    const char* PreferredSubformat() const override { return "VBR Quality 90"; }
    kyTagChoice TagChoice() const override { return tagOptions().aac; }
    kyError Configure(uint32_t& encoderRate) override;
    kyError EncodeFrames(float** planes, uint32_t first, uint32_t frames,
                         std::vector<uint8_t>& out) override;

private:
    // Appends one raw frame with its ADTS header to `out`.
    kyError frame(const uint8_t* data, size_t size, std::vector<uint8_t>& out);

    kyAacConfig m_config;
    kyAacEncoder m_codec;
    uint32_t m_rateIndex = 0;
    uint32_t m_channelConfig = 0;
};

// The AAC reading entry and the four writing entries.
void aac_RegisterFormats(kyFormatCatalog& catalog);
