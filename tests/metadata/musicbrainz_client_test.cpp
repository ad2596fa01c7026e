// The MusicBrainz client: its JSON parsing on answers shaped like the service's and on
// malformed ones, the choice of a release's disc, the disc record a release makes, and its
// requests against a server started by the test (pacing, 503 answers tried again after
// their delay, time-outs, cancelling) and the front cover from the Cover Art Archive.
#include "metadata/musicbrainz_client.h"
#include "metadata/musicbrainz_disc_id.h"
#include "support/fake_musicbrainz_server.h"
#include "support/test_discs.h"

#include <gtest/gtest.h>

#include <chrono>

using kytest::FakeCredit;
using kytest::FakeMedium;
using kytest::FakeMusicBrainzServer;
using kytest::FakeRelease;
using kytest::FakeTrack;
using kytest::LocalHttpServer;
using kytest::mbid;
using Clock = std::chrono::steady_clock;

namespace {

// Three audio tracks of 200 s each.
kyDiscToc disc() {
    return kytest::evenToc(3, 15000);
}

FakeMedium medium(int position, size_t tracks, const std::vector<std::string>& discIds,
                  uint64_t base, uint32_t lengthMs = 200000) {
    FakeMedium m;
    m.position = position;
    m.discIds = discIds;
    for (size_t i = 0; i < tracks; ++i) {
        FakeTrack t;
        t.title = "Song " + std::to_string(position) + "." + std::to_string(i + 1);
        t.lengthMs = lengthMs;
        t.recordingId = mbid(base + 100 + i);
        t.trackId = mbid(base + 200 + i);
        m.tracks.push_back(t);
    }
    return m;
}

FakeRelease release(uint64_t n, const std::string& country, const std::string& date) {
    FakeRelease r;
    r.id = mbid(n);
    r.title = "The Album";
    r.artists = {{"The Band", mbid(1), ""}};
    r.date = date;
    r.country = country;
    r.barcode = "0123456789012";
    r.groupId = mbid(2);
    r.firstReleaseDate = "1997-05-12";
    r.label = "Label";
    r.catalogNumber = "CAT " + std::to_string(n);
    r.media = {medium(1, 3, {musicBrainzDiscId(disc())}, n * 1000)};
    return r;
}

// A JPEG's first bytes and some more.
std::string jpeg(size_t size) {
    std::string bytes = "\xFF\xD8\xFF\xE0";
    bytes.resize(size, 'j');
    return bytes;
}

class MusicBrainzClientTest : public ::testing::Test {
protected:
    kytest::NoProxyEnvironment noProxy;
    FakeMusicBrainzServer mb;
    std::string server = mb.url(), proxy;
    MusicBrainzClient client{server, proxy};
    kyDiscToc toc = disc();
    std::string id = musicBrainzDiscId(toc);

    MusicBrainzClientTest() {
        client.timeouts = kyHttpTimeouts::Total(3000);
        client.interval = std::chrono::milliseconds(0);
    }
};

} // namespace

// ---- answers ---------------------------------------------------------------------------

