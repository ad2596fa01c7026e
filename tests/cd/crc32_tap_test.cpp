// The folded CRC-32 against zlib's byte-table one: every length around the folding steps,
// unaligned starts, a value carried over from earlier bytes, and megabytes in one call.
#include "cd/crc32_tap.h"
#include <gtest/gtest.h>
#include <vector>
#include <zlib.h>

TEST(Crc32, SameAsZlibForEveryLengthStartAndCarriedValue) {
    std::vector<uint8_t> data(3 << 20);
    uint32_t x = 12345;
    for (uint8_t& b : data) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    auto zlib = [&](uint32_t crc, size_t at, size_t n) {
        return static_cast<uint32_t>(::crc32(crc, data.data() + at, static_cast<uInt>(n)));
    };
    for (size_t n = 0; n <= 300; ++n)
        for (size_t at : {0u, 1u, 7u, 15u})
            for (uint32_t crc : {0u, 0xFFFFFFFFu, 0x12345678u})
                ASSERT_EQ(kyCrc32Update(crc, data.data() + at, n), zlib(crc, at, n))
                    << n << " " << at << " " << crc;
    // A sector at a time is a CRC over the whole, as the tap takes it.
    uint32_t whole = zlib(0, 3, 2352 * 100), steps = 0;
    for (size_t s = 0; s < 100; ++s) steps = kyCrc32Update(steps, data.data() + 3 + s * 2352, 2352);
    EXPECT_EQ(steps, whole);
    EXPECT_EQ(kyCrc32Update(0, data.data() + 5, data.size() - 5), zlib(0, 5, data.size() - 5));
    // All zeros and all ones: what silence and full scale look like.
    for (uint8_t fill : {0x00, 0xFF}) {
        std::vector<uint8_t> flat(4096, fill);
        EXPECT_EQ(kyCrc32Update(0, flat.data(), flat.size()),
                  static_cast<uint32_t>(::crc32(0, flat.data(), static_cast<uInt>(flat.size()))));
    }
}
