// The look-up across sources, against a MusicBrainz and a CDDB server started by the test:
// the order of the settings, a database that fails or does not know the disc handing over
// to the next, the choice among releases, every database listed at once, a release named
// by its id, and the local stores in their places of the order.
#include "metadata/disc_lookup.h"
#include "metadata/musicbrainz_disc_id.h"
#include "support/fake_cddb_server.h"
#include "support/fake_musicbrainz_server.h"

#include <gtest/gtest.h>

using kytest::FakeMusicBrainzServer;
using kytest::FakeRelease;
using kytest::LocalHttpServer;
using kytest::mbid;
using Outcome = DiscLookupResult::Outcome;
using State = DatabaseReport::State;

namespace {

const char* const kRecord = "# xmcd\n# Revision: 2\nDTITLE=Gnudb Band / Gnudb Album\n"
                            "TTITLE0=One\nTTITLE1=Two\n";

FakeRelease release(uint64_t n, const std::string& country, size_t tracks = 2) {
    FakeRelease r;
    r.id = mbid(n);
    r.title = "Album " + std::to_string(n);
    r.artists = {{"Various Artists", mbid(99), ""}};
    r.country = country;
    r.date = "2003";
    r.groupId = mbid(n + 1);
    kytest::FakeMedium m;
    for (size_t i = 0; i < tracks; ++i) {
        kytest::FakeTrack t;
        t.title = "Title " + std::to_string(n) + "." + std::to_string(i + 1);
        t.artists = {{"Artist " + std::to_string(i + 1), mbid(50 + i), ""}};
        t.recordingId = mbid(n * 100 + i);
        t.trackId = mbid(n * 100 + 50 + i);
        t.isrcs = {"GBAAA030000" + std::to_string(i)};
        m.tracks.push_back(t);
    }
    r.media = {m};
    return r;
}

class DiscLookupOrderTest : public kytest::CddbClientTest {
protected:
    FakeMusicBrainzServer mb;
    std::string mbServer = mb.url();
    MusicBrainzClient musicBrainz{mbServer, proxy};
    std::string discId = musicBrainzDiscId(toc);
    DiscInfo info;
    DiscLookupOptions options;

    DiscLookupOrderTest() {
        musicBrainz.interval = std::chrono::milliseconds(0);
        musicBrainz.timeouts = kyHttpTimeouts::Total(2000);
        options.force = true;
        options.musicBrainz = &musicBrainz;
        options.gnudb = &client;
        cddb.queryAnswer = "200 rock 06019002 Gnudb Band / Gnudb Album\r\n";
        cddb.records["rock 06019002"] = kRecord;
    }

    std::vector<State> states(const DiscLookupResult& r) const {
        std::vector<State> out;
        for (const DatabaseReport& d : r.reports) out.push_back(d.state);
        return out;
    }
};

} // namespace

TEST_F(DiscLookupOrderTest, MusicBrainzFirstThenGnudb) {
    // MusicBrainz knows the disc: its release names it, gnudb is not asked.
    mb.discs[discId] = kytest::discAnswer(discId, {release(10, "GB")});
    DiscLookupResult r = lookUpDisc(toc, info, options);
    ASSERT_EQ(r.outcome, Outcome::Found) << r.detail;
    EXPECT_EQ(r.source, "musicbrainz");
    EXPECT_EQ(r.origin, LookupSource::MusicBrainz);
    EXPECT_EQ(info.artist, "Various Artists");
    EXPECT_EQ(info.title, "Album 10");
    EXPECT_EQ(info.year, 2003);
    EXPECT_EQ(info.tracks[1].name, "Title 10.2");
    EXPECT_EQ(info.tracks[1].artist, "Artist 2");
    EXPECT_EQ(info.tracks[1].isrc, "GBAAA0300001");
    EXPECT_EQ(info.release.releaseId, mbid(10));
    EXPECT_EQ(info.release.discId, discId);
    EXPECT_TRUE(cddb.requests().empty());

    struct Case {
        const char* name;
        std::optional<LocalHttpServer::Reply> mbReply;
        std::vector<State> states;
    } cases[] = {
        {"unknown to MusicBrainz", std::nullopt, {State::NoMatch, State::Matched}},
        {"MusicBrainz fails",
         LocalHttpServer::Reply{FakeMusicBrainzServer::json("{}", 500)},
         {State::Failed, State::Matched}},
        {"MusicBrainz sends garbage",
         LocalHttpServer::Reply{FakeMusicBrainzServer::json("<x>")},
         {State::Failed, State::Matched}},
    };
    mb.discs.clear();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mb.override = c.mbReply;
        r = lookUpDisc(toc, info, options);
        EXPECT_EQ(r.outcome, Outcome::Found);
        EXPECT_EQ(r.source, "gnudb");
        EXPECT_EQ(states(r), c.states);
        EXPECT_EQ(info.artist, "Gnudb Band");
        EXPECT_TRUE(info.release.empty());
    }

    // The other way round: gnudb first, MusicBrainz not asked.
    mb.override.reset();
    mb.discs[discId] = kytest::discAnswer(discId, {release(10, "GB")});
    const size_t before = mb.requests().size();
    options.order = {LookupSource::Gnudb, LookupSource::MusicBrainz};
    r = lookUpDisc(toc, info, options);
    EXPECT_EQ(r.source, "gnudb");
    EXPECT_EQ(mb.requests().size(), before);
}

