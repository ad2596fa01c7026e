// Reading a whole generated disc through the pass-through method and the virtual drive,
// beside cd-paranoia reading the same CUE/BIN image without its paranoia checks.
//   virtual_drive_bench [minutes]   (default 74: a full disc, about 780 MB in $TMPDIR)
#include "cd/dsk_reader_mode_spti.h"
#include "cd/virtual_drive.h"
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

} // namespace

int main(int argc, char** argv) {
    const uint32_t minutes = argc > 1 ? uint32_t(std::atoi(argv[1])) : 74;
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/kybenchXXXXXX";
    if (!mkdtemp(dir.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string error;
    auto start = std::chrono::steady_clock::now();
    const std::string cue = kyWriteTestImage(dir, minutes, error);
    if (cue.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::filesystem::remove_all(dir);
        return 1;
    }
    const double audioSeconds = minutes * 60.0;
    std::printf("test image: %u min written in %.2f s (%.1f x realtime)\n", minutes, Seconds(start),
                audioSeconds / Seconds(start));

    std::shared_ptr<kyDiscImage> image = kyDiscImage::LoadCue(cue, error);
    if (!image || kyAddVirtualDrive(image, "", error) < 0) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::filesystem::remove_all(dir);
        return 1;
    }
    kyDskReaderModeSPTI spti;
    const uint32_t drive = spti.DriveCount() - 1;
    uint8_t plain[KY_PLAIN_TOC_BYTES], full[KY_FULL_TOC_BYTES];
    bool fullValid;
    uint32_t largest = 0, speed = 0;
    if (!spti.Open(drive, plain, fullValid, full, largest, speed)) {
        std::fprintf(stderr, "cannot open the virtual drive\n");
        std::filesystem::remove_all(dir);
        return 1;
    }
    const uint32_t perRead = largest / KY_SECTOR_BYTES;
    std::vector<uint8_t> buffer(size_t(perRead) * KY_SECTOR_BYTES);
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        start = std::chrono::steady_clock::now();
        uint64_t check = 0;
        for (uint32_t lba = 0; lba < image->LeadOut(); lba += perRead) {
            const uint32_t n = std::min(perRead, image->LeadOut() - lba);
            if (spti.ReadAudio(buffer.data(), lba, n) != KY_OK) {
                std::fprintf(stderr, "read failed at %u\n", lba);
                break;
            }
            check += buffer[0];
        }
        best = std::min(best, Seconds(start));
        if (check == 1) std::printf(" ");
    }
    std::printf("DskR SPTI -> virtual drive, %u sectors per READ CD: %.2f s, %.0f x realtime, "
                "%.0f MB/s (best of 3)\n",
                perRead, best, audioSeconds / best,
                image->LeadOut() * double(KY_SECTOR_BYTES) / best / 1e6);
    spti.Close();
    kyClearVirtualDrives();

    if (std::system("command -v cd-paranoia > /dev/null 2>&1") == 0) {
        const std::string command =
            "cd-paranoia -Z -p -d '" + cue + "' -- 1- - > /dev/null 2> /dev/null";
        double peer = 1e9;
        for (int run = 0; run < 3; ++run) {
            start = std::chrono::steady_clock::now();
            if (std::system(command.c_str()) != 0) {
                std::printf("cd-paranoia failed\n");
                break;
            }
            peer = std::min(peer, Seconds(start));
        }
        if (peer < 1e9)
            std::printf(
                "cd-paranoia -Z (libcdio reading the CUE/BIN image): %.2f s, %.0f x realtime "
                "(best of 3)\n",
                peer, audioSeconds / peer);
    } else {
        std::printf("cd-paranoia is not installed: no peer figure\n");
    }
    std::filesystem::remove_all(dir);
    return 0;
}
