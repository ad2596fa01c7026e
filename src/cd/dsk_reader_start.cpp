// The CD source's confirmation of a start that nothing confirmed precedes: the first range
// read from a disc, a range picked out of order, the sectors after one that never read.
//
// One read ("the walk") goes from a little before the start until it holds sectors it can
// recognise (distinctive, and without a twin in it); more reads then approach those
// sectors from different points, and each tells, by where it finds them, how far it
// landed from the walk. A clear majority of landings (kyLandingVote) is taken as the
// drive reading where it was asked: that places the walk on the disc, and with it an
// anchor for the reads that follow, or the sectors up to the first recognisable one when
// the start lies in digital silence.
//
// A drive that lands off nearly every time spreads its landings so that none wins. The
// reads then also bring the Q sub-channel, which tells where the head really was: the
// walk's landing follows from each read's Q and the distance the audio shows between that
// read and the walk. But a drive may deliver its Q a few sectors off from its audio, the
// same few every time, and then no read of a start that the audio cannot place tells that
// apart from where the drive landed. So every start the vote does place tells how far the
// Q is off (kySubQBias), and the Q places the walk only for a drive whose bias is known
// that way (here or in an earlier session), taking the bias off, when every read's Q tells
// the same, across at least two different landings, and when the audio does not speak
// against it (kyLandingVote::supports). A drive whose Q disagrees with itself or with its
// bias at a start the vote placed never places a start by it again while it is open.
#include "cd/cd_sector.h"
#include "cd/dsk_reader.h"
#include "cd/landing_vote.h"
#include <algorithm>
#include <cstring>
#include <optional>
#include <set>

using kycd::IsFeatureless;
using kycd::SameSector;
using kycd::SectorOf;

namespace {
// The walk starts this far before the start (where the disc allows) ...
constexpr uint32_t kApproach = 12;
// ... and goes at least this far past it,
constexpr uint32_t kAhead = 15;
// at most this far in all while it finds nothing to recognise (eight seconds).
constexpr uint32_t kWalk = 600;
// Room for a drive that lands late.
constexpr uint32_t kLate = 12;
// Sectors to recognise, nearest to the start first; the walk goes on until it has a few
// (a damaged sector in silence is distinctive too, but no other read shows it).
constexpr size_t kCandidates = 8;
constexpr size_t kEnoughCandidates = 4;
// Starting points of the reads that vote, before the first sector to recognise.
constexpr uint32_t kApproaches[] = {12, 5, 9, 1, 7, 3, 11, 0, 6, 10, 2, 8, 4};
// Position frames that must agree before a read's Q tells where it landed.
constexpr uint32_t kQFrames = 3;

struct Probe {
    std::vector<uint8_t> data;
    uint32_t start = 0;
    uint32_t sectors = 0;
    bool voted = false;
    int32_t delta = 0; // landed this far from the walk (in the walk's frame)
    kySubQLanding byQ;
};
} // namespace

