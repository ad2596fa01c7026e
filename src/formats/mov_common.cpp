#include "formats/mov_common.h"

namespace mov {

MovieTime movieTime(uint64_t frames, uint32_t rate) {
    MovieTime t;
    if (rate == 0) return t;
    // frames < 2^33 and 1000 < 2^10: the product stays well inside 64 bits.
    t.duration = (frames * 1000 + rate / 2) / rate;
    while (t.duration > 0xFFFFFFFFull && t.timeScale > 9) {
        t.duration = (t.duration + 5) / 10;
        t.timeScale /= 10;
    }
    return t;
}

namespace {

enum class Kind { None, QuickTime, Mpeg4, Itunes };

// Boxes that may open a QuickTime movie that has no "ftyp".
bool isTopLevelQuickTime(const uint8_t* type) {
    return isType(type, "moov") || isType(type, "mdat") || isType(type, "wide") ||
           isType(type, "pnot") || isType(type, "free") || isType(type, "skip");
}

bool isBrand(const uint8_t* b, const char* brand) {
    return isType(b, brand);
}

Kind kindOf(const uint8_t* head, size_t size) {
    if (size < 8) return Kind::None;
    const uint32_t boxSize = get32(head);
    const uint8_t* type = head + 4;
    if (isType(type, "ftyp")) {
        // Major brand and minor version at least.
        if (size < 16 || (boxSize != 0 && boxSize < 16)) return Kind::None;
        const uint8_t* major = head + 8;
        if (isBrand(major, "qt  ")) return Kind::QuickTime;
        if (isBrand(major, "M4A ") || isBrand(major, "M4B ") || isBrand(major, "M4P "))
            return Kind::Itunes;
        return Kind::Mpeg4;
    }
    if (isTopLevelQuickTime(type) && (boxSize == 0 || boxSize == 1 || boxSize >= 8))
        return Kind::QuickTime;
    return Kind::None;
}

int score(const uint8_t* head, size_t size, Kind want) {
    const Kind k = kindOf(head, size);
    if (k == Kind::None) return 0;
    return k == want ? 6 : 4;
}

} // namespace

int ProbeMov(const uint8_t* head, size_t size) {
    return score(head, size, Kind::QuickTime);
}
int ProbeMp4(const uint8_t* head, size_t size) {
    return score(head, size, Kind::Mpeg4);
}
int ProbeM4a(const uint8_t* head, size_t size) {
    return score(head, size, Kind::Itunes);
}

} // namespace mov
