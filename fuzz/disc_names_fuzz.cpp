// Disc names given as JSON (--names FILE): parsed and put into a disc record.
#include "metadata/disc_names.h"
#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    kyDiscNames names;
    std::string error;
    kyLooksLikeXmcd(text);
    if (!kyParseDiscNamesJson(text, names, error)) return 0;
    DiscInfo disc;
    for (int32_t n = 1; n <= 12; ++n) {
        TrackEntry row;
        row.number = n;
        disc.appendRow(row);
    }
    names.applyTo(disc, error);
    return 0;
}
