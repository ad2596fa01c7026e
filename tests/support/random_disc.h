#pragma once
// Small audio discs made up from a seed, for tests that read many discs: a few tracks of
// music-like material of random lengths, some starting or ending with digital silence,
// held in memory and put into a virtual drive.
#include "cd/virtual_drive.h"
#include <cstdint>
#include <memory>

namespace kytest {

struct RandomDiscShape {
    uint32_t minTracks = 3, maxTracks = 5;
    uint32_t minSectors = 60, maxSectors = 180; // per track
    uint32_t maxSilence = 60;                   // sectors at a track's start or end
};

std::shared_ptr<kyDiscImage> makeRandomDisc(uint64_t seed, const RandomDiscShape& shape = {});

} // namespace kytest
