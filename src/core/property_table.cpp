#include "core/property_table.h"
#include "core/text.h"
#include <cstring>

namespace {
size_t lengthOf(const char* text, int32_t len) {
    return len < 0 ? std::strlen(text) : static_cast<size_t>(len);
}
size_t lengthOf(const char16_t* text, int32_t len) {
    if (len >= 0) return static_cast<size_t>(len);
    size_t n = 0;
    while (text[n]) ++n;
    return n;
}

struct SlotName {
    uint32_t slot;
    const char* name;
};
const SlotName kSlotNames[] = {
    {0, "file_name"},
    {1, "format"},
    {2, "subformat"},
    {3, "title"},
    {4, "subtitle"},
    {5, "artist"},
    {6, "composer"},
    {7, "performer"},
    {8, "conductor"},
    {9, "publisher"},
    {10, "engineer"},
    {11, "album"},
    {12, "track_number"},
    {13, "genre"},
    {14, "year"},
    {15, "comment"},
    {16, "copyright"},
    {17, "url"},
    {18, "loop_start"},
    {19, "loop_end"},
    {20, "loop_mode"},
    {21, "midi_note"},
    {22, "fine_tune_cents"},
    {23, "replaygain_track_gain"},
    {24, "replaygain_album_gain"},
    {25, "loudness"},
    {27, "replaygain_track_peak"},
    {28, "isrc"},
    {30, "time_reference"},
};
} // namespace

std::string kyPropertyName(uint32_t slot) {
    for (const SlotName& n : kSlotNames)
        if (n.slot == slot) return n.name;
    return "property_" + std::to_string(slot);
}

void kyPropertyTable::clear(uint32_t slot) {
    if (slot < m_slots.size()) m_slots[slot] = Slot{};
}

void kyPropertyTable::clearAll() {
    for (auto& s : m_slots) s = Slot{};
}

void kyPropertyTable::setA(uint32_t slot, const char* text, int32_t len) {
    if (slot >= m_slots.size()) return;
    m_slots[slot] = Slot{};
    if (!text) return;
    std::string_view v(text, lengthOf(text, len));
    if (auto nul = v.find('\0'); nul != v.npos) v = v.substr(0, nul);
    size_t b = 0, e = v.size();
    while (b < e && static_cast<uint8_t>(v[b]) <= 32) ++b;
    while (e > b && static_cast<uint8_t>(v[e - 1]) <= 32) --e;
    if (b == e) return;
    m_slots[slot].a = std::string(v.substr(b, e - b));
}

void kyPropertyTable::setUtf8(uint32_t slot, const char* text, int32_t len) {
    if (slot >= m_slots.size()) return;
    m_slots[slot] = Slot{};
    if (!text) return;
    const size_t n = lengthOf(text, len);
    if (n >= 2) {
        const uint16_t word = static_cast<uint8_t>(text[0]) | (static_cast<uint8_t>(text[1]) << 8);
        if (word == 0xFEFF || word == 0xFFFE) {
            // UTF-16 handed over as bytes: copy out, since the bytes may be misaligned.
            std::u16string w(n / 2, u'\0');
            std::memcpy(w.data(), text, (n / 2) * 2);
            setW(slot, w.data(), static_cast<int32_t>(w.size()));
            return;
        }
    }
    std::string_view v(text, n);
    if (auto nul = v.find('\0'); nul != v.npos) v = v.substr(0, nul);
    if (!kyIsValidUtf8(v)) {
        setA(slot, v.data(), static_cast<int32_t>(v.size()));
        return;
    }
    if (v.empty()) return;
    m_slots[slot].utf8 = std::string(v);
    if (kyIsAscii(v)) m_slots[slot].a = std::string(v);
}

void kyPropertyTable::setW(uint32_t slot, const char16_t* text, int32_t len) {
    if (slot >= m_slots.size()) return;
    m_slots[slot] = Slot{};
    if (!text) return;
    std::u16string_view v(text, lengthOf(text, len));
    bool swap = false;
    if (!v.empty() && (v[0] == 0xFEFF || v[0] == 0xFFFE)) {
        swap = v[0] == 0xFFFE;
        v.remove_prefix(1);
    }
    std::u16string w;
    w.reserve(v.size());
    for (char16_t c : v) {
        if (swap) c = static_cast<char16_t>((c >> 8) | (c << 8));
        if (c == 0) break;
        w.push_back(c);
    }
    if (w.empty()) return;
    m_slots[slot].w = std::move(w);
}

const char* kyPropertyTable::getA(uint32_t slot) {
    if (slot >= m_slots.size()) return nullptr;
    Slot& s = m_slots[slot];
    if (s.empty()) return nullptr;
    if (!s.a) s.a = s.w ? kyUtf16ToSingleByte(*s.w) : kyUtf8ToSingleByte(*s.utf8);
    return s.a->c_str();
}

const char* kyPropertyTable::getUtf8(uint32_t slot) {
    if (slot >= m_slots.size()) return nullptr;
    Slot& s = m_slots[slot];
    if (s.empty()) return nullptr;
    if (!s.utf8) s.utf8 = s.w ? kyUtf16ToUtf8(*s.w) : kySingleByteToUtf8(*s.a);
    return s.utf8->c_str();
}

const char16_t* kyPropertyTable::getW(uint32_t slot) {
    if (slot >= m_slots.size()) return nullptr;
    Slot& s = m_slots[slot];
    if (s.empty()) return nullptr;
    if (!s.w) s.w = s.utf8 ? kyUtf8ToUtf16(*s.utf8) : kySingleByteToUtf16(*s.a);
    return s.w->c_str();
}

uint32_t kyPropertyTable::length(uint32_t slot) {
    const char16_t* w = getW(slot);
    return w ? static_cast<uint32_t>(m_slots[slot].w->size()) : 0;
}
