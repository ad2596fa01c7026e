#include "cd/dsk_reader_mode_cdrr.h"
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <linux/cdrom.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr size_t kMaxDrives = 32;
constexpr uint32_t kLargestTransfer = 65536;

// "VENDOR PRODUCT" of a SCSI-attached node as the kernel shows it, or empty.
std::string SysfsName(const std::string& path) {
    const std::string node = path.substr(path.rfind('/') + 1);
    std::string name;
    for (const char* field : {"vendor", "model"}) {
        const int fd =
            ::open(("/sys/block/" + node + "/device/" + field).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return {};
        char buf[64];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        ::close(fd);
        std::string text(buf, n > 0 ? size_t(n) : 0);
        for (char& c : text)
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
                c = ' ';
        while (!text.empty() && text.back() == ' ') text.pop_back();
        if (!name.empty()) name += ' ';
        name += text;
    }
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return name;
}

int OpenDrive(const std::string& path) {
    // O_NONBLOCK: the cdrom driver would otherwise refuse a drive without a disc.
    return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

int Ioctl(int fd, unsigned long request, unsigned long arg) {
    int rc;
    do {
        rc = ::ioctl(fd, request, arg);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

} // namespace

kyDskReaderModeCDRR::kyDskReaderModeCDRR(const kyOpticalDriveRoots& roots) {
    for (const std::string& path : kyOpticalDevicePaths(roots, m_skipped)) {
        if (m_drives.size() >= kMaxDrives) break;
        const int fd = OpenDrive(path);
        if (fd < 0) {
            m_skipped.push_back({path, std::strerror(errno)});
            continue;
        }
        const bool isCdrom = Ioctl(fd, CDROM_GET_CAPABILITY, 0) >= 0;
        ::close(fd);
        if (!isCdrom) {
            m_skipped.push_back({path, "not a CD-ROM drive"});
            continue;
        }
        kyDriveRecord d;
        d.devicePath = path;
        d.displayName = path + " <Raw-Read>";
        d.vendorProduct = SysfsName(path);
        d.largestTransfer = kLargestTransfer;
        m_drives.push_back(d);
    }
    m_result = m_drives.empty() ? KYERR_UNKNOWN : KY_OK;
}

kyDskReaderModeCDRR::~kyDskReaderModeCDRR() {
    Close();
}

const kyDriveRecord* kyDskReaderModeCDRR::DriveRecord(uint32_t localNumber) {
    return localNumber < m_drives.size() ? &m_drives[localNumber] : nullptr;
}

bool kyDskReaderModeCDRR::Open(uint32_t localNumber, uint8_t* plainToc, bool& fullTocValid,
                               uint8_t* fullToc, uint32_t& largestTransfer, uint32_t& maxSpeed) {
    Close();
    fullTocValid = false;
    maxSpeed = 0;
    if (localNumber >= m_drives.size() || !plainToc) return false;
    m_fd = OpenDrive(m_drives[localNumber].devicePath);
    if (m_fd < 0) return false;
    // The driver's header and entries, laid out as a READ TOC format 0 answer in LBA.
    cdrom_tochdr header{};
    // Without a readable disc the drive stays attached for its tray and ready test.
    if (Ioctl(m_fd, CDROMREADTOCHDR, reinterpret_cast<unsigned long>(&header)) < 0 ||
        header.cdth_trk0 < 1 || header.cdth_trk1 > 99 || header.cdth_trk0 > header.cdth_trk1)
        return false;
    std::memset(plainToc, 0, KY_PLAIN_TOC_BYTES);
    const uint32_t descriptors = header.cdth_trk1 - header.cdth_trk0 + 2;
    const uint32_t length = 2 + 8 * descriptors;
    plainToc[0] = uint8_t(length >> 8);
    plainToc[1] = uint8_t(length);
    plainToc[2] = header.cdth_trk0;
    plainToc[3] = header.cdth_trk1;
    for (uint32_t i = 0; i < descriptors; ++i) {
        cdrom_tocentry entry{};
        entry.cdte_track = i + 1 < descriptors ? uint8_t(header.cdth_trk0 + i) : CDROM_LEADOUT;
        entry.cdte_format = CDROM_LBA;
        if (Ioctl(m_fd, CDROMREADTOCENTRY, reinterpret_cast<unsigned long>(&entry)) < 0) {
            Close();
            return false;
        }
        uint8_t* d = plainToc + 4 + 8 * i;
        const uint32_t lba = uint32_t(entry.cdte_addr.lba);
        d[1] = uint8_t((entry.cdte_adr << 4) | (entry.cdte_ctrl & 0x0F));
        d[2] = entry.cdte_track;
        d[4] = uint8_t(lba >> 24);
        d[5] = uint8_t(lba >> 16);
        d[6] = uint8_t(lba >> 8);
        d[7] = uint8_t(lba);
    }
    if (fullToc) std::memset(fullToc, 0, KY_FULL_TOC_BYTES);
    largestTransfer = kLargestTransfer;
    return true;
}

void kyDskReaderModeCDRR::Close() {
    if (m_fd < 0) return;
    Ioctl(m_fd, CDROM_LOCKDOOR, 0);
    ::close(m_fd);
    m_fd = -1;
}

kyError kyDskReaderModeCDRR::ReadAudio(void* buffer, uint32_t firstLba, uint32_t sectors) {
    if (m_fd < 0) return KYERR_OPEN_FILE;
    if (!buffer) return sectors ? KYERR_INVALID_PARAMETER : KY_OK;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    while (sectors) {
        const uint32_t n = std::min(sectors, kLargestTransfer / KY_SECTOR_BYTES);
        cdrom_read_audio request{};
        request.addr.lba = int(firstLba);
        request.addr_format = CDROM_LBA;
        request.nframes = int(n);
        request.buf = out;
        if (Ioctl(m_fd, CDROMREADAUDIO, reinterpret_cast<unsigned long>(&request)) < 0)
            return KYERR_READ_FILE;
        out += size_t(n) * KY_SECTOR_BYTES;
        firstLba += n;
        sectors -= n;
    }
    return KY_OK;
}

bool kyDskReaderModeCDRR::LockMedium(bool lock) {
    return m_fd >= 0 && Ioctl(m_fd, CDROM_LOCKDOOR, lock ? 1 : 0) >= 0;
}

bool kyDskReaderModeCDRR::StopAudio() {
    return m_fd >= 0 && Ioctl(m_fd, CDROMSTOP, 0) >= 0;
}

bool kyDskReaderModeCDRR::SetReadSpeed(uint8_t) {
    return m_fd >= 0;
}

bool kyDskReaderModeCDRR::IsReady() {
    return m_fd >= 0 && Ioctl(m_fd, CDROM_DRIVE_STATUS, CDSL_CURRENT) == CDS_DISC_OK;
}

bool kyDskReaderModeCDRR::EjectOrLoad(bool load) {
    return m_fd >= 0 && Ioctl(m_fd, load ? CDROMCLOSETRAY : CDROMEJECT, 0) >= 0;
}

std::optional<std::string> kyDskReaderModeCDRR::MediaCatalogNumber() {
    cdrom_mcn mcn{};
    if (m_fd < 0 || Ioctl(m_fd, CDROM_GET_MCN, reinterpret_cast<unsigned long>(&mcn)) < 0)
        return std::nullopt;
    std::string text;
    for (size_t i = 0; i < 13; ++i) {
        const uint8_t c = mcn.medium_catalog_number[i];
        if (c < '0' || c > '9') break;
        text += char(c);
    }
    // Drives without a catalogue number answer with nothing or with zeros.
    if (text.size() != 13 || text == "0000000000000") return std::nullopt;
    return text;
}

std::optional<std::string> kyDskReaderModeCDRR::Isrc(uint32_t) {
    return std::nullopt;
}
