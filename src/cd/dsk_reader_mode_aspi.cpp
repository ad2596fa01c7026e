#include "cd/dsk_reader_mode_aspi.h"
#include "platform/cdio_library.h"

namespace {

constexpr size_t kMaxDrives = 32;

std::unique_ptr<kyCdioTransport> OpenDevice(const kyCdioLibrary* lib, const std::string& path) {
    CdIo_t* cdio = lib->open(path.c_str(), DRIVER_DEVICE);
    return cdio ? std::make_unique<kyCdioTransport>(lib, cdio) : nullptr;
}

} // namespace

kyDskReaderModeASPI::kyDskReaderModeASPI() {
    const kyCdioLibrary* lib = kyCdioLibrary::Get();
    if (!lib) {
        m_result = KYERR_MISSING_COMPONENT;
        return;
    }
    char** devices = lib->getDevices(DRIVER_DEVICE);
    // libcdio has no host adapters; each device it lists counts as one.
    for (uint32_t adapter = 0; devices && devices[adapter] && m_drives.size() < kMaxDrives;
         ++adapter) {
        const std::string path = devices[adapter];
        std::unique_ptr<kyCdioTransport> transport = OpenDevice(lib, path);
        if (!transport) {
            m_skipped.push_back({path, "libcdio cannot open the device"});
            continue;
        }
        uint8_t type = 0xFF;
        const std::string name = Inquire(*transport, &type);
        if ((type & 0x15) != 5) {
            m_skipped.push_back({path, "no answer to INQUIRY as a CD drive"});
            continue;
        }
        kyDriveRecord d;
        d.devicePath = path;
        d.address[0] = uint8_t(adapter);
        d.largestTransfer = 65536;
        d.alignmentMask = 3;
        d.vendorProduct = name;
        d.displayName = " . : <ASPI " + std::to_string(adapter) + "-0-0> " + name;
        m_drives.push_back(d);
    }
    if (devices) lib->freeDeviceList(devices);
    m_result = m_drives.empty() ? KYERR_UNKNOWN : KY_OK;
}

std::unique_ptr<kyScsiTransport> kyDskReaderModeASPI::OpenTransport(uint32_t localNumber) {
    const kyCdioLibrary* lib = kyCdioLibrary::Get();
    if (!lib || localNumber >= m_drives.size()) return nullptr;
    return OpenDevice(lib, m_drives[localNumber].devicePath);
}
