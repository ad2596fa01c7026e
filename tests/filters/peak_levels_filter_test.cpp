#include "filters/peak_levels_filter.h"

#include "stream_fixture.h"
#include "support/codec_test_files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

using namespace filters_test;

namespace {

// The envelope as the filter should write it, computed directly from the samples.
std::vector<uint16_t> expectedEnvelope(const Planes& p, uint32_t perPoint, bool two) {
    std::vector<uint16_t> out;
    const uint32_t frames = uint32_t(p[0].size());
    auto level = [](float v) {
        return static_cast<uint16_t>(std::trunc(std::max(v, 0.0f) * 65535.0f + 0.5f));
    };
    for (uint32_t start = 0; start < frames; start += perPoint)
        for (const auto& ch : p) {
            float hi = -1.0f, lo = 1.0f;
            for (uint32_t i = start; i < std::min(frames, start + perPoint); ++i) {
                const float v = std::clamp(ch[i], -1.0f, 1.0f);
                hi = std::max(hi, v);
                lo = std::min(lo, v);
            }
            if (two) {
                out.push_back(level(hi));
                out.push_back(level(-lo));
            } else {
                out.push_back(level(std::max(hi, -lo)));
            }
        }
    return out;
}

std::vector<uint16_t> envelopeOf(kyPeakLevelsFilter& f, bool two, const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(f.WriteEnvelope(fd, two), KY_OK);
    ::close(fd);
    const std::vector<uint8_t> bytes = kytest::readFile(path);
    std::vector<uint16_t> v(bytes.size() / 2);
    std::memcpy(v.data(), bytes.data(), v.size() * 2);
    return v;
}

} // namespace

// 256 frames a point over 1000 frames: four points, the last one covering 232 frames; the
// samples pass unchanged, and both envelope forms hold the true extremes.
TEST(PeakLevelsFilter, PointsEnvelopeAndPeak) {
    kytest::ScratchDir dir;
    Planes p = noise(2, 1000, 6);
    for (float& v : p[0]) v *= 0.5f;
    p[1][700] = -1.25f; // over full scale: clamped in the envelope
    for (const BlockPattern& pattern : standardPatterns()) {
        auto* filter = new kyPeakLevelsFilter(256);
        Chain chain(new ScriptedSource(p, pattern), {filter});
        ASSERT_EQ(chain.run(), KY_OK) << pattern.name;
        EXPECT_EQ(chain.sink->got, p);
        EXPECT_EQ(filter->PointsWritten(), 4u) << pattern.name;
        EXPECT_EQ(filter->Peak(), 1.0f);
        EXPECT_EQ(filter->PeakPosition(), 700u);
        for (bool two : {false, true})
            EXPECT_EQ(envelopeOf(*filter, two, dir.path("env")), expectedEnvelope(p, 256, two))
                << pattern.name << " " << two;
    }
    // The last point is a partial one: 232 frames, and nothing beyond them.
    Planes tail(1, std::vector<float>(1000, 0.1f));
    tail[0][999] = 0.9f;
    auto* filter = new kyPeakLevelsFilter(256);
    Chain chain(new ScriptedSource(tail, {"1000", {1000}}), {filter});
    ASSERT_EQ(chain.run(), KY_OK);
    const auto env = envelopeOf(*filter, false, dir.path("env"));
    ASSERT_EQ(env.size(), 4u);
    EXPECT_EQ(env[3], static_cast<uint16_t>(std::trunc(0.9f * 65535.0f + 0.5f)));
    EXPECT_EQ(env[2], static_cast<uint16_t>(std::trunc(0.1f * 65535.0f + 0.5f)));
}

// More points than one slice of 4096: the envelope comes back whole from the file, and an
// interleaved stream passes byte for byte while a copy is measured.
TEST(PeakLevelsFilter, LongStreamsAndInterleavedData) {
    kytest::ScratchDir dir;
    Planes p = noise(2, 5000 * 10 + 3, 8);
    auto* filter = new kyPeakLevelsFilter(10);
    Chain chain(new ScriptedSource(p, {"4096", {4096}}), {filter});
    ASSERT_EQ(chain.run(), KY_OK);
    EXPECT_EQ(filter->PointsWritten(), 5001u);
    EXPECT_EQ(envelopeOf(*filter, true, dir.path("env")), expectedEnvelope(p, 10, true));

    auto* inter = new kyPeakLevelsFilter(100);
    Chain c2(new ScriptedSource(p, {"588", {588}}), {inter});
    c2.source->setInterleaved("PCM 16-bit");
    ASSERT_STREQ(inter->GetInterleavedFormat(2), "PCM 16-bit");
    ASSERT_EQ(inter->RunInterleaved(), KY_OK);
    ASSERT_EQ(c2.sink->bytes.size(), p[0].size() * 4);
    Planes pcm(2, std::vector<float>(p[0].size()));
    for (uint32_t c = 0; c < 2; ++c)
        for (uint32_t i = 0; i < p[0].size(); ++i) {
            int16_t v;
            std::memcpy(&v, &c2.sink->bytes[(size_t(i) * 2 + c) * 2], 2);
            EXPECT_EQ(v, c2.source->pcm16(i, c));
            pcm[c][i] = v / 32768.0f;
        }
    EXPECT_EQ(inter->PointsWritten(), 501u);
    EXPECT_EQ(envelopeOf(*inter, false, dir.path("env")), expectedEnvelope(pcm, 100, false));

    // Nothing to count in: refused.
    auto* none = new kyPeakLevelsFilter(0);
    Chain c3(new ScriptedSource(p, {"588", {588}}), {none});
    EXPECT_EQ(c3.run(), KYERR_INVALID_PARAMETER);
    EXPECT_EQ(none->WriteEnvelope(1, false), KYERR_SEQUENCE);
}
