#include "formats/caf_common.h"
#include <bit>

namespace caf {

const FormatId* FindFormatId(const uint8_t* id) {
    for (const FormatId& f : kFormatIds)
        if (be::isFourCC(id, f.id)) return &f;
    return nullptr;
}

namespace {

// Layout tags whose channel order is the order of the speaker mask's bits.
constexpr struct {
    uint32_t tag;
    uint32_t mask;
} kLayoutTags[] = {
    {(100u << 16) | 1, 0x4},  // mono
    {(101u << 16) | 2, 0x3},  // stereo
    {(102u << 16) | 2, 0x3},  // stereo headphones
    {(113u << 16) | 3, 0x7},  // L R C
    {(108u << 16) | 4, 0x33}, // quadraphonic: L R Ls Rs
    {(117u << 16) | 5, 0x37}, // L R C Ls Rs
    {(121u << 16) | 6, 0x3F}, // L R C LFE Ls Rs
};

} // namespace

uint32_t MaskOfLayout(const uint8_t* body, size_t size, uint32_t channels) {
    if (size < 12) return 0;
    const uint32_t tag = be::get32(body);
    uint32_t mask = 0;
    if (tag == kLayoutUseBitmap) {
        mask = be::get32(body + 4);
    } else if (tag == kLayoutUseDescriptions) {
        // Labels 1-18 are the speakers of the mask's bits 0-17; they must come in that
        // order for the mask to say which channel is which.
        const uint32_t count = be::get32(body + 8);
        if (count != channels || (size - 12) / 20 < count) return 0;
        uint32_t last = 0;
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t label = be::get32(body + 12 + 20 * i);
            if (label < 1 || label > 18 || label <= last) return 0;
            last = label;
            mask |= 1u << (label - 1);
        }
    } else {
        for (const auto& t : kLayoutTags)
            if (t.tag == tag) mask = t.mask;
    }
    return static_cast<uint32_t>(std::popcount(mask)) == channels ? mask : 0;
}

int ProbeCaf(const uint8_t* head, size_t size) {
    return size >= 4 && be::isFourCC(head, "caff") ? 6 : 0;
}

} // namespace caf
