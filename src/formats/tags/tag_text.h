#pragma once
// Text of tag fields as UTF-8, taken the way the property setters take text, so that a
// field in a wrong or missing encoding falls back the same way everywhere.
#include <cstddef>
#include <cstdint>
#include <string>

// Single-byte text (Windows-1252), up to its first NUL, without surrounding blanks.
std::string kyTagSingleByteText(const uint8_t* p, size_t n);
// UTF-16 in the order of its byte-order mark, or little-endian (big-endian when
// `bigEndian`) without one; an odd last byte is dropped.
std::string kyTagUtf16Text(const uint8_t* p, size_t n, bool bigEndian);
// UTF-8 when well formed, else single-byte text.
std::string kyTagUtf8Text(const uint8_t* p, size_t n);
