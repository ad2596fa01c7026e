// xmcd records: reading the database's records (joined lines, escapes, charsets, odd keys),
// writing them (escapes, safe wrapping of long values) and reading back what was written.
#include "metadata/xmcd.h"

#include "support/test_discs.h"

#include <gtest/gtest.h>
#include <random>

namespace {

DiscInfo rowsFor(const kyDiscToc& toc) {
    DiscInfo info;
    info.makeRows(toc);
    return info;
}

DiscInfo parse(const std::string& body, uint32_t tracks = 12) {
    DiscInfo info = rowsFor(kytest::evenToc(tracks));
    std::string error;
    EXPECT_TRUE(discInfoFromXmcd("# xmcd\n" + body, info, error)) << error;
    return info;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    for (size_t pos = 0; pos < text.size();) {
        const size_t eol = text.find("\r\n", pos);
        EXPECT_NE(eol, std::string::npos) << "every line ends in CR LF";
        if (eol == std::string::npos) break;
        out.push_back(text.substr(pos, eol - pos));
        pos = eol + 2;
    }
    return out;
}

bool validUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const size_t n = b < 0x80             ? 1
                         : (b & 0xE0) == 0xC0 ? 2
                         : (b & 0xF0) == 0xE0 ? 3
                         : (b & 0xF8) == 0xF0 ? 4
                                              : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

} // namespace

TEST(XmcdRead, DiscTitleLinesJoinBeforeTheyAreSplit) {
    struct Case {
        const char* body;
        const char* artist;
        const char* title;
    } cases[] = {
        {"DTITLE=Various / Hits\nDTITLE= Vol. 2\n", "Various", "Hits Vol. 2"},
        {"DTITLE=A very long artist\nDTITLE= name / Album\n", "A very long artist name", "Album"},
        {"DTITLE=Artist /\nDTITLE= Album\n", "Artist", "Album"}, // separator across lines
        {"DTITLE=Only One Name\n", "Only One Name", ""},
        {"dtitle=Lower / Case Key\n", "Lower", "Case Key"},
        {"DTITLE=AC/DC / Back in Black\n", "AC/DC", "Back in Black"},
        {"DTITLE=A / B / C\n", "A", "B / C"},
    };
    for (const Case& c : cases) {
        const DiscInfo info = parse(c.body);
        EXPECT_EQ(info.artist, c.artist) << c.body;
        EXPECT_EQ(info.title, c.title) << c.body;
    }
}

