#pragma once
// The AccurateRip checksums of every audio track a CD source delivers, taken as the audio
// comes off the disc (read offset corrected, before de-emphasis or any processing), so that
// a rip verifies itself without reading the disc again.
//
// Per track, over its samples (one left/right pair as a 32-bit little-endian word, the
// position counted from 1 at the track's first sample):
//   v1  the sum of position * word, modulo 2^32;
//   v2  the sum of the low and high 32-bit halves of the 64-bit products;
// leaving out the first five sectors but one sample of the disc's first track and the last
// five sectors of its last audio track, where drives with different offsets cannot agree.
// The frame-450 checksum is v1 over sector 450 of the track alone (positions 1..588): it is
// what finds a drive's read offset.
#include "cd/cd_audio_tap.h"
#include "cd/disc_toc.h"

#include <cstdint>
#include <vector>

struct kyAccurateRipSums {
    uint32_t track = 0;
    uint32_t v1 = 0;
    uint32_t v2 = 0;
    uint32_t frame450 = 0;
    uint16_t peak = 0;        // largest sample magnitude of the track, 0..32768
    bool hasFrame450 = false; // the track is longer than 450 sectors
    bool complete = false;    // every sector of the track came, in order
};

// Checksums of one sector at `position` (1-based sample position of its first frame in
// the track), counting only positions first..last: added to v1 and v2.
void kyAccurateRipAdd(const uint8_t* pcm, uint64_t position, uint64_t first, uint64_t last,
                      uint32_t& v1, uint32_t& v2);
// The frame-450 checksum of one sector's 588 frames.
uint32_t kyAccurateRipFrameCrc(const uint8_t* pcm);

class kyAccurateRipTap : public kyCdAudioTap {
public:
    // The disc's table: which tracks are audio, where they start and end, which are the
    // first and last.
    explicit kyAccurateRipTap(const kyDiscToc& toc);

    void RunStarted(uint32_t firstSector, uint32_t endSector) override;
    void SectorDelivered(uint32_t sector, const uint8_t* pcm) override;

    // The tracks the last run touched, in order; `complete` only for those read whole.
    const std::vector<kyAccurateRipSums>& sums() const { return m_sums; }
    // The sums of that track from the last run, or null.
    const kyAccurateRipSums* track(uint32_t number) const;

private:
    struct Progress {
        uint32_t next = 0; // the sector expected next
        bool broken = false;
    };
    kyDiscToc m_toc;
    uint32_t m_firstAudio = 0, m_lastAudio = 0;
    uint32_t m_cached = 0; // index into m_sums of the track of the last sector
    std::vector<kyAccurateRipSums> m_sums;
    std::vector<Progress> m_progress;
    int trackOf(uint32_t sector) const;
};
