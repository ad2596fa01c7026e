// Feeds arbitrary bytes to every sample decoder as blocks of arbitrary sizes. The first bytes
// choose the decoder, the channel count, the stated block size and how the rest is cut.
#include "formats/codecs/g72x_adpcm.h"
#include "formats/codecs/gsm610.h"
#include "formats/codecs/ima_adpcm.h"
#include "formats/codecs/ms_adpcm.h"
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const uint8_t kind = data[0] % 7, chByte = data[1], alignByte = data[3];
    uint8_t cut = data[2];
    data += 4;
    size -= 4;

    std::unique_ptr<kySampleDecoder> dec;
    uint32_t bits = 4, channels = 1 + chByte % 3, blockAlign = 0;
    switch (kind) {
    case 0:
        dec = std::make_unique<kyImaAdpcmDecoder>(kyImaLayout::Wav);
        channels = 1 + chByte % 32;
        blockAlign = alignByte ? alignByte * 4u * channels : 0;
        break;
    case 1:
        dec = std::make_unique<kyImaAdpcmDecoder>(kyImaLayout::Ima4);
        break;
    case 2:
        dec = std::make_unique<kyMsAdpcmDecoder>();
        channels = 1 + chByte % 2;
        blockAlign = alignByte ? 7u * channels + alignByte : 0;
        break;
    case 3:
    case 4:
    case 5:
        dec = std::make_unique<kyG72xDecoder>();
        bits = kind; // 3, 4, 5
        channels = 1;
        break;
    default:
        dec = std::make_unique<kyGsm610Decoder>();
        channels = 1;
        break;
    }
    if (kyFailed(dec->start(bits, channels, blockAlign))) return 0;

    std::vector<std::vector<float>> planes(channels);
    std::vector<float*> ptrs(channels + 1, nullptr);
    size_t pos = 0;
    while (pos < size) {
        // Whole blocks mostly, sometimes cut short or run long.
        size_t n = dec->bytesPerBlock();
        if (cut & 1) n = n / 2 + 1;
        if (cut & 2) n += 3;
        n = std::min(n, size - pos);
        uint32_t room = dec->maxFrames(n);
        for (uint32_t ch = 0; ch < channels; ++ch) {
            planes[ch].assign(room, 0.0f);
            ptrs[ch] = planes[ch].data();
        }
        uint32_t got = 0;
        dec->decode(data + pos, n, ptrs.data(), 0, &got);
        if (got > room) __builtin_trap();
        pos += n;
        cut = static_cast<uint8_t>(cut * 5 + 1);
    }
    return 0;
}
