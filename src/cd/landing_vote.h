#pragma once
// The tally that decides where a drive really reads when nothing already confirmed lies
// before the place it reads: several reads approach that place from different starting
// points, each shows where it landed relative to the first, and one landing wins only
// with a clear majority.
//
// A drive that lands off after a seek does so at random; one that lands right does so
// more often than at any single wrong place. So the landing seen most often is taken for
// the true one, but only when it is seen at least eight times and twice as often as the
// next, plus six: a drive that lands off nearly every time spreads its landings so that
// none stands out, and is not trusted whatever it shows. (Simulated against drives that
// land off with a probability up to 0.95, anywhere within 12 or more places, fewer than
// 1 vote in 5,000 goes wrong; with wrong landings spread over only 4 to 6 places, up to
// 1 in 100 at the highest probabilities. A drive that lands one sector off either way
// nearly every time cannot be told from one with a read offset.) Reads that cannot be
// placed at all (nothing to recognise in them) do not vote.
#include <cstdint>
#include <vector>

class kyLandingVote {
public:
    static constexpr uint32_t kMinimum = 8;    // votes the winner needs
    static constexpr uint32_t kRatio = 2;      // times the votes of the next landing ...
    static constexpr uint32_t kMargin = 6;     // ... plus this many
    static constexpr uint32_t kMaxReads = 128; // reads (voting or not) before giving up

    // One read that landed `delta` sectors from the first (which votes 0).
    void add(int32_t delta);
    // One read that could not be placed.
    void addBlank() { ++m_reads; }
    // A landing has won.
    bool confirmed() const;
    // No more reads are worth making: confirmed, or the reads are used up.
    bool finished() const { return confirmed() || m_reads >= kMaxReads; }
    // The landing seen most often (the earliest seen among equals); 0 with no votes.
    int32_t winner() const;
    uint32_t votes() const { return m_votes; }
    uint32_t reads() const { return m_reads; }
    // Votes for one landing.
    uint32_t count(int32_t delta) const;
    // Whether the audio leaves room for `delta` being the true landing when something else
    // (the Q sub-channel) names it: at least two reads landed there, neither landing next
    // to it (where a position one sector off would put the truth) has six votes more, and
    // no other landing three times its votes plus eight. (Simulated over 110 votes against
    // drives landing off with p = 0.95 anywhere within 18 places, it holds for the true
    // landing in about 88 of 100 starts. For a position one sector off it holds, where the
    // vote failed, in 1 start of 1000 at p = 0.7 and 14 of 1000 at p = 0.8; at p = 0.9
    // in about half: there the audio cannot tell.)
    bool supports(int32_t delta) const;

private:
    struct Entry {
        int32_t delta;
        uint32_t count;
    };
    std::vector<Entry> m_entries; // in the order first seen
    uint32_t m_votes = 0;
    uint32_t m_reads = 0;
};
