#include "support/virtual_reader.h"
#include "cd/dsk_reader_mode_spti.h"

namespace kytest {

std::unique_ptr<kyDskReader> openVirtualReader(std::shared_ptr<kyDiscImage> image,
                                               const std::string& faults,
                                               const std::string& emptyDir, std::string& error) {
    kyClearVirtualDrives();
    if (kyAddVirtualDrive(std::move(image), faults, error) != 0) return nullptr;
    kyOpticalDriveRoots roots;
    roots.deviceDir = emptyDir;
    roots.cdromInfo = emptyDir + "/no-info";
    kyDskReader::Methods methods;
    methods.passThrough = std::make_unique<kyDskReaderModeSPTI>(roots);
    auto reader = std::make_unique<kyDskReader>(std::move(methods));
    if (reader->ConstructionResult() != KY_OK || reader->DriveCount() != 1) {
        error = "the virtual drive is not the one drive";
        return nullptr;
    }
    reader->SetSleepFunction([](std::chrono::milliseconds) {});
    if (!reader->OpenDrive(0)) {
        error = "the virtual drive does not open";
        return nullptr;
    }
    return reader;
}

} // namespace kytest
