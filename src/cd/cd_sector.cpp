#include "cd/cd_sector.h"
#include <cstdlib>

namespace kycd {

int64_t SectorDistance(const uint8_t* a, const uint8_t* b, int64_t bound) {
    constexpr uint32_t kStep = kSectorFrames / 4;
    int64_t sum = 0;
    for (uint32_t i = 0; i < kSectorSamples; i += kStep) {
        for (uint32_t k = i; k < i + kStep; ++k)
            sum += std::abs(static_cast<int32_t>(SampleAt(a, k)) - static_cast<int32_t>(SampleAt(b, k)));
        if (bound >= 0 && sum >= bound) break;
    }
    return sum;
}

uint32_t EqualSamples(const uint8_t* a, const uint8_t* b) {
    uint32_t n = 0;
    for (uint32_t k = 0; k < kSectorSamples; ++k) n += SampleAt(a, k) == SampleAt(b, k);
    return n;
}

bool IsFeatureless(const uint8_t* sector) {
    for (uint32_t f = 1; f < kSectorFrames; ++f)
        if (std::memcmp(sector, sector + f * 4, 4) != 0) return false;
    return true;
}

} // namespace kycd
