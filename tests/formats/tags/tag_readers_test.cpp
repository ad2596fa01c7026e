// The tag readers: ID3v2.2/2.3/2.4 (unsynchronisation, extended header, footer, frame
// flags), ID3v1 and 1.1, APEv1 and APEv2, Lyrics3 v1 and v2, where they sit in a file, and
// what damaged blocks do (nothing is read past a frame, an item or the file).
#include "formats/tags/ape_tag.h"
#include "formats/tags/file_tags.h"
#include "formats/tags/id3v1.h"
#include "formats/tags/id3v2.h"
#include "support/codec_test_files.h"
#include "support/tag_blocks.h"
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <unistd.h>

using namespace kytest;

namespace {

using Expected = Texts;

// Every property slot that holds text, as UTF-8.
Expected propertiesOf(kyPropertyTable& props) {
    Expected out;
    for (uint32_t slot = 0; slot < props.size(); ++slot)
        if (const char* s = props.getUtf8(slot)) out[slot] = s;
    return out;
}

Expected parseId3v2(const Bytes& tag) {
    kyPropertyTable props;
    EXPECT_TRUE(kyParseId3v2Tag(tag.data(), tag.size(), props));
    return propertiesOf(props);
}

// A block, whether the parser takes it, and what it finds in it.
struct ParseCase {
    const char* name;
    Bytes tag;
    bool parsed;
    Expected expected;
};

struct Scan {
    kyError result;
    kyTagLayout layout;
    Expected properties;
};

Scan scan(const Bytes& file) {
    Scan s;
    kyPropertyTable props;
    s.result = kyReadTags(
        [&](uint64_t offset, void* data, size_t size) {
            if (offset > file.size() || size > file.size() - offset) return false;
            std::memcpy(data, file.data() + offset, size);
            return true;
        },
        file.size(), props, s.layout);
    s.properties = propertiesOf(props);
    return s;
}

Bytes latin1Frame(int major, const char* id, const char* text) {
    return id3Frame(major, id, id3Text(0, bytesOf(text) + Bytes{0}));
}

Bytes id3v1(const char* title, const char* comment, uint8_t zero, uint8_t track, uint8_t genre) {
    Bytes t = bytesOf("TAG");
    auto field = [&](const char* s, size_t n) {
        Bytes f(n, 0);
        std::memcpy(f.data(), s, std::min(std::strlen(s), n));
        t = t + f;
    };
    field(title, 30);
    field("Artist", 30);
    field("Album", 30);
    field("1987", 4);
    field(comment, 28);
    t.push_back(zero);
    t.push_back(track);
    t.push_back(genre);
    return t;
}

// `b` without its last `n` bytes.
Bytes cut(const Bytes& b, size_t n) {
    return Bytes(b.begin(), b.end() - static_cast<std::ptrdiff_t>(n));
}

Bytes id3v1Of(kyPropertyTable& props) {
    const auto tag = kyBuildId3v1Tag(props);
    return tag ? Bytes(tag->begin(), tag->end()) : Bytes();
}

Bytes lyrics3v2(const std::string& lyrics) {
    const Bytes body = bytesOf("LYRICSBEGIN") + bytesOf("IND00003") + bytesOf("110") +
                       bytesOf("LYR") +
                       bytesOf(std::string(5 - std::to_string(lyrics.size()).size(), '0') +
                               std::to_string(lyrics.size())) +
                       bytesOf(lyrics);
    std::string size = std::to_string(body.size());
    size = std::string(6 - size.size(), '0') + size;
    return body + bytesOf(size) + bytesOf("LYRICS200");
}

} // namespace

TEST(Id3v2Reader, RoundTripThroughTheWriter) {
    kyPropertyTable props;
    const Expected given = {
        {KYPROP_TITLE, "日本語のタイトル"},
        {KYPROP_SUBTITLE, "Sub"},
        {KYPROP_ARTIST, "Café Ensemble"},
        {KYPROP_COMPOSER, "Dvořák"},
        {KYPROP_PERFORMER, "Band"},
        {KYPROP_CONDUCTOR, "Conductor"},
        {KYPROP_PUBLISHER, "Label"},
        {KYPROP_ALBUM, "Album"},
        {KYPROP_TRACK_NUMBER, "3/12"},
        {KYPROP_GENRE, "Progressive Rock"},
        {KYPROP_YEAR, "1999"},
        {KYPROP_COMMENT, std::string(150, 'x') + std::string(50, 'y') + "€" + std::string(99, 'z')},
        {KYPROP_COPYRIGHT, "℗ 1999"},
        {KYPROP_URL, "http://example.org/"},
        {KYPROP_TRACK_GAIN, "-6.50 dB"},
        {KYPROP_ALBUM_GAIN, "-7.25 dB"},
        {KYPROP_PEAK, "0.988831"},
        {KYPROP_ISRC, "USRC17607839"},
    };
    setTexts(props, given);
    EXPECT_EQ(parseId3v2(kyBuildId3v2Tag(props, {64})), given);
}

