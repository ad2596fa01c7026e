#include "core/text.h"
#include "formats/tags/mp4_atoms.h"
#include "formats/tags/tag_bytes.h"
#include "formats/tags/tag_fields.h"
#include <cstring>
#include <string_view>

using namespace tags;

namespace {

// A field longer than this is not metadata a player shows; it is left out rather than
// making a box of unbounded size.
constexpr size_t kMaxValue = 1u << 24;
// The language code of the text atoms: ISO 639-2 "und" packed in three 5-bit letters. A
// packed code (0x400 and up) tells readers that the text is UTF-8.
constexpr uint32_t kUndetermined = 0x55C4;

enum : uint32_t { kImplicit = 0, kUtf8 = 1, kJpeg = 13, kPng = 14 };

// Size, type, then the payload.
void appendBox(std::vector<uint8_t>& out, std::string_view type,
               const std::vector<uint8_t>& payload) {
    appendBE32(out, static_cast<uint32_t>(8 + payload.size()));
    appendText(out, type.substr(0, 4));
    out.insert(out.end(), payload.begin(), payload.end());
}

// A "data" box: type code, locale 0, the value.
std::vector<uint8_t> dataBox(uint32_t typeCode, std::string_view value) {
    std::vector<uint8_t> payload;
    appendBE32(payload, typeCode);
    appendBE32(payload, 0);
    appendText(payload, value);
    std::vector<uint8_t> box;
    appendBox(box, "data", payload);
    return box;
}

// A full box (version 0, flags 0) holding a text: the "mean" and "name" of freeform items.
std::vector<uint8_t> fullTextBox(std::string_view type, std::string_view text) {
    std::vector<uint8_t> payload;
    appendBE32(payload, 0);
    appendText(payload, text);
    std::vector<uint8_t> box;
    appendBox(box, type, payload);
    return box;
}

void appendFreeform(std::vector<uint8_t>& ilst, std::string_view name, std::string_view value) {
    std::vector<uint8_t> item = fullTextBox("mean", KY_ITUNES_MEAN);
    std::vector<uint8_t> n = fullTextBox("name", name);
    item.insert(item.end(), n.begin(), n.end());
    std::vector<uint8_t> d = dataBox(kUtf8, value);
    item.insert(item.end(), d.begin(), d.end());
    appendBox(ilst, "----", item);
}

// "3" or "3/12": the number and the total (0 when absent); false when there is no number.
bool parseTrack(const char* text, uint32_t& number, uint32_t& total) {
    auto digits = [](const char*& p, uint32_t& v) {
        while (*p == ' ') ++p;
        if (*p < '0' || *p > '9') return false;
        v = 0;
        for (; *p >= '0' && *p <= '9'; ++p)
            if (v <= 0xFFFF) v = v * 10 + static_cast<uint32_t>(*p - '0');
        return true;
    };
    const char* p = text;
    total = 0;
    if (!p || !digits(p, number) || number == 0 || number > 0xFFFF) return false;
    while (*p == ' ') ++p;
    if (*p == '/') {
        ++p;
        if (!digits(p, total) || total > 0xFFFF) total = 0;
    }
    return true;
}

// "trkn" and "disk": the number and total as 16-bit words after a reserved one; "trkn"
// has a reserved word after them too.
void appendPair(std::vector<uint8_t>& ilst, const char* type, const std::string& text,
                size_t size) {
    uint32_t number = 0, total = 0;
    if (!parseTrack(text.c_str(), number, total)) return;
    char value[8] = {};
    value[2] = static_cast<char>(number >> 8);
    value[3] = static_cast<char>(number);
    value[4] = static_cast<char>(total >> 8);
    value[5] = static_cast<char>(total);
    appendBox(ilst, type, dataBox(kImplicit, std::string_view(value, size)));
}

} // namespace

std::vector<uint8_t> kyBuildMp4MetaBox(kyPropertyTable& props,
                                       std::span<const kyMp4Freeform> extra) {
    std::vector<uint8_t> ilst;
    const std::span<const kyTagField> atoms = kyMp4AtomFields();
    for (size_t i = 0; i < atoms.size(); ++i) {
        const char* value = kyTagFieldText(atoms, i, props);
        if (!value) continue;
        const size_t length = std::strlen(value);
        if (length > kMaxValue) continue;
        appendBox(ilst, std::string_view(atoms[i].key, 4),
                  dataBox(kUtf8, std::string_view(value, length)));
    }
    const char* track = props.getUtf8(KYPROP_TRACK_NUMBER);
    appendPair(ilst, "trkn", track ? track : "", 8);
    appendPair(ilst, "disk", kyDiscNumberText(props), 6);
    const std::span<const kyTagField> freeform = kyMp4FreeformFields();
    for (size_t i = 0; i < freeform.size(); ++i) {
        const char* value = kyTagFieldText(freeform, i, props);
        if (!value || std::strlen(value) > kMaxValue) continue;
        appendFreeform(ilst, freeform[i].key, value);
    }
    kyTagPicture picture;
    if (kyReadTagPicture(props, picture)) {
        std::vector<uint8_t> data;
        appendBE32(data, picture.mimeType == std::string_view("image/png") ? kPng : kJpeg);
        appendBE32(data, 0);
        data.insert(data.end(), picture.bytes.begin(), picture.bytes.end());
        std::vector<uint8_t> box;
        appendBox(box, "data", data);
        appendBox(ilst, "covr", box);
    }
    for (const kyMp4Freeform& item : extra)
        if (!item.value.empty() && item.value.size() <= kMaxValue)
            appendFreeform(ilst, item.name, item.value);

    // "hdlr": version and flags, pre-defined 0, handler "mdir", manufacturer "appl", two
    // reserved words, an empty name.
    std::vector<uint8_t> hdlr(25, 0);
    std::memcpy(&hdlr[8], "mdir", 4);
    std::memcpy(&hdlr[12], "appl", 4);
    std::vector<uint8_t> meta;
    appendBE32(meta, 0); // version 0, flags 0
    appendBox(meta, "hdlr", hdlr);
    appendBox(meta, "ilst", ilst);
    std::vector<uint8_t> box;
    appendBox(box, "meta", meta);
    return box;
}

std::vector<uint8_t> kyBuildQuickTimeTextAtoms(kyPropertyTable& props) {
    std::vector<uint8_t> out;
    const std::span<const kyTagField> atoms = kyMp4AtomFields();
    for (size_t i = 0; i < atoms.size(); ++i) {
        const kyTagField& field = atoms[i];
        // Only the types beginning with the copyright sign are text atoms.
        if (static_cast<uint8_t>(field.key[0]) != 0xA9) continue;
        const char* value = kyTagFieldText(atoms, i, props);
        if (!value) continue;
        // The length is 16 bits: a longer text is cut at a character boundary.
        size_t length = std::strlen(value);
        if (length > 0xFFFF) {
            length = 0xFFFF;
            while (length > 0 && (static_cast<uint8_t>(value[length]) & 0xC0) == 0x80) --length;
        }
        std::vector<uint8_t> payload;
        appendBE16(payload, static_cast<uint32_t>(length));
        appendBE16(payload, kUndetermined);
        appendText(payload, std::string_view(value, length));
        appendBox(out, std::string_view(field.key, 4), payload);
    }
    return out;
}
