#include "metadata/disc_info.h"

#include <gtest/gtest.h>

TEST(DiscInfo, DefaultNames) {
    struct Case {
        int32_t number;
        bool data;
        uint32_t frames;
        const char* name;
    } cases[] = {
        {7, false, 1000, "Track 07"},  {1, false, 1000, "Track 01"},
        {12, false, 1000, "Track 12"}, {99, false, 1000, "Track 99"},
        {1, true, 400000, "Data CD"},  {1, true, 460800, "Data CD"},
        {1, true, 460801, "Data DVD"}, {1, true, 4168192, "Data DVD"},
        {1, true, 4168193, "Data BD"}, {2, true, 100, "Data 02"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(defaultTrackName(c.number, c.data, c.frames), c.name) << c.number;
}

TEST(DiscInfo, RowsFromTheTableOfContents) {
    kyDiscToc toc{};
    toc.firstTrack = 1;
    toc.lastTrack = 3;
    toc.entries[1] = {0, 1000, 0, 0, 0, 0};
    toc.entries[2] = {1000, 2000, 0, 1, 0, 0};
    toc.entries[3] = {14000, 5000, 1, 0, 0, 0};
    DiscInfo disc;
    disc.appendRow(TrackEntry{-1, 0, 588, "old", "", false, false, true});
    disc.makeRows(toc);
    ASSERT_EQ(disc.trackCount(), 3);
    EXPECT_EQ(disc.tracks[1].number, 2);
    EXPECT_EQ(disc.tracks[1].start, 1000u * 588);
    EXPECT_EQ(disc.tracks[1].length, 2000u * 588);
    EXPECT_TRUE(disc.tracks[1].preEmphasis);
    EXPECT_TRUE(disc.tracks[1].selected);
    EXPECT_EQ(disc.tracks[1].name, "Track 02");
    EXPECT_TRUE(disc.tracks[2].data);
    EXPECT_FALSE(disc.tracks[2].selected);
    EXPECT_EQ(disc.tracks[2].name, "Data 03");

    // A data track 1 is named after its size in sectors: a 300 MB one is a CD's.
    kyDiscToc mixed = toc;
    mixed.entries[1] = {0, 150000, 1, 0, 0, 0};
    DiscInfo data;
    data.makeRows(mixed);
    EXPECT_EQ(data.tracks[0].name, "Data CD");
    mixed.entries[1].length = 2000000;
    data.makeRows(mixed);
    EXPECT_EQ(data.tracks[0].name, "Data DVD");

    // A virtual row, then removing rows (out of range is ignored).
    disc.appendRow(TrackEntry{-1, 588, 1176, "Intro part", "", false, false, true});
    EXPECT_EQ(disc.trackCount(), 4);
    disc.removeRow(9);
    disc.removeRow(0);
    EXPECT_EQ(disc.trackCount(), 3);
    EXPECT_EQ(disc.tracks.front().number, 2);

    // A table that makes no sense gives no rows rather than reading past its end.
    kyDiscToc bad{};
    bad.firstTrack = 5;
    bad.lastTrack = 200;
    disc.makeRows(bad);
    EXPECT_EQ(disc.trackCount(), 0);
}

TEST(DiscInfo, ClearingAndCategories) {
    DiscInfo disc;
    EXPECT_EQ(disc.revision, -1);
    disc.discId = "06019002";
    disc.revision = 3;
    disc.artist = "Band";
    disc.title = "Live";
    disc.extended = "x";
    disc.category = categoryIndex("newage");
    disc.year = 1999;
    disc.appendRow(TrackEntry{});
    EXPECT_EQ(disc.genreText(), "New Age");
    disc.genre = "Ambient";
    EXPECT_EQ(disc.genreText(), "Ambient");
    disc.clear();
    EXPECT_EQ(disc.revision, -1);
    EXPECT_EQ(disc.category, -1);
    EXPECT_EQ(disc.year, 0);
    EXPECT_TRUE(disc.artist.empty() && disc.title.empty() && disc.genre.empty() &&
                disc.discId.empty() && disc.extended.empty());
    EXPECT_EQ(disc.genreText(), "");
    EXPECT_EQ(disc.trackCount(), 1);

    const char* shown[] = {"Blues",   "Classical", "Country", "Data",       "Folk", "Jazz",
                           "New Age", "Reggae",    "Rock",    "Soundtrack", "Other"};
    for (int i = 0; i < kCategoryCount; ++i) {
        EXPECT_STREQ(categoryDisplayName(i), shown[i]);
        EXPECT_EQ(categoryIndex(categoryName(i)), i);
    }
    EXPECT_EQ(categoryName(11), nullptr);
    EXPECT_EQ(categoryDisplayName(-1), nullptr);
    EXPECT_EQ(categoryIndex("Rock"), -1);
}
