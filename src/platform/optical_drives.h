#pragma once
// Finding the optical drive nodes of this machine: /dev/sr0 ... /dev/sr31, cross-checked
// with the kernel's list in /proc/sys/dev/cdrom/info.
#include "cd/dsk_reader_mode.h"
#include <string>
#include <vector>

// Where to look; tests point these at a directory of their own.
struct kyOpticalDriveRoots {
    std::string deviceDir = "/dev";
    std::string cdromInfo = "/proc/sys/dev/cdrom/info";
};

// Device paths that exist, in drive-number order. Drives the kernel lists but whose node
// is missing are added to `skipped` with the reason. No drives is not an error.
std::vector<std::string> kyOpticalDevicePaths(const kyOpticalDriveRoots& roots,
                                              std::vector<kySkippedDevice>& skipped);

// Host, channel, target and LUN of an open SCSI device node; false when it is not one.
bool kyScsiAddress(int fd, uint8_t& host, uint8_t& target, uint8_t& lun);
// Largest transfer in bytes the device's queue takes, capped at 65536; 65536 when unknown.
uint32_t kyLargestTransfer(int fd);
