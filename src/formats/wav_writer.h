#pragma once
// wav_Writer: RIFF/WAVE files for "Microsoft wave format" and "Broadcast wave format (EBU
// BWF)" (entry parameter 2). PCM, float and G.711 go through the base's conversion; the
// ADPCM and GSM codecs encode blocks under it; compressed streams the source delivers
// (MPEG audio, AC3, DTS) are stored unchanged.
#include "formats/writer_filter.h"
#include <memory>
#include <string>
#include <vector>

class kyFormatCatalog;
class kyMorphFilter;
class kyReaderFilter;

class wav_Writer : public kyWriterFilter {
public:
    wav_Writer(int fd, const char* fileName, const char* subformat, const kyFormatEntry* entry);
    ~wav_Writer() override;

    kyError Run() override;

    // Mono codecs get the first two channels averaged; the base drives the encoder.
    kyError Encode(const uint8_t*& out, uint32_t& outBytes, float** planes, uint32_t& consumed,
                   uint32_t& remaining) override;

    static kyWriterFilter* Create(int fd, const char* fileName, const char* subformat,
                                  const kyFormatEntry* entry);

private:
    bool isBwf() const;
    kyError chooseFormat();
    kyError writeHeader();
    kyError finish();
    kyReaderFilter* markerSource() const;
    kyError writeChunk(const char* id, const std::vector<uint8_t>& body);
    std::vector<uint8_t> infoList();
    bool samplerChunk(std::vector<uint8_t>& body);
    std::vector<uint8_t> bextChunk();

    uint16_t m_tag = 0;
    uint32_t m_encodeRate = 0; // rate the encoding needs (0: the stream's)
    uint32_t m_fileChannels = 0;
    uint32_t m_bitsPerSample = 0;
    uint32_t m_blockAlign = 0;
    uint32_t m_bytesPerSecond = 0;
    bool m_mpegLayer2 = false;
    uint32_t m_mpegBitRate = 0; // bit/s; 0 until known
    std::vector<uint8_t> m_fmt;
    uint64_t m_fmtOffset = 0, m_factOffset = 0, m_mextOffset = 0, m_dataOffset = 0;
    bool m_hasFact = false, m_hasMext = false;
    std::vector<float> m_mono; // the first two channels averaged for mono codecs
};

void wav_RegisterFormats(kyFormatCatalog& catalog);
