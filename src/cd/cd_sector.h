#pragma once
// Comparisons of raw CD-DA sectors (2352 bytes, 588 frames of 16-bit little-endian stereo)
// shared by the CD source's realignment and its confirmation of unanchored starts.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kycd {

constexpr uint32_t kSectorBytes = 2352;
constexpr uint32_t kSectorFrames = 588;
constexpr uint32_t kSectorSamples = kSectorFrames * 2;

inline int16_t SampleAt(const uint8_t* sector, uint32_t index) {
    int16_t v;
    std::memcpy(&v, sector + index * 2, 2);
    return v;
}

inline void SetSample(uint8_t* sector, uint32_t index, int16_t v) {
    std::memcpy(sector + index * 2, &v, 2);
}

inline bool SameSector(const uint8_t* a, const uint8_t* b) {
    return std::memcmp(a, b, kSectorBytes) == 0;
}

// Sum of absolute differences of two sectors' samples. Stops early once the sum reaches
// `bound` (when not negative): such a position cannot win any more.
int64_t SectorDistance(const uint8_t* a, const uint8_t* b, int64_t bound);

// Samples that are equal in both sectors.
uint32_t EqualSamples(const uint8_t* a, const uint8_t* b);

// True when every frame of the sector is the same (digital silence, a constant offset):
// such a sector looks alike wherever a drive lands and cannot tell a position.
bool IsFeatureless(const uint8_t* sector);

// Sector `i` of a buffer of sectors.
inline const uint8_t* SectorOf(const uint8_t* buffer, int64_t i) {
    return buffer + static_cast<size_t>(i) * kSectorBytes;
}
inline uint8_t* SectorOf(uint8_t* buffer, int64_t i) {
    return buffer + static_cast<size_t>(i) * kSectorBytes;
}

} // namespace kycd
