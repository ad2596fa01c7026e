// What the disc says about itself beyond the table of contents: catalogue number, ISRCs,
// CD-Text, and the pregaps and indexes found from the Q sub-channel.
//
// The search reads single sectors' Q and narrows each boundary by bisection, so a disc
// costs a few reads per track instead of a scan: one read before each track start tells
// whether the track has a pregap; the common two-second pregap is tried next; otherwise
// the gap is bracketed by doubling steps and then bisected. A track whose last sector is
// in an index above 1 has each index start bisected within the track. A Q read that fails,
// carries the catalogue number or an ISRC instead of a position, or reports a place outside
// the range being narrowed is replaced by a read of a neighbouring sector (a catalogue or
// ISRC frame right after a known position continues that position, as such frames do);
// only where no sector around a point gives its position does the search give up, and
// then it says so instead of guessing.
#include "cd/cd_text.h"
#include "cd/dsk_reader.h"
#include <algorithm>
#include <map>

namespace {

constexpr uint32_t kAttempts = 8;       // Q reads tried around one point
constexpr uint32_t kCommonPregap = 150; // two seconds
constexpr uint32_t kLeadOutTrack = 0xAA;

} // namespace

class kyDskReader::GapSearch {
public:
    GapSearch(kyDskReader& reader, std::string& error) : m_reader(reader), m_error(error) {}

    bool Run(kyDiscLayout& layout) {
        const kyDiscToc& toc = m_reader.m_toc;
        std::vector<kyTrackLayout>& tracks = layout.tracks;
        if (tracks.empty()) return true;
        // A first track that starts after sector 0 has everything before it as its pregap
        // (the place of audio hidden before track one).
        if (tracks.front().start > 0) tracks.front().pregapStart = 0;
        for (const kyTrackLayout& t : tracks) Known(t.number, t.start);
        for (size_t i = 0; i < tracks.size(); ++i) {
            kyTrackLayout& t = tracks[i];
            const kyTocEntry& entry = toc.entries[t.number];
            // The track body ends where the next track's pregap starts, or at its own end.
            uint32_t end = entry.start + entry.length;
            if (i + 1 < tracks.size()) {
                kyTrackLayout& next = tracks[i + 1];
                // A track that follows straight on (same session) may have a pregap cut
                // from this one's end.
                if (end == next.start && next.start > t.start + 1) {
                    uint32_t pregap = 0;
                    if (!FindPregap(t.number, t.start, next.number, next.start, pregap))
                        return false;
                    next.pregapStart = pregap;
                    end = pregap;
                }
            }
            if (!FindIndexes(t, end)) return false;
        }
        return true;
    }

private:
    // The Q of some sector in (lo, hi) near x (which lies in it), read again at neighbours
    // while reads fail or give no position there. `fits` tells whether a position is
    // plausible for the range.
    template <class Fits>
    bool Probe(uint32_t x, uint32_t lo, uint32_t hi, Fits fits, uint32_t& at, kySubQ& found) {
        // x, x+1, x-1, x+2, x-2, ... inside the range, round again when it is narrow.
        std::vector<uint32_t> order;
        for (uint32_t step = 0; order.size() < kAttempts && step < kAttempts; ++step) {
            if (int64_t(x) + step < int64_t(hi)) order.push_back(x + step);
            if (step > 0 && x - step > lo && x >= step) order.push_back(x - step);
        }
        for (uint32_t attempt = 0; attempt < kAttempts; ++attempt) {
            const uint32_t y = order[attempt % order.size()];
            kySubQ q;
            ++m_reader.m_subChannelReads;
            if (!m_reader.m_open->ReadSubQ(uint32_t(y), q)) continue;
            m_anyRead = true;
            if (q.adr != 1) {
                // A catalogue or ISRC frame continues the position of the sector before:
                // usable when that sector's is known.
                auto before = m_seen.find(y - 1);
                if (before == m_seen.end() || !fits(before->second)) continue;
                q = before->second;
                q.absolute = int32_t(y);
            } else if (q.absolute <= int32_t(lo) || q.absolute >= int32_t(hi) || !fits(q)) {
                continue;
            }
            at = uint32_t(q.absolute);
            found = q;
            m_seen[at] = q;
            return true;
        }
        m_error = m_anyRead ? "The sub-channel could not be read around sector " +
                                  std::to_string(x) + ", so the gaps are not known."
                            : "The drive gives no sub-channel data, so the gaps are not known.";
        return false;
    }

    // The Q of sector x itself: a landing elsewhere is read again; a catalogue or ISRC frame
    // there stands for the position of the sector before, which is read instead.
    template <class Fits> bool ProbeExactly(uint32_t x, Fits fits, kySubQ& found) {
        uint32_t target = x;
        for (uint32_t attempt = 0; attempt < kAttempts; ++attempt) {
            kySubQ q;
            ++m_reader.m_subChannelReads;
            if (!m_reader.m_open->ReadSubQ(target, q)) continue;
            m_anyRead = true;
            if (q.adr != 1) {
                if (target > 0) --target;
                continue;
            }
            if (q.absolute != int32_t(target) || !fits(q)) continue;
            m_seen[target] = q;
            found = q;
            found.absolute = int32_t(x);
            m_seen[x] = found;
            return true;
        }
        m_error = m_anyRead ? "The sub-channel could not be read at sector " + std::to_string(x) +
                                  ", so the gaps are not known."
                            : "The drive gives no sub-channel data, so the gaps are not known.";
        return false;
    }

