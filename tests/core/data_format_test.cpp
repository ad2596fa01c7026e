#include "core/data_format.h"
#include "core/quantizer.h"
#include "core/sample_block.h"
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {
std::vector<float> toFloat(std::vector<uint8_t> raw, const char* id, uint32_t channels = 1,
                           bool flip = false, bool swap = false) {
    const auto* f = kyFindDataFormat(id);
    const uint32_t frames = static_cast<uint32_t>(raw.size() / (f->bytes * channels));
    kyPlaneBuffer p;
    p.allocate(channels, frames);
    EXPECT_EQ(InterleavedToPlanar(p.planes(), raw.data(), channels, 0, frames, id, flip, swap),
              KY_OK);
    std::vector<float> out;
    for (uint32_t i = 0; i < frames; ++i)
        for (uint32_t c = 0; c < channels; ++c) out.push_back(p.plane(c)[i]);
    return out;
}

std::vector<uint8_t> toRaw(const std::vector<float>& mono, const char* id, bool flip = false,
                           bool swap = false) {
    const auto* f = kyFindDataFormat(id);
    kyPlaneBuffer p;
    p.allocate(1, static_cast<uint32_t>(mono.size()));
    std::memcpy(p.plane(0), mono.data(), mono.size() * 4);
    std::vector<uint8_t> raw(mono.size() * f->bytes);
    EXPECT_EQ(PlanarToInterleaved(raw.data(), p.planes(), nullptr, 1, 0,
                                  static_cast<uint32_t>(mono.size()), id, flip, swap),
              KY_OK);
    return raw;
}
} // namespace

TEST(DataFormat, ExactValuesOfEveryIntegerId) {
    struct Case {
        const char* id;
        std::vector<uint8_t> raw;
        float expected;
    };
    const Case cases[] = {
        {"PCM 8-bit", {0x80}, -1.0f},
        {"PCM 8-bit", {0x7F}, 127.0f / 128},
        {"PCM 16-bit", {0x00, 0x80}, -1.0f},
        {"PCM 16-bit", {0xFF, 0x7F}, 32767.0f / 32768},
        {"PCM 24-bit", {0x00, 0x00, 0x80}, -1.0f},
        {"PCM 24-bit", {0x01, 0x00, 0x00}, 1.0f / 8388608},
        {"PCM 32-bit", {0x00, 0x00, 0x00, 0x80}, -1.0f},
        {"PCM 12-bit (16)", {0xF0, 0x7F}, 2047.0f / 2048},
        {"PCM 12-bit (16)", {0xFF, 0x7F}, 2047.0f / 2048}, // low 4 bits ignored
        {"PCM 20-bit (24)", {0x0F, 0x00, 0x80}, -1.0f},
        {"PCM 20-bit (24)", {0x10, 0x00, 0x00}, 1.0f / 524288},
        {"PCM 20-bit (32)", {0x00, 0x10, 0x00, 0x00}, 1.0f / 524288},
        {"PCM 24-bit (32)", {0x00, 0x01, 0x00, 0x00}, 1.0f / 8388608},
        {"PCM 24-bit (32)", {0x00, 0x00, 0x00, 0x80}, -1.0f},
    };
    for (const auto& c : cases) {
        auto v = toFloat(c.raw, c.id);
        ASSERT_EQ(v.size(), 1u) << c.id;
        EXPECT_EQ(v[0], c.expected) << c.id;
    }
    EXPECT_NEAR(toFloat({0xFF, 0x7F}, "PCM 16-bit")[0], 0.999969f, 1e-6);
}

