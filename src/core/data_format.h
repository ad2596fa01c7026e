#pragma once
// Data-format ids: raw interleaved sample encodings named by text ("PCM 16-bit", ...),
// and the conversions between them and float planes.
#include "core/error.h"
#include <cstddef>
#include <cstdint>

class kyQuantizer;

enum class kySampleKind { Integer, Float, MuLaw, ALaw };

struct kyDataFormatInfo {
    const char* id;
    uint32_t bytes; // container bytes per sample
    uint32_t bits;  // significant bits (16 for G.711: the linear width it codes)
    kySampleKind kind;
};

// The entry of a raw id the core converts, or null for any other id (compressed ones).
const kyDataFormatInfo* kyFindDataFormat(const char* id);

// The integer id that holds samples of `bits` significant bits in the fewest whole bytes,
// left-justified: 1-8 "PCM 8-bit", 9-12 "PCM 12-bit (16)", 13-16 "PCM 16-bit", 17-20
// "PCM 20-bit (24)", 21-24 "PCM 24-bit", 25-32 "PCM 32-bit"; null for 0 or more than 32.
const char* kyPcmIdForBits(uint32_t bits);

// Ids compare as text.
bool kyDataFormatEquals(const char* a, const char* b);

// Raw interleaved bytes to planes at `firstFrame`. The byte swap and then the sign flip
// are applied to `src` in place first. "Invalid parameter" without planes or data, success
// for 0 frames, "Unsupported data format" for an id the core does not convert.
kyError InterleavedToPlanar(float* const* planes, void* src, uint32_t channels, uint32_t firstFrame,
                            uint32_t frames, const char* id, bool signFlip, bool byteSwap);

// Planes from `firstFrame` to raw interleaved bytes. Integer ids below 32 bits take each
// value from `q` (plain rounding when q is null); "PCM 32-bit" rounds with saturation.
// The sign flip and then the byte swap are applied to the written bytes.
kyError PlanarToInterleaved(void* dst, float* const* planes, kyQuantizer* q, uint32_t channels,
                            uint32_t firstFrame, uint32_t frames, const char* id, bool signFlip,
                            bool byteSwap);

// Reverses the bytes of each element of size 2, 3, 4 or 8; other sizes are left alone.
void kyByteSwap(void* buf, size_t elements, uint32_t elementSize);
// Flips the top bit of each little-endian element of size 1, 2, 3, 4 or 8.
void kySignFlip(void* buf, size_t elements, uint32_t elementSize);
