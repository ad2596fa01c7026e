#include "formats/tags/ape_tag.h"
#include "formats/tags/tag_bytes.h"
#include "formats/tags/tag_fields.h"
#include "formats/tags/tag_text.h"
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

using namespace tags;

namespace {

constexpr uint32_t kHasHeader = 0x80000000u;
constexpr uint32_t kItemTypeMask = 0x6, kItemText = 0;
constexpr size_t kMaxKey = 255;

// Values hold several strings separated by NULs; a trailing NUL ends the last.
std::string valueText(const uint8_t* p, size_t n) {
    std::string out;
    size_t start = 0;
    for (size_t i = 0; i <= n; ++i) {
        if (i < n && p[i] != 0) continue;
        const std::string part = kyTagUtf8Text(p + start, i - start);
        if (!part.empty()) {
            if (!out.empty()) out += "; ";
            out += part;
        }
        start = i + 1;
    }
    return out;
}

bool validKey(const uint8_t* p, size_t n) {
    if (n < 2 || n > kMaxKey) return false;
    for (size_t i = 0; i < n; ++i)
        if (p[i] < 0x20 || p[i] > 0x7E) return false;
    return true;
}

} // namespace

bool kyApeTagFooter(const uint8_t* f, size_t size, kyApeTagInfo& info) {
    if (size < KY_APE_FOOTER_SIZE || std::memcmp(f, "APETAGEX", 8) != 0) return false;
    info.version = getLE32(f + 8);
    const uint32_t tagSize = getLE32(f + 12); // items and footer
    info.itemCount = getLE32(f + 16);
    const uint32_t flags = getLE32(f + 20);
    if (tagSize < KY_APE_FOOTER_SIZE) return false;
    // APEv1 has no header, whatever its flags say.
    info.hasHeader = info.version >= 2000 && (flags & kHasHeader);
    const uint64_t whole = uint64_t(tagSize) + (info.hasHeader ? KY_APE_FOOTER_SIZE : 0);
    if (whole > UINT32_MAX) return false;
    info.size = static_cast<uint32_t>(whole);
    return true;
}

bool kyParseApeTag(const uint8_t* data, size_t size, kyPropertyTable& props) {
    kyApeTagInfo info;
    if (size < KY_APE_FOOTER_SIZE ||
        !kyApeTagFooter(data + size - KY_APE_FOOTER_SIZE, KY_APE_FOOTER_SIZE, info))
        return false;
    // The items end at the footer and start where its size says; the header before them, when
    // there is one, is not needed to read them.
    const size_t itemsAndFooter = info.size - (info.hasHeader ? KY_APE_FOOTER_SIZE : 0);
    if (itemsAndFooter > size) return false;
    const uint8_t* p = data + size - itemsAndFooter;
    const uint8_t* end = data + size - KY_APE_FOOTER_SIZE;
    const bool textOnly = info.version >= 2000;
    // Written keys win over the ones only recognised when reading, whatever the order.
    std::array<int, KY_SOURCE_PROPERTY_SLOTS> rank{};
    for (uint32_t i = 0; i < info.itemCount && end - p >= 8; ++i) {
        const uint32_t valueSize = getLE32(p);
        const uint32_t flags = getLE32(p + 4);
        p += 8;
        const void* nul = std::memchr(p, 0, std::min<size_t>(end - p, kMaxKey + 1));
        if (!nul) break;
        const size_t keyLength = static_cast<const uint8_t*>(nul) - p;
        if (!validKey(p, keyLength)) break;
        const std::string key(reinterpret_cast<const char*>(p), keyLength);
        p += keyLength + 1;
        if (valueSize > static_cast<size_t>(end - p)) break; // nothing is read past the tag
        const uint8_t* value = p;
        p += valueSize;
        if (textOnly && (flags & kItemTypeMask) != kItemText) continue;
        const kyTagField* field = kyFindTagField(kyApeTagFields(), key, true);
        if (!field) continue;
        const int r = field->written ? 2 : 1;
        if (r < rank[field->slot]) continue;
        const std::string text = valueText(value, valueSize);
        if (text.empty()) continue;
        rank[field->slot] = r;
        if (field->slot == KYPROP_DISC_NUMBER)
            kySetDiscNumber(props, text);
        else
            props.setUtf8(field->slot, text);
    }
    return true;
}