TEST(MusicBrainzAnswers, ReleasesOfADisc) {
    FakeRelease one = release(10, "GB", "1997-05-12");
    one.media[0].tracks[1].isrcs = {"GBAAA9700001", "bad isrc", "GBAAA9700002"};
    one.media[0].tracks[2].artists = {{"Guest", mbid(3), " feat. "}, {"The Band", mbid(1), ""}};
    FakeRelease two = release(11, "US", "1997-06");
    two.status = "Promotion";
    two.disambiguation = "promo";
    MusicBrainzDiscAnswer answer;
    std::string error;
    ASSERT_TRUE(parseMusicBrainzDiscAnswer(
        kytest::discAnswer(musicBrainzDiscId(disc()), {one, two}), answer, error))
        << error;
    EXPECT_TRUE(answer.exact);
    ASSERT_EQ(answer.releases.size(), 2u);
    const MusicBrainzRelease& r = answer.releases[0];
    EXPECT_EQ(r.id, mbid(10));
    EXPECT_EQ(r.title, "The Album");
    EXPECT_EQ(r.artist.text, "The Band");
    EXPECT_EQ(r.artist.artistIds, std::vector<std::string>{mbid(1)});
    EXPECT_EQ(r.date, "1997-05-12");
    EXPECT_EQ(r.country, "GB");
    EXPECT_EQ(r.barcode, "0123456789012");
    EXPECT_EQ(r.releaseGroupId, mbid(2));
    EXPECT_EQ(r.originalDate, "1997-05-12");
    ASSERT_EQ(r.labels.size(), 1u);
    EXPECT_EQ(r.labels[0].name, "Label");
    EXPECT_EQ(r.labels[0].catalogNumber, "CAT 10");
    ASSERT_EQ(r.media.size(), 1u);
    const MusicBrainzMedium& m = r.media[0];
    EXPECT_EQ(m.format, "CD");
    EXPECT_EQ(m.discIds, std::vector<std::string>{musicBrainzDiscId(disc())});
    ASSERT_EQ(m.tracks.size(), 3u);
    EXPECT_EQ(m.tracks[1].isrcs, (std::vector<std::string>{"GBAAA9700001", "GBAAA9700002"}));
    EXPECT_EQ(m.tracks[2].artist.text, "Guest feat. The Band");
    EXPECT_EQ(m.tracks[2].artist.artistIds, (std::vector<std::string>{mbid(3), mbid(1)}));
    EXPECT_EQ(m.tracks[0].recordingId, mbid(10100));
    EXPECT_EQ(m.tracks[0].id, mbid(10200));
    EXPECT_EQ(m.tracks[0].lengthMs, 200000u);

    EXPECT_EQ(releaseDistinction(r, 0), "GB, 1997-05-12, Label CAT 10, barcode 0123456789012, CD");
    EXPECT_EQ(releaseDistinction(answer.releases[1], 0),
              "US, 1997-06, Label CAT 11, barcode 0123456789012, CD, promo, Promotion");

    // A fuzzy answer lists releases without the disc itself.
    ASSERT_TRUE(parseMusicBrainzDiscAnswer(kytest::fuzzyAnswer({two}), answer, error));
    EXPECT_FALSE(answer.exact);
    ASSERT_EQ(answer.releases.size(), 1u);
}

// Whatever the server sends, the parser neither crashes nor keeps what it cannot trust.
TEST(MusicBrainzAnswers, MalformedAnswers) {
    struct Case {
        const char* name;
        std::string text;
        bool ok;
        size_t releases;
    } cases[] = {
        {"not JSON", "<html>Bad Gateway</html>", false, 0},
        {"cut short", kytest::fuzzyAnswer({release(10, "GB", "1997")}).substr(0, 200), false, 0},
        {"an array", "[1, 2, 3]", false, 0},
        {"an error", R"({"error":"Invalid discid."})", false, 0},
        {"no releases", R"({"id":"x"})", false, 0},
        {"releases of the wrong type", R"({"releases":{"a":1}})", false, 0},
        {"empty list", R"({"releases":[]})", true, 0},
        {"entries of every type", R"({"releases":[1, "two", null, [], {}, {"id": 5}]})", true, 0},
        {"a release without a usable id",
         R"({"releases":[{"id":"../../etc/passwd","title":"x"},{"id":")" + mbid(1) + R"("}]})",
         true, 1},
        {"invalid UTF-8", "{\"releases\":[{\"id\":\"" + mbid(1) + "\",\"title\":\"\xC3\x28\"}]}",
         false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MusicBrainzDiscAnswer answer;
        std::string error;
        EXPECT_EQ(parseMusicBrainzDiscAnswer(c.text, answer, error), c.ok);
        EXPECT_EQ(answer.releases.size(), c.releases);
        if (!c.ok) {
            EXPECT_FALSE(error.empty());
        }
    }

    // Fields of the wrong type or shape are left out; control characters become spaces.
    const std::string odd = R"({"id":")" + mbid(1) + R"(","title":"Line\nbreak\u0000end",
        "date":"next year","country":"G B","barcode":12345,
        "artist-credit":[{"name":"A","joinphrase":7,"artist":{"id":"not-an-id"}},"stray"],
        "release-group":"rg","label-info":[{"label":null,"catalog-number":"C1"}],
        "media":[{"position":-4,"track-count":"3","discs":[{"id":"short"}],
                  "tracks":[{"position":1e300,"length":-5,"title":["x"],
                             "recording":{"id":")" +
                            mbid(2) + R"(","title":"From recording","length":99000,
                                          "isrcs":[12,"US1234567890"]}}]}]})";
    MusicBrainzRelease r;
    std::string error;
    ASSERT_TRUE(parseMusicBrainzRelease(odd, r, error)) << error;
    EXPECT_EQ(r.title, "Line break end");
    EXPECT_EQ(r.date, "");
    EXPECT_EQ(r.country, "");
    EXPECT_EQ(r.barcode, "");
    EXPECT_EQ(r.artist.text, "A");
    EXPECT_TRUE(r.artist.artistIds.empty());
    EXPECT_EQ(r.releaseGroupId, "");
    ASSERT_EQ(r.labels.size(), 1u);
    EXPECT_EQ(r.labels[0].catalogNumber, "C1");
    ASSERT_EQ(r.media.size(), 1u);
    EXPECT_EQ(r.media[0].position, 0);
    EXPECT_TRUE(r.media[0].discIds.empty());
    ASSERT_EQ(r.media[0].tracks.size(), 1u);
    const MusicBrainzTrack& t = r.media[0].tracks[0];
    EXPECT_EQ(t.title, "From recording");
    EXPECT_EQ(t.lengthMs, 99000u);
    EXPECT_EQ(t.recordingId, mbid(2));
    EXPECT_EQ(t.isrcs, std::vector<std::string>{"US1234567890"});
    EXPECT_FALSE(parseMusicBrainzRelease(R"({"title":"no id"})", r, error));

    // Long texts are cut at a character boundary; huge lists are bounded.
    std::string longTitle;
    for (int i = 0; i < 2000; ++i) longTitle += "\xC3\xA9";
    nlohmann::json big = kytest::releaseJson(release(1, "GB", "1997"));
    big["title"] = longTitle;
    big["media"][0]["tracks"] = nlohmann::json::array();
    for (int i = 0; i < 3000; ++i) big["media"][0]["tracks"].push_back({{"title", "t"}});
    ASSERT_TRUE(parseMusicBrainzRelease(big.dump(), r, error));
    EXPECT_LE(r.title.size(), 1024u);
    EXPECT_EQ(r.title.size() % 2, 0u);
    EXPECT_EQ(r.media[0].tracks.size(), 999u);
}

