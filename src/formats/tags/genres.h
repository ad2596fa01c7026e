#pragma once
// The ID3v1 genre list: the 148 names of the ID3v1 standard and its common extensions,
// 0 "Blues" to 147 "Synth Pop".
#include <cstdint>

constexpr uint32_t KY_GENRE_COUNT = 148;
// ID3v1's "Other", the answer for a text that matches no name.
constexpr uint32_t KY_GENRE_OTHER = 12;

// The ID3v1 genre number for a genre text: "(17)" by its number, else the first name equal
// to the text, else the first name that contains the text or is contained in it; when
// neither finds one, the same two searches ignoring case; 12 when nothing matches or the
// text is empty.
uint32_t GenreIndex(const char* text);

// The name of genre `index`, or null past the list.
const char* kyGenreName(uint32_t index);
