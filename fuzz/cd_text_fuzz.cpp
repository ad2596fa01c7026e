// Feeds arbitrary drive answers to the CD-Text pack parser and the Q sub-channel decoder.
// When the first byte is odd, every pack gets a matching CRC first, so that the text walk
// itself sees the nonsense instead of the CRC check stopping it.
#include "cd/cd_text.h"
#include "cd/sub_channel.h"
#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::vector<uint8_t> packs(data + 1, data + size);
    if (data[0] & 1)
        for (size_t i = 0; i + KY_CD_TEXT_PACK_BYTES <= packs.size(); i += KY_CD_TEXT_PACK_BYTES) {
            const uint16_t crc = kyCdTextCrc(&packs[i], 16);
            packs[i + 16] = uint8_t(crc >> 8);
            packs[i + 17] = uint8_t(crc);
        }
    kyCdText text;
    kyParseCdTextPacks(packs.data(), packs.size(), text);
    for (size_t i = 0; i + 16 <= packs.size(); i += 16) {
        kySubQ q;
        kyDecodeSubQ(&packs[i], q);
    }
    return 0;
}
