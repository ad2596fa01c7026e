#pragma once
// The part of the drive-access methods that speaks MMC command blocks: the SCSI
// pass-through method and the libcdio method differ only in how they find drives and how
// the blocks reach them (a kyScsiTransport).
#include "cd/dsk_reader_mode.h"
#include "platform/scsi_transport.h"
#include <memory>

class kyDskReaderModeMmc : public kyDskReaderMode {
public:
    ~kyDskReaderModeMmc() override;

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
    // READ TOC/PMA/ATIP format 5.
    bool ReadCdText(std::vector<uint8_t>& packs) override;
    // READ CD with formatted Q; a drive that refuses it is asked by SEEK and READ
    // SUB-CHANNEL (current position) instead.
    bool ReadSubQ(uint32_t lba, kySubQ& q) override;
    // READ CD with user data and formatted Q.
    kyError ReadAudioSubQ(void* buffer, uint8_t* subQ, uint32_t firstLba,
                          uint32_t sectors) override;

    // SET CD SPEED's KB/s for a speed factor: trunc(f x 176.5), 255 = 0xFFFF (maximum).
    static uint16_t SpeedToKBs(uint8_t speedFactor);
    // The speed factor of a KB/s figure, rounded.
    static uint32_t KBsToSpeedFactor(uint32_t kbs);
    // Vendor and product (INQUIRY bytes 8-31) as display text, trailing blanks removed.
    static std::string InquiryName(const uint8_t* inquiry, size_t bytes);
    // The catalogue number or ISRC of a READ SUB-CHANNEL answer: null unless MCVAL/TCVAL.
    static std::optional<std::string> SubChannelText(const uint8_t* answer, size_t chars);

protected:
    // A transport to local drive `localNumber`, opened for use; null when it cannot be.
    virtual std::unique_ptr<kyScsiTransport> OpenTransport(uint32_t localNumber) = 0;
    // Sends INQUIRY over `transport` and returns the vendor/product text ("" on failure).
    static std::string Inquire(kyScsiTransport& transport, uint8_t* peripheralType = nullptr);
    bool Command(const uint8_t* cdb, uint8_t length, void* data = nullptr, uint32_t bytes = 0);

    std::vector<kyDriveRecord> m_drives;

private:
    std::unique_ptr<kyScsiTransport> m_transport;
    std::vector<uint8_t> m_bounceStorage;
    uint8_t* m_bounce = nullptr;
    uint32_t m_largest = 0;
    uintptr_t m_mask = 0;
    // READ CD with sub-channel data: whether it ever worked, and how often it failed
    // before that (a drive that keeps refusing it is asked the other way only).
    bool m_readCdQWorks = false;
    uint32_t m_readCdQRefusals = 0;
    // The same for READ CD with audio and Q together.
    bool m_audioQWorks = false;
    uint32_t m_audioQRefusals = 0;
};