TEST(XmcdRead, KeysCommentsAndTrackIndices) {
    const DiscInfo info = parse("#\n# Track frame offsets:\n#   150\n# Revision: 7\n"
                                "# Submitted via: something 1.0\n"
                                "DISCID=9a0c3b0c,9a0c3b0d\n"
                                "DYEAR=1987\nDGENRE=Synth\nDGENRE=pop\n"
                                "TTITLE0=First\nTTITLE1=Sec\nTTITLE1=ond\nttitle2=third\n"
                                "TTITLE11=Last\nTTITLE12=Beyond the disc\nTTITLE120=Far beyond\n"
                                "TTITLEx=not a track\nEXTD=Liner\\nnotes\nEXTT1=About two\n"
                                "EXTT99=nowhere\nPLAYORDER=1,2\nUNKNOWN=whatever\n"
                                "a line without an equals sign\n\n");
    EXPECT_EQ(info.revision, 7);
    EXPECT_EQ(info.discId, "9a0c3b0c");
    EXPECT_EQ(info.year, 1987);
    EXPECT_EQ(info.genre, "Synthpop");
    ASSERT_EQ(info.tracks.size(), 12u);
    EXPECT_EQ(info.tracks[0].name, "First");
    EXPECT_EQ(info.tracks[1].name, "Second");
    EXPECT_EQ(info.tracks[2].name, "third");
    EXPECT_EQ(info.tracks[3].name, "Track 04");
    EXPECT_EQ(info.tracks[11].name, "Last");
    EXPECT_EQ(info.extended, "Liner\r\nnotes");
    EXPECT_EQ(info.tracks[1].extended, "About two");

    // Without a revision comment the record is revision 0; fields it lacks stay.
    DiscInfo kept = rowsFor(kytest::evenToc(2));
    kept.genre = "kept";
    kept.revision = -1;
    std::string error;
    ASSERT_TRUE(discInfoFromXmcd("# XMCD CD database file\r\nTTITLE0=x\r\n", kept, error));
    EXPECT_EQ(kept.revision, 0);
    EXPECT_EQ(kept.genre, "kept");
    EXPECT_EQ(kept.tracks[0].name, "x");

    DiscInfo untouched = rowsFor(kytest::evenToc(2));
    EXPECT_FALSE(discInfoFromXmcd("210 rock 12345678\nTTITLE0=x\n", untouched, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(untouched.tracks[0].name, "Track 01");
    EXPECT_EQ(untouched.revision, -1);
}

TEST(XmcdRead, EscapesAndCharactersSurviveLineBreaks) {
    struct Case {
        const char* body;
        std::string name;
    } cases[] = {
        {"TTITLE0=a\\nb\\tc\\\\d\\qe\n", "a\r\nb\tc\\d\\qe"},
        {"TTITLE0=split \\\nTTITLE0=n escape\n", "split \r\n escape"},          // "\" + "n"
        {"TTITLE0=back\\\\\nTTITLE0=slash\n", "back\\slash"},                   // "\\" whole
        {"TTITLE0=caf\xC3\nTTITLE0=\xA9 au lait\n", "caf\xC3\xA9 au lait"},     // é torn
        {"TTITLE0=\xF0\x9D\nTTITLE0=\x84\x9E clef\n", "\xF0\x9D\x84\x9E clef"}, // 4-byte
        {"TTITLE0=trailing backslash\\\n", "trailing backslash\\"},
        {"TTITLE0=Caf\xE9 cr\xE8me \x80\n", "Caf\xC3\xA9 cr\xC3\xA8me \xE2\x82\xAC"}, // 8-bit
    };
    for (const Case& c : cases) EXPECT_EQ(parse(c.body).tracks[0].name, c.name) << c.body;

    // A record mixing a UTF-8 value with a Latin-1 one reads both right.
    const DiscInfo mixed = parse("DTITLE=Bj\xC3\xB6rk / Homog\xC3\xA9nic\nTTITLE0=Hunter\n"
                                 "TTITLE1=J\xF3ga\n");
    EXPECT_EQ(mixed.artist, "Bj\xC3\xB6rk");
    EXPECT_EQ(mixed.title, "Homog\xC3\xA9nic");
    EXPECT_EQ(mixed.tracks[1].name, "J\xC3\xB3ga");
}

TEST(XmcdWrite, RecordOfATwoTrackDisc) {
    kyDiscToc toc = kytest::twoTrackToc();
    DiscInfo info = rowsFor(toc);
    info.artist = "Artist";
    info.title = "Album";
    info.genre = "Post-rock";
    info.year = 2003;
    info.tracks[0].name = "One";
    info.tracks[1].name = "Two";
    info.tracks[1].extended = "Live";
    EXPECT_EQ(xmcdRecord(info, toc, 4, "DskR v5.0"),
              "# xmcd\r\n#\r\n# Track frame offsets:\r\n#   150\r\n#   15150\r\n#\r\n"
              "# Disc length: 402 seconds\r\n#\r\n# Revision: 4\r\n"
              "# Submitted via: DskR v5.0\r\n#\r\n"
              "DISCID=06019002\r\nDTITLE=Artist / Album\r\nDYEAR=2003\r\nDGENRE=Post-rock\r\n"
              "TTITLE0=One\r\nTTITLE1=Two\r\nEXTD=\r\nEXTT0=\r\nEXTT1=Live\r\nPLAYORDER=\r\n");
    // No year is an empty DYEAR, not a year 0.
    info.year = 0;
    EXPECT_NE(xmcdRecord(info, toc, 0, "x").find("\r\nDYEAR=\r\n"), std::string::npos);
    EXPECT_EQ(xmcdFrameOffsets(xmcdRecord(info, toc, 0, "x")), (std::vector<uint32_t>{150, 15150}));
    EXPECT_TRUE(xmcdFrameOffsets("# xmcd\nDTITLE=x\n").empty());
}

TEST(XmcdWrite, EscapingOfValues) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\\b", "a\\\\b"},
        {"line\r\nbreak", "line\\nbreak"},
        {"lf cr\n\rpair", "lf cr\\npair"},
        {"lone\nlf and lone\rcr", "lone\\nlf and lone\\ncr"},
        {"two\r\n\r\nbreaks", "two\\n\\nbreaks"},
        {"tab\there", "tab\\there"},
        {std::string("bell\x07 nul") + '\0' + "x", "bell  nul x"},
        {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
    };
    for (const auto& [value, escaped] : cases) {
        EXPECT_EQ(xmcdEscape(value), escaped);
        std::string out;
        appendXmcdLines(out, "EXTD", value);
        EXPECT_EQ(out, "EXTD=" + escaped + "\r\n");
    }
}

TEST(XmcdWrite, LongValuesWrapIntoLinesOfAtMost253Bytes) {
    std::string out;
    appendXmcdLines(out, "EXTD", std::string(600, 'x'));
    const auto pieces = lines(out);
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0], "EXTD=" + std::string(248, 'x'));
    EXPECT_EQ(pieces[1], "EXTD=" + std::string(248, 'x'));
    EXPECT_EQ(pieces[2], "EXTD=" + std::string(104, 'x'));

    // An escape or a character that would straddle the cut moves whole to the next line.
    out.clear();
    appendXmcdLines(out, "EXTD", std::string(247, 'x') + "\t" + std::string(10, 'y'));
    EXPECT_EQ(lines(out)[0], "EXTD=" + std::string(247, 'x'));
    EXPECT_EQ(lines(out)[1], "EXTD=\\t" + std::string(10, 'y'));
    out.clear();
    appendXmcdLines(out, "EXTD", std::string(247, 'x') + "\xE2\x82\xAC");
    EXPECT_EQ(lines(out)[0], "EXTD=" + std::string(247, 'x'));
    EXPECT_EQ(lines(out)[1], "EXTD=\xE2\x82\xAC");
}

