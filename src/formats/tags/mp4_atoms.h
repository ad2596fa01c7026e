#pragma once
// Metadata of QuickTime and MPEG-4 files, in the two forms players read:
//  - the iTunes metadata list, "udta/meta/ilst": one atom per field holding a "data" box
//    (a type code, a locale, the value), and freeform "----" atoms named by their "mean"
//    and "name" boxes (ReplayGain, ISRC, the encoder's gapless information);
//  - QuickTime user-data text atoms in "udta": length, language code, UTF-8 text.
// Both take their fields from the MPEG-4 atom table of tag_fields.h.
#include "core/property_table.h"
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// The mean of every freeform item this program writes.
constexpr const char* KY_ITUNES_MEAN = "com.apple.iTunes";

struct kyMp4Freeform {
    std::string name;
    std::string value;
};

// The "meta" box (version 0, its "hdlr" naming the "mdir" handler, then "ilst") for the
// properties, followed by the freeform items in `extra` (written under KY_ITUNES_MEAN).
// Empty fields are left out; "trkn" comes from the track number ("3" or "3/12"). May
// throw std::bad_alloc.
std::vector<uint8_t> kyBuildMp4MetaBox(kyPropertyTable& props,
                                       std::span<const kyMp4Freeform> extra = {});

// The QuickTime text atoms for the properties, one box per non-empty field, laid end to
// end (the children of "udta"). May throw std::bad_alloc.
std::vector<uint8_t> kyBuildQuickTimeTextAtoms(kyPropertyTable& props);

// Reads the items of an "ilst" payload into the properties. Freeform items the table does
// not know (such as "iTunSMPB") are handed back in `others` when it is given.
void kyParseMp4Ilst(const uint8_t* data, size_t size, kyPropertyTable& props,
                    std::vector<kyMp4Freeform>* others = nullptr);

// Reads the children of a "udta" payload: QuickTime text atoms, and a "meta" box with its
// "ilst" (list items win over text atoms for the same field).
void kyParseMp4UserData(const uint8_t* data, size_t size, kyPropertyTable& props,
                        std::vector<kyMp4Freeform>* others = nullptr);

// The payload of a "meta" box: a full box in MPEG-4 files, a plain one in some QuickTime
// files. Returns the offset of its first child (0 or 4).
size_t kyMp4MetaChildrenOffset(const uint8_t* data, size_t size);
