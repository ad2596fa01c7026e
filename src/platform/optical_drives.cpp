#include "platform/optical_drives.h"
#include <fstream>
#include <linux/fs.h>
#include <scsi/scsi.h>
#include <scsi/scsi_ioctl.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>

namespace {

constexpr uint32_t kMaxDrives = 32;

// Drive numbers the kernel's cdrom driver knows ("drive name:  sr1  sr0").
std::vector<uint32_t> KernelDrives(const std::string& info) {
    std::vector<uint32_t> numbers;
    std::ifstream in(info);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("drive name:", 0) != 0) continue;
        std::istringstream words(line.substr(11));
        std::string name;
        while (words >> name) {
            if (name.size() < 3 || name.size() > 4 || name.compare(0, 2, "sr") != 0) continue;
            uint32_t n = 0;
            bool digits = true;
            for (size_t i = 2; i < name.size(); ++i) {
                digits = digits && name[i] >= '0' && name[i] <= '9';
                n = n * 10 + uint32_t(name[i] - '0');
            }
            if (digits && n < kMaxDrives) numbers.push_back(n);
        }
    }
    return numbers;
}

} // namespace

std::vector<std::string> kyOpticalDevicePaths(const kyOpticalDriveRoots& roots,
                                              std::vector<kySkippedDevice>& skipped) {
    const std::vector<uint32_t> known = KernelDrives(roots.cdromInfo);
    std::vector<std::string> paths;
    for (uint32_t n = 0; n < kMaxDrives; ++n) {
        const std::string path = roots.deviceDir + "/sr" + std::to_string(n);
        struct stat st;
        if (::stat(path.c_str(), &st) == 0) {
            paths.push_back(path);
            continue;
        }
        for (uint32_t k : known)
            if (k == n) {
                skipped.push_back(
                    {path, "the kernel lists the drive but its device node is missing"});
                break;
            }
    }
    return paths;
}

bool kyScsiAddress(int fd, uint8_t& host, uint8_t& target, uint8_t& lun) {
    struct {
        int fourInOne;
        int hostUniqueId;
    } idlun = {0, 0};
    if (::ioctl(fd, SCSI_IOCTL_GET_IDLUN, &idlun) != 0) return false;
    // id | lun << 8 | channel << 16 | host << 24
    target = uint8_t(idlun.fourInOne & 0xFF);
    lun = uint8_t((idlun.fourInOne >> 8) & 0xFF);
    host = uint8_t((idlun.fourInOne >> 24) & 0xFF);
    return true;
}

uint32_t kyLargestTransfer(int fd) {
    unsigned short sectors = 0; // of 512 bytes
    if (::ioctl(fd, BLKSECTGET, &sectors) != 0 || sectors == 0) return 65536;
    const uint32_t bytes = uint32_t(sectors) * 512;
    return bytes < 65536 ? bytes : 65536;
}
