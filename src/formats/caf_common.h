#pragma once
// What the CAF writer and reader share: the format IDs, the "info" keys, the channel
// layouts and the probe.
#include "formats/big_endian.h"
#include <cstddef>
#include <cstdint>

namespace caf {

// The size of a "data" chunk still being written (or of one a writer never closed).
constexpr uint64_t kOpenEnded = ~uint64_t(0);
// A chunk header: type, 64-bit size.
constexpr size_t kChunkHeader = 12;

// "lpcm" format flags.
constexpr uint32_t kFlagFloat = 1;
constexpr uint32_t kFlagLittleEndian = 2;

// Frames and bytes per channel of an "ima4" packet.
constexpr uint32_t kIma4Frames = 64;
constexpr uint32_t kIma4Bytes = 34;

// Channel layout tags.
constexpr uint32_t kLayoutUseDescriptions = 0;
constexpr uint32_t kLayoutUseBitmap = 0x10000;

// "info" keys and the property each one carries, in the order they are written.
struct InfoKey {
    const char* key;
    uint32_t property;
};
inline constexpr InfoKey kInfoKeys[] = {
    {"artist", 5}, {"album", 11}, {"track number", 12}, {"year", 14},      {"composer", 6},
    {"genre", 13}, {"title", 3},  {"comments", 15},     {"copyright", 16},
};

// Format IDs and the subformat each one names: "lpcm" (null) depends on its flags and
// size; the others after "ima4" are named for the user, not decoded.
struct FormatId {
    char id[5];
    const char* subformat;
};
inline constexpr FormatId kFormatIds[] = {
    {"lpcm", nullptr},
    {"ulaw", "mu-Law"},
    {"alaw", "A-Law"},
    {"ima4", "IMA ADPCM 4-bit"},
    {"aac ", "MPEG AAC"},
    {"alac", "Apple Lossless"},
    {"MAC3", "Apple MACE3"},
    {"MAC6", "Apple MACE6"},
    {".mp1", "MPEG audio layer I"},
    {".mp2", "MPEG audio layer II"},
    {".mp3", "MPEG audio layer III"},
    {"samr", "AMR"},
    {"ilbc", "iLBC"},
    {"QDMC", "QDesign Music"},
    {"QDM2", "QDesign Music 2"},
    {"Qclp", "QUALCOMM PureVoice"},
    {"agsm", "GSM 06.10"},
    {"opus", "Opus"},
    {"flac", "Free lossless audio codec"},
};

// The format ID a file names, or null.
const FormatId* FindFormatId(const uint8_t* id);

// The speaker mask a "chan" body describes for `channels` channels in file order (a
// bitmap, labelled descriptions or one of the common layout tags), 0 when it names none
// or not exactly these channels.
uint32_t MaskOfLayout(const uint8_t* body, size_t size, uint32_t channels);

// 6 when the file starts with "caff", else 0.
int ProbeCaf(const uint8_t* head, size_t size);

} // namespace caf
