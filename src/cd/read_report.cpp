#include "cd/read_report.h"
#include <algorithm>

void kyReadReport::addSuspect(uint32_t first, uint32_t last) {
    if (last < first) std::swap(first, last);
    // Most additions extend the last span: keep that cheap.
    if (!suspect.empty() && first >= suspect.back().first) {
        kySectorSpan& tail = suspect.back();
        if (static_cast<uint64_t>(first) <= static_cast<uint64_t>(tail.last) + 1) {
            tail.last = std::max(tail.last, last);
            return;
        }
        suspect.push_back({first, last});
        return;
    }
    suspect.push_back({first, last});
    std::sort(suspect.begin(), suspect.end(),
              [](const kySectorSpan& a, const kySectorSpan& b) { return a.first < b.first; });
    std::vector<kySectorSpan> merged;
    for (const kySectorSpan& s : suspect) {
        if (!merged.empty() && static_cast<uint64_t>(s.first) <= static_cast<uint64_t>(merged.back().last) + 1)
            merged.back().last = std::max(merged.back().last, s.last);
        else
            merged.push_back(s);
    }
    suspect = std::move(merged);
}