// Which disc of a release is the one in the drive, and what the record becomes.
TEST(MusicBrainzAnswers, TheDiscOfAMultiDiscRelease) {
    const kyDiscToc toc = disc();
    FakeRelease box = release(20, "DE", "2001-02-03");
    box.media = {medium(1, 3, {}, 1000), medium(2, 3, {musicBrainzDiscId(toc)}, 2000),
                 medium(3, 5, {}, 3000)};
    box.media[1].format = "Enhanced CD";
    MusicBrainzRelease r;
    std::string error;
    ASSERT_TRUE(parseMusicBrainzRelease(kytest::releaseJson(box).dump(), r, error));
    EXPECT_EQ(matchingMedium(r, toc), 1);
    EXPECT_EQ(releaseDistinction(r, 1),
              "DE, 2001-02-03, Label CAT 20, barcode 0123456789012, Enhanced CD 2/3");

    DiscInfo info;
    info.makeRows(toc);
    discInfoFromRelease(r, 1, toc, info);
    EXPECT_EQ(info.artist, "The Band");
    EXPECT_EQ(info.title, "The Album");
    EXPECT_EQ(info.year, 2001);
    EXPECT_EQ(info.tracks[0].name, "Song 2.1");
    EXPECT_EQ(info.tracks[2].name, "Song 2.3");
    EXPECT_EQ(info.tracks[2].recordingId, mbid(2102));
    EXPECT_EQ(info.tracks[2].trackId, mbid(2202));
    EXPECT_EQ(info.tracks[0].artist, "The Band");
    EXPECT_EQ(info.tracks[0].artistIds, mbid(1));
    const DiscRelease& d = info.release;
    EXPECT_EQ(d.releaseId, mbid(20));
    EXPECT_EQ(d.releaseGroupId, mbid(2));
    EXPECT_EQ(d.artistIds, mbid(1));
    EXPECT_EQ(d.discId, musicBrainzDiscId(toc));
    EXPECT_EQ(d.date, "2001-02-03");
    EXPECT_EQ(d.originalDate, "1997-05-12");
    EXPECT_EQ(d.country, "DE");
    EXPECT_EQ(d.label, "Label");
    EXPECT_EQ(d.catalogNumber, "CAT 20");
    EXPECT_EQ(d.barcode, "0123456789012");
    EXPECT_EQ(d.format, "Enhanced CD");
    EXPECT_EQ(d.discNumber, 2);
    EXPECT_EQ(d.discTotal, 3);

    // Without disc ids the layout decides: the track count, then the closest lengths.
    box.media = {medium(1, 3, {}, 1000, 100000), medium(2, 3, {}, 2000, 199000),
                 medium(3, 4, {}, 3000, 200000)};
    ASSERT_TRUE(parseMusicBrainzRelease(kytest::releaseJson(box).dump(), r, error));
    EXPECT_EQ(matchingMedium(r, toc), 1);
    box.media = {medium(1, 2, {}, 1000), medium(2, 4, {}, 2000)};
    ASSERT_TRUE(parseMusicBrainzRelease(kytest::releaseJson(box).dump(), r, error));
    EXPECT_EQ(matchingMedium(r, toc), -1);
}

