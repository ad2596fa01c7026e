#pragma once
// The one interface through which the CD source talks to optical drives. Three
// implementations reach the same drives by different roads: SCSI pass-through (SG_IO),
// the Linux cdrom driver's ioctls, and libcdio loaded at run time.
#include "cd/sub_channel.h"
#include "core/error.h"
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

constexpr uint32_t KY_PLAIN_TOC_BYTES = 804;
constexpr uint32_t KY_FULL_TOC_BYTES = 2204;
constexpr uint32_t KY_SECTOR_BYTES = 2352;
constexpr uint32_t KY_SECTOR_FRAMES = 588;

// One drive found by a method.
struct kyDriveRecord {
    std::string displayName;      // UTF-8, e.g. "/dev/sr0 <SPTI 1-0-0> VENDOR PRODUCT"
    std::string devicePath;       // "/dev/sr0"; stands where a drive letter would
    std::string vendorProduct;    // "VENDOR PRODUCT" as the drive names itself; empty if unknown
    uint32_t largestTransfer = 0; // bytes
    uint32_t alignmentMask = 0;
    uint8_t address[3] = {0, 0, 0}; // host, target, LUN
};

// A device node a method passed over, with the reason, so that a front end can show it.
struct kySkippedDevice {
    std::string devicePath;
    std::string reason;
};

class kyDskReaderMode {
public:
    virtual ~kyDskReaderMode() = default;                               // closes the drive
    virtual uint32_t DriveCount() = 0;                                  // slot 1
    virtual const kyDriveRecord* DriveRecord(uint32_t localNumber) = 0; // slot 2
    // slot 3: plainToc has room for 804 bytes, fullToc for 2204.
    virtual bool Open(uint32_t localNumber, uint8_t* plainToc, bool& fullTocValid, uint8_t* fullToc,
                      uint32_t& largestTransfer, uint32_t& maxSpeed) = 0;
    virtual void Close() = 0; // slot 4
    // slot 5: sectors x 2352 bytes of CD-DA into buffer.
    virtual kyError ReadAudio(void* buffer, uint32_t firstLba, uint32_t sectors) = 0;
    virtual bool LockMedium(bool lock) = 0;                      // slot 6
    virtual bool StopAudio() = 0;                                // slot 7
    virtual bool SetReadSpeed(uint8_t speedFactor) = 0;          // slot 8, 255 = maximum
    virtual bool IsReady() = 0;                                  // slot 9
    virtual bool EjectOrLoad(bool load) = 0;                     // slot 10
    virtual std::optional<std::string> MediaCatalogNumber() = 0; // slot 11
    virtual std::optional<std::string> Isrc(uint32_t track) = 0; // slot 12
    // The disc's CD-Text packs (18 bytes each), without the answer's header. False when
    // the method cannot ask; true with no packs when the disc has none.
    virtual bool ReadCdText(std::vector<uint8_t>& packs) {
        packs.clear();
        return false;
    }
    // Audio as ReadAudio, and the 16 bytes of formatted Q the drive delivers with each
    // sector (into subQ, 16 bytes a sector), from the same landing of the head. A drive may
    // report there where the head really was, give frames with a bad CRC, or deliver Q a
    // sector off from the audio. KYERR_MISSING_COMPONENT when the method or the drive cannot
    // deliver sub-channel data with audio.
    virtual kyError ReadAudioSubQ(void* buffer, uint8_t* subQ, uint32_t firstLba,
                                  uint32_t sectors) {
        (void)buffer, (void)subQ, (void)firstLba, (void)sectors;
        return KYERR_MISSING_COMPONENT;
    }
    // The Q sub-channel of sector `lba` as the drive delivers it (which may be a mode 2 or 3
    // frame, or the Q of a sector the head landed on instead). False when the read fails
    // or the method cannot read sub-channel data.
    virtual bool ReadSubQ(uint32_t lba, kySubQ& q) {
        (void)lba;
        q = kySubQ();
        return false;
    }

    // The result of enumeration in the constructor; a method that failed is discarded.
    kyError ConstructionResult() const { return m_result; }
    const std::vector<kySkippedDevice>& SkippedDevices() const { return m_skipped; }

protected:
    kyError m_result = KY_OK;
    std::vector<kySkippedDevice> m_skipped;
};
