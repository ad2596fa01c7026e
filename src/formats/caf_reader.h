#pragma once
// caf_Reader: Apple Core Audio files. "lpcm" of either byte order, float and G.711 are
// read by the base; "ima4" packets are decoded by the base's block-codec path, with the
// packet table's priming and remainder frames left out. The "info" strings become
// properties and "chan" the channel mask.
#include "formats/reader_filter.h"

class caf_Reader : public kyReaderFilter {
public:
    caf_Reader(int fd, const char* fileName, const kyFormatEntry* entry, int32_t option);

    static kyReaderFilter* Create(int fd, const char* fileName, const kyFormatEntry* entry,
                                  int32_t option);

private:
    kyError open();
    kyError parseDesc(const uint8_t* b);
    kyError chooseDecoder();
    void parseInfo(const uint8_t* b, uint32_t n);

    uint8_t m_formatId[4] = {};
    uint32_t m_formatFlags = 0;
    uint32_t m_bytesPerPacket = 0;
    uint32_t m_framesPerPacket = 0;
    uint32_t m_bitsPerChannel = 0;
    bool m_haveDesc = false;
    bool m_haveData = false;
    // Packet table: valid, priming and remainder frames.
    bool m_havePakt = false;
    uint64_t m_validFrames = 0;
    uint32_t m_primingFrames = 0;
    uint32_t m_remainderFrames = 0;
};