// Discs with data tracks: an enhanced CD's release lists its audio tracks; a mixed-mode
// release may list the data track too.
TEST(MusicBrainzAnswers, DataTracksKeepTheirNames) {
    kyDiscToc enhanced = kytest::evenToc(4, 15000);
    enhanced.entries[4].data = 1;
    kyDiscToc mixed = kytest::evenToc(4, 15000);
    mixed.entries[1].data = 1;
    struct Case {
        const char* name;
        kyDiscToc toc;
        size_t tracks;
        std::vector<std::string> names;
    } cases[] = {
        {"enhanced", enhanced, 3, {"Song 1.1", "Song 1.2", "Song 1.3", "Data 04"}},
        {"mixed, audio listed", mixed, 3, {"Data CD", "Song 1.1", "Song 1.2", "Song 1.3"}},
        {"mixed, data listed", mixed, 4, {"Song 1.1", "Song 1.2", "Song 1.3", "Song 1.4"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeRelease rel = release(30, "GB", "1999");
        rel.media = {medium(1, c.tracks, {musicBrainzDiscId(c.toc)}, 1000)};
        MusicBrainzRelease r;
        std::string error;
        ASSERT_TRUE(parseMusicBrainzRelease(kytest::releaseJson(rel).dump(), r, error));
        ASSERT_EQ(matchingMedium(r, c.toc), 0);
        DiscInfo info;
        info.makeRows(c.toc);
        discInfoFromRelease(r, 0, c.toc, info);
        std::vector<std::string> names;
        for (const TrackEntry& row : info.tracks) names.push_back(row.name);
        EXPECT_EQ(names, c.names);
    }
}

// ---- requests --------------------------------------------------------------------------

TEST_F(MusicBrainzClientTest, DiscLookUpAsTheServiceWantsIt) {
    mb.discs[id] = kytest::discAnswer(id, {release(10, "GB", "1997"), release(11, "US", "1998")});
    MusicBrainzDiscAnswer answer;
    ASSERT_TRUE(lookUpMusicBrainzDisc(client, toc, answer)) << client.lastError();
    EXPECT_EQ(answer.releases.size(), 2u);
    const auto requests = mb.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target,
              "/ws/2/discid/" + id +
                  "?toc=1+3+45150+150+15150+30150&cdstubs=no&inc=artist-credits+recordings+"
                  "labels+isrcs+release-groups+discids&fmt=json");
    EXPECT_EQ(requests[0].header("User-Agent"), "DskR/5.0 ( dskr@velmora.org )");
    EXPECT_EQ(requests[0].header("Accept"), "application/json");

    // An unknown disc is no failure: no releases.
    mb.discs.clear();
    ASSERT_TRUE(lookUpMusicBrainzDisc(client, toc, answer));
    EXPECT_TRUE(answer.releases.empty());
    EXPECT_EQ(client.lastFailure(), MusicBrainzFailure::None);

    // A disc without audio is not asked about.
    kyDiscToc data = toc;
    for (uint32_t t = 1; t <= 3; ++t) data.entries[t].data = 1;
    EXPECT_FALSE(lookUpMusicBrainzDisc(client, data, answer));
    EXPECT_EQ(client.lastFailure(), MusicBrainzFailure::NoAudio);
    EXPECT_EQ(mb.requests().size(), 2u);
}

TEST_F(MusicBrainzClientTest, FailuresSayWhatHappened) {
    struct Case {
        const char* name;
        std::optional<LocalHttpServer::Reply> reply;
        MusicBrainzFailure failure;
        const char* message;
    } cases[] = {
        {"garbage", LocalHttpServer::Reply{FakeMusicBrainzServer::json("{\"releases\": [")},
         MusicBrainzFailure::Malformed, "not JSON"},
        {"an error page", LocalHttpServer::Reply{FakeMusicBrainzServer::json("oops", 500)},
         MusicBrainzFailure::Refused, "HTTP 500"},
        {"a bad request", LocalHttpServer::Reply{FakeMusicBrainzServer::json("{}", 400)},
         MusicBrainzFailure::Refused, "HTTP 400"},
        {"half an answer",
         LocalHttpServer::Reply{FakeMusicBrainzServer::json(kytest::fuzzyAnswer({})),
                                FakeMusicBrainzServer::json(kytest::fuzzyAnswer({})).size() - 5},
         MusicBrainzFailure::Transport, "broke off"},
        {"no answer", LocalHttpServer::Reply{"", SIZE_MAX, true}, MusicBrainzFailure::Transport,
         "within 400 ms"},
    };
    client.timeouts = kyHttpTimeouts::Total(400);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mb.override = c.reply;
        MusicBrainzDiscAnswer answer;
        const auto start = Clock::now();
        EXPECT_FALSE(lookUpMusicBrainzDisc(client, toc, answer));
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(client.lastFailure(), c.failure);
        EXPECT_NE(client.lastError().find(c.message), std::string::npos) << client.lastError();
    }

    // A server setting that is no address sends nothing.
    mb.override.reset();
    const size_t before = mb.requests().size();
    for (const char* bad : {"", "ftp://musicbrainz.org", "http://host/path", "two words"}) {
        server = bad;
        MusicBrainzDiscAnswer answer;
        EXPECT_FALSE(lookUpMusicBrainzDisc(client, toc, answer)) << bad;
        EXPECT_EQ(client.lastFailure(), MusicBrainzFailure::BadServer) << bad;
    }
    EXPECT_EQ(mb.requests().size(), before);
    std::string url, error;
    ASSERT_TRUE(musicBrainzServerUrl("musicbrainz.org", url, error));
    EXPECT_EQ(url, "https://musicbrainz.org");
    ASSERT_TRUE(musicBrainzServerUrl("http://127.0.0.1:5000/", url, error));
    EXPECT_EQ(url, "http://127.0.0.1:5000");
}

