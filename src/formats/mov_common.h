#pragma once
// What the QuickTime/MPEG-4 writer and reader share: big-endian helpers, the entry
// parameter's bits, the movie time scale and the probes.
#include "formats/big_endian.h"
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace mov {

// Bits of the catalogue entry's parameter.
constexpr int32_t kQuickTime = 0x1;      // brand "qt  ", sample description version 1 or 2,
                                         // "wave" and "chan", "mhlr", "alis"
constexpr int32_t kBrandMp42 = 0x2;      // brand "mp42"; AAC Main object type
constexpr int32_t kBrandM4a = 0x4;       // brand "M4A "
constexpr int32_t kUserDataText = 0x100; // QuickTime user-data text atoms
constexpr int32_t kItunesList = 0x200;   // iTunes metadata list

// Sizes and offsets above this need 64-bit box sizes and "co64".
constexpr uint64_t kLargeAbove = 0xFFFFFFFFull;

using be::get32;
using be::get64;
using be::put16;
using be::put32;
using be::put64;
// Wider than be::get16, so that shifting it left stays unsigned.
inline uint32_t get16(const uint8_t* p) {
    return be::get16(p);
}
inline uint32_t get24(const uint8_t* p) {
    return (uint32_t(p[0]) << 16) | get16(p + 1);
}
inline bool isType(const uint8_t* p, const char* type) {
    return be::isFourCC(p, type);
}

// The movie's time scale T and the duration D of `frames` frames in it: milliseconds,
// and tenths of that scale while D does not fit 32 bits.
struct MovieTime {
    uint32_t timeScale = 1000;
    uint64_t duration = 0;
};
MovieTime movieTime(uint64_t frames, uint32_t rate);

// Probes: 6 when the file's brand (or, without "ftyp", its first box) says it is this
// entry's kind of file, 4 for another QuickTime/MPEG-4 file, else 0.
int ProbeMov(const uint8_t* head, size_t size);
int ProbeMp4(const uint8_t* head, size_t size);
int ProbeM4a(const uint8_t* head, size_t size);

} // namespace mov