kyError kyDskReader::confirmStart(uint32_t x, Lead& lead) {
    lead = Lead{};
    const uint32_t floor = floorFor(x);
    const uint32_t ceiling = ceilingFor(x);
    const uint32_t s0 = x - std::min(kApproach, x - floor);

    // Whether the reads bring the Q sub-channel along: to place the start, or to learn
    // the bias from it.
    const bool askQ = m_subQDelivered && !m_subQBias.Contradicted();
    std::vector<uint8_t> q;

    // The walk; its first read brings the Q (the later ones continue it).
    std::vector<uint8_t> walk;
    uint32_t n0 = 0;
    kySubQLanding walkByQ;
    auto extend = [&](uint32_t more) -> kyError {
        more = std::min(more, ceiling - (s0 + n0));
        if (more == 0) return KY_OK;
        walk.resize(static_cast<size_t>(n0 + more) * KY_SECTOR_BYTES);
        const bool first = n0 == 0 && askQ;
        if (first) q.resize(static_cast<size_t>(more) * 16);
        kyError e = readDrive(SectorOf(walk.data(), n0), s0 + n0, more, first ? q.data() : nullptr);
        if (kyFailed(e)) return e;
        if (first) walkByQ = kyLandingBySubQ(q.data(), more, s0);
        n0 += more;
        noteRead(s0, n0, false, 0);
        return KY_OK;
    };
    std::vector<uint32_t> candidates;
    auto findCandidates = [&] {
        candidates.clear();
        std::vector<uint32_t> distinct;
        for (uint32_t j = 0; j < n0; ++j)
            if (!IsFeatureless(SectorOf(walk.data(), j))) distinct.push_back(j);
        for (uint32_t j : distinct) {
            bool twin = false;
            for (uint32_t k : distinct)
                if (k != j && SameSector(SectorOf(walk.data(), j), SectorOf(walk.data(), k))) {
                    twin = true;
                    break;
                }
            if (!twin) candidates.push_back(j);
        }
        const int64_t home = x - s0;
        std::stable_sort(candidates.begin(), candidates.end(), [&](uint32_t a, uint32_t b) {
            return std::llabs(int64_t(a) - home) < std::llabs(int64_t(b) - home);
        });
        if (candidates.size() > kCandidates) candidates.resize(kCandidates);
        std::sort(candidates.begin(), candidates.end());
    };
    kyError e = extend(x - s0 + kAhead);
    if (kyFailed(e)) return e;
    findCandidates();
    while (candidates.size() < kEnoughCandidates && n0 < kWalk && s0 + n0 < ceiling) {
        e = extend(std::max<uint32_t>(m_chunk, 27));
        if (kyFailed(e)) return e;
        findCandidates();
    }

    const uint32_t home = x - s0; // where x is in the walk if the drive landed as asked
    if (candidates.empty()) {
        // Nothing to recognise: one stretch of digital silence (or of a constant). Where
        // the drive landed inside it does not matter as long as it is all alike; a margin
        // is left for a late landing before its end.
        bool uniform = true;
        for (uint32_t j = 1; j < n0 && uniform; ++j)
            uniform = SameSector(SectorOf(walk.data(), 0), SectorOf(walk.data(), j));
        const bool atEnd = s0 + n0 >= ceiling;
        uint32_t k = n0 > home ? n0 - home : 0;
        if (!atEnd) k = k > kLate ? k - kLate : 0;
        k = std::max<uint32_t>(k, 1);
        lead.data.assign(static_cast<size_t>(k) * KY_SECTOR_BYTES, 0);
        lead.sure.assign(k, uniform);
        for (uint32_t t = 0; t < k; ++t)
            if (home + t < n0)
                std::memcpy(SectorOf(lead.data.data(), t), SectorOf(walk.data(), home + t),
                            KY_SECTOR_BYTES);
            else
                lead.sure[t] = false;
        return KY_OK;
    }

    // The reads that vote.
    const uint32_t cmin = candidates.front(), cmax = candidates.back();
    kyLandingVote vote;
    vote.add(0); // the walk itself
    std::vector<Probe> probes;
    for (uint32_t i = 0; !vote.finished(); ++i) {
        const uint32_t a = kApproaches[i % std::size(kApproaches)];
        int64_t start = std::max<int64_t>(int64_t(s0) + cmin - a, floor);
        // Continuing the previous read would not make the drive seek: start elsewhere.
        if (m_requestValid && start == m_requestEnd) start += start > floor ? -1 : 1;
        // Through the last sector to recognise and room for a late landing, in one
        // transfer when the sectors to recognise leave room for that.
        int64_t end = std::min<int64_t>(int64_t(s0) + cmax + 1 + kLate, ceiling);
        if (end - start > m_chunk && cmax - cmin + 1 + a < m_chunk) end = start + m_chunk;
        if (end <= start) break;
        Probe p;
        p.start = static_cast<uint32_t>(start);
        p.sectors = static_cast<uint32_t>(end - start);
        p.data.resize(static_cast<size_t>(p.sectors) * KY_SECTOR_BYTES);
        if (askQ) q.resize(static_cast<size_t>(p.sectors) * 16);
        e = readDrive(p.data.data(), p.start, p.sectors, askQ ? q.data() : nullptr);
        if (kyFailed(e)) return e;
        if (askQ) p.byQ = kyLandingBySubQ(q.data(), p.sectors, p.start);
        noteRead(p.start, p.sectors, false, 0);
        ++m_report.rereads;
        // Where does it hold a sector of the walk, found there once only?
        for (uint32_t c : candidates) {
            uint32_t found = 0, at = 0;
            for (uint32_t j = 0; j < p.sectors && found < 2; ++j)
                if (SameSector(SectorOf(walk.data(), c), SectorOf(p.data.data(), j))) {
                    ++found;
                    at = j;
                }
            if (found != 1) continue;
            p.voted = true;
            p.delta = static_cast<int32_t>((int64_t(p.start) + at) - (int64_t(s0) + c));
            break;
        }
        if (p.voted)
            vote.add(p.delta);
        else
            vote.addBlank();
        probes.push_back(std::move(p));
    }

    // The winning landing is the drive reading where asked: the walk landed that far off.
    // Without a clear winner the walk is taken as it came, unless one landing is seen far
    // more often than the walk's own.
    bool confirmed = vote.confirmed();
    int32_t walkOffset = vote.winner();

    // Where the Q places the walk: a read that landed e from where it was asked and
    // `delta` from the walk puts the walk at e + delta.
    std::optional<int32_t> walkByQOffset;
    bool qAgrees = true, placedByQ = false;
    std::set<int32_t> qLandings;
    auto qTells = [&](const kySubQLanding& l, int32_t delta) {
        if (!l.consistent) qAgrees = false;
        if (!l.Usable(kQFrames)) return;
        const int32_t at = l.offset + delta;
        if (walkByQOffset && *walkByQOffset != at) qAgrees = false;
        walkByQOffset = at;
        qLandings.insert(l.offset);
    };
    qTells(walkByQ, 0);
    for (const Probe& p : probes)
        if (p.voted) qTells(p.byQ, p.delta);
    if (confirmed) {
        // The audio has decided: how far the Q is off from it.
        if (walkByQOffset) {
            if (qAgrees)
                m_subQBias.Observe(*walkByQOffset - walkOffset);
            else
                m_subQBias.Contradict();
        }
    } else if (askQ && m_subQBias.Known() && walkByQOffset && qAgrees && qLandings.size() >= 2 &&
               vote.supports(*walkByQOffset - m_subQBias.Value())) {
        confirmed = true;
        placedByQ = true;
        walkOffset = *walkByQOffset - m_subQBias.Value();
    }
    if (!confirmed && vote.count(walkOffset) < 4 * vote.count(0) + 8) walkOffset = 0;
    auto position = [&](uint32_t c) { return static_cast<int64_t>(s0) + walkOffset + c; };
    // A sector to recognise is confirmed when a placed vote read holds it at its place.
    auto held = [&](int64_t lba, const uint8_t* data) {
        for (const Probe& p : probes) {
            if (!p.voted) continue;
            const int64_t i = lba - (int64_t(p.start) + (walkOffset - p.delta));
            if (i >= 0 && i < p.sectors && SameSector(data, SectorOf(p.data.data(), i)))
                return true;
        }
        return false;
    };
    // The anchor: the last confirmed sector before x, else the first one after it.
    int64_t pick = -1;
    uint32_t pickIndex = 0;
    for (uint32_t c : candidates) { // in the walk's order, so by position
        if (!held(position(c), SectorOf(walk.data(), c))) continue;
        if (position(c) < x || pick < 0) {
            pick = position(c);
            pickIndex = c;
        }
        if (pick >= x) break;
    }
    if (pick < 0) {
        // No read agreed with the walk anywhere: take the walk as it came, reported.
        confirmed = false;
        pickIndex = candidates.front();
        for (uint32_t c : candidates)
            if (position(c) < x) pickIndex = c;
        pick = position(pickIndex);
    }
    if (!confirmed && m_guess && m_guess->lba < x && m_guess->lba >= floor) {
        // No better than the place an earlier range left off at: join on to that one.
        m_trusted = false;
        m_anchors.assign(1, *m_guess);
        m_guess.reset();
        return KY_OK;
    }
    m_trusted = confirmed;
    if (confirmed && placedByQ) ++m_report.placedBySubQ;
    Anchor anchor{static_cast<uint32_t>(std::max<int64_t>(pick, 0)),
                  std::vector<uint8_t>(SectorOf(walk.data(), pickIndex),
                                       SectorOf(walk.data(), pickIndex) + KY_SECTOR_BYTES),
                  confirmed};
    m_anchors.assign(1, anchor);
    if (confirmed) keepAnchor(anchor);
    if (pick < x) return KY_OK;

    // The anchor lies at or after x: the sectors up to it come from the reads, placed by
    // the vote, the walk first. In scratch mode a sector needs two reads that show it, or
    // to sit in a run of alike silent sectors (which a damaged read would break up).
    const uint32_t k = static_cast<uint32_t>(pick - x) + 1;
    lead.data.assign(static_cast<size_t>(k) * KY_SECTOR_BYTES, 0);
    lead.sure.assign(k, false);
    for (uint32_t t = 0; t < k; ++t) {
        const int64_t lba = static_cast<int64_t>(x) + t;
        std::vector<const uint8_t*> values;
        const int64_t i = lba - (int64_t(s0) + walkOffset);
        bool run = false;
        if (i >= 0 && i < n0) {
            const uint8_t* s = SectorOf(walk.data(), i);
            values.push_back(s);
            run = IsFeatureless(s) && (i == 0 || SameSector(s, SectorOf(walk.data(), i - 1))) &&
                  (i + 1 >= n0 || SameSector(s, SectorOf(walk.data(), i + 1)));
        }
        for (const Probe& p : probes) {
            if (!p.voted) continue;
            const int64_t j = lba - (int64_t(p.start) + (walkOffset - p.delta));
            if (j >= 0 && j < p.sectors) values.push_back(SectorOf(p.data.data(), j));
        }
        if (values.empty()) continue;
        const uint8_t* chosen = values.front();
        bool agreed = false;
        for (size_t a = 0; a < values.size() && !agreed; ++a)
            for (size_t b = a + 1; b < values.size() && !agreed; ++b)
                if (SameSector(values[a], values[b])) {
                    chosen = values[a];
                    agreed = true;
                }
        std::memcpy(SectorOf(lead.data.data(), t), chosen, KY_SECTOR_BYTES);
        lead.sure[t] = !m_verify || agreed || run || t + 1 == k;
    }
    return KY_OK;
}