// The service's "slow down" answer is tried again after the delay it names (and never
// sooner than the client's own interval); a delay too long, or too many such answers,
// end the request.
TEST_F(MusicBrainzClientTest, BusyAnswersAreTriedAgainAfterTheirDelay) {
    mb.discs[id] = kytest::discAnswer(id, {release(10, "GB", "1997")});
    client.interval = std::chrono::milliseconds(150);
    mb.busy = 2;
    mb.retryAfter = "0";
    MusicBrainzDiscAnswer answer;
    ASSERT_TRUE(lookUpMusicBrainzDisc(client, toc, answer)) << client.lastError();
    EXPECT_EQ(answer.releases.size(), 1u);
    EXPECT_EQ(mb.requests().size(), 3u);

    // Retry-After: 1 is waited for.
    mb.busy = 1;
    mb.retryAfter = "1";
    const auto start = Clock::now();
    ASSERT_TRUE(lookUpMusicBrainzDisc(client, toc, answer)) << client.lastError();
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1000));

    // Longer than the client waits: given up at once.
    mb.busy = 1;
    mb.retryAfter = "3600";
    const auto before = mb.requests().size();
    const auto t0 = Clock::now();
    EXPECT_FALSE(lookUpMusicBrainzDisc(client, toc, answer));
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));
    EXPECT_EQ(client.lastFailure(), MusicBrainzFailure::Busy);
    EXPECT_NE(client.lastError().find("3600 s"), std::string::npos) << client.lastError();
    EXPECT_EQ(mb.requests().size(), before + 1);

    // Busy every time: the retries run out.
    mb.busy = 10;
    mb.retryAfter = "";
    client.retries = 2;
    client.interval = std::chrono::milliseconds(0);
    client.longestWait = std::chrono::milliseconds(1500);
    EXPECT_FALSE(lookUpMusicBrainzDisc(client, toc, answer));
    EXPECT_EQ(client.lastFailure(), MusicBrainzFailure::Busy);
    EXPECT_EQ(mb.requests().size(), before + 4);
}

