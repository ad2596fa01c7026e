#pragma once
// mp2_Writer: MPEG layer II files ("MPEG audio layer II"). The stream is encoded by the
// layer II encoder (libtwolame) from the subformat ("CBR 256 kbit/s"), or copied when the
// source delivers a layer II stream itself; ID3v2 and ID3v1 tags by the MP2 tag options.
#include "formats/codecs/mp2_encoder.h"
#include "formats/encoded_stream_writer.h"

class mp2_Writer : public kyEncodedStreamWriter {
public:
    using kyEncodedStreamWriter::kyEncodedStreamWriter;

    kyError EncoderStart() override;
    kyError EncoderFlush() override;

    const kyMp2Config& config() const { return m_config; }

    static kyWriterFilter* Create(int fd, const char* fileName, const char* subformat,
                                  const kyFormatEntry* entry);

protected:
    const char* PreferredSubformat() const override { return "CBR 256 kbit/s"; }
    kyTagChoice TagChoice() const override {
        // Layer II files carry no APE tag.
        kyTagChoice c = tagOptions().mp2;
        c.ape = false;
        return c;
    }
    kyError Configure(uint32_t& encoderRate) override;
    kyError EncodeFrames(float** planes, uint32_t first, uint32_t frames,
                         std::vector<uint8_t>& out) override;

private:
    kyMp2Config m_config;
    kyMp2Encoder m_codec;
};
