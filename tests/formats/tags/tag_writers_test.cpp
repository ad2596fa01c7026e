// The tag writers byte by byte: ID3v2.3 frames and their encodings, the header size, RGAD
// words, the ID3v1.1 layout, genre numbers, APE items, and failures to write.
#include "core/manager.h"
#include "formats/tags/ape_tag.h"
#include "formats/tags/genres.h"
#include "formats/tags/id3v1.h"
#include "formats/tags/id3v2.h"
#include "formats/tags/replay_gain.h"
#include "formats/writer_filter.h"
#include "platform/file_io.h"
#include "support/chain_helpers.h"
#include "support/codec_test_files.h"
#include "support/tag_blocks.h"
#include <cmath>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

using namespace kytest;

namespace {

// The frames of an ID3v2.3 tag by id (several frames of one id in order), after checking
// that the header's size says exactly how many bytes follow it.
std::multimap<std::string, Bytes> framesOf(const Bytes& tag) {
    std::multimap<std::string, Bytes> frames;
    EXPECT_GE(tag.size(), 10u);
    if (tag.size() < 10) return frames;
    EXPECT_EQ(textOf(Bytes(tag.begin(), tag.begin() + 5)), std::string("ID3\x03\x00", 5));
    const uint32_t size = (tag[6] << 21) | (tag[7] << 14) | (tag[8] << 7) | tag[9];
    EXPECT_EQ(size + 10, tag.size());
    size_t pos = 10;
    while (pos + 10 <= tag.size() && tag[pos] != 0) {
        const std::string id(tag.begin() + pos, tag.begin() + pos + 4);
        const uint32_t n =
            (tag[pos + 4] << 24) | (tag[pos + 5] << 16) | (tag[pos + 6] << 8) | tag[pos + 7];
        EXPECT_EQ(tag[pos + 8], 0);
        EXPECT_EQ(tag[pos + 9], 0);
        EXPECT_LE(pos + 10 + n, tag.size());
        frames.emplace(id, Bytes(tag.begin() + pos + 10, tag.begin() + pos + 10 + n));
        pos += 10 + n;
    }
    return frames;
}

std::vector<std::string> frameOrder(const Bytes& tag) {
    std::vector<std::string> ids;
    for (size_t pos = 10; pos + 10 <= tag.size() && tag[pos] != 0;) {
        ids.emplace_back(tag.begin() + pos, tag.begin() + pos + 4);
        pos +=
            10 + ((tag[pos + 4] << 24) | (tag[pos + 5] << 16) | (tag[pos + 6] << 8) | tag[pos + 7]);
    }
    return ids;
}

Bytes fileBytes(int fd) {
    struct stat st {};
    fstat(fd, &st);
    Bytes b(static_cast<size_t>(st.st_size));
    kyReadExactlyAt(fd, 0, b.data(), b.size());
    return b;
}

class TempFile {
public:
    explicit TempFile(int flags = O_RDWR) {
        path = dir.path("tag.bin");
        fd = ::open(path.c_str(), O_CREAT | O_TRUNC | flags, 0644);
    }
    ~TempFile() {
        if (fd >= 0) ::close(fd);
    }
    ScratchDir dir;
    std::string path;
    int fd;
};

} // namespace

