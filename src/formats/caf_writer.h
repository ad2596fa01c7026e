#pragma once
// caf_Writer: Apple Core Audio files for "Apple CoreAudio format (big-endian)" (entry
// parameter 1) and "(little-endian)" (parameter 0). The byte order is the samples'; the
// CAF structures are always big-endian. PCM, float and G.711 go through the base's
// conversion; IMA ADPCM is written as "ima4" packets of 64 frames.
#include "formats/writer_filter.h"
#include <vector>

class kyFormatCatalog;

class caf_Writer : public kyWriterFilter {
public:
    caf_Writer(int fd, const char* fileName, const char* subformat, const kyFormatEntry* entry);

    kyError Run() override;

    static kyWriterFilter* Create(int fd, const char* fileName, const char* subformat,
                                  const kyFormatEntry* entry);

private:
    bool bigEndian() const;
    bool isIma4() const { return m_encoder != nullptr; }
    kyError chooseFormat();
    kyError writeChunk(const char* id, const std::vector<uint8_t>& body);
    std::vector<uint8_t> descChunk() const;
    std::vector<uint8_t> infoChunk();
    kyError finish(kyError streamResult);

    char m_formatId[4] = {};
    uint32_t m_formatFlags = 0;
    uint32_t m_bytesPerPacket = 0;
    uint32_t m_framesPerPacket = 1;
    uint32_t m_bitsPerChannel = 0;
    uint64_t m_dataHeader = 0; // offset of the "data" chunk header
};

void caf_RegisterFormats(kyFormatCatalog& catalog);
