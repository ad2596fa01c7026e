#include "cd/landing_vote.h"

void kyLandingVote::add(int32_t delta) {
    ++m_reads;
    ++m_votes;
    for (Entry& e : m_entries)
        if (e.delta == delta) {
            ++e.count;
            return;
        }
    m_entries.push_back({delta, 1});
}

uint32_t kyLandingVote::count(int32_t delta) const {
    for (const Entry& e : m_entries)
        if (e.delta == delta) return e.count;
    return 0;
}

int32_t kyLandingVote::winner() const {
    const Entry* best = nullptr;
    for (const Entry& e : m_entries)
        if (!best || e.count > best->count) best = &e;
    return best ? best->delta : 0;
}

bool kyLandingVote::confirmed() const {
    uint32_t first = 0, second = 0;
    for (const Entry& e : m_entries) {
        if (e.count > first) {
            second = first;
            first = e.count;
        } else if (e.count > second) {
            second = e.count;
        }
    }
    return first >= kMinimum && first >= kRatio * second + kMargin;
}

bool kyLandingVote::supports(int32_t delta) const {
    const uint32_t own = count(delta);
    if (own < 2) return false;
    for (const Entry& e : m_entries) {
        if (e.delta == delta) continue;
        const bool next = e.delta == delta - 1 || e.delta == delta + 1;
        if (e.count >= (next ? own + 6 : 3 * own + 8)) return false;
    }
    return true;
}
