#pragma once
// Tables of contents for the tests of disc names.
#include "cd/disc_toc.h"

namespace kytest {

// `tracks` audio tracks of `sectors` sectors each from sector 0.
inline kyDiscToc evenToc(uint32_t tracks, uint32_t sectors = 20000) {
    kyDiscToc toc;
    toc.firstTrack = 1;
    toc.lastTrack = tracks;
    for (uint32_t t = 1; t <= tracks + 1; ++t) {
        toc.entries[t].start = (t - 1) * sectors;
        toc.entries[t].length = t <= tracks ? sectors : 0;
    }
    return toc;
}

// Tracks at 0 and 15000 sectors, lead-out at 30000: freedb id 06019002.
inline kyDiscToc twoTrackToc() {
    return evenToc(2, 15000);
}

} // namespace kytest
