#include "cd/dsk_reader_mode_spti.h"
#include "cd/virtual_drive.h"

namespace {

constexpr size_t kMaxDrives = 32;
constexpr uint8_t kVirtualHost = 9;

std::string DisplayName(const kyDriveRecord& d, const std::string& vendorProduct) {
    return d.devicePath + " <SPTI " + std::to_string(d.address[0]) + "-" +
           std::to_string(d.address[1]) + "-" + std::to_string(d.address[2]) + "> " + vendorProduct;
}

} // namespace

kyDskReaderModeSPTI::kyDskReaderModeSPTI(const kyOpticalDriveRoots& roots) {
    for (const std::string& path : kyOpticalDevicePaths(roots, m_skipped)) {
        if (m_drives.size() >= kMaxDrives) break;
        std::string reason;
        std::unique_ptr<kySgIoTransport> transport = kySgIoTransport::Open(path, reason);
        if (!transport) {
            m_skipped.push_back({path, reason});
            continue;
        }
        kyDriveRecord d;
        d.devicePath = path;
        if (!kyScsiAddress(transport->Descriptor(), d.address[0], d.address[1], d.address[2])) {
            m_skipped.push_back({path, "not a SCSI device (it has no SCSI address)"});
            continue;
        }
        d.largestTransfer = kyLargestTransfer(transport->Descriptor());
        d.alignmentMask = 3;
        d.vendorProduct = Inquire(*transport);
        d.displayName = DisplayName(d, d.vendorProduct);
        m_drives.push_back(d);
        m_virtual.push_back(-1);
    }
    const uint32_t virtualDrives = kyVirtualDriveCount();
    for (uint32_t i = 0; i < virtualDrives && m_drives.size() < kMaxDrives; ++i) {
        std::unique_ptr<kyScsiTransport> transport = kyOpenVirtualTransport(i, false);
        if (!transport) continue;
        kyDriveRecord d;
        d.devicePath = "virtual" + std::to_string(i);
        d.address[0] = kVirtualHost;
        d.address[1] = uint8_t(i);
        d.largestTransfer = 65536;
        // Stricter than most adapters, so that reads into odd buffers take the bounce buffer.
        d.alignmentMask = 15;
        d.vendorProduct = Inquire(*transport);
        d.displayName = DisplayName(d, d.vendorProduct);
        m_drives.push_back(d);
        m_virtual.push_back(int(i));
    }
    m_result = m_drives.empty() ? KYERR_UNKNOWN : KY_OK;
}

int kyDskReaderModeSPTI::VirtualIndex(uint32_t localNumber) const {
    return localNumber < m_virtual.size() ? m_virtual[localNumber] : -1;
}

std::unique_ptr<kyScsiTransport> kyDskReaderModeSPTI::OpenTransport(uint32_t localNumber) {
    if (localNumber >= m_drives.size()) return nullptr;
    if (m_virtual[localNumber] >= 0)
        return kyOpenVirtualTransport(uint32_t(m_virtual[localNumber]), true);
    std::string reason;
    return kySgIoTransport::Open(m_drives[localNumber].devicePath, reason);
}
