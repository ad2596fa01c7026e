#pragma once
// A CD source whose only drive is a virtual drive over a disc image, opened, for tests
// that read discs through the SCSI pass-through path.
#include "cd/dsk_reader.h"
#include "cd/virtual_drive.h"
#include <memory>
#include <string>

namespace kytest {

// Replaces every virtual drive by one over `image` with `faults`; real drives are kept out
// by searching `emptyDir` for devices. Null with a message when anything fails. Sleeps of
// the reader are skipped.
std::unique_ptr<kyDskReader> openVirtualReader(std::shared_ptr<kyDiscImage> image,
                                               const std::string& faults,
                                               const std::string& emptyDir, std::string& error);

} // namespace kytest