TEST(Id3v2Writer, TextEncodingsFitTheVersion) {
    // ID3v2.3 knows Latin-1 (0) and UTF-16 with a byte-order mark (1) only.
    struct Case {
        const char* name;
        std::u16string text;
        Bytes body;
    } cases[] = {
        {"Western European", u"Café", Bytes{0, 'C', 'a', 'f', 0xE9, 0}},
        {"Japanese", u"日本語", Bytes{1} + utf16(u"日本語") + Bytes{0, 0}},
        {"euro sign", u"5 €", Bytes{1} + utf16(u"5 €") + Bytes{0, 0}},
        {"C1 control", u"a\u0085", Bytes{1} + utf16(u"a\u0085") + Bytes{0, 0}},
        {"letters beyond Latin-1", u"Dvořák", Bytes{1} + utf16(u"Dvořák") + Bytes{0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kyPropertyTable props;
        props.setW(KYPROP_TITLE, c.text.c_str());
        const auto frames = framesOf(kyBuildId3v2Tag(props));
        ASSERT_EQ(frames.count("TIT2"), 1u);
        EXPECT_EQ(frames.find("TIT2")->second, c.body);
    }
    // Single-byte text given as Windows-1252 (0x80 is the euro sign) is not Latin-1.
    kyPropertyTable props;
    props.setA(KYPROP_ARTIST, "\x80uro");
    EXPECT_EQ(framesOf(kyBuildId3v2Tag(props)).find("TPE1")->second,
              (Bytes{1} + utf16(u"€uro") + Bytes{0, 0}));
}

TEST(Id3v2Writer, FramesInTableOrderWithCommentUrlAndReplayGain) {
    kyPropertyTable props;
    setTexts(props, {
                        {KYPROP_TITLE, "Title"},
                        {KYPROP_SUBTITLE, "Sub"},
                        {KYPROP_ARTIST, "Artist"},
                        {KYPROP_COMPOSER, "Composer"},
                        {KYPROP_PERFORMER, "Band"},
                        {KYPROP_CONDUCTOR, "Conductor"},
                        {KYPROP_PUBLISHER, "Label"},
                        {KYPROP_ALBUM, "Album"},
                        {KYPROP_TRACK_NUMBER, "3/12"},
                        {KYPROP_GENRE, "Rock"},
                        {KYPROP_YEAR, "1999"},
                        {KYPROP_COMMENT, "Nice"},
                        {KYPROP_COPYRIGHT, "(c) 1999"},
                        {KYPROP_URL, "http://example.org/"},
                        {KYPROP_TRACK_GAIN, "-6.25 dB"},
                        {KYPROP_ALBUM_GAIN, "-7.00 dB"},
                        {KYPROP_PEAK, "0.500000"},
                        {KYPROP_ISRC, "USRC17607839"},
                    });
    const Bytes tag = kyBuildId3v2Tag(props);
    EXPECT_EQ(frameOrder(tag),
              (std::vector<std::string>{"TALB", "TCOM", "TCON", "TCOP", "TIT2", "TIT3", "TPE1",
                                        "TPE2", "TPE3", "TPUB", "TRCK", "TSRC", "TYER", "COMM",
                                        "WXXX", "RGAD", "TXXX", "TXXX", "TXXX"}));
    auto frames = framesOf(tag);
    EXPECT_EQ(frames.find("COMM")->second,
              Bytes{0} + bytesOf("eng") + Bytes{0} + bytesOf("Nice") + Bytes{0});
    EXPECT_EQ(frames.find("WXXX")->second,
              Bytes{0} + bytesOf("URL") + Bytes{0} + bytesOf("http://example.org/"));
    // Peak 0.5 as a big-endian float, then the radio and audiophile words.
    EXPECT_EQ(frames.find("RGAD")->second, (Bytes{0x3F, 0x00, 0x00, 0x00, 0x2E, 0x3F, 0x4E, 0x46}));
    // The ReplayGain text frames are Latin-1 (encoding 0), which ID3v2.3 knows.
    auto txxx = frames.equal_range("TXXX");
    std::vector<Bytes> values;
    for (auto it = txxx.first; it != txxx.second; ++it) values.push_back(it->second);
    EXPECT_EQ(values, (std::vector<Bytes>{Bytes{0} + bytesOf("replaygain_track_gain") + Bytes{0} +
                                              bytesOf("-6.25 dB") + Bytes{0},
                                          Bytes{0} + bytesOf("replaygain_album_gain") + Bytes{0} +
                                              bytesOf("-7.00 dB") + Bytes{0},
                                          Bytes{0} + bytesOf("replaygain_track_peak") + Bytes{0} +
                                              bytesOf("0.500000") + Bytes{0}}));

    // A comment in UTF-16 has a two-byte empty description.
    props.setW(KYPROP_COMMENT, u"コメント");
    frames = framesOf(kyBuildId3v2Tag(props));
    EXPECT_EQ(frames.find("COMM")->second,
              (Bytes{1} + bytesOf("eng") + Bytes{0, 0} + utf16(u"コメント") + Bytes{0, 0}));
}

TEST(Id3v2Writer, HeaderSizeIsTheBytesWrittenPaddingIncluded) {
    for (uint32_t padding : {0u, 1u, 1000u}) {
        SCOPED_TRACE(padding);
        TempFile f;
        kyPropertyTable props;
        props.setW(KYPROP_TITLE, u"日本語のタイトル");
        props.setUtf8(KYPROP_COMMENT, std::string(300, 'c'));
        props.setUtf8(KYPROP_TRACK_GAIN, "-0.05 dB");
        uint64_t written = 0;
        ASSERT_EQ(WriteId3v2Tag(f.fd, kyCurrentPosition, props, &written, {padding}), KY_OK);
        const Bytes file = fileBytes(f.fd);
        EXPECT_EQ(written, file.size());
        framesOf(file); // checks the header's size against the file
        const size_t framesEnd = file.size() - padding;
        EXPECT_EQ(Bytes(file.begin() + framesEnd, file.end()), Bytes(padding, 0));
        EXPECT_EQ(lseek(f.fd, 0, SEEK_CUR), static_cast<off_t>(file.size()));
    }
}

TEST(Id3v2Writer, NothingWithoutContent) {
    TempFile f;
    kyPropertyTable props;
    props.setUtf8(KYPROP_FILE_NAME, "/music/a.mp3"); // identity, not a frame
    uint64_t written = 7;
    EXPECT_EQ(WriteId3v2Tag(f.fd, 0, props, &written), KY_NOTHING_DONE);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(WriteId3v1Tag(f.fd, 0, props), KY_NOTHING_DONE);
    EXPECT_EQ(WriteApeTag(f.fd, props), KY_NOTHING_DONE);
    EXPECT_TRUE(fileBytes(f.fd).empty());
}

TEST(ReplayGainWords, SignValueAndNames) {
    struct Case {
        double gain;
        uint32_t name;
        uint16_t word;
        double decoded;
    } cases[] = {
        {-0.04, KY_RG_NAME_RADIO, 0x2C00, 0.0},       // rounds to 0: no sign
        {-0.05, KY_RG_NAME_RADIO, 0x2E01, -0.1},      // rounds to 0.1 dB and stays negative
        {0.05, KY_RG_NAME_RADIO, 0x2C01, 0.1},        //
        {-6.25, KY_RG_NAME_RADIO, 0x2E3F, -6.3},      // 63 tenths, negative
        {6.25, KY_RG_NAME_RADIO, 0x2C3F, 6.3},        //
        {-6.25, KY_RG_NAME_AUDIOPHILE, 0x4E3F, -6.3}, // the album word
        {-80.0, KY_RG_NAME_RADIO, 0x2FFF, -51.1},     // at most 511 tenths
        {0.0, KY_RG_NAME_RADIO, 0x2C00, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.gain);
        EXPECT_EQ(kyReplayGainWord(c.gain, c.name), c.word);
        EXPECT_NEAR(kyReplayGainOfWord(c.word, c.name).value_or(99), c.decoded, 1e-9);
    }
    // Words without a name or originator carry no gain.
    EXPECT_FALSE(kyReplayGainOfWord(0x0000, KY_RG_NAME_RADIO));
    EXPECT_FALSE(kyReplayGainOfWord(0x203F, KY_RG_NAME_RADIO));
    EXPECT_FALSE(kyReplayGainOfWord(0x2E3F, KY_RG_NAME_AUDIOPHILE));

    // Gain texts are read whatever the locale's decimal mark.
    EXPECT_EQ(kyReplayGainNumber("-6.50 dB").value_or(0), -6.5);
    EXPECT_EQ(kyReplayGainNumber(" +1.25").value_or(0), 1.25);
    EXPECT_FALSE(kyReplayGainNumber("dB"));
    EXPECT_FALSE(kyReplayGainNumber("nan"));
    EXPECT_FALSE(kyReplayGainNumber("inf dB"));
    EXPECT_EQ(kyReplayGainWord(std::nan(""), KY_RG_NAME_RADIO), 0x2C00);
    // A peak beyond what RGAD's float holds is written as the default 1.0.
    kyPropertyTable props;
    setTexts(props, {{KYPROP_TRACK_GAIN, "1e300"}, {KYPROP_PEAK, "1e300"}});
    const Bytes tag = kyBuildId3v2Tag(props);
    const std::string rgad = textOf(tag).substr(10, 18);
    EXPECT_EQ(rgad.substr(0, 4), "RGAD");
    EXPECT_EQ(Bytes(rgad.begin() + 10, rgad.end()),
              (Bytes{0x3F, 0x80, 0x00, 0x00, 0x2D, 0xFF, 0x00, 0x00}));
}

TEST(Id3v1Writer, LayoutAndConditions) {
    kyPropertyTable props;
    setTexts(props, {
                        {KYPROP_TITLE, "A title that is longer than thirty characters"},
                        {KYPROP_ARTIST, "Artist"},
                        {KYPROP_ALBUM, "Album"},
                        {KYPROP_YEAR, "1995-06-01"},
                        {KYPROP_COMMENT, "A comment that is longer than 28 characters"},
                        {KYPROP_TRACK_NUMBER, "7/12"},
                        {KYPROP_GENRE, "Hard Rock"},
                    });
    auto tag = kyBuildId3v1Tag(props);
    ASSERT_TRUE(tag);
    const std::string t(tag->begin(), tag->end());
    EXPECT_EQ(t.substr(0, 3), "TAG");
    EXPECT_EQ(t.substr(3, 30), "A title that is longer than th");
    EXPECT_EQ(t.substr(33, 30), std::string("Artist") + std::string(24, '\0'));
    EXPECT_EQ(t.substr(63, 30), std::string("Album") + std::string(25, '\0'));
    EXPECT_EQ(t.substr(93, 4), "1995");
    EXPECT_EQ(t.substr(97, 28), "A comment that is longer tha");
    EXPECT_EQ((*tag)[125], 0);
    EXPECT_EQ((*tag)[126], 7);
    EXPECT_EQ((*tag)[127], 79);

    // A year of fewer than four characters is left out; so is a track number beyond a byte.
    kyPropertyTable few;
    few.setUtf8(KYPROP_YEAR, "95");
    EXPECT_FALSE(kyBuildId3v1Tag(few));
    few.setUtf8(KYPROP_TRACK_NUMBER, "300");
    tag = kyBuildId3v1Tag(few);
    ASSERT_TRUE(tag);
    EXPECT_EQ(std::string(tag->begin() + 93, tag->begin() + 97), std::string(4, '\0'));
    EXPECT_EQ((*tag)[126], 0);
    // No genre given: "none", not "Other".
    EXPECT_EQ((*tag)[127], 0xFF);
    // Single-byte text: a letter beyond Windows-1252 becomes its base letter.
    kyPropertyTable czech;
    czech.setW(KYPROP_ARTIST, u"Dvořák");
    tag = kyBuildId3v1Tag(czech);
    EXPECT_EQ(std::string(tag->begin() + 33, tag->begin() + 39), "Dvor\xE1k");
}

TEST(GenreIndex, Lookups) {
    struct Case {
        const char* text;
        uint32_t index;
    } cases[] = {
        {"(17)", 17},       {"Rock", 17},        {"Hard Rock", 79},
        {"Indie Rock", 17}, {"Progressive", 92}, {"", 12},
        {nullptr, 12},      {"(147)", 147},      {"(148)", 12},
        {"(17)Rock", 17},   {"Blues", 0},        {"Synth Pop", 147},
        {"rock", 17},       {"jazz", 8},         {"hard rock", 79},
        {"Kraut", 12},      {"Pop-Folk", 53},    {"Psychadelic", 67},
        {"A capella", 123},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        EXPECT_EQ(GenreIndex(c.text), c.index);
    }
    EXPECT_STREQ(kyGenreName(0), "Blues");
    EXPECT_STREQ(kyGenreName(12), "Other");
    EXPECT_STREQ(kyGenreName(147), "Synth Pop");
    EXPECT_EQ(kyGenreName(148), nullptr);
}

TEST(ApeTagWriter, OneItemAndTheWholeLayout) {
    kyPropertyTable props;
    props.setUtf8(KYPROP_TITLE, "ab");
    const Bytes tag = kyBuildApeTag(props);
    // Items: size 2, flags 0, "Title" NUL, "ab" (no terminator); the size counts items and
    // footer: 8 + 6 + 2 + 32 = 48.
    const Bytes item = le32(2) + le32(0) + bytesOf("Title") + Bytes{0} + bytesOf("ab");
    EXPECT_EQ(tag,
              apeHeader(2000, 48, 1, 0xA0000000u) + item + apeHeader(2000, 48, 1, 0x80000000u));

    props.setW(KYPROP_ARTIST, u"日本");
    setTexts(props, {
                        {KYPROP_TRACK_NUMBER, "3"},
                        {KYPROP_URL, "http://example.org/"},
                        {KYPROP_TRACK_GAIN, "-6.50 dB"},
                        {KYPROP_ALBUM_GAIN, "-7.00 dB"},
                        {KYPROP_PEAK, "0.9"},
                    });
    auto keys = [](const Bytes& t) {
        std::vector<std::string> k;
        for (size_t pos = 32; pos + 8 < t.size() - 32;) {
            const uint32_t n = t[pos] | (t[pos + 1] << 8) | (t[pos + 2] << 16) | (t[pos + 3] << 24);
            const std::string key(reinterpret_cast<const char*>(&t[pos + 8]));
            k.push_back(key);
            pos += 8 + key.size() + 1 + n;
        }
        return k;
    };
    EXPECT_EQ(keys(kyBuildApeTag(props)),
              (std::vector<std::string>{"Title", "Artist", "Track", "File URL", "Peak Level",
                                        "Replay Gain (radio)", "Replay Gain (album)"}));
    EXPECT_EQ(keys(kyBuildApeTag(props, true)),
              (std::vector<std::string>{"Title", "Artist", "Track", "File URL"}));
    // UTF-8 values.
    const std::string whole = textOf(kyBuildApeTag(props));
    EXPECT_NE(whole.find("Artist\0\xE6\x97\xA5\xE6\x9C\xAC", 0, 13), std::string::npos);
}

TEST(TagWriters, WriteWhereAskedAndAppendApeAtTheEnd) {
    TempFile f;
    const Bytes audio = mpegFrames(2);
    ASSERT_TRUE(kyWriteAll(f.fd, 0, audio.data(), audio.size()));
    kyPropertyTable props;
    props.setUtf8(KYPROP_TITLE, "ab");
    // ID3v1 at an offset past the audio, then the APE tag appended after it, wherever the
    // file position is.
    ASSERT_EQ(WriteId3v1Tag(f.fd, audio.size(), props), KY_OK);
    lseek(f.fd, 0, SEEK_SET);
    uint64_t written = 0;
    ASSERT_EQ(WriteApeTag(f.fd, props, false, &written), KY_OK);
    EXPECT_EQ(written, 48u + 32u);
    const Bytes file = fileBytes(f.fd);
    ASSERT_EQ(file.size(), audio.size() + 128 + 80);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + audio.size()), audio);
    EXPECT_EQ(textOf(Bytes(file.begin() + audio.size(), file.begin() + audio.size() + 5)), "TAGab");
    EXPECT_EQ(textOf(Bytes(file.end() - 32, file.end() - 24)), "APETAGEX");
}

