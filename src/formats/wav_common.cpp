#include "formats/wav_common.h"

namespace wav {

int ProbeWav(const uint8_t* head, size_t size) {
    if (size < 12) return 0;
    // RF64 is the same file with 64-bit sizes, and the reader takes it.
    return (isFourCC(head, "RIFF") || isFourCC(head, "RF64")) && isFourCC(head + 8, "WAVE") ? 6 : 0;
}

int ProbeBwf(const uint8_t* head, size_t size) {
    if (!ProbeWav(head, size)) return 0;
    size_t pos = 12;
    for (int i = 0; i < 4 && pos + 8 <= size && pos <= 4088; ++i) {
        if (isFourCC(head + pos, "bext")) return 6;
        if (isFourCC(head + pos, "data")) return 2;
        uint64_t body = get32(head + pos + 4);
        pos += 8 + body + (body & 1);
    }
    return 2;
}

} // namespace wav
