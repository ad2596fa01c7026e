#pragma once
// The CRC-32 (IEEE 802.3, as zlib and PKZIP compute it) of the audio a CD source
// delivers, over the bytes of every sector in order.
#include "cd/cd_audio_tap.h"
#include <cstddef>
#include <cstdint>
#include <string>

// zlib's crc32(crc, data, size): the same value, with carry-less multiplication folding 64
// bytes at a time where the processor has it.
uint32_t kyCrc32Update(uint32_t crc, const uint8_t* data, size_t size);

class kyCrc32Tap : public kyCdAudioTap {
public:
    void RunStarted(uint32_t firstSector, uint32_t endSector) override;
    void SectorDelivered(uint32_t sector, const uint8_t* pcm) override;

    uint32_t crc() const { return m_crc; }
    // Sectors taken since the run started.
    uint32_t sectors() const { return m_sectors; }
    // True when every sector of the run came.
    bool complete() const { return m_sectors == m_expected; }
    // Eight upper-case hexadecimal digits.
    static std::string hex(uint32_t crc);

private:
    uint32_t m_crc = 0;
    uint32_t m_sectors = 0;
    uint32_t m_expected = 0;
};