TEST(DataFormat, EveryIdRoundTripsItsFullRange) {
    // Each id's integers go to float and back unchanged (a sweep of values across the range).
    for (const char* id : {"PCM 8-bit", "PCM 16-bit", "PCM 24-bit", "PCM 32-bit", "PCM 12-bit (16)",
                           "PCM 20-bit (24)", "PCM 20-bit (32)", "PCM 24-bit (32)", "Float 32-bit",
                           "Float 64-bit", "mu-Law", "A-Law"}) {
        const auto* f = kyFindDataFormat(id);
        ASSERT_NE(f, nullptr) << id;
        std::mt19937 rng(1);
        std::vector<uint8_t> raw(4096 * f->bytes);
        for (auto& b : raw) b = static_cast<uint8_t>(rng());
        if (f->kind == kySampleKind::Integer) {
            // A float holds 24 significant bits: 32-bit values keep their top 24.
            const uint32_t shift = f->bits == 32 ? 8 : f->bytes * 8 - f->bits;
            // Clear the bits below the significant ones; they are not part of the value.
            for (size_t i = 0; i < raw.size(); i += f->bytes) {
                uint32_t lowBits = shift;
                for (uint32_t k = 0; k < f->bytes && lowBits; ++k) {
                    const uint32_t n = std::min(lowBits, 8u);
                    raw[i + k] &= static_cast<uint8_t>(0xFF << n);
                    lowBits -= n;
                }
            }
        }
        if (f->kind == kySampleKind::Float) {
            // Keep floats finite and within range; Float 64-bit holds float-representable values.
            for (size_t i = 0; i < raw.size(); i += f->bytes) {
                const float x = std::ldexp(static_cast<float>(rng() % 2000000) - 1e6f, -20);
                if (f->bytes == 4) std::memcpy(&raw[i], &x, 4);
                else {
                    const double d = x;
                    std::memcpy(&raw[i], &d, 8);
                }
            }
        }
        std::vector<uint8_t> copy = raw;
        auto fl = toFloat(copy, id);
        auto back = toRaw(fl, id);
        if (f->kind == kySampleKind::MuLaw || f->kind == kySampleKind::ALaw) {
            // G.711 has two codes for zero in mu-law (0x7F and 0xFF); compare decoded values.
            EXPECT_EQ(toFloat(back, id), fl) << id;
        } else {
            EXPECT_EQ(back, raw) << id;
        }
    }
}

TEST(DataFormat, ThirtyTwoBitSaturatesBothWays) {
    auto raw = toRaw({1.0f, -1.0f, 2.0f, -2.0f, 0.0f, NAN}, "PCM 32-bit");
    int32_t v[6];
    std::memcpy(v, raw.data(), sizeof v);
    EXPECT_EQ(v[0], 0x7FFFFFFF);
    EXPECT_EQ(static_cast<uint32_t>(v[1]), 0x80000000u);
    EXPECT_EQ(v[2], 0x7FFFFFFF);
    EXPECT_EQ(static_cast<uint32_t>(v[3]), 0x80000000u);
    EXPECT_EQ(v[4], 0);
    auto r16 = toRaw({1.0f, -1.0f, 2.0f, -2.0f, 0.5f / 32768, -0.5f / 32768}, "PCM 16-bit");
    int16_t s[6];
    std::memcpy(s, r16.data(), sizeof s);
    EXPECT_EQ(s[0], 32767);
    EXPECT_EQ(s[1], -32768);
    EXPECT_EQ(s[2], 32767);
    EXPECT_EQ(s[3], -32768);
    EXPECT_EQ(s[4], 1); // ties round up
    EXPECT_EQ(s[5], 0);
}

TEST(DataFormat, ByteSwapAndSignFlipForEachElementSize) {
    struct Case {
        const char* id;
        std::vector<uint8_t> little;
        std::vector<uint8_t> swapped;
        std::vector<uint8_t> flipped;
    };
    const Case cases[] = {
        {"PCM 8-bit", {0x01}, {0x01}, {0x81}},
        {"PCM 16-bit", {0x01, 0x02}, {0x02, 0x01}, {0x01, 0x82}},
        {"PCM 24-bit", {0x01, 0x02, 0x03}, {0x03, 0x02, 0x01}, {0x01, 0x02, 0x83}},
        {"PCM 32-bit", {1, 2, 3, 4}, {4, 3, 2, 1}, {1, 2, 3, 0x84}},
        {"Float 64-bit", {1, 2, 3, 4, 5, 6, 7, 8}, {8, 7, 6, 5, 4, 3, 2, 1}, {1, 2, 3, 4, 5, 6, 7, 0x88}},
    };
    for (const auto& c : cases) {
        const auto* f = kyFindDataFormat(c.id);
        auto a = c.little;
        kyByteSwap(a.data(), 1, f->bytes);
        EXPECT_EQ(a, c.swapped) << c.id;
        auto b = c.little;
        kySignFlip(b.data(), 1, f->bytes);
        EXPECT_EQ(b, c.flipped) << c.id;
        // Reading swapped (and flipped) bytes with the flags gives the plain reading.
        auto plain = toFloat(c.little, c.id);
        auto viaSwap = toFloat(c.swapped, c.id, 1, false, true);
        EXPECT_EQ(plain, viaSwap) << c.id;
        // Writing with the flags gives bytes that read back with the same flags.
        auto written = toRaw(plain, c.id, true, true);
        EXPECT_EQ(toFloat(written, c.id, 1, true, true), plain) << c.id;
    }
    // Unsigned 8-bit: 0x80 with the sign flip is silence.
    EXPECT_EQ(toFloat({0x80}, "PCM 8-bit", 1, true)[0], 0.0f);
}

