// The encoder configurations the subformat texts stand for: layer III, layer II and AAC.
#include "formats/codecs/aac_encoder.h"
#include "formats/codecs/mp2_encoder.h"
#include "formats/codecs/mp3_encoder.h"

#include <gtest/gtest.h>

TEST(Mp3Configuration, RatesModesAndBitRates) {
    const struct {
        const char* text;
        uint32_t inputRate, channels;
        kyMp3Mode mode;
        uint32_t outputRate, bitRate, quality;
        bool mpeg2;
    } cases[] = {
        {"CBR 128 kbit/s", 44100, 2, kyMp3Mode::Cbr, 44100, 128, 5, false},
        {"CBR 320 kbit/s", 48000, 2, kyMp3Mode::Cbr, 48000, 320, 5, false},
        {"CBR 320 kbit/s", 96000, 2, kyMp3Mode::Cbr, 48000, 320, 5, false},
        // The lower sampling frequencies stop at 160 kbit/s.
        {"CBR 320 kbit/s", 22050, 2, kyMp3Mode::Cbr, 22050, 160, 5, true},
        {"CBR 128 kbit/s", 11025, 1, kyMp3Mode::Cbr, 11025, 128, 5, true},
        {"CBR 128 kbit/s", 7000, 1, kyMp3Mode::Cbr, 8000, 128, 5, true},
        {"CBR 128 kbit/s", 30000, 2, kyMp3Mode::Cbr, 32000, 128, 5, false},
        // Below 32 kbit/s at a full rate: the highest lower rate the input reaches.
        {"CBR 8 kbit/s", 44100, 2, kyMp3Mode::Cbr, 24000, 8, 5, true},
        {"CBR 24 kbit/s", 48000, 1, kyMp3Mode::Cbr, 24000, 24, 5, true},
        {"CBR 16 kbit/s", 32000, 1, kyMp3Mode::Cbr, 24000, 16, 5, true},
        {"CBR 32 kbit/s", 44100, 2, kyMp3Mode::Cbr, 44100, 32, 5, false},
        // ABR is raised to its own table.
        {"ABR 224 kbit/s", 44100, 2, kyMp3Mode::Abr, 44100, 256, 5, false},
        {"ABR 80 kbit/s", 44100, 2, kyMp3Mode::Abr, 44100, 80, 5, false},
        {"ABR 256 kbit/s", 22050, 2, kyMp3Mode::Abr, 22050, 160, 5, true},
        // The quality is the number after "VBR Quality ".
        {"VBR Quality 0 (highest)", 44100, 2, kyMp3Mode::Vbr, 44100, 128, 0, false},
        {"VBR Quality 2", 44100, 2, kyMp3Mode::Vbr, 44100, 128, 2, false},
        {"VBR Quality 7", 44100, 2, kyMp3Mode::Vbr, 44100, 128, 7, false},
        {"VBR Quality 9 (lowest)", 16000, 1, kyMp3Mode::Vbr, 16000, 128, 9, true},
        {"VBR", 44100, 2, kyMp3Mode::Vbr, 44100, 128, 5, false},
        // Any other text: a constant bit rate read from its start.
        {"192", 44100, 2, kyMp3Mode::Cbr, 44100, 192, 5, false},
        {"100", 44100, 2, kyMp3Mode::Cbr, 44100, 112, 5, false},
        {"", 44100, 2, kyMp3Mode::Cbr, 44100, 128, 5, false},
        {"CBR 999 kbit/s", 44100, 2, kyMp3Mode::Cbr, 44100, 320, 5, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " at " + std::to_string(c.inputRate));
        const kyMp3Config k = kyConfigureMp3(c.text, c.inputRate, c.channels);
        EXPECT_EQ(k.mode, c.mode);
        EXPECT_EQ(k.outputRate, c.outputRate);
        EXPECT_EQ(k.mpeg2, c.mpeg2);
        EXPECT_EQ(k.channels, c.channels);
        if (c.mode == kyMp3Mode::Vbr) {
            EXPECT_EQ(k.quality, c.quality);
            EXPECT_EQ(k.minBitRate, c.mpeg2 ? 8u : 32u);
            EXPECT_EQ(k.maxBitRate, c.mpeg2 ? 160u : 320u);
        } else {
            EXPECT_EQ(k.bitRate, c.bitRate);
            EXPECT_EQ(k.minBitRate, c.bitRate);
            EXPECT_EQ(k.maxBitRate, c.bitRate);
        }
    }
    EXPECT_EQ(kyConfigureMp3("CBR 128 kbit/s", 44100, 6).channels, 2u);
}

