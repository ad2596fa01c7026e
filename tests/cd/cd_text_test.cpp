// CD-Text packs and Q sub-channel frames: what the virtual drive builds is read back the
// same, a damaged pack costs only the strings it carries, and garbage is harmless.
#include "cd/cd_text.h"
#include "cd/sub_channel.h"
#include <algorithm>
#include <gtest/gtest.h>
#include <vector>

#include <cstring>
#include <random>

namespace {

// A disc whose texts run over several packs, repeat from track to track (TAB packs),
// use Latin-1 letters and leave some fields empty.
kyCdText SampleText(uint32_t tracks) {
    kyCdText text;
    text.disc.title = "Songs from the Upper Room (Remastered Édition)";
    text.disc.performer = "Ånne Brøndsted & the Night Porters";
    text.disc.message = "Made in Köln";
    text.genre = "Jazz";
    text.tracks.resize(tracks + 1);
    for (uint32_t n = 1; n <= tracks; ++n) {
        kyCdTextFields& t = text.tracks[n];
        t.title = "Track title number " + std::to_string(n) + " that runs well over one pack";
        t.performer = n == 4 ? "A guest" : "Ånne Brøndsted"; // repeats: TAB packs
        if (n % 3 == 0) t.composer = "C. " + std::string(n, 'x');
        if (n == 2) t.arranger = "Arr."; // a type with one string in many empty ones
    }
    return text;
}

void ExpectSameText(const kyCdText& a, const kyCdText& b, uint32_t tracks) {
    auto same = [](const kyCdTextFields& x, const kyCdTextFields& y, const std::string& where) {
        EXPECT_EQ(x.title, y.title) << where;
        EXPECT_EQ(x.performer, y.performer) << where;
        EXPECT_EQ(x.songwriter, y.songwriter) << where;
        EXPECT_EQ(x.composer, y.composer) << where;
        EXPECT_EQ(x.arranger, y.arranger) << where;
        EXPECT_EQ(x.message, y.message) << where;
    };
    same(a.disc, b.disc, "disc");
    EXPECT_EQ(a.genre, b.genre);
    for (uint32_t n = 1; n <= tracks; ++n) {
        const kyCdTextFields empty;
        same(a.Track(n) ? *a.Track(n) : empty, b.Track(n) ? *b.Track(n) : empty,
             "track " + std::to_string(n));
    }
}

// Index of the first pack of `type` whose text lies wholly inside one track's string.
size_t PackInside(const std::vector<uint8_t>& packs, uint8_t type, uint32_t track) {
    for (size_t i = 0; i + 1 < packs.size() / 18; ++i) {
        const uint8_t* p = &packs[i * 18];
        const uint8_t* next = p + 18;
        if (p[0] == type && p[1] == track && (p[3] & 15) > 0 && next[0] == type &&
            next[1] == track && std::memchr(p + 4, 0, 12) == nullptr)
            return i;
    }
    return SIZE_MAX;
}

TEST(CdText, PacksReadBackExactly) {
    const kyCdText text = SampleText(12);
    const std::vector<uint8_t> packs = kyBuildCdTextPacks(text, 1, 12);
    ASSERT_EQ(packs.size() % 18, 0u);
    ASSERT_GT(packs.size() / 18, 30u); // many packs: texts span several
    // The size packs close the block: Latin-1, tracks 1-12, English, the last sequence.
    const uint8_t* size = &packs[packs.size() - 3 * 18];
    EXPECT_EQ(size[0], 0x8F);
    EXPECT_EQ(size[4], 0x00);
    EXPECT_EQ(size[5], 1);
    EXPECT_EQ(size[6], 12);
    EXPECT_EQ(packs[packs.size() - 18 + 2], uint8_t(packs.size() / 18 - 1));
    // Sequence numbers count up from 0; a repeated performer is written as a TAB.
    bool tab = false;
    for (size_t i = 0; i < packs.size() / 18; ++i) {
        EXPECT_EQ(packs[i * 18 + 2], uint8_t(i));
        if (packs[i * 18] == 0x81 && std::memchr(&packs[i * 18 + 4], '\t', 12)) tab = true;
    }
    EXPECT_TRUE(tab);

    kyCdText back;
    const kyCdTextParseReport report = kyParseCdTextPacks(packs.data(), packs.size(), back);
    EXPECT_EQ(report.badCrc, 0u);
    EXPECT_EQ(report.ignored, 0u);
    ExpectSameText(text, back, 12);

    // Characters outside Latin-1 become "?"; an empty text gives no packs.
    kyCdText wide;
    wide.disc.title = "東京 Tokyo";
    const std::vector<uint8_t> widePacks = kyBuildCdTextPacks(wide, 1, 1);
    ASSERT_TRUE(kyParseCdTextPacks(widePacks.data(), widePacks.size(), back).packs > 0);
    EXPECT_EQ(back.disc.title, "?? Tokyo");
    EXPECT_TRUE(kyBuildCdTextPacks(kyCdText(), 1, 10).empty());
}

TEST(CdText, DamagedPackCostsOnlyItsStrings) {
    const kyCdText text = SampleText(12);
    // Packs wholly inside one string: a title, a performer; and a genre pack.
    for (const auto& [type, track] :
         {std::pair<uint8_t, uint32_t>{0x80, 3}, {0x80, 0}, {0x81, 0}, {0x80, 12}}) {
        std::vector<uint8_t> packs = kyBuildCdTextPacks(text, 1, 12);
        const size_t i = PackInside(packs, type, track);
        ASSERT_NE(i, SIZE_MAX) << int(type) << " " << track;
        packs[i * 18 + 7] ^= 0x20; // one bit of the text: the CRC no longer matches
        kyCdText back;
        const kyCdTextParseReport report = kyParseCdTextPacks(packs.data(), packs.size(), back);
        EXPECT_EQ(report.badCrc, 1u);
        kyCdText expected = text;
        std::string& lost = track == 0
                                ? (type == 0x80 ? expected.disc.title : expected.disc.performer)
                                : expected.tracks[track].title;
        lost.clear();
        ExpectSameText(expected, back, 12);
    }
    // A damaged size pack: the text is still read, as Latin-1 from track 1.
    std::vector<uint8_t> packs = kyBuildCdTextPacks(text, 1, 12);
    packs[packs.size() - 18 + 5] ^= 1;
    kyCdText back;
    EXPECT_EQ(kyParseCdTextPacks(packs.data(), packs.size(), back).badCrc, 1u);
    ExpectSameText(text, back, 12);
    // A block in a double-byte character code is not read as Latin-1.
    packs = kyBuildCdTextPacks(text, 1, 12);
    uint8_t* size = &packs[packs.size() - 3 * 18];
    size[4] = 0x80; // MS-JIS
    const uint16_t crc = kyCdTextCrc(size, 16);
    size[16] = uint8_t(crc >> 8);
    size[17] = uint8_t(crc);
    kyParseCdTextPacks(packs.data(), packs.size(), back);
    EXPECT_TRUE(back.Empty());
}

TEST(CdText, GarbageIsHarmless) {
    std::mt19937 rng(7);
    kyCdText back;
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> bytes(rng() % 600);
        for (uint8_t& b : bytes) b = uint8_t(rng());
        // Half of the rounds with sound CRCs and plausible pack types, so that the text
        // walk itself sees nonsense.
        if (round % 2)
            for (size_t i = 0; i + 18 <= bytes.size(); i += 18) {
                bytes[i] = uint8_t(0x80 + rng() % 16);
                bytes[i + 3] &= 0x8F;
                const uint16_t crc = kyCdTextCrc(&bytes[i], 16);
                bytes[i + 16] = uint8_t(crc >> 8);
                bytes[i + 17] = uint8_t(crc);
            }
        kyParseCdTextPacks(bytes.data(), bytes.size(), back);
        for (const kyCdTextFields& t : back.tracks) EXPECT_LE(t.title.size(), 4u * bytes.size());
    }
    EXPECT_EQ(kyParseCdTextPacks(nullptr, 100, back).packs, 0u);
}