TEST(DataFormat, InterleavingOfManyChannelsAndFailures) {
    // 6-channel 24-bit: each channel gets its own samples.
    std::vector<uint8_t> raw;
    for (int i = 0; i < 3; ++i)
        for (int c = 0; c < 6; ++c) {
            const int32_t v = (c + 1) * 1000 + i;
            raw.push_back(uint8_t(v));
            raw.push_back(uint8_t(v >> 8));
            raw.push_back(uint8_t(v >> 16));
        }
    kyPlaneBuffer p;
    p.allocate(6, 8);
    ASSERT_EQ(InterleavedToPlanar(p.planes(), raw.data(), 6, 5, 3, "PCM 24-bit", false, false), KY_OK);
    for (int c = 0; c < 6; ++c)
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(p.plane(c)[5 + i], float((c + 1) * 1000 + i) / 8388608.0f);
    std::vector<uint8_t> back(raw.size());
    ASSERT_EQ(PlanarToInterleaved(back.data(), p.planes(), nullptr, 6, 5, 3, "PCM 24-bit", false, false), KY_OK);
    EXPECT_EQ(back, raw);

    uint8_t buf[16] = {};
    EXPECT_EQ(InterleavedToPlanar(nullptr, buf, 1, 0, 1, "PCM 16-bit", false, false), KYERR_INVALID_PARAMETER);
    EXPECT_EQ(InterleavedToPlanar(p.planes(), nullptr, 1, 0, 1, "PCM 16-bit", false, false), KYERR_INVALID_PARAMETER);
    EXPECT_EQ(InterleavedToPlanar(p.planes(), buf, 1, 0, 1, "IMA ADPCM 4-bit", false, false), KYERR_DATA_FORMAT);
    EXPECT_EQ(PlanarToInterleaved(buf, p.planes(), nullptr, 1, 0, 1, "GSM 06.10", false, false), KYERR_DATA_FORMAT);
    EXPECT_EQ(InterleavedToPlanar(p.planes(), buf, 1, 0, 0, "PCM 16-bit", false, false), KY_OK);
}

TEST(DataFormat, QuantizerIsAskedPerSampleInStreamOrder) {
    struct Recorder : kyQuantizer {
        std::vector<std::pair<uint32_t, float>> calls;
        int32_t quantize(uint32_t ch, float x) override {
            calls.emplace_back(ch, x);
            return 7;
        }
    } q;
    kyPlaneBuffer p;
    p.allocate(2, 2);
    p.plane(0)[0] = 0.1f;
    p.plane(1)[0] = 0.2f;
    p.plane(0)[1] = 0.3f;
    p.plane(1)[1] = 0.4f;
    int16_t out[4];
    ASSERT_EQ(PlanarToInterleaved(out, p.planes(), &q, 2, 0, 2, "PCM 16-bit", false, false), KY_OK);
    ASSERT_EQ(q.calls.size(), 4u);
    EXPECT_EQ(q.calls[1], std::make_pair(1u, 0.2f));
    EXPECT_EQ(q.calls[2], std::make_pair(0u, 0.3f));
    for (int16_t v : out) EXPECT_EQ(v, 7);
    // "PCM 12-bit (16)" stores the quantizer's value shifted left by 4.
    ASSERT_EQ(PlanarToInterleaved(out, p.planes(), &q, 2, 0, 1, "PCM 12-bit (16)", false, false), KY_OK);
    EXPECT_EQ(out[0], 7 << 4);
}

TEST(Quantizer, PlainRoundingEdges) {
    kyRoundNearestQuantizer q16(16), q24(24);
    EXPECT_EQ(q16.quantize(0, 1.0f), 32767);
    EXPECT_EQ(q16.quantize(0, -1.0f), -32768);
    EXPECT_EQ(q16.quantize(0, 0.5f / 32768), 1);
    EXPECT_EQ(q16.quantize(0, -0.5f / 32768), 0);
    EXPECT_EQ(q24.scale, 8388608.0f);
    EXPECT_EQ(q24.overflowMask, 0xFF000000u);
    // Every 24-bit value comes back as itself.
    for (int32_t v = -8388608; v < 8388608; v += 4099)
        ASSERT_EQ(q24.quantize(0, static_cast<float>(v) / 8388608.0f), v);
    kyQuantizerRound32 q32;
    EXPECT_EQ(q32.quantize(0, 1.0f), INT32_MAX);
    EXPECT_EQ(q32.quantize(0, -1.0f), INT32_MIN);
}