TEST(Mp2Configuration, BitRatesTheLayerAllows) {
    const struct {
        const char* text;
        uint32_t inputRate, channels;
        uint32_t outputRate, bitRate;
        bool mpeg2;
    } cases[] = {
        {"CBR 256 kbit/s", 44100, 2, 44100, 256, false},
        {"CBR 384 kbit/s", 48000, 2, 48000, 384, false},
        {"CBR 192 kbit/s", 44100, 1, 44100, 192, false},
        // Mono has no rate above 192 kbit/s at the full sampling frequencies.
        {"CBR 224 kbit/s", 44100, 1, 44100, 192, false},
        {"CBR 384 kbit/s", 48000, 1, 48000, 192, false},
        // Stereo has none of 32, 48, 56 and 80 kbit/s there: the next one it has.
        {"CBR 32 kbit/s", 44100, 2, 44100, 64, false},
        {"CBR 48 kbit/s", 44100, 2, 44100, 64, false},
        {"CBR 56 kbit/s", 48000, 2, 48000, 64, false},
        {"CBR 80 kbit/s", 32000, 2, 32000, 96, false},
        {"CBR 32 kbit/s", 44100, 1, 44100, 32, false},
        {"CBR 80 kbit/s", 44100, 1, 44100, 80, false},
        // The lower sampling frequencies take every rate up to 160.
        {"CBR 256 kbit/s", 22050, 2, 22050, 160, true},
        {"CBR 32 kbit/s", 24000, 2, 24000, 32, true},
        {"CBR 8 kbit/s", 11025, 1, 16000, 8, true},
        // Below 32 kbit/s at a full rate: 16000 Hz.
        {"CBR 8 kbit/s", 44100, 2, 16000, 8, true},
        {"CBR 24 kbit/s", 48000, 1, 16000, 24, true},
        // No number: 128 at a full rate, 64 at a lower one.
        {"CBR", 44100, 2, 44100, 128, false},
        {"", 22050, 1, 22050, 64, true},
        {"100", 44100, 2, 44100, 112, false},
        {"CBR 999 kbit/s", 96000, 2, 48000, 384, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " at " + std::to_string(c.inputRate) + ", " +
                     std::to_string(c.channels) + " channels");
        const kyMp2Config k = kyConfigureMp2(c.text, c.inputRate, c.channels);
        EXPECT_EQ(k.outputRate, c.outputRate);
        EXPECT_EQ(k.bitRate, c.bitRate);
        EXPECT_EQ(k.mpeg2, c.mpeg2);
    }
}

TEST(AacConfiguration, RatesAndBitRatesPerChannel) {
    const struct {
        uint32_t quality, bitRate, inputRate, channels;
        uint32_t outputRate, totalBitRate;
    } cases[] = {
        {0, 128, 44100, 2, 44100, 128},
        {0, 0, 44100, 2, 44100, 128},    // 64 per channel when none is given
        {0, 2048, 48000, 2, 48000, 512}, // at most 256 per channel
        {0, 8, 44100, 2, 44100, 16},     // at least 8 per channel
        {0, 128, 8000, 2, 8000, 80},     // 40 per channel up to 8000 Hz
        {0, 256, 11025, 2, 11025, 128},  // 64 up to 12000 Hz
        {0, 256, 16000, 2, 16000, 160},  // 80 up to 16000 Hz
        {0, 256, 22050, 2, 22050, 256},
        {0, 384, 48000, 6, 48000, 384},
        {0, 128, 50000, 1, 48000, 128},
        {0, 128, 192000, 2, 96000, 128},
        {0, 64, 7000, 1, 7350, 40},
        {90, 0, 44100, 2, 44100, 128},
        {100, 0, 32000, 1, 32000, 64},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.bitRate) + " kbit/s at " + std::to_string(c.inputRate) +
                     ", " + std::to_string(c.channels) + " channels");
        const kyAacConfig k =
            kyConfigureAac(false, 2, c.quality, c.bitRate, c.inputRate, c.channels);
        EXPECT_EQ(k.outputRate, c.outputRate);
        EXPECT_EQ(k.bitRate, c.totalBitRate);
        EXPECT_EQ(k.quality, c.quality);
    }
    EXPECT_EQ(kyConfigureAac(true, 1, 0, 0, 44100, 2).objectType, 1u);
    EXPECT_TRUE(kyConfigureAac(true, 1, 0, 0, 44100, 2).mpeg2);
    EXPECT_EQ(kyConfigureAac(false, 7, 0, 0, 44100, 2).objectType, 2u);
    // ADTS names layouts of 1 to 6 channels and 7.1; 7 channels and more than 8 have none.
    const uint32_t configs[] = {0, 1, 2, 3, 4, 5, 6, 0, 7, 0, 0};
    for (uint32_t n = 0; n < std::size(configs); ++n)
        EXPECT_EQ(kyAacChannelConfig(n), configs[n]) << n << " channels";
}
