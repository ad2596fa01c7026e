#pragma once
// SCSI pass-through: MMC command blocks sent with SG_IO to /dev/srN, followed by the
// virtual drives of this process (see cd/virtual_drive.h), which answer the same blocks.
#include "cd/dsk_reader_mode_mmc.h"
#include "platform/optical_drives.h"

class kyDskReaderModeSPTI : public kyDskReaderModeMmc {
public:
    kyDskReaderModeSPTI() : kyDskReaderModeSPTI(kyOpticalDriveRoots()) {}
    explicit kyDskReaderModeSPTI(const kyOpticalDriveRoots& roots);

    // Index in the virtual-drive list of a local drive, or -1 for a real one.
    int VirtualIndex(uint32_t localNumber) const;

protected:
    std::unique_ptr<kyScsiTransport> OpenTransport(uint32_t localNumber) override;

private:
    std::vector<int> m_virtual;
};
