// Names for a disc given as JSON: the shapes taken, what is refused, and how they go into
// a disc record.
#include "metadata/disc_names.h"

#include <gtest/gtest.h>

namespace {

DiscInfo threeTracks() {
    DiscInfo d;
    for (int32_t n = 1; n <= 3; ++n) {
        TrackEntry row;
        row.number = n;
        row.name = defaultTrackName(n, false, 0);
        d.appendRow(row);
    }
    d.artist = "Old Artist";
    d.title = "Old Album";
    d.year = 1990;
    return d;
}

} // namespace

TEST(DiscNames, JsonShapesAreReadAndRefusedClearly) {
    struct Case {
        const char* json;
        bool ok;
        const char* says; // part of the error, or of the artist read
    };
    const Case cases[] = {
        {R"({"artist": "A", "album": "B", "year": 1999, "genre": "G",
             "tracks": [{"number": 1, "name": "One"}]})",
         true, "A"},
        {R"({"record": {"artist": "A", "tracks": [{"number": 2, "title": "Two"}]}})", true, "A"},
        {R"({"artist": null, "year": null, "tracks": null})", true, ""},
        {R"({"year": "2001"})", true, ""},
        {"\xEF\xBB\xBF{\"artist\": \"A\"}", true, "A"}, // as some editors save it
        {"", false, "not valid JSON"},
        {"[1, 2]", false, "must be a JSON object"},
        {R"({"artist": 5})", false, "\"artist\" must be a text"},
        {R"({"year": 10000})", false, "\"year\" must be a year"},
        {R"({"year": "19x9"})", false, "\"year\" must be a year"},
        {R"({"year": 1999.5})", false, "\"year\" must be a year"},
        {R"({"tracks": {"number": 1}})", false, "\"tracks\" must be a list"},
        {R"({"tracks": [5]})", false, "each of \"tracks\" must be an object"},
        {R"({"tracks": [{"name": "x"}]})", false, "\"number\" from 1 to 99"},
        {R"({"tracks": [{"number": 100, "name": "x"}]})", false, "\"number\" from 1 to 99"},
        {R"({"tracks": [{"number": "1", "name": "x"}]})", false, "\"number\" from 1 to 99"},
        {R"({"tracks": [{"number": 1, "name": ["x"]}]})", false, "\"name\" must be a text"},
        {"{\"artist\": \"\xC3\x28\"}", false, "not valid JSON"}, // broken UTF-8
        {R"({"record": null})", false, "found no record"},
        {R"({"artist": "A"} {"artist": "B"})", false, "not valid JSON"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        kyDiscNames names;
        names.artist = "kept on failure";
        std::string error;
        ASSERT_EQ(kyParseDiscNamesJson(c.json, names, error), c.ok) << error;
        if (c.ok)
            EXPECT_EQ(names.artist.value_or(""), c.says);
        else {
            EXPECT_NE(error.find(c.says), std::string::npos) << error;
            EXPECT_EQ(names.artist, "kept on failure");
        }
    }
}

TEST(DiscNames, GivenNamesReplaceTheRecordsAndTheRestStays) {
    kyDiscNames names;
    std::string error;
    ASSERT_TRUE(kyParseDiscNamesJson(
        R"({"album": "New Album", "year": 0, "tracks": [{"number": 2, "name": "Two"}]})", names,
        error));
    kyDiscNames typed;
    typed.titles[3] = "Three";
    typed.album = "Typed Album";
    names.mergeFrom(typed);
    DiscInfo d = threeTracks();
    ASSERT_TRUE(names.applyTo(d, error)) << error;
    EXPECT_EQ(d.artist, "Old Artist");
    EXPECT_EQ(d.title, "Typed Album");
    EXPECT_EQ(d.year, 0);
    EXPECT_EQ(d.tracks[0].name, "Track 01");
    EXPECT_EQ(d.tracks[1].name, "Two");
    EXPECT_EQ(d.tracks[2].name, "Three");

    kyDiscNames tooMany;
    tooMany.artist = "X";
    tooMany.titles[4] = "Four";
    DiscInfo e = threeTracks();
    EXPECT_FALSE(tooMany.applyTo(e, error));
    EXPECT_NE(error.find("no track 4"), std::string::npos);
    EXPECT_EQ(e.artist, "Old Artist"); // nothing changed
}

TEST(DiscNames, XmcdRecordsAndYearsAreRecognised) {
    EXPECT_TRUE(kyLooksLikeXmcd("# xmcd\n#\nDISCID=1\n"));
    EXPECT_TRUE(kyLooksLikeXmcd("\xEF\xBB\xBF# xmcd\n"));
    EXPECT_FALSE(kyLooksLikeXmcd("{\"artist\": \"# xmcd\"}"));
    EXPECT_FALSE(kyLooksLikeXmcd("# xmc"));
    int32_t y = -1;
    EXPECT_TRUE(kyParseYear("0", y));
    EXPECT_EQ(y, 0);
    EXPECT_TRUE(kyParseYear("9999", y));
    for (const char* bad : {"", "-1", "10000", "19 99", "1999 ", "abc"})
        EXPECT_FALSE(kyParseYear(bad, y)) << bad;
}
