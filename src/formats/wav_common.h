#pragma once
// What the WAV writer and reader share: little-endian helpers, format tags, the INFO item
// map and the probes.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace wav {

constexpr uint16_t TAG_PCM = 1;
constexpr uint16_t TAG_MS_ADPCM = 2;
constexpr uint16_t TAG_FLOAT = 3;
constexpr uint16_t TAG_ALAW = 6;
constexpr uint16_t TAG_MULAW = 7;
constexpr uint16_t TAG_IMA_ADPCM = 0x11;
constexpr uint16_t TAG_G723 = 0x14;
constexpr uint16_t TAG_GSM = 0x31;
constexpr uint16_t TAG_G721 = 0x40;
constexpr uint16_t TAG_MPEG = 0x50;
constexpr uint16_t TAG_MPEG_L3 = 0x55;
constexpr uint16_t TAG_AC3 = 0x2000;
constexpr uint16_t TAG_DTS = 0x2001;
constexpr uint16_t TAG_EXTENSIBLE = 0xFFFE;

inline void put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(uint8_t* p, uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}
inline uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get32(const uint8_t* p) {
    return get16(p) | (uint32_t(get16(p + 2)) << 16);
}
inline uint64_t get64(const uint8_t* p) {
    return get32(p) | (uint64_t(get32(p + 4)) << 32);
}
inline bool isFourCC(const uint8_t* p, const char* id) {
    return std::memcmp(p, id, 4) == 0;
}

// INFO items and the property each one carries. When writing, a property that appears
// twice uses its first item; when reading every item is accepted.
struct InfoItem {
    char id[5];
    uint32_t property;
};
inline constexpr InfoItem kInfoItems[] = {
    {"INAM", 3},  {"ISBJ", 4},  {"IART", 5},  {"IPRD", 11}, {"IALB", 11},
    {"TRCK", 12}, {"ITRK", 12}, {"itrk", 12}, {"IGNR", 13}, {"IGRE", 13},
    {"ICMT", 15}, {"ICOP", 16}, {"ICRD", 14}, {"IYER", 14}, {"TORG", 9},
    {"IENG", 10}, {"ISRC", 28}, {"TURL", 17}, {"IURL", 17},
};

// 6 for RIFF/WAVE or RF64/WAVE, else 0.
int ProbeWav(const uint8_t* head, size_t size);
// RIFF/WAVE with a "bext" among the first four chunks: 6; "data" first or nothing: 2.
int ProbeBwf(const uint8_t* head, size_t size);

} // namespace wav
