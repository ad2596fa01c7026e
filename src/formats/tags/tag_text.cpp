#include "formats/tags/tag_text.h"
#include "core/property_table.h"
#include <algorithm>
#include <climits>

namespace {
int32_t count(size_t n) {
    return static_cast<int32_t>(std::min<size_t>(n, INT32_MAX));
}

std::string utf8Of(kyPropertyTable& scratch) {
    const char* s = scratch.getUtf8(0);
    return s ? s : std::string();
}
} // namespace

std::string kyTagSingleByteText(const uint8_t* p, size_t n) {
    kyPropertyTable scratch(1);
    scratch.setA(0, reinterpret_cast<const char*>(p), count(n));
    return utf8Of(scratch);
}

std::string kyTagUtf16Text(const uint8_t* p, size_t n, bool bigEndian) {
    std::u16string w;
    w.reserve(n / 2);
    for (size_t i = 0; i + 1 < n; i += 2)
        w.push_back(
            static_cast<char16_t>(bigEndian ? (p[i] << 8) | p[i + 1] : p[i] | (p[i + 1] << 8)));
    kyPropertyTable scratch(1);
    scratch.setW(0, w.data(), count(w.size()));
    return utf8Of(scratch);
}

std::string kyTagUtf8Text(const uint8_t* p, size_t n) {
    kyPropertyTable scratch(1);
    scratch.setUtf8(0, reinterpret_cast<const char*>(p), count(n));
    return utf8Of(scratch);
}