    // The first sector in (lo, hi] where `above` holds, given it fails at lo and holds at
    // hi, bisecting from the first guess `x`.
    template <class Above, class Fits>
    bool Bisect(uint32_t& lo, uint32_t& hi, uint32_t x, Above above, Fits fits) {
        while (hi - lo > 1) {
            if (x <= lo || x >= hi) x = lo + (hi - lo) / 2;
            uint32_t at;
            kySubQ q;
            if (!Probe(x, lo, hi, fits, at, q)) return false;
            (above(q) ? hi : lo) = at;
            x = 0;
        }
        return true;
    }

    // Where track `n`'s pregap starts: the first sector of track n after track `previous`'s
    // start (n's INDEX 01 at `start` when it has none).
    bool FindPregap(uint32_t previous, uint32_t previousStart, uint32_t n, uint32_t start,
                    uint32_t& pregap) {
        const auto fits = [&](const kySubQ& q) {
            return q.track == previous || (q.track == n && q.index == 0);
        };
        const auto isNext = [&](const kySubQ& q) { return q.track == n; };
        uint32_t lo = previousStart, hi = start;
        uint32_t at;
        kySubQ q;
        // Just before the start: a pregap or not.
        if (!Probe(start - 1, lo, hi, fits, at, q)) return false;
        if (!isNext(q)) {
            lo = at;
            if (!Bisect(lo, hi, 0, isNext, fits)) return false;
            pregap = hi;
            return true;
        }
        hi = at;
        // The common two seconds first, then doubling steps until the previous track.
        for (uint32_t back = kCommonPregap; hi > lo + 1; back *= 2) {
            const uint32_t x = start > lo + back ? start - back : lo + (hi - lo) / 2;
            if (x >= hi) continue;
            if (!Probe(x, lo, hi, fits, at, q)) return false;
            if (!isNext(q)) {
                lo = at;
                break;
            }
            hi = at;
            if (back == kCommonPregap && hi > lo + 1) {
                // Exactly two seconds when the sector before is the previous track's.
                if (!Probe(hi - 1, lo, hi, fits, at, q)) return false;
                if (!isNext(q)) {
                    lo = at;
                    break;
                }
                hi = at;
            }
        }
        if (!Bisect(lo, hi, 0, isNext, fits)) return false;
        pregap = hi;
        return true;
    }

    // INDEX 02 and on of track `t`, whose body ends before `end`.
    bool FindIndexes(kyTrackLayout& t, uint32_t end) {
        t.indexes.clear();
        if (end <= t.start + 1) return true;
        const uint32_t number = t.number;
        const auto fits = [&](const kySubQ& q) { return q.track == number && q.index >= 1; };
        // The index of the body's last sector is the highest.
        kySubQ last;
        if (!ProbeExactly(end - 1, fits, last)) return false;
        const uint32_t at = end - 1;
        // Bracketing positions seen so far: index by sector.
        std::map<uint32_t, uint32_t> seen{{t.start, 1}, {at, last.index}};
        for (uint32_t j = 2; j <= last.index && j <= 99; ++j) {
            uint32_t lo = t.start, hi = at;
            for (const auto& [sector, index] : seen) {
                if (index < j)
                    lo = std::max(lo, sector);
                else
                    hi = std::min(hi, sector);
            }
            const auto above = [&](const kySubQ& q) {
                seen[uint32_t(q.absolute)] = q.index;
                return q.index >= j;
            };
            if (!Bisect(lo, hi, 0, above, fits)) return false;
            t.indexes.push_back(hi);
        }
        return true;
    }

    // Every position learnt, by sector; each track's INDEX 01 from the table of contents.
    void Known(uint32_t track, uint32_t start) {
        kySubQ q;
        q.adr = 1;
        q.track = track;
        q.index = 1;
        q.absolute = int32_t(start);
        m_seen[start] = q;
    }

    kyDskReader& m_reader;
    std::string& m_error;
    bool m_anyRead = false;
    std::map<uint32_t, kySubQ> m_seen;
};

kyCdText kyDskReader::ReadCdText() {
    kyCdText text;
    std::vector<uint8_t> packs;
    if (m_open && m_open->ReadCdText(packs)) kyParseCdTextPacks(packs.data(), packs.size(), text);
    return text;
}

bool kyDskReader::ReadLayout(kyDiscLayout& layout, bool detectGaps, std::string& error) {
    layout = kyDiscLayout();
    m_subChannelReads = 0;
    if (!m_open) {
        error = "No disc is open.";
        return false;
    }
    if (std::optional<std::string> mcn = MediaCatalogNumber()) layout.mcn = *mcn;
    for (uint32_t n = m_toc.firstTrack; n >= 1 && n <= m_toc.lastTrack && n <= 99; ++n) {
        kyTrackLayout t;
        t.number = n;
        t.start = t.pregapStart = m_toc.entries[n].start;
        if (!m_toc.entries[n].data)
            if (std::optional<std::string> isrc = Isrc(n)) t.isrc = *isrc;
        layout.tracks.push_back(std::move(t));
    }
    layout.cdText = ReadCdText();
    if (!detectGaps) return true;

    kyDiscLayout found = layout;
    if (!GapSearch(*this, error).Run(found)) return false;
    layout = std::move(found);
    layout.gapsDetected = true;
    return true;
}
