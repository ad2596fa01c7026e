#include "cd/crc32_tap.h"
#include "cd/cd_sector.h"
#include <zlib.h>

void kyCrc32Tap::RunStarted(uint32_t firstSector, uint32_t endSector) {
    m_crc = static_cast<uint32_t>(::crc32(0L, Z_NULL, 0));
    m_sectors = 0;
    m_expected = endSector > firstSector ? endSector - firstSector : 0;
}

void kyCrc32Tap::SectorDelivered(uint32_t, const uint8_t* pcm) {
    m_crc = static_cast<uint32_t>(::crc32(m_crc, pcm, kycd::kSectorBytes));
    ++m_sectors;
}

std::string kyCrc32Tap::hex(uint32_t crc) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s(8, '0');
    for (int i = 7; i >= 0; --i, crc >>= 4) s[static_cast<size_t>(i)] = digits[crc & 15];
    return s;
}
