#pragma once
// The ID3v1 tag: 128 bytes at the very end of an MPEG or AAC stream. Written in the
// ID3v1.1 layout (a track number in the last byte of the comment); read in both layouts.
#include "core/error.h"
#include "core/property_table.h"
#include "platform/file_io.h"
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

constexpr size_t KY_ID3V1_SIZE = 128;

// The tag for `props`, or nothing when none of title, artist, album, year (4 characters or
// more), comment, track number and genre has content.
std::optional<std::array<uint8_t, KY_ID3V1_SIZE>> kyBuildId3v1Tag(kyPropertyTable& props);

// Writes the tag at `offset` (kyCurrentPosition: at the file position). KY_OK,
// KY_NOTHING_DONE when there is nothing to write, or "Couldn't write to file".
kyError WriteId3v1Tag(int fd, uint64_t offset, kyPropertyTable& props);

// Sets the properties a 128-byte tag carries; false when it does not start with "TAG".
bool kyParseId3v1Tag(const uint8_t* tag, size_t size, kyPropertyTable& props);