TEST(TagWriters, FailedWritesSaySo) {
    kyPropertyTable props;
    props.setUtf8(KYPROP_TITLE, "ab");
    // A descriptor open for reading only, and a device that is always full.
    TempFile readOnly(O_RDONLY);
    int full = ::open("/dev/full", O_WRONLY);
    for (int fd : {readOnly.fd, full, -1}) {
        if (fd == full && full < 0) continue;
        SCOPED_TRACE(fd);
        uint64_t written = 5;
        EXPECT_EQ(WriteId3v2Tag(fd, kyCurrentPosition, props, &written), KYERR_WRITE_FILE);
        EXPECT_EQ(written, 0u);
        EXPECT_EQ(WriteId3v1Tag(fd, kyCurrentPosition, props), KYERR_WRITE_FILE);
        EXPECT_EQ(WriteApeTag(fd, props), KYERR_WRITE_FILE);
    }
    if (full >= 0) ::close(full);
    EXPECT_TRUE(fileBytes(readOnly.fd).empty());
}

TEST(TagWriters, WriterHandsOverItsSourcesProperties) {
    ScratchDir dir;
    MemorySource* source = new MemorySource({std::vector<float>(16)}, 44100);
    source->properties().setW(KYPROP_TITLE, u"日本語");
    source->properties().setA(KYPROP_ARTIST, "Caf\xE9");
    source->properties().setUtf8(KYPROP_TRACK_GAIN, "-1.00 dB");
    kyWriterFilter* writer = nullptr;
    ASSERT_EQ(kyManager::Instance().CreateWriter(writer, dir.path("a.wav").c_str(), "", -2), KY_OK);
    source->Connect(writer);
    kyPropertyTable props = writer->TagProperties();
    EXPECT_STREQ(props.getUtf8(KYPROP_TITLE), "日本語");
    EXPECT_STREQ(props.getUtf8(KYPROP_ARTIST), "Café");
    EXPECT_STREQ(props.getUtf8(KYPROP_TRACK_GAIN), "-1.00 dB");
    EXPECT_EQ(props.getUtf8(KYPROP_FILE_NAME), nullptr); // the writer's own identity stays out
    writer->DestroyChain();
}
