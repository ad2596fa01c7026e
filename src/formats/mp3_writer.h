#pragma once
// mp3_Writer: MPEG layer III files ("MPEG audio layer III"). The stream is encoded by the
// layer III encoder (libmp3lame) from the subformat ("CBR 128 kbit/s", "ABR 224 kbit/s",
// "VBR Quality 2"), or copied when the source delivers a layer III stream itself. Its first
// frame carries the VBR header (Xing or Info, with the LAME extension), filled in when the
// stream is complete; ID3v2, APE and ID3v1 tags by the MP3 tag options.
#include "formats/codecs/mp3_encoder.h"
#include "formats/encoded_stream_writer.h"

class kyFormatCatalog;

class mp3_Writer : public kyEncodedStreamWriter {
public:
    using kyEncodedStreamWriter::kyEncodedStreamWriter;

    kyError EncoderStart() override;
    kyError EncoderFlush() override;

    // The encoder's configuration, once the run has made it.
    const kyMp3Config& config() const { return m_config; }

    static kyWriterFilter* Create(int fd, const char* fileName, const char* subformat,
                                  const kyFormatEntry* entry);

protected:
    const char* PreferredSubformat() const override { return "VBR Quality 3"; }
    kyTagChoice TagChoice() const override { return tagOptions().mp3; }
    kyError Configure(uint32_t& encoderRate) override;
    kyError EncodeFrames(float** planes, uint32_t first, uint32_t frames,
                         std::vector<uint8_t>& out) override;
    kyError FinishStream() override;

private:
    kyMp3Config m_config;
    kyMp3Encoder m_codec;
    bool m_encoded = false;
};

// The MPEG layer III and layer II writers' and the MPEG audio reader's entries.
void mpeg_RegisterFormats(kyFormatCatalog& catalog);