TEST(Id3v2Reader, EachVersionsLayout) {
    struct Case {
        const char* name;
        Bytes tag;
        Expected expected;
    };
    const Bytes v22 =
        id3Tag(2, 0,
               latin1Frame(2, "TT2", "Title two") +
                   id3Frame(2, "TP1", id3Text(1, utf16(u"アーティスト") + Bytes{0, 0})) +
                   id3Frame(2, "COM", id3Text(0, bytesOf("eng") + Bytes{0} + bytesOf("Comment"))) +
                   id3Frame(2, "TXX",
                            id3Text(0, bytesOf("REPLAYGAIN_TRACK_GAIN") + Bytes{0} +
                                           bytesOf("-3.00 dB"))) +
                   latin1Frame(2, "TCO", "(17)") + latin1Frame(2, "TYE", "1998") +
                   latin1Frame(2, "PIC", "not text") + Bytes(20, 0));

    // ID3v2.3, unsynchronised as a whole, with an extended header (and CRC): texts with 0xFF
    // bytes get 0x00 stuffed after them.
    const Bytes v23frames = Bytes{0, 0, 0, 10, 0x80, 0, 0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78} +
                            latin1Frame(3, "TIT2", "\xFF\xFF title \xFF") +
                            id3Frame(3, "TPE1", id3Text(1, utf16(u"ÿ artist ÿ") + Bytes{0, 0})) +
                            latin1Frame(3, "TCON", "(79)Hard Rock, Live") + Bytes(10, 0);
    const Bytes v23 = id3Tag(3, 0x80 | 0x40, unsynchronise(v23frames));

    // ID3v2.4 with an extended header, a footer, frames in UTF-8 and big-endian UTF-16, a
    // frame unsynchronised on its own with a data length indicator, several values in one
    // frame, and a frame size written plainly as some writers do.
    const Bytes unsyncedBody = unsynchronise(id3Text(0, bytesOf("\xFF\xE0 album")));
    const Bytes v24frames =
        Bytes{0, 0, 0, 6, 1, 0} + // extended header: 6 bytes, no flags set
        id3Frame(4, "TIT2", id3Text(3, bytesOf("Ünïcödé title"))) +
        id3Frame(4, "TPE1", id3Text(2, utf16(u"Большой", true, false) + Bytes{0, 0})) +
        id3Frame(4, "TALB", synchsafe(9) + unsyncedBody, 0x02 | 0x01) +
        id3Frame(
            4, "TCON",
            id3Text(0, bytesOf("Rock") + Bytes{0} + bytesOf("Pop") + Bytes{0} + bytesOf("52"))) +
        id3Frame(4, "TDRC", id3Text(0, bytesOf("2001-05-03"))) +
        id3Frame(4, "COMM",
                 id3Text(3, bytesOf(std::string_view("eng\0", 4)) + bytesOf(std::string(200, 'c'))),
                 0, true) +
        id3Frame(4, "TXXX",
                 id3Text(3, bytesOf("replaygain_album_gain") + Bytes{0} + bytesOf("+1.50 dB")));
    Bytes v24 = id3Tag(4, 0x40 | 0x10, v24frames);
    v24 = v24 + id3Footer(v24);

    const Case cases[] = {
        {"2.2",
         v22,
         {{KYPROP_TITLE, "Title two"},
          {KYPROP_ARTIST, "アーティスト"},
          {KYPROP_COMMENT, "Comment"},
          {KYPROP_TRACK_GAIN, "-3.00 dB"},
          {KYPROP_GENRE, "Rock"},
          {KYPROP_YEAR, "1998"}}},
        {"2.3 unsynchronised",
         v23,
         {{KYPROP_TITLE, "ÿÿ title ÿ"},
          {KYPROP_ARTIST, "ÿ artist ÿ"},
          {KYPROP_GENRE, "Hard Rock, Live"}}},
        {"2.4",
         v24,
         {{KYPROP_TITLE, "Ünïcödé title"},
          {KYPROP_ARTIST, "Большой"},
          {KYPROP_ALBUM, "ÿà album"},
          {KYPROP_GENRE, "Rock; Pop; Electronic"},
          {KYPROP_YEAR, "2001-05-03"},
          {KYPROP_COMMENT, std::string(200, 'c')},
          {KYPROP_ALBUM_GAIN, "+1.50 dB"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(kyId3v2TagSize(c.tag.data(), c.tag.size()), c.tag.size());
        EXPECT_EQ(parseId3v2(c.tag), c.expected);
    }
    EXPECT_EQ(kyId3v2TagSizeFromFooter(v24.data() + v24.size() - 10, 10), v24.size());
}

TEST(Id3v2Reader, FrameFlagsAndTheReplayGainFrames) {
    // Compressed and encrypted frames are skipped; a grouped frame is read past its group
    // byte; RGAD fills in only what the text frames leave out.
    const Bytes v23 =
        id3Tag(3, 0,
               id3Frame(3, "TIT2", be32(100) + Bytes{0x78, 0x9C, 1, 2, 3}, 0x80) +
                   id3Frame(3, "TPE1", Bytes{0x81} + id3Text(0, bytesOf("secret")), 0x40) +
                   id3Frame(3, "TALB", Bytes{0x81} + id3Text(0, bytesOf("Grouped")), 0x20) +
                   id3Frame(3, "RGAD", Bytes{0x3F, 0, 0, 0, 0x2E, 0x3F, 0x4C, 0x0A}) +
                   id3Frame(3, "TXXX",
                            id3Text(0, bytesOf("replaygain_track_gain") + Bytes{0} +
                                           bytesOf("-6.27 dB") + Bytes{0})));
    EXPECT_EQ(parseId3v2(v23), (Expected{{KYPROP_ALBUM, "Grouped"},
                                         {KYPROP_TRACK_GAIN, "-6.27 dB"},
                                         {KYPROP_ALBUM_GAIN, "1.000000 dB"},
                                         {KYPROP_PEAK, "0.500000"}}));
    const Bytes v24 =
        id3Tag(4, 0,
               id3Frame(4, "TIT2", id3Text(0, bytesOf("zipped")), 0x08) +
                   id3Frame(4, "TPE1", id3Text(0, bytesOf("locked")), 0x04) +
                   id3Frame(4, "TALB", Bytes{7} + id3Text(0, bytesOf("Grouped")), 0x40) +
                   id3Frame(4, "TCOM", synchsafe(7) + id3Text(0, bytesOf("Length")), 0x01));
    EXPECT_EQ(parseId3v2(v24), (Expected{{KYPROP_ALBUM, "Grouped"}, {KYPROP_COMPOSER, "Length"}}));

    // Comments: the one without a description wins over described ones; player data
    // ("iTunNORM") never becomes the comment.
    const Bytes comments = id3Tag(
        3, 0,
        id3Frame(3, "COMM",
                 id3Text(0, bytesOf("eng") + bytesOf("iTunNORM") + Bytes{0} + bytesOf(" 0000 1"))) +
            id3Frame(3, "COMM",
                     id3Text(0, bytesOf("eng") + bytesOf("Source") + Bytes{0} + bytesOf("LP"))) +
            id3Frame(3, "COMM",
                     id3Text(1, bytesOf("eng") + Bytes{0, 0} + utf16(u"Plain") + Bytes{0, 0})) +
            id3Frame(3, "COMM",
                     id3Text(0, bytesOf("eng") + bytesOf("Other") + Bytes{0} + bytesOf("x"))) +
            id3Frame(3, "WXXX",
                     id3Text(1, utf16(u"desc") + Bytes{0, 0} + bytesOf("http://a.example/"))));
    EXPECT_EQ(parseId3v2(comments),
              (Expected{{KYPROP_COMMENT, "Plain"}, {KYPROP_URL, "http://a.example/"}}));
}

TEST(Id3v2Reader, DamagedTagsAreReadOnlyAsFarAsTheyHold) {
    const Bytes good = latin1Frame(3, "TIT2", "Good");
    const ParseCase cases[] = {
        {"size with a top bit set",
         bytesOf("ID3") + Bytes{3, 0, 0, 0, 0, 0x80, 0} + good,
         false,
         {}},
        {"unknown version", id3Tag(5, 0, good), false, {}},
        {"revision 0xFF",
         bytesOf("ID3") + Bytes{3, 0xFF, 0} + synchsafe(uint32_t(good.size())) + good,
         false,
         {}},
        {"cut short", cut(id3Tag(3, 0, good + good), 3), true, {{KYPROP_TITLE, "Good"}}},
        {"frame larger than the tag",
         id3Tag(3, 0, good + bytesOf("TPE1") + be32(1000) + Bytes{0, 0, 0} + bytesOf("Artist")),
         true,
         {{KYPROP_TITLE, "Good"}}},
        {"frame size 0xFFFFFFFF",
         id3Tag(3, 0, bytesOf("TPE1") + be32(0xFFFFFFFF) + Bytes{0, 0} + good),
         true,
         {}},
        {"empty frames",
         id3Tag(3, 0,
                id3Frame(3, "TPE1", {}) + id3Frame(3, "COMM", {0}) + id3Frame(3, "TXXX", {}) +
                    id3Frame(3, "WXXX", {1}) + good),
         true,
         {{KYPROP_TITLE, "Good"}}},
        {"not a frame id",
         id3Tag(3, 0, good + latin1Frame(3, "tpe1", "x") + latin1Frame(3, "TALB", "y")),
         true,
         {{KYPROP_TITLE, "Good"}}},
        {"extended header larger than the tag", id3Tag(3, 0x40, be32(500) + good), true, {}},
        {"2.4 extended header below its least size",
         id3Tag(4, 0x40, synchsafe(2) + good),
         true,
         {}},
        {"2.2 compressed tag", id3Tag(2, 0x40, latin1Frame(2, "TT2", "x")), true, {}},
        {"no encoding byte",
         id3Tag(3, 0, id3Frame(3, "TIT2", bytesOf("Plain text"))),
         true,
         {{KYPROP_TITLE, "Plain text"}}},
        {"Latin-1 marked as UTF-8",
         id3Tag(4, 0, id3Frame(4, "TIT2", id3Text(3, bytesOf("Caf\xE9")))),
         true,
         {{KYPROP_TITLE, "Café"}}},
        {"UTF-16 with an odd last byte",
         id3Tag(3, 0, id3Frame(3, "TIT2", id3Text(1, utf16(u"ab") + Bytes{'c'}))),
         true,
         {{KYPROP_TITLE, "ab"}}},
        {"UTF-16 without a mark",
         id3Tag(3, 0, id3Frame(3, "TIT2", id3Text(1, utf16(u"ab", false, false)))),
         true,
         {{KYPROP_TITLE, "ab"}}},
        {"comment without terminators",
         id3Tag(3, 0, id3Frame(3, "COMM", id3Text(0, bytesOf("engdescription")))),
         true,
         {}},
        {"grouped frame without its byte",
         id3Tag(3, 0, id3Frame(3, "TALB", {}, 0x20) + good),
         true,
         {{KYPROP_TITLE, "Good"}}},
        {"2.4 frame shorter than its indicator",
         id3Tag(4, 0, id3Frame(4, "TALB", {0, 0}, 0x01)),
         true,
         {}},
        {"RGAD cut short", id3Tag(3, 0, id3Frame(3, "RGAD", {0x3F, 0, 0, 0, 0x2E})), true, {}},
        {"unsynchronised tag ending in 0xFF",
         id3Tag(3, 0x80, good + Bytes{0xFF}),
         true,
         {{KYPROP_TITLE, "Good"}}},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.name);
        kyPropertyTable props;
        EXPECT_EQ(kyParseId3v2Tag(c.tag.data(), c.tag.size(), props), c.parsed);
        EXPECT_EQ(propertiesOf(props), c.expected);
    }
    // The size of an unknown version is still known, so a reader can skip it.
    const Bytes v5 = id3Tag(5, 0, good);
    EXPECT_EQ(kyId3v2TagSize(v5.data(), v5.size()), v5.size());
    EXPECT_EQ(kyId3v2TagSize(v5.data(), 9), 0u);
}

TEST(Id3v1Reader, BothLayouts) {
    struct Case {
        const char* name;
        Bytes tag;
        Expected expected;
    } cases[] = {
        {"1.1",
         id3v1("Title", "Comment", 0, 5, 17),
         {{KYPROP_TITLE, "Title"},
          {KYPROP_ARTIST, "Artist"},
          {KYPROP_ALBUM, "Album"},
          {KYPROP_YEAR, "1987"},
          {KYPROP_COMMENT, "Comment"},
          {KYPROP_TRACK_NUMBER, "5"},
          {KYPROP_GENRE, "Rock"}}},
        {"1.0 with a 30-character comment",
         id3v1("T", "twenty-eight characters here", 'A', 'B', 255),
         {{KYPROP_TITLE, "T"},
          {KYPROP_ARTIST, "Artist"},
          {KYPROP_ALBUM, "Album"},
          {KYPROP_YEAR, "1987"},
          {KYPROP_COMMENT, "twenty-eight characters hereAB"}}},
        {"space padding and Windows-1252",
         id3v1("Caf\xE9 \x80   ", "", 0, 0, 200),
         {{KYPROP_TITLE, "Café €"},
          {KYPROP_ARTIST, "Artist"},
          {KYPROP_ALBUM, "Album"},
          {KYPROP_YEAR, "1987"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kyPropertyTable props;
        ASSERT_TRUE(kyParseId3v1Tag(c.tag.data(), c.tag.size(), props));
        EXPECT_EQ(propertiesOf(props), c.expected);
    }
    kyPropertyTable props;
    Bytes notTag = id3v1("T", "", 0, 0, 0);
    notTag[0] = 'X';
    EXPECT_FALSE(kyParseId3v1Tag(notTag.data(), notTag.size(), props));
    EXPECT_FALSE(kyParseId3v1Tag(notTag.data(), 100, props));

    // What the writer makes reads back.
    props.setUtf8(KYPROP_TITLE, "Written");
    props.setUtf8(KYPROP_TRACK_NUMBER, "9");
    props.setUtf8(KYPROP_GENRE, "Jazz");
    auto tag = kyBuildId3v1Tag(props);
    kyPropertyTable back;
    ASSERT_TRUE(kyParseId3v1Tag(tag->data(), tag->size(), back));
    EXPECT_EQ(
        propertiesOf(back),
        (Expected{{KYPROP_TITLE, "Written"}, {KYPROP_TRACK_NUMBER, "9"}, {KYPROP_GENRE, "Jazz"}}));
}

TEST(ApeTagReader, VersionsItemsAndDamage) {
    const ParseCase cases[] = {
        {"APEv2 with every kind of item",
         apeTag(2000, {apeItem("TITLE", bytesOf("Title")),
                       apeItem("Artist", bytesOf(std::string_view("A\0B", 3))),
                       apeItem("Cover Art (Front)", Bytes{0xFF, 0xD8, 0}, 2),
                       apeItem("Album", bytesOf("http://link"), 4),
                       apeItem("REPLAYGAIN_TRACK_GAIN", bytesOf("-1.00 dB")),
                       apeItem("Replay Gain (radio)", bytesOf("-2.00 dB")),
                       apeItem("Replay Gain (album)", bytesOf("-3.00 dB")),
                       apeItem("REPLAYGAIN_ALBUM_GAIN", bytesOf("-4.00 dB")),
                       apeItem("Comment", bytesOf(std::string_view("with NUL\0", 9))),
                       apeItem("Year", bytesOf("Caf\xE9"))}),
         true,
         {{KYPROP_TITLE, "Title"},
          {KYPROP_ARTIST, "A; B"},
          {KYPROP_TRACK_GAIN, "-2.00 dB"},
          {KYPROP_ALBUM_GAIN, "-3.00 dB"},
          {KYPROP_COMMENT, "with NUL"},
          {KYPROP_YEAR, "Café"}}},
        {"APEv1 (footer only, flags not read)",
         apeTag(1000, {apeItem("Title", bytesOf("Old"), 2), apeItem("Track", bytesOf("4"))}),
         true,
         {{KYPROP_TITLE, "Old"}, {KYPROP_TRACK_NUMBER, "4"}}},
        {"value larger than the tag",
         apeTag(2000, {apeItem("Title", bytesOf("ok")),
                       le32(1000) + le32(0) + bytesOf("Artist") + Bytes{0} + bytesOf("short")}),
         true,
         {{KYPROP_TITLE, "ok"}}},
        {"key without its NUL",
         apeTag(2000, {apeItem("Title", bytesOf("ok")), le32(1) + le32(0) + bytesOf("Artist")}),
         true,
         {{KYPROP_TITLE, "ok"}}},
        {"key with control characters",
         apeTag(2000, {apeItem("Ti\ttle", bytesOf("x")), apeItem("Artist", bytesOf("y"))}),
         true,
         {}},
        {"one-character key", apeTag(2000, {apeItem("T", bytesOf("x"))}), true, {}},
        {"more items announced than there are",
         apeHeader(2000, 32 + 15, 50, 0xA0000000u) + apeItem("Title", bytesOf("o")) +
             apeHeader(2000, 32 + 15, 50, 0x80000000u),
         true,
         {{KYPROP_TITLE, "o"}}},
        {"size below a footer", apeHeader(2000, 16, 0, 0), false, {}},
        {"size beyond the block", apeHeader(2000, 4000, 1, 0), false, {}},
        {"no footer", bytesOf("APETAGEY") + Bytes(24, 0), false, {}},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.name);
        kyPropertyTable props;
        EXPECT_EQ(kyParseApeTag(c.tag.data(), c.tag.size(), props), c.parsed);
        EXPECT_EQ(propertiesOf(props), c.expected);
    }

    kyPropertyTable props;
    const Expected given = {{KYPROP_TITLE, "日本語"},  {KYPROP_ARTIST, "Artist"},
                            {KYPROP_URL, "http://x/"}, {KYPROP_TRACK_GAIN, "-6.50 dB"},
                            {KYPROP_PEAK, "0.9"},      {KYPROP_ISRC, "ISRC1"}};
    setTexts(props, given);
    const Bytes tag = kyBuildApeTag(props);
    kyPropertyTable back;
    ASSERT_TRUE(kyParseApeTag(tag.data(), tag.size(), back));
    EXPECT_EQ(propertiesOf(back), given);
}

TEST(FileTags, WhereTheTagsSitWhichWinsAndWhatIsNotATag) {
    const Bytes audio = mpegFrames(3);
    kyPropertyTable v2props, apeProps, v1props;
    v2props.setUtf8(KYPROP_TITLE, "From ID3v2");
    setTexts(apeProps, {{KYPROP_TITLE, "From APE"}, {KYPROP_ALBUM, "Album from APE"}});
    setTexts(
        v1props,
        {{KYPROP_TITLE, "From ID3v1"}, {KYPROP_ALBUM, "Album from ID3v1"}, {KYPROP_GENRE, "Jazz"}});
    const Bytes v2 = kyBuildId3v2Tag(v2props, {100});
    const Bytes ape = kyBuildApeTag(apeProps);
    const Bytes v1 = id3v1Of(v1props);
    const Bytes lyrics = lyrics3v2("Some lyrics");
    const Bytes lyricsV1 =
        bytesOf("LYRICSBEGIN") + bytesOf("Old lyrics\r\n") + bytesOf("LYRICSEND");
    Bytes appended = id3Tag(4, 0x10, latin1Frame(4, "TALB", "Appended album"));
    appended = appended + id3Footer(appended);

    // Damaged blocks: they stay part of the audio.
    Bytes tooLong = v2;
    tooLong[6] = 0x01; // the size runs past the end of the file
    Bytes apeNoHeader = ape;
    apeNoHeader.erase(apeNoHeader.begin(), apeNoHeader.begin() + 32); // footer still says header
    Bytes badDigits = lyrics;
    badDigits[badDigits.size() - 10] = 'x';
    Bytes noBegin = lyrics;
    noBegin[0] = 'X';
    const Bytes hugeLyrics = bytesOf("999999LYRICS200");
    const Bytes footerOnly = id3Footer(appended);

    const Expected all = {
        {KYPROP_TITLE, "From ID3v2"}, {KYPROP_ALBUM, "Album from APE"}, {KYPROP_GENRE, "Jazz"}};
    const Expected fromV1 = {
        {KYPROP_TITLE, "From ID3v1"}, {KYPROP_ALBUM, "Album from ID3v1"}, {KYPROP_GENRE, "Jazz"}};
    const uint32_t allKinds = KY_TAG_ID3V2 | KY_TAG_APE | KY_TAG_LYRICS3 | KY_TAG_ID3V1;
    const size_t a = audio.size();
    struct Case {
        const char* name;
        Bytes file;
        uint64_t start, end;
        uint32_t found;
        Expected expected;
    } cases[] = {
        {"ID3v2, audio, APE, Lyrics3 v2, ID3v1", v2 + audio + ape + lyrics + v1, v2.size(),
         v2.size() + a, allKinds, all},
        {"Lyrics3 v2 before the APE tag", v2 + audio + lyrics + ape + v1, v2.size(), v2.size() + a,
         allKinds, all},
        {"Lyrics3 v1", audio + lyricsV1 + v1, 0, a, KY_TAG_LYRICS3 | KY_TAG_ID3V1, fromV1},
        {"Lyrics3 v2 without ID3v1", audio + lyrics, 0, a, KY_TAG_LYRICS3, {}},
        {"two ID3v2 tags in front, one appended",
         v2 + v2 + audio + appended,
         2 * v2.size(),
         2 * v2.size() + a,
         KY_TAG_ID3V2,
         {{KYPROP_TITLE, "From ID3v2"}, {KYPROP_ALBUM, "Appended album"}}},
        {"no tags", audio, 0, a, 0, {}},
        {"nothing but tags",
         v2 + v1,
         v2.size(),
         v2.size(),
         KY_TAG_ID3V2 | KY_TAG_ID3V1,
         {{KYPROP_TITLE, "From ID3v2"},
          {KYPROP_ALBUM, "Album from ID3v1"},
          {KYPROP_GENRE, "Jazz"}}},
        {"empty file", {}, 0, 0, 0, {}},
        {"ID3v2 longer than the file", tooLong + audio, 0, tooLong.size() + a, 0, {}},
        {"APE header announced but missing",
         audio + apeNoHeader,
         0,
         a,
         KY_TAG_APE,
         {{KYPROP_TITLE, "From APE"}, {KYPROP_ALBUM, "Album from APE"}}},
        {"Lyrics3 size not digits", audio + badDigits, 0, a + badDigits.size(), 0, {}},
        {"Lyrics3 without its beginning", audio + noBegin, 0, a + noBegin.size(), 0, {}},
        {"Lyrics3 size past the file", audio + hugeLyrics, 0, a + hugeLyrics.size(), 0, {}},
        {"ID3v2 footer without its tag", audio + footerOnly, 0, a + footerOnly.size(), 0, {}},
        {"ID3v1 alone is too short", Bytes{'T', 'A', 'G'}, 0, 3, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Scan s = scan(c.file);
        EXPECT_EQ(s.result, KY_OK);
        EXPECT_EQ(s.layout.audioStart, c.start);
        EXPECT_EQ(s.layout.audioEnd, c.end);
        EXPECT_EQ(s.layout.found, c.found);
        EXPECT_EQ(s.properties, c.expected);
    }

    // A read that fails is an error, not a missing tag.
    kyPropertyTable p;
    kyTagLayout layout;
    EXPECT_EQ(kyReadTags([](uint64_t, void*, size_t) { return false; }, 4096, p, layout),
              KYERR_READ_FILE);
}

TEST(FileTags, ReadsAnOpenFile) {
    ScratchDir dir;
    kyPropertyTable props;
    props.setUtf8(KYPROP_TITLE, "On disk");
    props.setUtf8(KYPROP_YEAR, "2024");
    const Bytes file = kyBuildId3v2Tag(props) + mpegFrames(2) + id3v1Of(props);
    ASSERT_TRUE(writeFile(dir.path("a.mp3"), file));
    const int fd = ::open(dir.path("a.mp3").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    kyPropertyTable back;
    kyTagLayout layout;
    EXPECT_EQ(kyReadFileTags(fd, file.size(), back, layout), KY_OK);
    ::close(fd);
    EXPECT_EQ(layout.audioEnd - layout.audioStart, mpegFrames(2).size());
    EXPECT_STREQ(back.getUtf8(KYPROP_TITLE), "On disk");
    EXPECT_STREQ(back.getUtf8(KYPROP_YEAR), "2024");
}
