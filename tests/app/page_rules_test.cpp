// The rules of the wizard's pages without any window: row texts, selection, virtual
// tracks and their bounds, pattern renaming, the options lists and their fall-backs, the
// normalisation controls, the checks before a batch, the shell's message boxes, album-art
// queries and help files, and what may happen while a batch runs.
#include "app/options_page.h"
#include "app/pattern_rename.h"
#include "app/progress_page.h"
#include "app/shell.h"
#include "app/track_page.h"
#include "app/virtual_track.h"
#include "formats/format_catalog.h"

#include <clocale>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path;
    TempDir() {
        char name[] = "/tmp/dskr-pages-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { fs::remove_all(path); }
};

TrackEntry row(int32_t number, bool selected, bool data = false) {
    TrackEntry r;
    r.number = number;
    r.selected = selected;
    r.data = data;
    r.name = defaultTrackName(number, data, 0);
    return r;
}

} // namespace

TEST(TrackRows, TimesSizesAndImages) {
    struct Case {
        uint32_t samples;
        const char* time;
        const char* size;
    } cases[] = {
        {0, "00:00", "0"},
        {22049, "00:00", "86"},         // below half a second rounds down
        {22050, "00:01", "86"},         // half a second rounds up
        {44100 * 187, "03:07", "32 214"},
        {44100 * 3599, "59:59", "619 984"},
        {588 * 75 * 60 * 79, "79:00", "816 539"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(trackTimeText(c.samples), c.time) << c.samples;
        EXPECT_EQ(trackSizeText(c.samples), c.size) << c.samples;
    }
    EXPECT_EQ(trackSizeText(1024 * 1234 / 4), "1 234");

    TrackEntry audio = row(1, true);
    audio.length = 44100;
    EXPECT_EQ(trackRowView(audio).image, 1);
    audio.preEmphasis = true;
    EXPECT_EQ(trackRowView(audio).image, 3);
    audio.selected = false;
    EXPECT_EQ(trackRowView(audio).image, 2);
    TrackEntry data = row(7, false, true);
    data.length = 44100 * 10;
    EXPECT_EQ(trackRowView(data).image, 4);
    EXPECT_EQ(trackRowView(data).length, "- - -");
    EXPECT_EQ(trackRowView(data).size, "1 723");
}

TEST(TrackRows, SelectionButtonAndChecksBeforeTheNextPage) {
    RipSettings settings;
    TrackPage page(settings);
    EXPECT_EQ(page.nextCheck(), "No audio tracks to convert!");
    for (int i = 1; i <= 10; ++i) page.disc().appendRow(row(i, i <= 5));
    EXPECT_EQ(page.selectAllText(), "Select all"); // 5 of 10
    ASSERT_TRUE(page.toggleRow(5));
    EXPECT_EQ(page.selectAllText(), "Deselect all"); // 6 of 10
    EXPECT_TRUE(page.selectAll());                    // clears every row
    EXPECT_EQ(page.nextCheck(), "No audio tracks selected!");
    EXPECT_EQ(page.selectAllText(), "Select all");

    // A data track: a click does nothing, the menu's entry toggles it, select-all skips it.
    page.disc().appendRow(row(11, false, true));
    EXPECT_FALSE(page.toggleRow(10));
    EXPECT_FALSE(page.disc().tracks[10].selected);
    EXPECT_TRUE(page.selectAll());
    EXPECT_FALSE(page.disc().tracks[10].selected);
    EXPECT_TRUE(page.toggleRow(10, true));
    EXPECT_TRUE(page.disc().tracks[10].selected);
    EXPECT_FALSE(page.toggleRow(99));

    // A disc of one data track: nothing can be selected by clicking.
    TrackPage data(settings);
    data.disc().appendRow(row(1, false, true));
    EXPECT_FALSE(data.toggleRow(0));
    EXPECT_EQ(data.nextCheck(), "No audio tracks selected!");

    // Only virtual tracks can be removed.
    EXPECT_FALSE(page.removeVirtualRow(0));
    page.disc().appendRow(makeVirtualTrack(0, 10));
    EXPECT_TRUE(page.removeVirtualRow(page.disc().tracks.size() - 1));

    page.copyFields("Band", "Live", "Rock'n'Roll", " 1999", 8);
    EXPECT_EQ(page.disc().year, 1999);
    EXPECT_EQ(page.disc().category, 8);
    page.copyFields("Band", "Live", "", "soon", 8);
    EXPECT_EQ(page.disc().year, 1999) << "a year field without a number changes nothing";
    page.copyFields("Band", "Live", "", "", -1);
    EXPECT_EQ(page.disc().year, 0) << "an emptied year field takes the year away";
}

TEST(TrackRows, ContextAndFreedbMenus) {
    RipSettings settings;
    TrackPage page(settings);
    auto texts = [](const std::vector<TrackMenuItem>& items) {
        std::vector<std::string> t;
        for (const auto& i : items) t.push_back(i.text.empty() ? "-" : i.text);
        return t;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(texts(page.contextMenu(-1, false)),
              (V{"Refresh track list", "Add 'virtual track' ...", "-", "Close tray"}));
    EXPECT_EQ(texts(page.freedbMenu()),
              (V{"Look up disc again", "Submit new disc...", "-", "Options...", "About"}));
    EXPECT_FALSE(page.freedbMenu()[0].enabled);
    EXPECT_FALSE(page.freedbMenu()[1].enabled);

    page.disc().appendRow(row(1, true));
    page.disc().appendRow(makeVirtualTrack(0, 75));
    page.disc().revision = 3;
    EXPECT_EQ(texts(page.contextMenu(0, true)),
              (V{"Play audio ...", "Unselect track", "Edit track name", "Pattern rename...", "-",
                 "Refresh track list", "Add 'virtual track' ...", "-", "Eject disc"}));
    EXPECT_TRUE(page.contextMenu(0, true)[0].isDefault);
    EXPECT_EQ(texts(page.contextMenu(1, true))[3], "Remove 'virtual track'");
    EXPECT_EQ(texts(page.freedbMenu())[1], "Submit disc update...");
    EXPECT_TRUE(page.freedbMenu()[0].enabled);
}

TEST(VirtualTracks, FieldsBoundsAndRows) {
    const uint64_t leadOut = 20000;
    struct Case {
        VirtualTrackTime start, end;
        VirtualTrackCheck check;
        uint64_t first, last;
    } cases[] = {
        {{"0", "0", "2", "0"}, {"0", "0", "10", "0"}, VirtualTrackCheck::Ok, 150, 750},
        {{"  0", "", "2", ""}, {"", "", "", "750"}, VirtualTrackCheck::Ok, 150, 750},
        {{"0", "0", "2", "0"}, {"0", "0", "2", "0"}, VirtualTrackCheck::Ok, 150, 150},
        {{"0", "0", "x", "0"}, {"0", "0", "2", "0"}, VirtualTrackCheck::BadStart, 0, 0},
        {{"0", "0", "2 ", "0"}, {"0", "0", "9", "0"}, VirtualTrackCheck::BadStart, 0, 0},
        {{"0", "0", "-2", "0"}, {"0", "0", "9", "0"}, VirtualTrackCheck::BadStart, 0, 0},
        {{"0", "0", "9", "0"}, {"0", "0", "2", "0"}, VirtualTrackCheck::BadEnd, 0, 0},
        {{"0", "0", "0", "0"}, {"0", "0", "0", "20001"}, VirtualTrackCheck::BadEnd, 0, 0},
        {{"0", "0", "0", "20001"}, {"0", "0", "0", "20001"}, VirtualTrackCheck::BadStart, 0, 0},
        {{"0", "0", "0", "0"}, {"0", "0", "0", "20000"}, VirtualTrackCheck::Ok, 0, 20000},
        // Values that would wrap a 32-bit (or even 64-bit) sum are refused, not wrapped.
        {{"0", "0", "0", "0"}, {"15907", "0", "0", "0"}, VirtualTrackCheck::BadEnd, 0, 0},
        {{"0", "0", "0", "0"},
         {"99999999999999999999", "0", "0", "0"},
         VirtualTrackCheck::BadEnd,
         0,
         0},
    };
    for (const Case& c : cases) {
        uint64_t first = 0, last = 0;
        const VirtualTrackCheck check = checkVirtualTrack(c.start, c.end, leadOut, first, last);
        EXPECT_EQ(check, c.check) << c.start[2] << "/" << c.end[3];
        if (check == VirtualTrackCheck::Ok) {
            EXPECT_EQ(first, c.first);
            EXPECT_EQ(last, c.last);
        }
    }
    EXPECT_STREQ(virtualTrackMessage(VirtualTrackCheck::BadStart), "Invalid start time entry");
    EXPECT_STREQ(virtualTrackMessage(VirtualTrackCheck::BadEnd), "Invalid end time entry");

    // Equal start and end: one frame. The name gives whole hours, minutes and seconds.
    TrackEntry r = makeVirtualTrack(150, 150);
    EXPECT_EQ(r.length, 588u);
    EXPECT_EQ(r.start, 150u * 588);
    EXPECT_EQ(r.number, -1);
    EXPECT_TRUE(r.selected);
    EXPECT_EQ(makeVirtualTrack(9000, 270000 + 4500 * 3 + 75 * 10 + 74).name,
              "From 0h2m0s to 1h3m10s");

    EXPECT_EQ(timeFields(270000 + 4500 * 3 + 75 * 10 + 74), (VirtualTrackTime{"1", "3", "10", "74"}));
    DiscInfo disc;
    disc.appendRow(row(1, true));
    disc.tracks[0].start = 150 * 588;
    disc.tracks[0].length = 1000 * 588;
    uint64_t s = 0, e = 0;
    virtualTrackPreset(disc, 2000, s, e);
    EXPECT_EQ(s, 150u);
    EXPECT_EQ(e, 1150u);
    virtualTrackPreset(disc, 1000, s, e);
    EXPECT_EQ(e, 1000u) << "kept within the lead-out";
}

TEST(PatternRename, MatchesAndOutputs) {
    struct Case {
        const char* name;
        const char* match;
        const char* output;
        bool matchCase;
        const char* result; // null: unchanged
    } cases[] = {
        {"Song - Live", "* - *", "* (*)", false, "Song (Live)"},
        {"Song Live", "* - *", "* (*)", false, nullptr},
        {"Mr. Jones", "*", "*", false, "Mr"},
        {"Track 07.wav", "Track ??", "No. ??", false, "No. 07"},
        {"TRACK 07", "track ??", "?-?", false, "0-7"},
        {"TRACK 07", "track ??", "?-?", true, nullptr},
        {"Ärger", "ä*", "*", false, "rger"},
        {"abc", "?", "*", false, nullptr},     // the name must end with the pattern
        {"ab", "???", "*", false, nullptr},    // "?" needs a character
        {"a-b-c", "*-*", "[*][*]", false, "[a][b-c]"},
        {"ab", "??", "???", false, "ab"},      // no capture left: nothing
        {"abc", "*", "", false, nullptr},      // an empty result changes nothing
    };
    for (const Case& c : cases) {
        PatternRename r;
        r.match = c.match;
        r.output = c.output;
        r.matchCase = c.matchCase;
        const auto out = renameByPattern(c.name, r);
        if (c.result)
            EXPECT_EQ(out.value_or("<none>"), c.result) << c.name << " " << c.match;
        else
            EXPECT_FALSE(out) << c.name << " " << c.match << " gave " << out.value_or("");
    }
    DiscInfo disc;
    disc.appendRow(row(1, true));
    disc.appendRow(row(2, false));
    PatternRename r;
    r.match = "Track *";
    r.output = "Song *";
    r.selectedOnly = true;
    EXPECT_EQ(applyPatternRename(disc, r), 1);
    EXPECT_EQ(disc.tracks[0].name, "Song 01");
    EXPECT_EQ(disc.tracks[1].name, "Track 02");
}

TEST(OptionsLists, FormatsSubformatsChannelsAndSpeeds) {
    const auto formats = fileFormatItems();
    ASSERT_FALSE(formats.empty());
    const int wav = fileFormatRow(formats, "Microsoft wave format");
    EXPECT_EQ(formats[size_t(wav)].text, "WAV | Microsoft wave format");
    EXPECT_EQ(fileFormatRow(formats, "A format nobody has"), 0);

    using Items = std::vector<OptionItem>;
    const Items pcm = {{"<Auto select>", 0}, {"PCM 8-bit", 1}, {"PCM 16-bit", 2}, {"PCM 24-bit", 3}};
    EXPECT_EQ(dataFormatRow(pcm, "PCM 24-bit"), 3);
    EXPECT_EQ(dataFormatRow(pcm, "Float 32-bit"), 2);
    const Items lossless = {{"<Auto select>", 0}, {"Lossless 8-bit", 1}, {"Lossless 16-bit", 2}};
    EXPECT_EQ(dataFormatRow(lossless, "PCM 24-bit"), 2);
    const Items other = {{"a", 0}, {"b", 1}, {"c", 2}, {"d", 3}, {"e", 4}};
    EXPECT_EQ(dataFormatRow(other, "x"), 2) << "the middle entry";

    const Items wavChannels = channelItems(formats[size_t(wav)].value);
    ASSERT_EQ(wavChannels.size(), 2u);
    EXPECT_EQ(wavChannels[0].text, "Mono");
    EXPECT_EQ(wavChannels[1].text, "Stereo");

    auto speeds = [](uint32_t max) {
        std::string t;
        for (const auto& i : speedItems(max)) t += i.text + ";";
        return t;
    };
    EXPECT_EQ(speeds(0), "Max;");
    EXPECT_EQ(speeds(8), "1 x;2 x;4 x;6 x;8 x;Max;");
    EXPECT_EQ(speeds(40), "1 x;2 x;4 x;6 x;8 x;10 x;12 x;16 x;20 x;24 x;32 x;36 x;40 x;Max;");
    EXPECT_EQ(rowOfValue(speedItems(40), 255), 13);
    EXPECT_EQ(algorithmItems()[3].text, "F.I.R. filter, > 12-bits S/N (fast)");
    EXPECT_EQ(algorithmItems()[3].value, 4);
    EXPECT_EQ(separatorItems()[4].text, "\\");
    EXPECT_EQ(namePartItems()[9].text, "<album year>");
}

TEST(OptionsLists, NormalisationControls) {
    RipSettings s;
    s.fNormalizeTarget = -6.0f;
    s.eNormalizeType = 1;
    normalizeTypeChosen(s, 10);
    EXPECT_FLOAT_EQ(s.fNormalizeTarget, 89.0f);
    EXPECT_TRUE(s.bNormalizeMeta);
    EXPECT_EQ(unitItems(10).size(), 1u);
    EXPECT_EQ(unitItems(10)[0].text, "dB(SPL)");
    EXPECT_EQ(unitItems(22)[0].text, "LU");
    EXPECT_EQ(unitItems(1)[1].text, "dBFS");
    normalizeTypeChosen(s, 1);
    EXPECT_FLOAT_EQ(s.fNormalizeTarget, 0.0f);
    EXPECT_FALSE(s.bNormalizeMeta);
    EXPECT_TRUE(albumGainAllowed(11));
    EXPECT_FALSE(albumGainAllowed(22));

    // -6.0 dBFS as a factor and back, in a locale that writes decimal commas.
    const char* old = std::setlocale(LC_ALL, nullptr);
    const std::string saved = old ? old : "C";
    std::setlocale(LC_ALL, "de_DE.UTF-8");
    const float factor = convertNormalizeTarget("-6.0", 0.0f, false);
    EXPECT_EQ(normalizeTargetText(factor, false), "0.501");
    const float db = convertNormalizeTarget(normalizeTargetText(factor, false), 0.0f, true);
    EXPECT_EQ(normalizeTargetText(db, true), "-6.00");
    EXPECT_EQ(normalizeTargetText(89.0f, true), "89.0");
    EXPECT_FLOAT_EQ(convertNormalizeTarget("0", 1.0f, true), -96.0f);
    EXPECT_FLOAT_EQ(convertNormalizeTarget("junk", 0.5f, true), convertNormalizeTarget("0.5", 0, true));
    std::setlocale(LC_ALL, saved.c_str());
}

TEST(OptionsChecks, FieldsSettingsAndDirectory) {
    EXPECT_EQ(readRateField("44.1k", 1), 44);
    EXPECT_EQ(readRateField("rate -5", 1), -5);
    EXPECT_EQ(readRateField("none", 22050), 22050);
    EXPECT_EQ(readRateField("99999999999999999999", 1), INT64_C(99999999999));
    EXPECT_EQ(readIntegerField(" 45s"), 45);
    EXPECT_EQ(readIntegerField("x"), 0);

    // Every refusal before a batch, and what passes.
    struct Case {
        void (*edit)(RipSettings&);
        bool refused;
    } cases[] = {
        {[](RipSettings&) {}, false},
        {[](RipSettings& s) { s.bResample = true, s.dwNewSampleRate = 7999; }, true},
        {[](RipSettings& s) { s.bResample = true, s.dwNewSampleRate = 8000; }, false},
        {[](RipSettings& s) { s.bResample = true, s.dwNewSampleRate = 192001; }, true},
        {[](RipSettings& s) { s.bResample = false, s.dwNewSampleRate = 5; }, false},
        {[](RipSettings& s) { s.bCutOff = true, s.iCutOffLength = 0; }, true},
        {[](RipSettings& s) { s.bCutOff = true, s.iCutOffLength = -30; }, true},
        {[](RipSettings& s) { s.bCutOff = true, s.iCutOffLength = 86401; }, true},
        {[](RipSettings& s) { s.bCutOff = true, s.iCutOffLength = 1; }, false},
        {[](RipSettings& s) { s.bNormalize = true, s.eNormalizeType = 1, s.fNormalizeTarget = 3; }, true},
        {[](RipSettings& s) {
             s.bNormalize = true, s.eNormalizeType = 1, s.bNormalizeUnitDB = false,
             s.fNormalizeTarget = 0;
         },
         true},
        {[](RipSettings& s) { s.bNormalize = true, s.eNormalizeType = 11, s.fNormalizeTarget = 500; }, true},
        {[](RipSettings& s) { s.bNormalize = true, s.eNormalizeType = 22, s.fNormalizeTarget = -5; }, false},
        {[](RipSettings& s) { s.bNormalize = true, s.eNormalizeType = 7; }, true},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        RipSettings s;
        cases[i].edit(s);
        EXPECT_EQ(!checkProcessingSettings(s).empty(), cases[i].refused) << "case " << i;
    }
    // The rate list offers only rates the check accepts.
    for (const OptionItem& item : rateItems()) {
        RipSettings s;
        s.bResample = true;
        s.dwNewSampleRate = static_cast<uint32_t>(item.value);
        EXPECT_EQ(checkProcessingSettings(s), "") << item.text;
    }

    TempDir tmp;
    std::string dir = "";
    EXPECT_EQ(checkOutputDirectory(dir), DirectoryCheck::Empty);
    dir = tmp.path.string() + "///";
    EXPECT_EQ(checkOutputDirectory(dir), DirectoryCheck::Ready);
    EXPECT_EQ(dir, tmp.path.string() + "/");
    dir = tmp.path.string() + "/new/deeper";
    EXPECT_EQ(checkOutputDirectory(dir), DirectoryCheck::Missing);
    EXPECT_EQ(dir.back(), '/');
    EXPECT_TRUE(createOutputDirectory(dir));
    EXPECT_EQ(checkOutputDirectory(dir), DirectoryCheck::Ready);
    dir = "//";
    EXPECT_EQ(checkOutputDirectory(dir), DirectoryCheck::Ready);
    EXPECT_EQ(dir, "/");
    // A file where the folder should be cannot be made into one.
    std::ofstream(tmp.path / "file") << "x";
    EXPECT_FALSE(createOutputDirectory((tmp.path / "file" / "sub").string()));

    RipSettings s;
    DiscInfo disc;
    disc.artist = "Band";
    disc.title = "Live";
    disc.appendRow(row(7, false));
    disc.tracks[0].name = "Intro";
    EXPECT_EQ(exampleText(s, disc, "/music"), "Example -->  /music/Band/Live/07 - Intro.wav");
}

TEST(Shell, MessageBoxesQueriesAndHelp) {
    auto texts = [](int type) {
        std::string t;
        for (const auto& b : messageBoxButtons(type)) t += b.text + "=" + std::to_string(b.code) + ";";
        return t;
    };
    EXPECT_EQ(texts(0), "&OK=1;");
    EXPECT_EQ(texts(1), "&OK=1;&Cancel=2;");
    EXPECT_EQ(texts(2), "&Abort=3;&Retry=4;&Ignore=5;");
    EXPECT_EQ(texts(3), "&Yes=6;&No=7;Cancel=2;");
    EXPECT_EQ(texts(4), "&Yes=6;&No=7;");
    EXPECT_EQ(texts(5), "&Retry=4;&Cancel=2;");
    EXPECT_EQ(texts(6), "");
    EXPECT_EQ(messageBoxText(std::string(2000, 'x')).size(), kMessageBoxTextLimit);
    EXPECT_EQ(messageBoxText(std::string(1023, 'x') + "\xc3\xa4").size(), 1023u)
        << "cut on a character boundary";

    EXPECT_EQ(albumArtQueryText("AC/DC"), "AC%2FDC");
    EXPECT_EQ(albumArtQueryText("Don't Stop"), "Dont+Stop");
    EXPECT_EQ(albumArtQueryText("\"`x~_.-"), "x~_.-");
    EXPECT_EQ(albumArtQueryText("\xc3\xa4"), "%C3%A4");
    EXPECT_EQ(albumArtQueryText(std::string(300, 'a')).size(), 255u);
    EXPECT_EQ(albumArtQueryText(std::string(254, 'a') + "/").size(), 254u)
        << "an encoded character that does not fit ends the text";
    DiscInfo disc;
    disc.artist = "AC/DC";
    disc.title = "Back in Black";
    EXPECT_EQ(albumArtUrl(disc), std::string(kAlbumArtSearchUrl) +
                                     "?skey=AC%2FDC+Back+in+Black&itempage=1&newsearch=1&"
                                     "searchindex=Music");
    RipSettings s;
    s.szOutDir = "/music/";
    disc.appendRow(row(1, true));
    EXPECT_EQ(albumArtFolder(s, disc), "/music/AC,DC/Back in Black");

    EXPECT_NE(writerErrorText(KYERR_MISSING_COMPONENT).find("third-party 'add-on'"), std::string::npos);
    EXPECT_EQ(writerErrorText(KYERR_CANCELLED), kyErrorMessage(KYERR_CANCELLED));

    TempDir tmp;
    EXPECT_EQ(findHelpFile(tmp.path.string()), "");
    std::ofstream(tmp.path / "DskR.chm") << "x";
    std::ofstream(tmp.path / "DskR.htm") << "x";
    EXPECT_EQ(findHelpFile(tmp.path.string()), (tmp.path / "DskR.htm").string());
    std::ofstream(tmp.path / "DskR.pdf") << "x";
    EXPECT_EQ(findHelpFile(tmp.path.string()), (tmp.path / "DskR.pdf").string());
    EXPECT_EQ(programDirectoryOf("/usr/bin/dskr"), "/usr/bin");
    EXPECT_EQ(programDirectoryOf("dskr"), ".");
}

TEST(BatchSessionRules, RequestsWhileABatchRuns) {
    BatchSession session;
    EXPECT_EQ(session.leaveRequest(), BatchSession::Leave::Allowed);
    EXPECT_TRUE(session.deviceNotice());
    EXPECT_TRUE(session.start());
    EXPECT_FALSE(session.start()) << "a second start does nothing";
    EXPECT_EQ(session.leaveRequest(), BatchSession::Leave::Ask);
    EXPECT_FALSE(session.deviceNotice());
    EXPECT_FALSE(session.lookupRequest());
    EXPECT_FALSE(session.quitRequest());
    EXPECT_TRUE(session.quitPending());
    EXPECT_TRUE(session.finish()) << "the quit waits for the end of the batch";
    EXPECT_TRUE(session.takeDeferred());
    EXPECT_FALSE(session.takeDeferred());
    EXPECT_EQ(session.leaveRequest(), BatchSession::Leave::Allowed);
    EXPECT_TRUE(session.quitRequest());
}
