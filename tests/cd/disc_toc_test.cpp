// Building the table of contents from READ TOC answers assembled byte by byte.
#include "cd/disc_toc.h"
#include <gtest/gtest.h>

#include <vector>

namespace {

struct PlainTrack {
    uint8_t control;
    uint32_t lba;
};

// A READ TOC format 0 answer: tracks first..first+n-1, then the lead-out.
std::vector<uint8_t> Plain(uint8_t first, const std::vector<PlainTrack>& tracks, uint32_t leadOut) {
    std::vector<uint8_t> a(804, 0);
    const size_t length = 2 + 8 * (tracks.size() + 1);
    a[0] = uint8_t(length >> 8);
    a[1] = uint8_t(length);
    a[2] = first;
    a[3] = uint8_t(first + tracks.size() - 1);
    for (size_t i = 0; i <= tracks.size(); ++i) {
        uint8_t* d = a.data() + 4 + 8 * i;
        const bool out = i == tracks.size();
        const uint32_t lba = out ? leadOut : tracks[i].lba;
        d[1] = uint8_t(0x10 | (out ? tracks.back().control : tracks[i].control));
        d[2] = out ? 0xAA : uint8_t(first + i);
        d[4] = uint8_t(lba >> 24);
        d[5] = uint8_t(lba >> 16);
        d[6] = uint8_t(lba >> 8);
        d[7] = uint8_t(lba);
    }
    return a;
}

struct FullDescriptor {
    uint8_t session, adrControl, point;
    uint32_t msfLba; // MIN/SEC/FRAME, or none
    uint32_t pLba;   // PMIN/PSEC/PFRAME
};

void PutMsf(uint8_t* p, uint32_t lba) {
    const uint32_t x = lba + 150;
    p[0] = uint8_t(x / 4500);
    p[1] = uint8_t(x / 75 % 60);
    p[2] = uint8_t(x % 75);
}

std::vector<uint8_t> Full(uint8_t firstSession, uint8_t lastSession,
                          const std::vector<FullDescriptor>& descriptors) {
    std::vector<uint8_t> a(2204, 0);
    const size_t length = 2 + 11 * descriptors.size();
    a[0] = uint8_t(length >> 8);
    a[1] = uint8_t(length);
    a[2] = firstSession;
    a[3] = lastSession;
    for (size_t i = 0; i < descriptors.size(); ++i) {
        uint8_t* d = a.data() + 4 + 11 * i;
        d[0] = descriptors[i].session;
        d[1] = descriptors[i].adrControl;
        d[3] = descriptors[i].point;
        if (descriptors[i].msfLba != UINT32_MAX) PutMsf(d + 4, descriptors[i].msfLba);
        PutMsf(d + 8, descriptors[i].pLba);
    }
    return a;
}

TEST(DiscToc, MsfAddresses) {
    EXPECT_EQ(kyMsfToLba(0, 2, 0), 0);
    EXPECT_EQ(kyMsfToLba(0, 0, 0), -150);
    EXPECT_EQ(kyMsfToLba(74, 0, 0), 74 * 60 * 75 - 150);
    EXPECT_EQ(kyMsfToLba(1, 2, 3), (62 * 75 + 3) - 150);
}

TEST(DiscToc, SingleSessionTwelveTracks) {
    std::vector<PlainTrack> tracks;
    for (uint32_t i = 0; i < 12; ++i)
        tracks.push_back(
            {uint8_t(i == 3 ? 1 : (i == 5 ? 2 : (i == 7 ? 8 : 0))), i * 15000 + (i ? 33 : 0)});
    const uint32_t leadOut = 190000;
    const auto plain = Plain(1, tracks, leadOut);
    kyDiscToc toc;
    ASSERT_TRUE(toc.BuildFromPlain(plain.data(), plain.size()));
    EXPECT_EQ(toc.firstTrack, 1u);
    EXPECT_EQ(toc.lastTrack, 12u);
    for (uint32_t t = 1; t <= 11; ++t)
        EXPECT_EQ(toc.entries[t].length, toc.entries[t + 1].start - toc.entries[t].start) << t;
    EXPECT_EQ(toc.entries[12].length, leadOut - tracks[11].lba);
    EXPECT_EQ(toc.entries[13].start, leadOut);
    EXPECT_EQ(toc.entries[13].length, 0u);
    EXPECT_EQ(toc.entries[4].preEmphasis, 1);
    EXPECT_EQ(toc.entries[6].copyPermitted, 1);
    EXPECT_EQ(toc.entries[8].fourChannel, 1);
    EXPECT_EQ(toc.entries[1].data, 0);

    // A full table that says the same changes nothing.
    std::vector<FullDescriptor> full = {{1, 0x10, 0xA0, UINT32_MAX, 0},
                                        {1, 0x10, 0xA1, UINT32_MAX, 0},
                                        {1, 0x10, 0xA2, UINT32_MAX, leadOut}};
    for (uint32_t i = 0; i < 12; ++i)
        full.push_back(
            {1, uint8_t(0x10 | tracks[i].control), uint8_t(i + 1), UINT32_MAX, tracks[i].lba});
    const auto answer = Full(1, 1, full);
    kyDiscToc refined = toc;
    refined.RefineFromFull(answer.data(), answer.size());
    for (uint32_t t = 1; t <= 13; ++t) {
        EXPECT_EQ(refined.entries[t].start, toc.entries[t].start);
        EXPECT_EQ(refined.entries[t].length, toc.entries[t].length);
    }
}

TEST(DiscToc, EnhancedDiscEndsTheLastAudioTrackAtItsSessionsLeadOut) {
    // Session 1: audio tracks 1-10; session 2: data track 11.
    std::vector<PlainTrack> tracks;
    for (uint32_t i = 0; i < 10; ++i) tracks.push_back({0, i * 20000});
    const uint32_t leadOut1 = 200000;
    const uint32_t track11 = leadOut1 + 11400;
    tracks.push_back({4, track11});
    const uint32_t leadOut2 = track11 + 30000;
    const auto plain = Plain(1, tracks, leadOut2);
    kyDiscToc toc;
    ASSERT_TRUE(toc.BuildFromPlain(plain.data(), plain.size()));
    EXPECT_EQ(toc.entries[10].length, track11 - 180000);

    std::vector<FullDescriptor> full = {{1, 0x10, 0xA0, UINT32_MAX, 0},
                                        {1, 0x10, 0xA1, UINT32_MAX, 0},
                                        {1, 0x10, 0xA2, UINT32_MAX, leadOut1}};
    for (uint32_t i = 0; i < 10; ++i)
        full.push_back({1, 0x10, uint8_t(i + 1), UINT32_MAX, i * 20000});
    full.push_back({1, 0x50, 0xB0, track11, 449849}); // next program area: ignored
    full.push_back({2, 0x14, 0xA0, UINT32_MAX, 0});
    full.push_back({2, 0x14, 0xA2, UINT32_MAX, leadOut2});
    full.push_back({2, 0x14, 11, UINT32_MAX, track11});
    const auto answer = Full(1, 2, full);
    toc.RefineFromFull(answer.data(), answer.size());
    EXPECT_EQ(toc.entries[10].start, 180000u);
    EXPECT_EQ(toc.entries[10].length, leadOut1 - 180000);
    EXPECT_EQ(toc.entries[9].length, 20000u);
    EXPECT_EQ(toc.entries[11].start, track11);
    EXPECT_EQ(toc.entries[11].length, leadOut2 - track11); // the last track keeps its length
    EXPECT_EQ(toc.entries[11].data, 1);
    EXPECT_EQ(toc.entries[12].length, 0u);
}

TEST(DiscToc, SkipIntervals) {
    const auto plain = Plain(1, {{0, 0}, {0, 10000}, {0, 20000}}, 30000);
    kyDiscToc toc;
    ASSERT_TRUE(toc.BuildFromPlain(plain.data(), plain.size()));
    const auto answer = Full(1, 1,
                             {{1, 0x10, 1, UINT32_MAX, 0},
                              {1, 0x10, 2, UINT32_MAX, 10000},
                              {1, 0x10, 3, UINT32_MAX, 20000},
                              {1, 0x10, 0xA2, UINT32_MAX, 30000},
                              // skips the start of track 2 and the end of track 1
                              {1, 0x50, 1, 10000, 10300},
                              {1, 0x50, 2, 9000, 10000},
                              {1, 0x50, 3, 12345, 17000}}); // matches nothing
    toc.RefineFromFull(answer.data(), answer.size());
    EXPECT_EQ(toc.entries[2].start, 10300u);
    EXPECT_EQ(toc.entries[2].length, 9700u);
    EXPECT_EQ(toc.entries[1].length, 9000u);
    EXPECT_EQ(toc.entries[3].length, 10000u);
}

TEST(DiscToc, TrackNinetyNineHasRoomForItsLeadOut) {
    std::vector<PlainTrack> tracks;
    for (uint32_t i = 0; i < 99; ++i) tracks.push_back({0, i * 300});
    const auto plain = Plain(1, tracks, 99 * 300);
    ASSERT_EQ(plain.size(), 804u);
    kyDiscToc toc;
    ASSERT_TRUE(toc.BuildFromPlain(plain.data(), plain.size()));
    EXPECT_EQ(toc.entries[99].length, 300u);
    EXPECT_EQ(toc.entries[100].start, 99u * 300);
    EXPECT_EQ(toc.entries[100].length, 0u);
}

TEST(DiscToc, UnusableAnswers) {
    kyDiscToc toc;
    const auto good = Plain(1, {{0, 0}, {0, 1000}}, 2000);
    struct Case {
        const char* what;
        std::vector<uint8_t> answer;
        size_t bytes;
    };
    auto edit = [&](size_t at, uint8_t value) {
        auto a = good;
        a[at] = value;
        return a;
    };
    const std::vector<Case> cases = {
        {"header only", good, 3},
        {"no first track", edit(2, 0), good.size()},
        {"last before first", edit(3, 0), good.size()},
        {"track 100", edit(3, 100), good.size()},
        {"length too short for the lead-out", edit(1, 2 + 8 * 2), good.size()},
        {"buffer too short for the lead-out", good, 4 + 8 * 2},
        {"addresses going backwards", edit(4 + 8 + 6, 0xFF), good.size()},
    };
    for (const Case& c : cases) {
        toc.firstTrack = 7;
        EXPECT_FALSE(toc.BuildFromPlain(c.answer.data(), c.bytes)) << c.what;
        EXPECT_EQ(toc.firstTrack, 7u) << c.what << ": a failed build leaves the record alone";
    }
    EXPECT_FALSE(toc.BuildFromPlain(nullptr, 804));

    // Full tables that could write past the tracks are ignored where they would.
    ASSERT_TRUE(toc.BuildFromPlain(good.data(), good.size()));
    const kyDiscToc before = toc;
    const auto hostile = Full(1, 1,
                              {{1, 0x10, 3, UINT32_MAX, 500},      // the lead-out's slot
                               {1, 0x10, 99, UINT32_MAX, 700},     // a track the disc lacks
                               {1, 0x10, 2, UINT32_MAX, 0},        // (see below)
                               {1, 0x10, 0xA2, UINT32_MAX, 100}}); // lead-out before the track
    toc.RefineFromFull(hostile.data(), 2204);
    EXPECT_EQ(toc.entries[3].start, before.entries[3].start);
    EXPECT_EQ(toc.entries[99].start, 0u);
    toc.RefineFromFull(hostile.data(), 3);
    toc.RefineFromFull(nullptr, 2204);
    std::vector<uint8_t> junk(2204, 0xFF);
    toc.RefineFromFull(junk.data(),
                       junk.size()); // sessions 255..255, lengths clipped to the buffer
}

} // namespace
