#pragma once
// What the AIFF writer and reader share: the 80-bit sample rate, the text chunks, the
// AIFF-C compression types and the probes.
#include "formats/big_endian.h"
#include <cstddef>
#include <cstdint>

namespace aiff {

// FORM, COMM and SSND sizes are signed 32-bit: a file may not grow past this.
constexpr uint64_t kFileLimit = 0x7FFFFFFFull + 8;

// The AIFF-C version the FVER chunk names (May 23, 1990, 2:40 pm).
constexpr uint32_t kAifcVersion1 = 0xA2805140;

// Frames and bytes per channel of an "ima4" packet.
constexpr uint32_t kIma4Frames = 64;
constexpr uint32_t kIma4Bytes = 34;

// The rate as an 80-bit IEEE extended number (sign, 15-bit exponent biased by 16383,
// 64-bit mantissa with its integer bit): zero gives ten zero bytes, a value too large
// exponent 0x7FFF and a zero mantissa.
void PutExtended(uint8_t* p, double value);
// The value of an 80-bit extended number; NaN for infinities and NaNs.
double GetExtended(const uint8_t* p);

// Text chunks and the property each one carries, in the order they are written.
struct TextChunk {
    char id[5];
    uint32_t property;
};
inline constexpr TextChunk kTextChunks[] = {
    {"NAME", 3},
    {"AUTH", 5},
    {"(c) ", 16},
    {"ANNO", 15},
};

// AIFF-C compression types. `subformat` is null for the PCM types, whose subformat
// follows the sample size; `name` (Mac Roman) is set on the types the writer uses.
struct Compression {
    char type[5];
    const char* subformat;
    const char* name;
    uint16_t sampleSize; // COMM's sample size when written
    bool littleEndian;
};
inline constexpr Compression kCompressions[] = {
    {"NONE", nullptr, "not compressed", 0, false},
    {"twos", nullptr, nullptr, 0, false},
    {"sowt", nullptr, nullptr, 0, true},
    {"in24", "PCM 24-bit", nullptr, 0, false},
    {"in32", "PCM 32-bit", nullptr, 0, false},
    {"42ni", "PCM 24-bit", nullptr, 0, true},
    {"23ni", "PCM 32-bit", nullptr, 0, true},
    {"fl32", "Float 32-bit", "32-bit floating point", 32, false},
    {"FL32", "Float 32-bit", nullptr, 0, false},
    {"fl64", "Float 64-bit", "64-bit floating point", 64, false},
    {"FL64", "Float 64-bit", nullptr, 0, false},
    {"ulaw", "mu-Law", "\xB5Law 2:1", 16, false},
    {"ULAW", "mu-Law", nullptr, 0, false},
    {"alaw", "A-Law", "aLaw 2:1", 16, false},
    {"ALAW", "A-Law", nullptr, 0, false},
    {"ima4", "IMA ADPCM 4-bit", "IMA 4:1", 16, false},
    // Named for the user, not decoded.
    {"MAC3", "Apple MACE3", nullptr, 0, false},
    {"MAC6", "Apple MACE6", nullptr, 0, false},
    {"GSM ", "GSM 06.10", nullptr, 0, false},
    {"Qclp", "QUALCOMM PureVoice", nullptr, 0, false},
    {"QDMC", "QDesign Music", nullptr, 0, false},
    {"QDM2", "QDesign Music 2", nullptr, 0, false},
};

// The type a file names, or null.
const Compression* FindCompression(const uint8_t* type);
// The type the writer uses for a subformat ("NONE" for integer PCM), or null.
const Compression* CompressionFor(const char* subformat);

// "FORM" with form type "AIFF": 6, "AIFC": 4 (the other entry is certain), else 0.
int ProbeAiff(const uint8_t* head, size_t size);
// "FORM" with form type "AIFC": 6, "AIFF": 4, else 0.
int ProbeAifc(const uint8_t* head, size_t size);

} // namespace aiff
