#pragma once
// A listener to the audio the CD source delivers, sector by sector, exactly as it comes
// off the disc: 588 frames of 16-bit little-endian interleaved stereo, with the drive's
// read offset already corrected and before any de-emphasis or processing. Checksums of a
// rip (the copy CRC, disc-database checksums) are computed here.
#include <cstdint>

class kyCdAudioTap {
public:
    virtual ~kyCdAudioTap() = default;
    // A run starts that will deliver sectors first .. end - 1 in order (fewer when it
    // fails or is cancelled).
    virtual void RunStarted(uint32_t firstSector, uint32_t endSector) {}
    // One sector of the disc, `pcm` holding its 2352 bytes.
    virtual void SectorDelivered(uint32_t sector, const uint8_t* pcm) = 0;
};
