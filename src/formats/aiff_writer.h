#pragma once
// aiff_Writer: Audio Interchange files. The "aif" and "aiff" entries write form "AIFF"
// (big-endian integer PCM); the "aifc" entry (parameter 1) writes form "AIFC" with PCM,
// float, G.711 or "ima4" packets. Loops and the MIDI note go to MARK/INST, the title,
// artist, copyright and comment to text chunks.
#include "formats/writer_filter.h"
#include <string>
#include <utility>
#include <vector>

class kyFormatCatalog;
namespace aiff {
struct Compression;
}

class aiff_Writer : public kyWriterFilter {
public:
    aiff_Writer(int fd, const char* fileName, const char* subformat, const kyFormatEntry* entry);

    kyError Run() override;

    static kyWriterFilter* Create(int fd, const char* fileName, const char* subformat,
                                  const kyFormatEntry* entry);

private:
    bool isAifc() const;
    bool isIma4() const { return m_encoder != nullptr; }
    kyError chooseFormat();
    kyError writeChunk(const char* id, const std::vector<uint8_t>& body);
    std::vector<uint8_t> commChunk(uint32_t units) const;
    bool loopChunks(std::vector<uint8_t>& mark, std::vector<uint8_t>& inst);
    kyError finish();

    const aiff::Compression* m_compression = nullptr;
    uint32_t m_sampleSize = 0; // COMM's sample size
    uint32_t m_unitBytes = 0;  // bytes of a frame, or of an "ima4" packet of all channels
    std::vector<std::pair<const char*, std::vector<uint8_t>>> m_texts;
    uint64_t m_commOffset = 0, m_ssndOffset = 0, m_dataOffset = 0;
};

void aiff_RegisterFormats(kyFormatCatalog& catalog);
