#pragma once
// The APE tag (APEv2, version 2000; APEv1 read too): a header, UTF-8 items and a footer,
// appended to Monkey's Audio, WavPack and Musepack files and optionally to MPEG streams.
#include "core/error.h"
#include "core/property_table.h"
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t KY_APE_FOOTER_SIZE = 32;
// The binary item of the front cover ("cover.jpg", a NUL, the image).
inline constexpr const char* KY_APE_FRONT_COVER = "Cover Art (Front)";

// The whole tag for `props`, items in the item table's order and the front cover of slot
// 47 last, or nothing when no item has content (or the tag would outgrow its 32-bit size).
// `withoutReplayGain` leaves out the peak and gain items. May throw std::bad_alloc.
std::vector<uint8_t> kyBuildApeTag(kyPropertyTable& props, bool withoutReplayGain = false);

// Appends the tag at the end of the file. KY_OK with `written` set to its size,
// KY_NOTHING_DONE when no item has content, "Couldn't write to file", "Out of memory".
kyError WriteApeTag(int fd, kyPropertyTable& props, bool withoutReplayGain = false,
                    uint64_t* written = nullptr);

// What a footer (or a header) says about its tag.
struct kyApeTagInfo {
    uint32_t version = 0; // 1000 or 2000
    uint32_t size = 0;    // the whole block: header (when present), items and footer
    uint32_t itemCount = 0;
    bool hasHeader = false;
};
// Reads the 32 bytes of a footer; false when they are not one.
bool kyApeTagFooter(const uint8_t* footer, size_t size, kyApeTagInfo& info);

// Parses a tag that ends with its footer (the header before the items may be missing) and
// sets the properties its text items carry; false when the block is not an APE tag.
bool kyParseApeTag(const uint8_t* data, size_t size, kyPropertyTable& props);
