// The track page's drives and look-ups without a window: virtual drives over a CUE sheet
// and the demo disc, the look-up in its steps against the test's CDDB server (one match,
// several, none, a database that cannot be reached, an answer that comes too late), the
// tray of an empty drive, and submission.
#include "app/track_page.h"
#include "cd/dsk_reader.h"
#include "cd/virtual_drive.h"
#include "metadata/freedb_disc_id.h"
#include "metadata/musicbrainz_disc_id.h"
#include "support/fake_cddb_server.h"
#include "support/fake_musicbrainz_server.h"

#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace fs = std::filesystem;
using Outcome = DiscLookupResult::Outcome;
using Step = TrackPage::LookupStep;

namespace {

class TrackPageTest : public ::testing::Test {
protected:
    kytest::NoProxyEnvironment noProxy;
    kytest::FakeCddbServer cddb;
    fs::path dir;
    std::string cue;
    RipSettings settings;
    std::unique_ptr<TrackPage> page;
    kyDiscToc toc;

    void SetUp() override {
        kyClearVirtualDrives();
        char name[] = "/tmp/dskr-trackpage-XXXXXX";
        dir = mkdtemp(name);
        std::string error;
        cue = kyWriteTestImage(dir.string(), 6, error);
        ASSERT_FALSE(cue.empty()) << error;
        settings.szDBServer = cddb.url();
        settings.szDBEmail = "ann@example.org";
        // gnudb alone, unless a test starts a MusicBrainz service of its own.
        settings.szLookupOrder = "gnudb,local,cdtext";
        page = std::make_unique<TrackPage>(settings);
        page->cacheFolder = (dir / "cache").string();
        page->cdPlayerIniPath = (dir / "cdplayer.ini").string();
        page->timeouts = kyHttpTimeouts::Total(3000);
        ASSERT_TRUE(page->addImageDrive(cue, error)) << error;
        ASSERT_EQ(page->beginLookup(false), Step::Ask);
        toc = page->source()->Toc();
    }
    void TearDown() override {
        page.reset();
        kyClearVirtualDrives();
        fs::remove_all(dir);
    }

    std::string key(const char* category) const {
        char id[16];
        std::snprintf(id, sizeof id, "%08x", freedbDiscId(toc));
        return std::string(category) + " " + id;
    }
    std::string record(const std::string& artist) const {
        std::string r = "# xmcd\n# Revision: 4\nDTITLE=" + artist + " / Album\nDYEAR=1999\n";
        for (int i = 0; i < 3; ++i)
            r += "TTITLE" + std::to_string(i) + "=Song " + std::to_string(i + 1) + "\n";
        return r;
    }
};

} // namespace

TEST_F(TrackPageTest, ImageDrivesAndTheDemoDisc) {
    EXPECT_TRUE(page->currentDriveIsVirtual());
    const auto names = page->driveNames();
    ASSERT_FALSE(names.empty());
    EXPECT_NE(names[size_t(page->currentDrive())].find("Velmora Virtual CD-ROM"),
              std::string::npos);
    EXPECT_FALSE(page->disc().tracks.empty());
    EXPECT_EQ(page->disc().tracks[0].name, "Track 01");
    EXPECT_EQ(page->leadOut(), toc.entries[toc.lastTrack + 1].start);

    // A drive number from the settings that is no drive falls back to the first.
    settings.iDevice = 99;
    EXPECT_EQ(page->currentDrive(), 0);

    std::string error;
    EXPECT_FALSE(page->addImageDrive((dir / "missing.cue").string(), error));
    EXPECT_FALSE(error.empty());

    // The demo disc names itself; an unforced look-up of the same disc changes nothing.
    settings.iDevice = 7;
    const int32_t stored = settings.iDevice;
    TrackPage demo(settings);
    ASSERT_TRUE(demo.addDemoDrive());
    EXPECT_EQ(demo.beginLookup(false), Step::Named);
    EXPECT_EQ(demo.disc().artist, "The Velmora Ensemble");
    demo.disc().tracks[0].name = "Edited";
    EXPECT_EQ(demo.beginLookup(false), Step::SameDisc);
    EXPECT_EQ(demo.disc().tracks[0].name, "Edited");
    EXPECT_EQ(demo.beginLookup(true), Step::Named);
    EXPECT_NE(demo.disc().tracks[0].name, "Edited");
    EXPECT_EQ(demo.driveToStore(), stored) << "a virtual drive's number is not stored";
}

