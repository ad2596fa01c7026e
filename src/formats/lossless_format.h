#pragma once
// What the lossless codecs (FLAC, WavPack, Monkey's Audio) share: the "Lossless N-bit"
// subformat names, the raw ids that carry the same samples, and the conversions between
// the pipeline's samples and the 32-bit integers the libraries take and give.
#include "core/error.h"
#include <cstdint>
#include <string>
#include <vector>

class kyQuantizer;

struct kyLosslessFormat {
    uint32_t bits = 0;    // significant bits per sample (32 for float)
    bool isFloat = false; // "Lossless Float": 32-bit IEEE samples
    bool maximum = false; // " (maximum compression)" follows the name
};

// Reads "Lossless N-bit", "Lossless N-bit (maximum compression)" (with one or two blanks
// before the bracket) and "Lossless Float". False for anything else or N outside 1..32.
bool kyParseLosslessSubformat(const std::string& name, kyLosslessFormat& format);
// "Lossless 16-bit", "Lossless Float".
std::string kyLosslessSubformatName(uint32_t bits, bool isFloat);
// The raw id that holds exactly these samples ("PCM 16-bit", "Float 32-bit"), or empty
// when no raw id does (12 or 20 significant bits are not stored as such).
std::string kyLosslessRawId(const kyLosslessFormat& format);

// Interleaved 32-bit integers from float planes (each sample through `q`, or plain
// rounding to `bits` when q is null).
void kyPlanesToIntegers(int32_t* dst, float* const* planes, uint32_t channels, uint32_t first,
                        uint32_t frames, kyQuantizer* q, uint32_t bits);
// Interleaved 32-bit integers from interleaved raw samples of `id` ("PCM 8-bit" to "PCM
// 32-bit" signed, or "Float 32-bit" copied bit for bit). False for another id.
bool kyRawToIntegers(int32_t* dst, const uint8_t* src, size_t samples, const std::string& id);
// The reverse, for readers that hand their samples over unchanged.
bool kyIntegersToRaw(uint8_t* dst, const int32_t* src, size_t samples, const std::string& id);
// Float planes from interleaved integers of `bits` significant bits, or from float bit
// patterns when `isFloat`.
void kyIntegersToPlanes(float* const* planes, const int32_t* src, uint32_t channels, uint32_t first,
                        uint32_t frames, uint32_t bits, bool isFloat);
