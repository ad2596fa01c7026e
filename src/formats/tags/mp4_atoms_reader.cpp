#include "formats/tags/genres.h"
#include "formats/tags/mp4_atoms.h"
#include "formats/tags/mp4_boxes.h"
#include "formats/tags/tag_bytes.h"
#include "formats/tags/tag_fields.h"
#include "formats/tags/tag_text.h"
#include <string_view>

using namespace tags;

namespace {

enum : uint32_t { kImplicit = 0, kUtf8 = 1, kUtf16 = 2, kSignedInt = 21 };

std::string_view keyOf(const kyMp4Box& box) {
    return std::string_view(reinterpret_cast<const char*>(box.type), 4);
}

// The text of a "data" payload (type code, locale, value); false for a type that is not
// text.
bool dataText(const kyMp4Box& data, std::string& text) {
    if (data.size < 8) return false;
    const uint32_t type = getBE32(data.payload) & 0xFFFFFF;
    const uint8_t* v = data.payload + 8;
    const size_t n = data.size - 8;
    if (type == kUtf8 || type == kImplicit)
        text = kyTagUtf8Text(v, n);
    else if (type == kUtf16)
        text = kyTagUtf16Text(v, n, true);
    else if (type == kSignedInt && n >= 1 && n <= 8) {
        int64_t value = static_cast<int8_t>(v[0]);
        for (size_t i = 1; i < n; ++i) value = value * 256 + v[i];
        text = std::to_string(value);
    } else
        return false;
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return true;
}

// The first "data" box of an item.
bool firstData(const kyMp4Box& item, kyMp4Box& data) {
    kyMp4BoxWalker walker(item.payload, item.size);
    while (walker.next(data))
        if (data.is("data")) return true;
    return false;
}

// The text of a full box ("mean", "name").
std::string fullBoxText(const kyMp4Box& box) {
    return box.size > 4 ? kyTagUtf8Text(box.payload + 4, box.size - 4) : std::string();
}

// Sets every slot the table gives `key`.
void setFields(std::span<const kyTagField> table, std::string_view key, bool ignoreCase,
               const std::string& value, kyPropertyTable& props) {
    for (const kyTagField& f : table)
        if (kyFindTagField(std::span(&f, 1), key, ignoreCase)) props.setUtf8(f.slot, value);
}

void parseFreeform(const kyMp4Box& item, kyPropertyTable& props,
                   std::vector<kyMp4Freeform>* others) {
    std::string mean, name, value;
    bool haveValue = false;
    kyMp4BoxWalker walker(item.payload, item.size);
    kyMp4Box child;
    while (walker.next(child)) {
        if (child.is("mean"))
            mean = fullBoxText(child);
        else if (child.is("name"))
            name = fullBoxText(child);
        else if (child.is("data") && !haveValue)
            haveValue = dataText(child, value);
    }
    if (!haveValue || name.empty()) return;
    if (mean == KY_ITUNES_MEAN && kyFindTagField(kyMp4FreeformFields(), name, true)) {
        if (!value.empty()) setFields(kyMp4FreeformFields(), name, true, value, props);
        return;
    }
    if (others) others->push_back({name, value});
}

// "trkn" and "disk": "3" or "3/12".
std::string pairText(const kyMp4Box& data) {
    if (data.size < 8 + 6) return {};
    const uint8_t* v = data.payload + 8;
    const uint32_t number = getBE16(v + 2), total = getBE16(v + 4);
    if (number == 0) return {};
    std::string text = std::to_string(number);
    if (total) text += "/" + std::to_string(total);
    return text;
}

void parseItem(const kyMp4Box& item, kyPropertyTable& props, std::vector<kyMp4Freeform>* others) {
    if (item.is("----")) return parseFreeform(item, props, others);
    kyMp4Box data;
    if (!firstData(item, data)) return;
    if (item.is("trkn") || item.is("disk")) {
        const std::string text = pairText(data);
        if (text.empty()) return;
        if (item.is("disk")) return kySetDiscNumber(props, text);
        return props.setUtf8(KYPROP_TRACK_NUMBER, text);
    }
    if (item.is("gnre")) {
        // The ID3v1 genre number plus one.
        if (data.size >= 10) {
            const uint32_t n = getBE16(data.payload + 8);
            if (const char* name = n ? kyGenreName(n - 1) : nullptr)
                props.setUtf8(KYPROP_GENRE, name);
        }
        return;
    }
    if (!kyFindTagField(kyMp4AtomFields(), keyOf(item))) return;
    std::string text;
    if (dataText(data, text) && !text.empty())
        setFields(kyMp4AtomFields(), keyOf(item), false, text, props);
}

// One QuickTime text atom: entries of length, language and text; the first one counts.
// Some programs put a "data" box there instead, as in the list.
void parseTextAtom(const kyMp4Box& atom, kyPropertyTable& props) {
    const kyTagField* field = kyFindTagField(kyMp4AtomFields(), keyOf(atom));
    if (!field) return;
    std::string text;
    kyMp4Box data;
    if (atom.size >= 16 &&
        std::string_view(reinterpret_cast<const char*>(atom.payload + 4), 4) == "data") {
        if (!firstData(atom, data) || !dataText(data, text)) return;
    } else {
        if (atom.size < 4) return;
        const size_t length = getBE16(atom.payload);
        if (length > atom.size - 4) return;
        text = kyTagUtf8Text(atom.payload + 4, length);
    }
    while (!text.empty() && text.back() == '\0') text.pop_back();
    if (!text.empty()) setFields(kyMp4AtomFields(), keyOf(atom), false, text, props);
}

} // namespace

void kyParseMp4Ilst(const uint8_t* data, size_t size, kyPropertyTable& props,
                    std::vector<kyMp4Freeform>* others) {
    kyMp4BoxWalker walker(data, size);
    kyMp4Box item;
    while (walker.next(item)) parseItem(item, props, others);
}

size_t kyMp4MetaChildrenOffset(const uint8_t* data, size_t size) {
    // A plain box has a child's type where a full box has its first child's size.
    if (size >= 8 && std::string_view(reinterpret_cast<const char*>(data + 4), 4) == "hdlr")
        return 0;
    return size >= 4 ? 4 : size;
}

void kyParseMp4UserData(const uint8_t* data, size_t size, kyPropertyTable& props,
                        std::vector<kyMp4Freeform>* others) {
    const uint8_t* meta = nullptr;
    size_t metaSize = 0;
    kyMp4BoxWalker walker(data, size);
    kyMp4Box box;
    while (walker.next(box)) {
        if (box.is("meta") && !meta) {
            meta = box.payload;
            metaSize = box.size;
        } else if (box.type[0] == 0xA9) {
            parseTextAtom(box, props);
        }
    }
    if (!meta) return;
    const size_t skip = kyMp4MetaChildrenOffset(meta, metaSize);
    kyMp4BoxWalker children(meta + skip, metaSize - skip);
    while (children.next(box))
        if (box.is("ilst")) return kyParseMp4Ilst(box.payload, box.size, props, others);
}