TEST(SubQ, FramesRoundTrip) {
    kySubQ pregap;
    pregap.adr = 1;
    pregap.control = 0;
    pregap.track = 7;
    pregap.index = 0;
    pregap.relative = -149;
    pregap.absolute = 123456;
    kySubQ body = pregap;
    body.control = 4;
    body.index = 3;
    body.relative = 4500 * 3 + 75 * 7 + 2;
    kySubQ leadOut = pregap;
    leadOut.track = 0xAA;
    leadOut.index = 1;
    leadOut.relative = 10;
    kySubQ mcn;
    mcn.adr = 2;
    mcn.text = "0724384960650";
    kySubQ isrc;
    isrc.adr = 3;
    isrc.text = "GBAYE9900531";
    for (const kySubQ& q : {pregap, body, leadOut, mcn, isrc}) {
        uint8_t frame[16];
        kyEncodeSubQ(q, frame);
        kySubQ back;
        ASSERT_TRUE(kyDecodeSubQ(frame, back)) << int(q.adr);
        EXPECT_EQ(back.adr, q.adr);
        EXPECT_EQ(back.text, q.text);
        if (q.adr == 1) {
            EXPECT_EQ(back.control, q.control);
            EXPECT_EQ(back.track, q.track);
            EXPECT_EQ(back.index, q.index);
            EXPECT_EQ(back.relative, q.relative);
            EXPECT_EQ(back.absolute, q.absolute);
        }
        frame[4] ^= 0x01; // a damaged frame fails its CRC
        EXPECT_FALSE(kyDecodeSubQ(frame, back));
        // Drives that leave the CRC out (zeros) are read unchecked; mode 4 is unknown.
        kyEncodeSubQ(q, frame);
        frame[10] = frame[11] = 0;
        EXPECT_TRUE(kyDecodeSubQ(frame, back));
        frame[0] = 0x04;
        EXPECT_FALSE(kyDecodeSubQ(frame, back));
    }
    // Digits that are not BCD are refused.
    uint8_t frame[16];
    kyEncodeSubQ(body, frame);
    frame[2] = 0x1A;
    frame[10] = frame[11] = 0;
    kySubQ back;
    EXPECT_FALSE(kyDecodeSubQ(frame, back));
}

