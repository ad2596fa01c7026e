#pragma once
// Text conversions between UTF-8, UTF-16 and the single-byte code page (Windows-1252).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Code point of a single-byte character: 0x80-0x9F through the Windows-1252 table.
char32_t kySingleByteToCodePoint(uint8_t c);
// Single-byte character for a code point, with the transliterations of Latin Extended-A
// and common punctuation; '?' for anything else.
char kyCodePointToSingleByte(char32_t c);

std::u16string kySingleByteToUtf16(std::string_view text);
std::string kySingleByteToUtf8(std::string_view text);
std::string kyUtf16ToUtf8(std::u16string_view text);
std::u16string kyUtf8ToUtf16(std::string_view text);
std::u32string kyUtf8ToUtf32(std::string_view text);
std::string kyUtf16ToSingleByte(std::u16string_view text);
std::string kyUtf8ToSingleByte(std::string_view text);

// Well-formed by lead and continuation bytes, every sequence ending inside `text`.
bool kyIsValidUtf8(std::string_view text);
bool kyIsAscii(std::string_view text);
// 8-bit text of unknown encoding as UTF-8: kept when it is valid UTF-8, else read as
// Windows-1252.
std::string kyUtf8OrSingleByte(std::string_view text);

// ASCII letter case only, whatever the locale: for names in files and protocols.
std::string kyLowerAscii(std::string_view text);
bool kyEqualsNoCaseAscii(std::string_view a, std::string_view b);
bool kyStartsWithNoCaseAscii(std::string_view text, std::string_view prefix);

// Appends the UTF-8 form of one code point.
void kyAppendUtf8(std::string& out, char32_t cp);

// Numbers in files, tags and logs are written and read the same in every locale (a German
// desktop must not turn "-6.50 dB" into "-6,50 dB").
// `value` with `decimals` digits after the point ("%.*f" in the C locale).
std::string kyFormatFixed(double value, int decimals);
// The number at the start of `text` (after blanks and an optional '+'), whatever follows
// it ("-6.50 dB" gives -6.5). False when there is none.
bool kyParseLeadingNumber(const char* text, double& value);
// The same for a whole number ("60", "-25 cents"); text after it is ignored.
bool kyParseLeadingInteger(const char* text, int& value);
