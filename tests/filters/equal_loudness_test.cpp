#include "filters/equal_loudness.h"
#include <gtest/gtest.h>

TEST(EqualLoudnessContour, LevelsAndRange) {
    kyEqualLoudnessContour c;
    // Outside 0 to 90 phon the formula does not hold: no contour.
    for (double phon : {-0.1, 90.5, 120.0}) {
        EXPECT_FALSE(c.build(phon)) << phon;
        EXPECT_FALSE(c.valid());
        EXPECT_EQ(c.level(1000.0), 0.0);
    }
    for (double phon : {0.0, 2.0, 40.0, 75.0, 90.0}) {
        ASSERT_TRUE(c.build(phon)) << phon;
        // At 1 kHz the loudness level is the sound pressure level, by definition.
        EXPECT_NEAR(c.level(1000.0), phon, 0.05) << phon;
    }
    ASSERT_TRUE(c.build(75.0));
    // The formula itself lands 0.012 dB above: 75.0 to the table's precision.
    EXPECT_NEAR(c.level(1000.0), 75.0, 0.02);
    // The ear loses sensitivity steadily towards the bass: the contour falls from 20 Hz to
    // 1 kHz, and dips below the 1 kHz level around 3 to 4 kHz.
    for (double f = 20.0; f < 800.0; f *= 1.25) EXPECT_GT(c.level(f), c.level(f * 1.25)) << f;
    EXPECT_LT(c.level(3500.0), 75.0);

    // The extension points and the lookup beyond them.
    const auto& p = c.points();
    EXPECT_EQ(p.front().frequency, 10.0);
    EXPECT_EQ(p.back().frequency, 20000.0);
    EXPECT_DOUBLE_EQ(p.back().level, p[29].level + 54.2);
    EXPECT_DOUBLE_EQ(c.level(5.0), p.front().level);
    EXPECT_DOUBLE_EQ(c.level(30000.0), p.back().level);
    // Straight line in the outermost intervals, through the points elsewhere.
    EXPECT_NEAR(c.level(19000.0), 0.5 * (p[31].level + p[32].level), 1e-9);
    EXPECT_NEAR(c.level(15.0), 0.5 * (p[0].level + p[1].level), 1e-9);
    for (uint32_t i = 1; i + 1 < p.size(); ++i)
        EXPECT_NEAR(c.level(p[i].frequency), p[i].level, 1e-9);

    // The 2-phon contour (the threshold, nearly): most sensitive around 3 to 4 kHz.
    ASSERT_TRUE(c.build(2.0));
    EXPECT_LT(c.level(3500.0), c.level(1000.0) - 5.0);
    EXPECT_GT(c.level(100.0), c.level(1000.0) + 15.0);
}