TEST(SubQ, LandingOfARead) {
    // Frames as a drive delivers them with eight sectors asked for from 1000: the head was
    // `late` sectors further on, one frame is a catalogue number instead of a position.
    auto frames = [](int32_t late) {
        std::vector<uint8_t> out(8 * 16);
        for (uint32_t i = 0; i < 8; ++i) {
            kySubQ q;
            q.adr = i == 5 ? 2 : 1;
            q.text = "0724384960650";
            q.track = 3;
            q.index = 1;
            q.absolute = int32_t(1000 + i) + late;
            q.relative = q.absolute - 900;
            kyEncodeSubQ(q, &out[i * 16]);
        }
        return out;
    };
    for (int32_t late : {0, 4, -9}) {
        const kySubQLanding l = kyLandingBySubQ(frames(late).data(), 8, 1000);
        EXPECT_TRUE(l.Usable(3)) << late;
        EXPECT_EQ(l.frames, 7u) << late;
        EXPECT_EQ(l.offset, late);
    }
    struct {
        const char* what;
        void (*damage)(std::vector<uint8_t>&);
        uint32_t frames;
        bool consistent;
    } cases[] = {
        {"a bad CRC", [](std::vector<uint8_t>& f) { f[2 * 16 + 4] ^= 1; }, 6, true},
        {"no CRC", [](std::vector<uint8_t>& f) { f[3 * 16 + 10] = f[3 * 16 + 11] = 0; }, 6, true},
        {"all zeros", [](std::vector<uint8_t>& f) { std::fill(f.begin(), f.end(), 0); }, 0, true},
        {"a frame of the sector after",
         [](std::vector<uint8_t>& f) {
             kySubQ q;
             q.adr = 1, q.track = 3, q.index = 1, q.absolute = 1002, q.relative = 102;
             kyEncodeSubQ(q, &f[1 * 16]);
         },
         7, false},
        {"a lead-in frame",
         [](std::vector<uint8_t>& f) {
             kySubQ q;
             q.adr = 1, q.track = 0, q.index = 1, q.absolute = 5;
             kyEncodeSubQ(q, &f[7 * 16]);
         },
         6, true},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> f = frames(0);
        c.damage(f);
        const kySubQLanding l = kyLandingBySubQ(f.data(), 8, 1000);
        EXPECT_EQ(l.frames, c.frames) << c.what;
        EXPECT_EQ(l.consistent, c.consistent) << c.what;
        EXPECT_EQ(l.Usable(3), c.consistent && c.frames >= 3) << c.what;
    }
}

} // namespace
