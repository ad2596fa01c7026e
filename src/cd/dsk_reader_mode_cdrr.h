#pragma once
// The raw-read method: the Linux cdrom driver's own ioctls, no command blocks. It has no
// full table of contents and no ISRC, and cannot set the speed.
#include "cd/dsk_reader_mode.h"
#include "platform/optical_drives.h"

class kyDskReaderModeCDRR : public kyDskReaderMode {
public:
    kyDskReaderModeCDRR() : kyDskReaderModeCDRR(kyOpticalDriveRoots()) {}
    explicit kyDskReaderModeCDRR(const kyOpticalDriveRoots& roots);
    ~kyDskReaderModeCDRR() override;

    uint32_t DriveCount() override { return uint32_t(m_drives.size()); }
    const kyDriveRecord* DriveRecord(uint32_t localNumber) override;
    bool Open(uint32_t localNumber, uint8_t* plainToc, bool& fullTocValid, uint8_t* fullToc,
              uint32_t& largestTransfer, uint32_t& maxSpeed) override;
    void Close() override;
    kyError ReadAudio(void* buffer, uint32_t firstLba, uint32_t sectors) override;
    bool LockMedium(bool lock) override;
    bool StopAudio() override;
    bool SetReadSpeed(uint8_t speedFactor) override;
    bool IsReady() override;
    bool EjectOrLoad(bool load) override;
    std::optional<std::string> MediaCatalogNumber() override;
    std::optional<std::string> Isrc(uint32_t track) override;

private:
    std::vector<kyDriveRecord> m_drives;
    int m_fd = -1;
};
