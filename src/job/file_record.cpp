#include "job/file_record.h"

#include <algorithm>
#include <cstdio>

const char* kyFileOutcomeText(kyFileOutcome outcome) {
    switch (outcome) {
    case kyFileOutcome::Ok:
        return "ok";
    case kyFileOutcome::Suspect:
        return "suspect";
    case kyFileOutcome::Skipped:
        return "skipped";
    case kyFileOutcome::Failed:
        return "failed";
    case kyFileOutcome::Cancelled:
        return "cancelled";
    }
    return "failed";
}

const char* kyVerifiedBurstText(kyVerifiedBurst settled) {
    switch (settled) {
    case kyVerifiedBurst::None:
        break;
    case kyVerifiedBurst::Confirmed:
        return "confirmed";
    case kyVerifiedBurst::Reread:
        return "reread";
    case kyVerifiedBurst::Secure:
        return "secure";
    case kyVerifiedBurst::BurstKept:
        return "burst-kept";
    }
    return nullptr;
}

namespace {
// The track holding a sector, or 0.
uint32_t trackOf(const kyDiscToc& toc, uint32_t sector) {
    uint32_t found = 0;
    const uint32_t last = std::min<uint32_t>(toc.lastTrack, 99);
    for (uint32_t t = toc.firstTrack; t >= 1 && t <= last; ++t)
        if (toc.entries[t].start <= sector) found = t;
    return found;
}

std::string timeIn(const kyDiscToc& toc, uint32_t track, uint32_t sector) {
    const uint32_t n = sector - toc.entries[track].start;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02u:%02u.%02u", n / 4500, (n / 75) % 60, n % 75);
    return buf;
}
} // namespace

std::string kySectorPlace(const kyDiscToc& toc, uint32_t sector) {
    const uint32_t t = trackOf(toc, sector);
    if (!t) return "lead-in";
    return "track " + std::to_string(t) + ", " + timeIn(toc, t, sector);
}

std::string kySpanText(const kyDiscToc& toc, const kySectorSpan& span) {
    if (span.first == span.last)
        return "sector " + std::to_string(span.first) + " (" + kySectorPlace(toc, span.first) + ")";
    const uint32_t a = trackOf(toc, span.first), b = trackOf(toc, span.last);
    std::string to = a && a == b ? timeIn(toc, b, span.last) : kySectorPlace(toc, span.last);
    return "sectors " + std::to_string(span.first) + "-" + std::to_string(span.last) + " (" +
           kySectorPlace(toc, span.first) + " to " + to + ")";
}
