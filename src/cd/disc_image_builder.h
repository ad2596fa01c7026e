#pragma once
// Internal to the disc models: how an image maps sectors to their bytes, and the builder
// the CUE loader and the demo disc share.
#include "cd/virtual_drive.h"
#include <cstdint>
#include <memory>

// Something that yields 2352-byte sectors by their number within it.
struct kyDiscImage::Source {
    virtual ~Source() = default;
    virtual bool Read(uint64_t sector, uint32_t count, uint8_t* out) const = 0;
};

// A run of disc sectors and where its bytes come from; source -1 means digital silence.
struct kyDiscImage::Extent {
    uint32_t lba;
    uint32_t count;
    int32_t source;
    uint64_t sector;
};

struct kyDiscImageBuilder {
    std::unique_ptr<kyDiscImage> image;

    kyDiscImageBuilder();
    std::vector<kyDiscTrack>& Tracks() { return image->m_tracks; }
    std::vector<kyDiscSession>& Sessions() { return image->m_sessions; }
    std::string& Mcn() { return image->m_mcn; }
    kyCdText& CdText() { return image->m_cdText; }
    std::string& Date() { return image->m_date; }
    std::optional<kyDemoDiscRecord>& Record() { return image->m_record; }
    int32_t AddSource(std::unique_ptr<kyDiscImage::Source> source);
    void AddExtent(uint32_t lba, uint32_t count, int32_t source, uint64_t sector);
    // Fills each session's first and last track from the tracks; lead-outs are the caller's.
    std::unique_ptr<kyDiscImage> Finish();
};

// MSF of an LBA as a drive reports it (00:02:00 is LBA 0).
inline void kyLbaToMsf(uint32_t lba, uint8_t& m, uint8_t& s, uint8_t& f) {
    const uint32_t x = lba + 150;
    const uint32_t minutes = x / 4500;
    m = uint8_t(minutes > 255 ? 255 : minutes);
    s = uint8_t((x / 75) % 60);
    f = uint8_t(x % 75);
}