// At most one request per interval, across clients; a wait can be cancelled.
TEST_F(MusicBrainzClientTest, RequestsArePacedAndCancellable) {
    client.interval = std::chrono::milliseconds(300);
    MusicBrainzClient other(server, proxy);
    other.interval = client.interval;
    MusicBrainzDiscAnswer answer;
    const auto start = Clock::now();
    ASSERT_TRUE(lookUpMusicBrainzDisc(client, toc, answer));
    ASSERT_TRUE(lookUpMusicBrainzDisc(other, toc, answer));
    ASSERT_TRUE(lookUpMusicBrainzDisc(client, toc, answer));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(600));

    // Cancelled while waiting for its turn: nothing is sent.
    client.interval = std::chrono::milliseconds(5000);
    int asked = 0;
    client.keepGoing = [&asked] { return ++asked < 3; };
    const size_t before = mb.requests().size();
    const auto t0 = Clock::now();
    EXPECT_FALSE(lookUpMusicBrainzDisc(client, toc, answer));
    EXPECT_EQ(client.lastFailure(), MusicBrainzFailure::Cancelled);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
    EXPECT_EQ(mb.requests().size(), before);

    // Cancelled while the server keeps quiet.
    client.interval = std::chrono::milliseconds(0);
    mb.override = LocalHttpServer::Reply{"", SIZE_MAX, true};
    client.keepGoing = [t0 = Clock::now()] {
        return Clock::now() - t0 < std::chrono::milliseconds(200);
    };
    EXPECT_FALSE(lookUpMusicBrainzDisc(client, toc, answer));
    EXPECT_EQ(client.lastFailure(), MusicBrainzFailure::Cancelled);
}

TEST_F(MusicBrainzClientTest, ReleaseLookUp) {
    mb.releases[mbid(10)] = kytest::releaseJson(release(10, "GB", "1997")).dump();
    MusicBrainzRelease r;
    ASSERT_TRUE(readMusicBrainzRelease(client, mbid(10), r)) << client.lastError();
    EXPECT_EQ(r.id, mbid(10));
    EXPECT_EQ(mb.requests().back().target,
              "/ws/2/release/" + mbid(10) +
                  "?inc=artist-credits+recordings+labels+isrcs+release-groups+discids&fmt=json");

    EXPECT_FALSE(readMusicBrainzRelease(client, mbid(11), r));
    EXPECT_EQ(client.lastFailure(), MusicBrainzFailure::NotFound);
    const size_t before = mb.requests().size();
    for (const char* bad : {"", "10", "00000000-0000-4000-8000-00000000000G", "../x"})
        EXPECT_FALSE(readMusicBrainzRelease(client, bad, r)) << bad;
    EXPECT_EQ(mb.requests().size(), before);
}

TEST_F(MusicBrainzClientTest, FrontCovers) {
    const std::string big = jpeg(kMaxCoverBytes + 1);
    const std::string png = "\x89PNG\r\n\x1a\n" + std::string(100, 'p');
    struct Case {
        const char* name;
        std::optional<std::string> front, thumbnail;
        bool redirect;
        bool ok;
        std::string bytes;
        MusicBrainzFailure failure;
    } cases[] = {
        {"a JPEG", jpeg(5000), std::nullopt, false, true, jpeg(5000), MusicBrainzFailure::None},
        {"through a redirect", jpeg(6000), std::nullopt, true, true, jpeg(6000),
         MusicBrainzFailure::None},
        {"too large", big, jpeg(700), true, true, jpeg(700), MusicBrainzFailure::None},
        {"a PNG", png, jpeg(800), false, true, jpeg(800), MusicBrainzFailure::None},
        {"a PNG and no rendition", png, std::nullopt, false, false, "",
         MusicBrainzFailure::Malformed},
        {"none", std::nullopt, std::nullopt, true, false, "", MusicBrainzFailure::NotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mb.covers.clear();
        mb.thumbnails.clear();
        if (c.front) mb.covers[mbid(10)] = *c.front;
        if (c.thumbnail) mb.thumbnails[mbid(10)] = *c.thumbnail;
        mb.redirectCovers = c.redirect;
        CoverImage cover;
        EXPECT_EQ(fetchFrontCover(client, mb.url(), mbid(10), cover), c.ok) << client.lastError();
        EXPECT_EQ(client.lastFailure(), c.failure);
        EXPECT_TRUE(cover.bytes == c.bytes);
        if (c.ok) {
            EXPECT_EQ(cover.mimeType, "image/jpeg");
        }
    }
    CoverImage cover;
    EXPECT_FALSE(fetchFrontCover(client, mb.url(), "not-an-id", cover));
    EXPECT_FALSE(fetchFrontCover(client, "ftp://x", mbid(10), cover));
    EXPECT_EQ(client.lastFailure(), MusicBrainzFailure::BadServer);
    EXPECT_TRUE(isJpeg(jpeg(4)));
    EXPECT_FALSE(isJpeg("\xFF\xD8"));
}
