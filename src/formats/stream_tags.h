#pragma once
// The tags around a bare compressed stream (MPEG audio, ADTS): read into the reader's
// properties, and the range of the file that holds the audio between them.
#include "core/error.h"
#include "core/property_table.h"
#include <cstdint>

kyError kyReadStreamTags(int fd, uint64_t fileSize, kyPropertyTable& props, uint64_t& audioStart,
                         uint64_t& audioEnd);
