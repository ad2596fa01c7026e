#pragma once
// wav_Reader: RIFF/WAVE and RF64 files, with their metadata chunks (bext, cart, rgad,
// smpl, cue/labl, INFO). PCM, float and G.711 are read by the base, and so are the block
// codecs (ADPCM, G.72x, GSM) through the decoder chosen here; MPEG audio, AAC and Ogg
// Vorbis are decoded here.
#include "formats/decoded_frames.h"
#include "formats/reader_filter.h"
#include <memory>
#include <string>
#include <vector>

class kyStreamDecoder;
class kyVorbisFileDecoder;

class wav_Reader : public kyReaderFilter {
public:
    wav_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option);
    ~wav_Reader() override;

    const char* GetInterleavedFormat(uint32_t channels) override;
    kyError RunInterleaved() override;
    bool GetMarker(uint32_t index, uint32_t& frame, std::string& name) override;

    uint16_t formatTag() const { return m_tag; }

    static kyReaderFilter* Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                  int32_t option);

protected:
    kyError PrepareDecoder() override;
    kyError DecodeFrames(float** planes, uint32_t frames, uint32_t& got) override;
    kyError RefillDecoded() override;

private:
    struct CuePoint {
        uint32_t id;
        uint32_t position;
        std::string label;
    };

    kyError open();
    kyError parseFormat(const uint8_t* body, uint32_t size);
    kyError chooseDecoder();
    void parseBext(const uint8_t* b, uint32_t size);
    void parseCart(const uint8_t* b, uint32_t size);
    void parseRgad(const uint8_t* b, uint32_t size);
    void parseSmpl(const uint8_t* b, uint32_t size);
    void parseCue(const uint8_t* b, uint32_t size);
    // Compressed streams stored unchanged (MPEG audio, AC3, DTS).
    bool storedStream() const { return m_passOn; }
    kyError openVorbis();

    uint16_t m_tag = 0;
    uint16_t m_subTag = 0;
    uint32_t m_channels = 0;
    uint32_t m_rate = 0;
    uint32_t m_bitsPerSample = 0;
    uint32_t m_blockAlign = 0;
    uint32_t m_validBits = 0;
    uint64_t m_sampleCount = 0; // from "fact" (0: none)
    bool m_haveFmt = false;
    bool m_haveData = false;
    std::vector<CuePoint> m_cues;

    // MPEG audio and AAC (the block codecs are the base's).
    std::unique_ptr<kyStreamDecoder> m_stream;
    std::vector<uint8_t> m_extra; // the format's extra bytes (AAC configuration)
    uint32_t m_bytesPerSecond = 0;
    bool m_passOn = false; // the stream may be handed on interleaved, unchanged
    kyStreamInput m_input; // stream decoders' input
    std::unique_ptr<kyVorbisFileDecoder> m_vorbis; // an Ogg Vorbis stream in the data chunk
};
