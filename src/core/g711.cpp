#include "core/g711.h"
#include <array>

namespace {
int segment(int v, const int16_t* ends) {
    for (int i = 0; i < 8; ++i)
        if (v <= ends[i]) return i;
    return 8;
}
const int16_t kMuEnds[8] = {0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF, 0x1FFF};
const int16_t kAEnds[8] = {0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF};

int16_t muDecode(uint8_t code) {
    int u = ~code & 0xFF;
    int t = ((u & 0x0F) << 3) + 0x84;
    t <<= (u & 0x70) >> 4;
    return static_cast<int16_t>((u & 0x80) ? (0x84 - t) : (t - 0x84));
}
int16_t aDecode(uint8_t code) {
    int a = code ^ 0x55;
    int t = (a & 0x0F) << 4;
    int seg = (a & 0x70) >> 4;
    if (seg == 0) t += 8;
    else if (seg == 1) t += 0x108;
    else t = (t + 0x108) << (seg - 1);
    return static_cast<int16_t>((a & 0x80) ? t : -t);
}
template <int16_t (*F)(uint8_t)> std::array<int16_t, 256> makeTable() {
    std::array<int16_t, 256> t{};
    for (int i = 0; i < 256; ++i) t[i] = F(static_cast<uint8_t>(i));
    return t;
}
const std::array<int16_t, 256> kMuTable = makeTable<muDecode>();
const std::array<int16_t, 256> kATable = makeTable<aDecode>();
} // namespace

uint8_t kyLinearToMuLaw(int32_t pcm) {
    if (pcm > 32767) pcm = 32767;
    if (pcm < -32768) pcm = -32768;
    int v = pcm >> 2;
    int mask = 0xFF;
    if (v < 0) {
        v = -v;
        mask = 0x7F;
    }
    if (v > 8159) v = 8159;
    v += 0x84 >> 2;
    int seg = segment(v, kMuEnds);
    if (seg >= 8) return static_cast<uint8_t>(0x7F ^ mask);
    return static_cast<uint8_t>(((seg << 4) | ((v >> (seg + 1)) & 0x0F)) ^ mask);
}

uint8_t kyLinearToALaw(int32_t pcm) {
    if (pcm > 32767) pcm = 32767;
    if (pcm < -32768) pcm = -32768;
    int v = pcm >> 3;
    int mask;
    if (v >= 0) {
        mask = 0xD5;
    } else {
        mask = 0x55;
        v = -v - 1;
    }
    int seg = segment(v, kAEnds);
    if (seg >= 8) return static_cast<uint8_t>(0x7F ^ mask);
    int a = seg << 4;
    a |= (seg < 2) ? ((v >> 1) & 0x0F) : ((v >> seg) & 0x0F);
    return static_cast<uint8_t>(a ^ mask);
}

int16_t kyMuLawToLinear(uint8_t code) { return kMuTable[code]; }
int16_t kyALawToLinear(uint8_t code) { return kATable[code]; }