TEST_F(TrackPageTest, TrayOfAnEmptyDriveCanBeClosedAgain) {
    ASSERT_TRUE(page->driveReady());
    ASSERT_TRUE(page->toggleTray()); // eject
    EXPECT_FALSE(page->driveReady());
    EXPECT_EQ(page->beginLookup(false), Step::NoDisc) << "an open tray keeps the list";
    EXPECT_FALSE(page->disc().tracks.empty());
    ASSERT_TRUE(page->toggleTray()) << "the tray of a drive without a readable disc closes";
    EXPECT_TRUE(page->driveReady());
    EXPECT_EQ(page->beginLookup(false), Step::SameDisc);
}

TEST_F(TrackPageTest, LookUpOneSeveralNoneAndFailures) {
    cddb.records[key("rock")] = record("Rock Band");
    cddb.records[key("jazz")] = record("Jazz Band");
    char id[16];
    std::snprintf(id, sizeof id, "%08x", freedbDiscId(toc));

    // One match: read at once, and kept for later.
    cddb.queryAnswer = std::string("200 rock ") + id + " Rock Band / Album\r\n";
    TrackPage::LookupAnswer one = TrackPage::runLookup(page->lookupRequest(false));
    EXPECT_EQ(one.result.outcome, Outcome::Found);
    EXPECT_EQ(one.info.artist, "Rock Band");
    EXPECT_EQ(one.info.tracks[1].name, "Song 2");
    EXPECT_TRUE(fs::exists(dir / "cache" / "rock" / id));
    page->disc().appendRow(TrackEntry{-1, 0, 588, "From 0h0m0s to 0h0m0s", "", false, false, true});
    EXPECT_TRUE(page->finishLookup(std::move(one)));
    EXPECT_EQ(page->disc().artist, "Rock Band");
    EXPECT_EQ(page->disc().tracks.back().number, -1) << "a virtual track added meanwhile stays";

    // Several: the caller chooses and reads.
    ASSERT_EQ(page->beginLookup(true), Step::Ask);
    cddb.queryAnswer = std::string("210 Found exact matches\r\nrock ") + id +
                       " Rock Band / Album\r\njazz " + id + " Jazz Band / Album\r\n.\r\n";
    const TrackPage::LookupRequest request = page->lookupRequest(true);
    TrackPage::LookupAnswer several = TrackPage::runLookup(request);
    ASSERT_EQ(several.result.outcome, Outcome::Choose);
    ASSERT_EQ(several.result.matches.size(), 2u);
    TrackPage::LookupAnswer read = TrackPage::readMatch(request, several.result.matches[1]);
    EXPECT_EQ(read.result.outcome, Outcome::Found);
    EXPECT_TRUE(page->finishLookup(std::move(read)));
    EXPECT_EQ(page->disc().artist, "Jazz Band");

    // An answer for a listing made anew meanwhile does not count.
    TrackPage::LookupAnswer late = TrackPage::runLookup(page->lookupRequest(false));
    ASSERT_EQ(page->beginLookup(true), Step::Ask);
    EXPECT_FALSE(page->finishLookup(std::move(late)));

    // None: a verbose look-up says so; a silent one finds the record kept earlier.
    cddb.queryAnswer = "202 No match\r\n";
    TrackPage::LookupAnswer none = TrackPage::runLookup(page->lookupRequest(true));
    EXPECT_EQ(none.result.outcome, Outcome::NoMatch);
    EXPECT_EQ(none.result.message, kLookupNoMatch);
    TrackPage::LookupAnswer cached = TrackPage::runLookup(page->lookupRequest(false));
    EXPECT_EQ(cached.result.outcome, Outcome::Found);
    EXPECT_EQ(cached.result.source, "an earlier look-up");

    // A database that cannot be reached.
    settings.szDBServer = "127.0.0.1:1";
    TrackPage::LookupAnswer failed = TrackPage::runLookup(page->lookupRequest(true));
    EXPECT_EQ(failed.result.outcome, Outcome::Failed);
    EXPECT_EQ(failed.result.message, kLookupFailed);
    EXPECT_FALSE(failed.result.detail.empty());

    // A cancelled request ends at once.
    settings.szDBServer = cddb.url();
    cddb.delay = std::chrono::milliseconds(2000);
    TrackPage::LookupRequest cancelled = page->lookupRequest(false);
    cancelled.cancel->store(true);
    EXPECT_EQ(TrackPage::runLookup(cancelled).result.outcome, Outcome::Cancelled);
}

