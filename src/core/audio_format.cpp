#include "core/audio_format.h"

uint32_t kyDefaultChannelMask(uint32_t channels) {
    static const uint32_t table[] = {0,     0x4,   0x3,   0x7,   0x33, 0x37,
                                     0x3F,  0x70F, 0x63F, 0x7CF, 0x6FF};
    if (channels < sizeof(table) / sizeof(table[0]) && channels > 0) return table[channels];
    if (channels >= 32) return 0xFFFFFFFFu;
    return (1u << channels) - 1u;
}
