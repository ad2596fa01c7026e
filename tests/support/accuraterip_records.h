#pragma once
// AccurateRip checksums of a disc image taken straight from its sectors, for tests that
// build the dBAR records a local server answers with.
#include "cd/accuraterip_tap.h"
#include "cd/virtual_drive.h"
#include "metadata/accuraterip_client.h"

#include <vector>

namespace kytest {

// The checksums of every audio track of `image`, in order.
std::vector<kyAccurateRipSums> imageAccurateRipSums(const kyDiscImage& image);

// A pressing of `image` listing each track's v1 checksum and frame-450 checksum with
// `confidence`.
kyAccurateRipPressing imagePressing(const kyDiscImage& image, uint8_t confidence);

} // namespace kytest