// Records written and read back are equal, with 1000-character values of multibyte
// characters, escapes and line breaks in every field; every line is whole UTF-8, short
// enough, and no escape is torn apart.
TEST(XmcdRoundTrip, LongMultibyteValuesComeBackEqual) {
    const std::vector<std::string> alphabet = {"a",
                                               "Z",
                                               " ",
                                               "/",
                                               "\\",
                                               "\t",
                                               "\r\n",
                                               "\xC3\xA9",
                                               "\xE2\x82\xAC",
                                               "\xF0\x9D\x84\x9E",
                                               "\xE6\x97\xA5",
                                               "n"};
    std::mt19937 random(99);
    auto text = [&](size_t characters) {
        std::string s;
        for (size_t i = 0; i < characters; ++i) s += alphabet[random() % alphabet.size()];
        return s;
    };
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        const kyDiscToc toc = kytest::evenToc(1 + round % 15);
        DiscInfo written = rowsFor(toc);
        written.artist = text(1000);
        // The first " / " of DTITLE ends the artist.
        while (written.artist.find(" / ") != std::string::npos)
            written.artist.replace(written.artist.find(" / "), 3, "_/_");
        if (written.artist.size() >= 2 && written.artist.substr(written.artist.size() - 2) == " /")
            written.artist += '.';
        written.title = text(1000);
        written.genre = text(300);
        written.extended = text(1000);
        written.year = 1950 + round;
        for (auto& row : written.tracks) {
            row.name = text(round % 2 ? 1000 : 40);
            row.extended = text(round % 3 ? 1000 : 0);
        }
        const std::string record = xmcdRecord(written, toc, round, "DskR v5.0");
        for (const std::string& line : lines(record)) {
            EXPECT_LE(line.size(), 253u);
            EXPECT_TRUE(validUtf8(line)) << line;
            size_t backslashes = 0;
            while (backslashes < line.size() && line[line.size() - 1 - backslashes] == '\\')
                ++backslashes;
            EXPECT_EQ(backslashes % 2, 0u) << line;
        }
        DiscInfo read = rowsFor(toc);
        std::string error;
        ASSERT_TRUE(discInfoFromXmcd(record, read, error)) << error;
        EXPECT_EQ(read.artist, written.artist);
        EXPECT_EQ(read.title, written.title);
        EXPECT_EQ(read.genre, written.genre);
        EXPECT_EQ(read.extended, written.extended);
        EXPECT_EQ(read.year, written.year);
        EXPECT_EQ(read.revision, round);
        for (size_t i = 0; i < written.tracks.size(); ++i) {
            EXPECT_EQ(read.tracks[i].name, written.tracks[i].name);
            EXPECT_EQ(read.tracks[i].extended, written.tracks[i].extended);
        }
    }
}
