#include "metadata/freedb_disc_id.h"
#include <cstdio>

namespace {
uint32_t digitSum(uint32_t n) {
    uint32_t s = 0;
    for (; n > 0; n /= 10) s += n % 10;
    return s;
}
bool validToc(const kyDiscToc& toc) {
    return toc.firstTrack >= 1 && toc.lastTrack >= toc.firstTrack && toc.lastTrack <= 99;
}
} // namespace

uint32_t freedbDiscId(const kyDiscToc& toc) {
    if (!validToc(toc)) return 0;
    uint32_t sum = 0;
    for (uint32_t t = toc.firstTrack; t <= toc.lastTrack; ++t)
        sum += digitSum((toc.entries[t].start + 150) / 75);
    const uint32_t total = (toc.entries[toc.lastTrack + 1].start + 150) / 75;
    const uint32_t first = (toc.entries[toc.firstTrack].start + 150) / 75;
    const uint32_t length = total - first;
    const uint32_t count = toc.lastTrack - toc.firstTrack + 1;
    return ((sum % 255) << 24) | (length << 8) | count;
}

std::string discIdQueryText(const kyDiscToc& toc) {
    if (!validToc(toc)) return {};
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x+", freedbDiscId(toc));
    std::string out = buf;
    out += std::to_string(toc.lastTrack - toc.firstTrack + 1) + "+";
    for (uint32_t t = toc.firstTrack; t <= toc.lastTrack; ++t)
        out += std::to_string(toc.entries[t].start + 150) + "+";
    out += std::to_string((toc.entries[toc.lastTrack + 1].start + 150) / 75);
    return out;
}