// MusicBrainz first, as the settings' order says: several releases of the disc come back
// for a choice that tells them apart, the one chosen names the disc and brings its front
// cover; gnudb is not asked once MusicBrainz knows the disc.
TEST_F(TrackPageTest, MusicBrainzReleasesNameTheDiscWithTheirCover) {
    kytest::FakeMusicBrainzServer mb;
    settings.szMusicBrainzServer = mb.url();
    settings.szCoverArtServer = mb.url();
    settings.szLookupOrder = "musicbrainz,gnudb,local,cdtext";
    const std::string discId = musicBrainzDiscId(toc);
    auto release = [&](uint64_t n, const std::string& country) {
        return kytest::oneDiscRelease(n, country, discId, toc.firstTrack, toc.lastTrack);
    };
    mb.discs[discId] = kytest::discAnswer(discId, {release(20, "DE"), release(21, "GB")});
    const std::string jpeg = "\xFF\xD8\xFF\xE0 the cover";
    mb.covers[kytest::mbid(21)] = jpeg;

    const TrackPage::LookupRequest request = page->lookupRequest(true);
    TrackPage::LookupAnswer several = TrackPage::runLookup(request);
    ASSERT_EQ(several.result.outcome, Outcome::Choose) << several.result.detail;
    ASSERT_EQ(several.result.matches.size(), 2u);
    EXPECT_EQ(several.result.matches[0].source, LookupSource::MusicBrainz);
    EXPECT_NE(choiceLine(several.result.matches[0]).find("DE"), std::string::npos);
    EXPECT_NE(choiceLine(several.result.matches[1]).find("GB"), std::string::npos);
    EXPECT_NE(choiceLine(several.result.matches[1]).find("CAT 21"), std::string::npos);
    EXPECT_TRUE(cddb.requests().empty()) << "gnudb asked although MusicBrainz knew the disc";
    TrackPage::LookupAnswer read = TrackPage::readMatch(request, several.result.matches[1]);
    ASSERT_EQ(read.result.outcome, Outcome::Found);
    EXPECT_EQ(read.result.origin, LookupSource::MusicBrainz);
    EXPECT_EQ(read.info.artist, "Ann");
    EXPECT_EQ(read.info.release.releaseId, kytest::mbid(21));
    EXPECT_EQ(read.info.tracks[0].name, "Song 1");
    ASSERT_TRUE(read.info.cover);
    EXPECT_EQ(read.info.cover->bytes, jpeg);
    EXPECT_TRUE(page->finishLookup(std::move(read)));
    EXPECT_EQ(page->disc().release.country, "GB");

    // One release: named at once; without covers wanted, none is fetched.
    settings.bFetchCoverArt = false;
    mb.discs[discId] = kytest::discAnswer(discId, {release(21, "GB")});
    ASSERT_EQ(page->beginLookup(true), Step::Ask);
    TrackPage::LookupAnswer one = TrackPage::runLookup(page->lookupRequest(false));
    ASSERT_EQ(one.result.outcome, Outcome::Found);
    EXPECT_EQ(one.result.source, "musicbrainz");
    EXPECT_FALSE(one.info.cover);
    size_t coverRequests = 0;
    for (const auto& r : mb.requests()) coverRequests += r.target.find("/release/") == 0;
    EXPECT_EQ(coverRequests, 1u) << "only the chosen release's cover was asked for";
}

TEST_F(TrackPageTest, SubmissionKeepsTheNewRevisionOnlyWhenAccepted) {
    page->disc().artist = "Band";
    page->disc().title = "Album";
    page->disc().category = 8;
    for (size_t i = 0; i < page->disc().tracks.size(); ++i)
        page->disc().tracks[i].name = "Song " + std::to_string(i);
    TrackPage::SubmitRequest request = page->submitRequest();
    EXPECT_TRUE(TrackPage::runSubmit(request));
    page->finishSubmit(request, true);
    EXPECT_EQ(page->disc().revision, 0);
    const auto requests = cddb.requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_NE(requests.back().body.find("# Revision: 0"), std::string::npos);

    cddb.submitAnswer = "501 Refused\r\n";
    request = page->submitRequest();
    EXPECT_FALSE(TrackPage::runSubmit(request));
    page->finishSubmit(request, false);
    EXPECT_EQ(page->disc().revision, 0);
}
