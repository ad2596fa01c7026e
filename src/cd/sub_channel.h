#pragma once
// The Q sub-channel: where on the disc a sector lies (track, index, time within the track,
// time on the disc), or, in some sectors, the disc's catalogue number (mode 2) or the
// track's ISRC (mode 3) instead. Drives deliver it as 16 bytes of "formatted Q" with READ CD,
// and as the current position of READ SUB-CHANNEL.
#include <cstdint>
#include <string>

struct kySubQ {
    uint8_t adr = 0;     // 1 position, 2 catalogue number, 3 ISRC
    uint8_t control = 0; // CONTROL nibble
    // Mode 1 only:
    uint32_t track = 0;   // 1..99, 0xAA for the lead-out
    uint32_t index = 0;   // 0 in a pregap, 1.. within the track
    int32_t relative = 0; // sectors from INDEX 01; negative in the pregap
    int32_t absolute = 0; // LBA
    std::string text;     // mode 2: 13 digits; mode 3: 12 characters
};

// 0..99 as binary-coded decimal and back; a byte that is not BCD gives -1.
inline uint8_t kyToBcd(uint32_t v) {
    return uint8_t(((v / 10) % 10) << 4 | (v % 10));
}
inline int kyFromBcd(uint8_t b) {
    return ((b >> 4) > 9 || (b & 0x0F) > 9) ? -1 : (b >> 4) * 10 + (b & 0x0F);
}

// 16 bytes of formatted Q: CONTROL/ADR, the 9 bytes of the mode, the CRC of those 10 bytes
// (inverted, big-endian), 4 bytes of zeros. Mode 2 and 3 carry the absolute frame number
// (`absolute` % 75) in their last byte.
void kyEncodeSubQ(const kySubQ& q, uint8_t out[16]);
// False for a CRC that does not match (a drive that returns zeros there is not checked),
// a mode other than 1, 2 and 3, or fields that are not BCD or out of range.
bool kyDecodeSubQ(const uint8_t in[16], kySubQ& q);

// Where a run of sectors read in one command came from, as the formatted Q delivered with
// them tells: the address each position frame (mode 1, valid CRC) gives, less the address
// it was asked for. Frames without a CRC, with a bad one, or of another mode do not count.
struct kySubQLanding {
    uint32_t frames = 0;    // position frames that count
    bool consistent = true; // all of them tell the same offset
    int32_t offset = 0;     // that offset: the sectors came from this much later
    // At least `minimum` frames, and all of one mind.
    bool Usable(uint32_t minimum) const { return consistent && frames >= minimum; }
};
// `frames` holds 16 bytes of formatted Q for each of `count` sectors asked for from
// `firstLba` on.
kySubQLanding kyLandingBySubQ(const uint8_t* frames, uint32_t count, int64_t firstLba);

// What starts the audio confirmed tell of a drive's Q sub-channel: how many sectors later
// than the audio it places a read (its bias). A drive may deliver Q a constant few sectors
// off from the audio, and when it also lands off nearly every time, no single start can
// tell that bias from a landing: only starts the audio places show it. The bias is known
// after kKnown of them agree (or when an earlier session learned it) and none disagrees;
// one that disagrees, or a Q that disagrees with itself at such a start, leaves it unknown
// for as long as the drive stays open.
class kySubQBias {
public:
    static constexpr uint32_t kKnown = 2;
    static constexpr int32_t kLimit = 75; // larger biases are not taken (one second)

    // A start the audio confirmed, whose Q placed it `sectors` later than the audio did.
    void Observe(int32_t sectors);
    // A start the audio confirmed whose reads' Q did not agree with each other.
    void Contradict() { m_contradicted = true; }
    // A bias learned in an earlier session: known unless this one has seen otherwise.
    void Assume(int32_t sectors);
    // The bias when known.
    bool Known() const { return !m_contradicted && m_agreeing >= kKnown; }
    int32_t Value() const { return m_value; }
    // The Q was seen to disagree: a bias learned earlier is not to be kept.
    bool Contradicted() const { return m_contradicted; }

private:
    int32_t m_value = 0;
    uint32_t m_agreeing = 0;
    bool m_contradicted = false;
};
