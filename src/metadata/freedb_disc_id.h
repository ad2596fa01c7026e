#pragma once
// The freedb/CDDB disc id of a table of contents, and the query text built from it.
#include "cd/disc_toc.h"
#include <cstdint>
#include <string>

// The 32-bit disc id: digit sum of the track start seconds, the playing time and the
// track count. Every track counts, audio and data.
uint32_t freedbDiscId(const kyDiscToc& toc);

// "%08x+" disc id, "%d+" track count, one "%d+" per track offset (LBA + 150) and the disc
// length in seconds: "06019002+2+150+15150+402".
std::string discIdQueryText(const kyDiscToc& toc);
