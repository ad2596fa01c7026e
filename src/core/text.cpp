#include "core/text.h"
#include <charconv>
#include <cstring>

namespace {
const char16_t kCp1252[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                              0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                              0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                              0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// U+0100..U+017E to their base letters (and the few fixed exceptions).
const unsigned char kLatinExtA[127] = {
    0xC4, 0xE4, 'A', 'a', 'A', 'a', 'C', 'c', 'C', 'c', 'C', 'c', 'C',  'c',  'D', 'd',
    0xD0, 'd',  'E', 'e', 'E', 'e', 'E', 'e', 'E', 'e', 'E', 'e', 'G',  'g',  'G', 'g',
    'G',  'g',  'G', 'g', 'H', 'h', 'H', 'h', 'I', 'i', 'I', 'i', 'I',  'i',  'I', 'i',
    'I',  'i',  'J', 'j', 'J', 'j', 'K', 'k', 'K', 'L', 'l', 'L', 'l',  'L',  'l', 'L',
    'l',  'L',  'l', 'N', 'n', 'N', 'n', 'N', 'n', 'n', 'N', 'n', 0xD6, 0xF6, 'O', 'o',
    0xD5, 0xF5, 'A', 'a', 'R', 'r', 'R', 'r', 'R', 'r', 'S', 's', 'S',  's',  'S', 's',
    'S',  's',  'T', 't', 'T', 't', 'T', 't', 'U', 'u', 'U', 'u', 'U',  'u',  'U', 'u',
    'U',  'u',  'U', 'u', 'W', 'w', 'Y', 'y', 'Y', 'Z', 'z', 'Z', 'z',  'Z',  'z'};

// Decodes one UTF-8 sequence by its lead byte, without further checks.
char32_t decodeUtf8(std::string_view s, size_t& i) {
    const uint8_t b = static_cast<uint8_t>(s[i]);
    int extra = 0;
    char32_t cp;
    if (b < 0x80) {
        cp = b;
    } else if ((b & 0xE0) == 0xC0) {
        cp = b & 0x1F;
        extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
        cp = b & 0x0F;
        extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
        cp = b & 0x07;
        extra = 3;
    } else {
        cp = b;
    }
    ++i;
    for (int k = 0; k < extra && i < s.size(); ++k, ++i)
        cp = (cp << 6) | (static_cast<uint8_t>(s[i]) & 0x3F);
    return cp;
}

char32_t decodeUtf16(std::u16string_view s, size_t& i) {
    char32_t c = s[i++];
    if (c >= 0xD800 && c < 0xDC00 && i < s.size() && s[i] >= 0xDC00 && s[i] < 0xE000)
        c = 0x10000 + ((c - 0xD800) << 10) + (s[i++] - 0xDC00);
    return c;
}

void appendUtf16(std::u16string& out, char32_t cp) {
    if (cp >= 0x10000 && cp <= 0x10FFFF) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(cp > 0xFFFF ? 0xFFFD : cp));
    }
}
} // namespace

char32_t kySingleByteToCodePoint(uint8_t c) {
    if (c >= 0x80 && c <= 0x9F) return kCp1252[c - 0x80];
    return c;
}

char kyCodePointToSingleByte(char32_t c) {
    if (c <= 0xFF) return static_cast<char>(c);
    if (c >= 0x100 && c <= 0x17E) return static_cast<char>(kLatinExtA[c - 0x100]);
    switch (c) {
    case 0x02C6:
        return '^';
    case 0x2018:
    case 0x2019:
    case 0x201A:
        return '\'';
    case 0x201C:
    case 0x201D:
    case 0x201E:
        return '"';
    case 0x2022:
        return '*';
    case 0x2026:
        return '.';
    case 0x2039:
        return '<';
    case 0x203A:
        return '>';
    case 0x20AC:
        return 'E';
    default:
        return '?';
    }
}

void kyAppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | ((cp >> 18) & 0x07)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::u16string kySingleByteToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (char c : text) out.push_back(static_cast<char16_t>(kySingleByteToCodePoint(uint8_t(c))));
    return out;
}

std::string kySingleByteToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) kyAppendUtf8(out, kySingleByteToCodePoint(uint8_t(c)));
    return out;
}

std::string kyUtf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) kyAppendUtf8(out, decodeUtf16(text, i));
    return out;
}

std::u16string kyUtf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) appendUtf16(out, decodeUtf8(text, i));
    return out;
}

std::u32string kyUtf8ToUtf32(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const char32_t cp = decodeUtf8(text, i);
        out.push_back(cp > 0x10FFFF ? 0xFFFD : cp);
    }
    return out;
}

std::string kyUtf16ToSingleByte(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();)
        out.push_back(kyCodePointToSingleByte(decodeUtf16(text, i)));
    return out;
}

std::string kyUtf8ToSingleByte(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();)
        out.push_back(kyCodePointToSingleByte(decodeUtf8(text, i)));
    return out;
}

bool kyIsValidUtf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const uint8_t b = static_cast<uint8_t>(s[i]);
        int extra;
        if (b < 0x80)
            extra = 0;
        else if ((b & 0xE0) == 0xC0)
            extra = 1;
        else if ((b & 0xF0) == 0xE0)
            extra = 2;
        else if ((b & 0xF8) == 0xF0)
            extra = 3;
        else
            return false;
        if (i + extra >= s.size() && extra > 0) return false;
        for (int k = 1; k <= extra; ++k)
            if ((static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) return false;
        i += 1 + extra;
    }
    return true;
}

std::string kyLowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool kyEqualsNoCaseAscii(std::string_view a, std::string_view b) {
    return a.size() == b.size() && kyStartsWithNoCaseAscii(a, b);
}

bool kyStartsWithNoCaseAscii(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char x = text[i], y = prefix[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::string kyUtf8OrSingleByte(std::string_view text) {
    return kyIsValidUtf8(text) ? std::string(text) : kySingleByteToUtf8(text);
}

bool kyIsAscii(std::string_view s) {
    for (char c : s)
        if (static_cast<uint8_t>(c) >= 0x80) return false;
    return true;
}

std::string kyFormatFixed(double value, int decimals) {
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    return r.ec == std::errc() ? std::string(buf, r.ptr) : std::string();
}

namespace {
// Where the number of a property text starts: after blanks and an optional '+'.
const char* leadingNumber(const char* text, const char* end) {
    while (text < end && (*text == ' ' || *text == '\t')) ++text;
    if (text < end && *text == '+') ++text;
    return text;
}
} // namespace

bool kyParseLeadingNumber(const char* text, double& value) {
    if (!text) return false;
    const char* end = text + std::strlen(text);
    return std::from_chars(leadingNumber(text, end), end, value).ec == std::errc();
}

bool kyParseLeadingInteger(const char* text, int& value) {
    if (!text) return false;
    const char* end = text + std::strlen(text);
    return std::from_chars(leadingNumber(text, end), end, value).ec == std::errc();
}