TEST_F(DiscLookupOrderTest, SeveralReleasesAreOfferedWithWhatTellsThemApart) {
    FakeRelease other = release(12, "US");
    other.media[0].format = "Enhanced CD";
    FakeRelease vinyl = release(14, "DE", 5); // no disc of this layout: no match
    mb.discs[discId] = kytest::discAnswer(discId, {release(10, "GB"), other, vinyl});
    std::vector<std::string> lines;
    options.choose = [&](const std::vector<DiscMatch>& matches, bool exact) {
        EXPECT_TRUE(exact);
        for (const DiscMatch& m : matches) lines.push_back(choiceLine(m));
        return 1;
    };
    DiscLookupResult r = lookUpDisc(toc, info, options);
    ASSERT_EQ(r.outcome, Outcome::Found);
    EXPECT_EQ(r.chosen, 1);
    EXPECT_EQ(info.title, "Album 12");
    EXPECT_EQ(lines, (std::vector<std::string>{"Various Artists / Album 10  [GB, 2003, CD]",
                                               "Various Artists / Album 12  [US, 2003, "
                                               "Enhanced CD]"}));
    EXPECT_TRUE(cddb.requests().empty());
    EXPECT_NE(std::string(choicePrompt(LookupSource::MusicBrainz, true)).find("MusicBrainz"),
              std::string::npos);

    options.choose = nullptr;
    r = lookUpDisc(toc, info, options);
    EXPECT_EQ(r.outcome, Outcome::Choose);
    EXPECT_EQ(r.matches.size(), 2u);

    // A fuzzy answer: the releases of a close layout, the one that fits read without a
    // question.
    mb.discs[discId] = kytest::fuzzyAnswer({vinyl, other});
    r = lookUpDisc(toc, info, options);
    ASSERT_EQ(r.outcome, Outcome::Found);
    EXPECT_FALSE(r.exact);
    EXPECT_EQ(info.title, "Album 12");
}

// The look-up command lists every database's matches; the first one's single match is
// read, several (of any database) are chosen from.
TEST_F(DiscLookupOrderTest, EveryDatabaseListed) {
    options.everyDatabase = true;
    mb.discs[discId] = kytest::discAnswer(discId, {release(10, "GB")});
    DiscLookupResult r = lookUpDisc(toc, info, options);
    ASSERT_EQ(r.outcome, Outcome::Found);
    ASSERT_EQ(r.matches.size(), 2u);
    EXPECT_EQ(r.matches[0].source, LookupSource::MusicBrainz);
    EXPECT_EQ(r.matches[1].source, LookupSource::Gnudb);
    EXPECT_EQ(r.matches[1].artist(), "Gnudb Band");
    EXPECT_EQ(r.matches[1].title(), "Gnudb Album");
    EXPECT_EQ(r.source, "musicbrainz");

    mb.discs[discId] = kytest::discAnswer(discId, {release(10, "GB"), release(12, "US")});
    options.choose = [](const std::vector<DiscMatch>& matches, bool) {
        EXPECT_EQ(matches.size(), 3u);
        return 2;
    };
    r = lookUpDisc(toc, info, options);
    ASSERT_EQ(r.outcome, Outcome::Found);
    EXPECT_EQ(r.source, "gnudb");
    EXPECT_EQ(info.artist, "Gnudb Band");
    EXPECT_EQ(info.revision, 2);
}

