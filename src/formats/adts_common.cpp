#include "formats/adts_common.h"
#include "formats/tags/id3v2.h"
#include <cstring>

namespace adts {

namespace {
const uint32_t kRates[16] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                             16000, 12000, 11025, 8000,  7350,  0,     0,     0};
} // namespace

int RateIndex(uint32_t rate) {
    for (int i = 0; i < 13; ++i)
        if (kRates[i] == rate) return i;
    return -1;
}

uint32_t RateOf(uint32_t index) {
    return index < 16 ? kRates[index] : 0;
}

bool Parse(const uint8_t* p, size_t size, Header& h) {
    if (size < kHeaderBytes || p[0] != 0xFF || (p[1] & 0xF6) != 0xF0) return false;
    Header r;
    r.mpeg2 = (p[1] & 0x08) != 0;
    const bool noCrc = (p[1] & 1) != 0;
    r.objectType = (p[2] >> 6) + 1;
    r.rateIndex = (p[2] >> 2) & 0x0F;
    r.sampleRate = RateOf(r.rateIndex);
    r.channelConfig = ((p[2] & 1) << 2) | (p[3] >> 6);
    r.frameBytes = (uint32_t(p[3] & 3) << 11) | (uint32_t(p[4]) << 3) | (p[5] >> 5);
    r.rawBlocks = (p[6] & 3) + 1;
    r.headerBytes = noCrc ? 7 : 9;
    if (r.sampleRate == 0 || r.frameBytes <= r.headerBytes) return false;
    h = r;
    return true;
}

void Build(uint8_t* o, bool mpeg2, uint32_t objectType, uint32_t rateIndex, uint32_t channelConfig,
           uint32_t frameBytes) {
    o[0] = 0xFF;
    o[1] = static_cast<uint8_t>(0xF1 | (mpeg2 ? 0x08 : 0)); // no CRC
    o[2] = static_cast<uint8_t>(((objectType - 1) & 3) << 6 | (rateIndex & 0x0F) << 2 |
                                ((channelConfig >> 2) & 1));
    o[3] = static_cast<uint8_t>((channelConfig & 3) << 6 | ((frameBytes >> 11) & 3));
    o[4] = static_cast<uint8_t>(frameBytes >> 3);
    // The buffer fullness 0x7FF says the stream's bit rate varies.
    o[5] = static_cast<uint8_t>((frameBytes & 7) << 5 | 0x1F);
    o[6] = 0xFC; // fullness low bits, one raw data block
}

int Probe(const uint8_t* head, size_t size) {
    size_t pos = 0;
    for (size_t tag; pos < size && (tag = kyId3v2TagSize(head + pos, size - pos)) != 0;) pos += tag;
    if (pos + 4 > size) return 2;
    if (!std::memcmp(head + pos, "ADIF", 4)) return 6;
    if (head[pos] == 0xFF && (head[pos + 1] & 0xF6) == 0xF0) return 4;
    return 2;
}

} // namespace adts
