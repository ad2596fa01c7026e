// Vorbis comments: the table both ways, names without regard to case, the first of
// repeated names, and comment blocks cut short or with counts that do not fit.
#include "formats/tags/vorbis_comment.h"
#include "support/codec_library_files.h"
#include <gtest/gtest.h>

namespace {
void put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
std::vector<uint8_t> block(const std::string& vendor, const std::vector<std::string>& entries) {
    std::vector<uint8_t> b;
    put32(b, static_cast<uint32_t>(vendor.size()));
    b.insert(b.end(), vendor.begin(), vendor.end());
    put32(b, static_cast<uint32_t>(entries.size()));
    for (const std::string& e : entries) {
        put32(b, static_cast<uint32_t>(e.size()));
        b.insert(b.end(), e.begin(), e.end());
    }
    return b;
}
} // namespace

TEST(VorbisComments, TheTableWrittenInOrderAndReadBack) {
    kyPropertyTable props;
    kytest::setTagProperties(props);
    props.setUtf8(KYPROP_COMPOSER, "Not in the table");
    const std::vector<kyVorbisComment> comments = kyVorbisComments(props);
    std::vector<std::string> names;
    for (const auto& c : comments) names.push_back(c.name);
    const std::vector<std::string> expected = {"TITLE",
                                               "VERSION",
                                               "ALBUM",
                                               "TRACKNUMBER",
                                               "ARTIST",
                                               "PERFORMER",
                                               "COPYRIGHT",
                                               "ORGANIZATION",
                                               "DESCRIPTION",
                                               "GENRE",
                                               "DATE",
                                               "CONTACT",
                                               "ISRC",
                                               "REPLAYGAIN_TRACK_PEAK",
                                               "REPLAYGAIN_TRACK_GAIN",
                                               "REPLAYGAIN_ALBUM_GAIN"};
    EXPECT_EQ(names, expected);

    std::vector<std::string> entries;
    for (const auto& c : comments) entries.push_back(c.name + "=" + c.value);
    kyPropertyTable back;
    ASSERT_TRUE(kyParseVorbisCommentBlock(block("vendor", entries).data(),
                                          block("vendor", entries).size(), back));
    // DATE comes back as the year and as the release date too.
    props.setUtf8(KYPROP_DATE, props.getUtf8(KYPROP_YEAR));
    for (uint32_t slot = 3; slot < KY_SOURCE_PROPERTY_SLOTS; ++slot)
        if (slot != KYPROP_COMPOSER) {
            EXPECT_EQ(back.getUtf8(slot) ? std::string(back.getUtf8(slot)) : "",
                      props.getUtf8(slot) ? std::string(props.getUtf8(slot)) : "")
                << slot;
        }

    // A release date wins over the year: one DATE, which readers take as both.
    props.setUtf8(KYPROP_DATE, "2001-05-04");
    size_t dates = 0;
    for (const auto& c : kyVorbisComments(props))
        if (c.name == "DATE") {
            ++dates;
            EXPECT_EQ(c.value, "2001-05-04");
        }
    EXPECT_EQ(dates, 1u);
}

TEST(VorbisComments, EntriesAsOtherProgramsWriteThem) {
    struct Case {
        const char* entry;
        uint32_t slot;
        const char* value; // null: the entry sets nothing
    } cases[] = {
        {"title=lower case", KYPROP_TITLE, "lower case"},
        {"Artist=Mixed", KYPROP_ARTIST, "Mixed"},
        {"COMMENT=other name", KYPROP_COMMENT, "other name"},
        {"COMPOSER=Someone", KYPROP_COMPOSER, "Someone"},
        {"DATE=2001-05-04", KYPROP_YEAR, "2001-05-04"},
        {"DATE=2001-05-04", KYPROP_DATE, "2001-05-04"},
        {"discnumber=2/3", KYPROP_DISC_NUMBER, "2"},
        {"discnumber=2/3", KYPROP_DISC_TOTAL, "3"},
        {"TOTALDISCS=4", KYPROP_DISC_TOTAL, "4"},
        {"ALBUM ARTIST=Band", KYPROP_ALBUM_ARTIST, "Band"},
        {"musicbrainz_albumid=x", KYPROP_MB_RELEASE_ID, "x"},
        {"GENRE=a=b", KYPROP_GENRE, "a=b"},
        {"GENRE=", KYPROP_GENRE, nullptr},
        {"=nothing", KYPROP_TITLE, nullptr},
        {"no separator", KYPROP_TITLE, nullptr},
        {"UNKNOWN=x", KYPROP_TITLE, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        kyPropertyTable props;
        kyApplyVorbisComment(c.entry, props);
        if (c.value) {
            EXPECT_STREQ(props.getUtf8(c.slot), c.value);
        } else {
            EXPECT_EQ(props.getUtf8(c.slot), nullptr);
        }
    }
    kyPropertyTable props;
    const auto b = block("", {"ARTIST=First", "ARTIST=Second"});
    ASSERT_TRUE(kyParseVorbisCommentBlock(b.data(), b.size(), props));
    EXPECT_STREQ(props.getUtf8(KYPROP_ARTIST), "First");
}

TEST(VorbisComments, BlocksThatDoNotHoldTogether) {
    const auto good = block("libtest", {"TITLE=One", "ARTIST=Two"});
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        bool ok;
        const char* title;
    };
    std::vector<Case> cases = {
        {"whole", good, true, "One"},
        {"empty", {}, false, nullptr},
        {"vendor past the end", {0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0}, false, nullptr},
        {"cut in the second entry", {good.begin(), good.end() - 3}, false, "One"},
    };
    auto count = good;
    count[4 + 7] = 0xFF; // more entries than bytes
    cases.push_back({"count too large", count, false, nullptr});
    auto length = good;
    length[4 + 7 + 4 + 3] = 0x80; // the first entry claims 2 GiB
    cases.push_back({"entry too long", length, false, nullptr});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kyPropertyTable props;
        EXPECT_EQ(kyParseVorbisCommentBlock(c.bytes.data(), c.bytes.size(), props), c.ok);
        if (c.title) {
            EXPECT_STREQ(props.getUtf8(KYPROP_TITLE), c.title);
        } else {
            EXPECT_EQ(props.getUtf8(KYPROP_TITLE), nullptr);
        }
    }
}