TEST_F(DiscLookupOrderTest, NoNamesFromTheDatabases) {
    cddb.queryAnswer = "202 No match\r\n";
    options.verbose = true;
    DiscLookupResult r = lookUpDisc(toc, info, options);
    EXPECT_EQ(r.outcome, Outcome::NoMatch);
    EXPECT_EQ(r.message, std::string(kMusicBrainzNoMatch) + "\n" + kLookupNoMatch);

    // Both fail: the first failure is the detail.
    mb.override = LocalHttpServer::Reply{FakeMusicBrainzServer::json("{}", 502)};
    cddb.override = LocalHttpServer::Reply{LocalHttpServer::answer("", 500)};
    r = lookUpDisc(toc, info, options);
    EXPECT_EQ(r.outcome, Outcome::Failed);
    EXPECT_EQ(r.message, std::string(kMusicBrainzFailed) + "\n" + kLookupFailed);
    EXPECT_NE(r.detail.find("HTTP 502"), std::string::npos) << r.detail;

    // A silent look-up asks the stores where the order puts them.
    options.verbose = false;
    auto store = [](const char* name, LookupSource source) {
        return DiscNameStore{name,
                             [name](DiscInfo& i, const kyDiscToc&) {
                                 i.artist = name;
                                 return true;
                             },
                             source};
    };
    options.stores = {store("kept", LookupSource::Local), store("cd-text", LookupSource::CdText)};
    r = lookUpDisc(toc, info, options);
    EXPECT_EQ(r.outcome, Outcome::Found);
    EXPECT_EQ(r.source, "kept");
    EXPECT_EQ(r.origin, LookupSource::Local);
    options.order = {LookupSource::MusicBrainz, LookupSource::CdText, LookupSource::Local};
    r = lookUpDisc(toc, info, options);
    EXPECT_EQ(r.source, "cd-text");
    EXPECT_EQ(r.origin, LookupSource::CdText);
    options.order = {LookupSource::MusicBrainz};
    r = lookUpDisc(toc, info, options);
    EXPECT_EQ(r.outcome, Outcome::Failed);
    EXPECT_EQ(info.artist, "");

    // Cancelled at MusicBrainz: nothing else is asked.
    mb.override.reset();
    options.order = {LookupSource::MusicBrainz, LookupSource::Gnudb, LookupSource::Local};
    musicBrainz.keepGoing = [] { return false; };
    const size_t before = cddb.requests().size();
    r = lookUpDisc(toc, info, options);
    EXPECT_EQ(r.outcome, Outcome::Cancelled);
    EXPECT_EQ(cddb.requests().size(), before);
}

TEST_F(DiscLookupOrderTest, AReleaseNamedByItsId) {
    FakeRelease box = release(20, "JP");
    box.media.insert(box.media.begin(), release(21, "JP", 7).media[0]);
    box.media[0].position = 1;
    box.media[1].position = 2;
    mb.releases[mbid(20)] = kytest::releaseJson(box).dump();
    mb.releases[mbid(22)] = kytest::releaseJson(release(22, "JP", 9)).dump();
    options.releaseId = mbid(20);
    DiscLookupResult r = lookUpDisc(toc, info, options);
    ASSERT_EQ(r.outcome, Outcome::Found) << r.detail;
    EXPECT_EQ(info.title, "Album 20");
    EXPECT_EQ(info.release.discNumber, 2);
    EXPECT_EQ(info.release.discTotal, 2);
    EXPECT_TRUE(cddb.requests().empty());
    ASSERT_EQ(mb.requests().size(), 1u);
    EXPECT_EQ(mb.requests()[0].target.rfind("/ws/2/release/" + mbid(20), 0), 0u);

    for (const std::string& id : {mbid(22), mbid(23)}) {
        options.releaseId = id;
        options.verbose = true;
        r = lookUpDisc(toc, info, options);
        EXPECT_EQ(r.outcome, Outcome::Failed) << id;
        EXPECT_FALSE(r.detail.empty());
        EXPECT_EQ(r.message, kMusicBrainzFailed);
        EXPECT_EQ(info.title, "");
    }
}

TEST(LookupOrder, Parsing) {
    struct Case {
        const char* text;
        const char* result; // null: refused
    } cases[] = {
        {"musicbrainz,gnudb,local,cdtext", "musicbrainz,gnudb,local,cdtext"},
        {" GnuDB ,  MusicBrainz ", "gnudb,musicbrainz"},
        {"local cdtext", "local,cdtext"},
        {"gnudb,,local", "gnudb,local"},
        {"", nullptr},
        {" , ", nullptr},
        {"gnudb,freedb", nullptr},
        {"gnudb,gnudb", nullptr},
    };
    for (const Case& c : cases) {
        std::vector<LookupSource> order;
        std::string error;
        EXPECT_EQ(parseLookupOrder(c.text, order, error), c.result != nullptr) << c.text;
        if (c.result)
            EXPECT_EQ(lookupOrderText(order), c.result);
        else
            EXPECT_FALSE(error.empty());
    }
    std::vector<LookupSource> order;
    std::string error;
    ASSERT_TRUE(parseLookupOrder(kDefaultLookupOrder, order, error));
    EXPECT_EQ(order, DiscLookupOptions{}.order);
}
