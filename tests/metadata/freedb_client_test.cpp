// The gnudb/CDDB client: its parsers on recorded and malformed answers, and its requests
// against a CDDB server started by the test (never a live one).
#include "metadata/freedb_client.h"
#include "metadata/freedb_submit.h"
#include "metadata/xmcd.h"
#include "support/fake_cddb_server.h"
#include "support/scoped_env.h"

#include "support/test_discs.h"
#include <chrono>

#include <gtest/gtest.h>

using kytest::FakeCddbServer;
using kytest::LocalHttpServer;

namespace {

const char* const kRecord = "# xmcd\r\n#\r\n# Revision: 3\r\n#\r\nDISCID=06019002\r\n"
                            "DTITLE=The Artist / The Album\r\nDYEAR=1999\r\nDGENRE=Rock\r\n"
                            "TTITLE0=Opening\r\nTTITLE1=Closing\r\nEXTD=\r\nPLAYORDER=\r\n";

class FreedbClientTest : public kytest::CddbClientTest {
protected:
    DiscInfo rows() const {
        DiscInfo info;
        info.makeRows(toc);
        return info;
    }
};

int rock() {
    return categoryIndex("rock");
}

} // namespace

// ---- answers ---------------------------------------------------------------------------

TEST(FreedbAnswers, MatchLines) {
    struct Case {
        const char* line;
        bool ok;
        const char* category;
        const char* id;
        const char* title;
    } cases[] = {
        {"rock 06019002 Artist / Album", true, "rock", "06019002", "Artist / Album"},
        {"ROCK   06019002    Spaces / Kept  ", true, "rock", "06019002", "Spaces / Kept  "},
        {"newage 0A1B2C03 Upper Hex", true, "newage", "0a1b2c03", "Upper Hex"},
        {"datacd 1234 Short id", true, "data", "1234", "Short id"},
        {"polka 06019002 Unknown category", true, "misc", "06019002", "Unknown category"},
        {"rock 06019002 ", true, "rock", "06019002", ""},
        {" rock 06019002 Leading space", false, "", "", ""},
        {"rock", false, "", "", ""},
        {"rock 060190023 Nine digits", false, "", "", ""},
        {"rock 0601900g Not hex", false, "", "", ""},
        {"rock 06019002", false, "", "", ""},
        {"rock  Title only", false, "", "", ""},
    };
    for (const Case& c : cases) {
        FreedbMatch m;
        ASSERT_EQ(parseMatchLine(c.line, m), c.ok) << c.line;
        if (!c.ok) continue;
        EXPECT_STREQ(categoryName(m.category), c.category) << c.line;
        EXPECT_EQ(m.discId, c.id) << c.line;
        EXPECT_EQ(m.title, c.title) << c.line;
    }
}

TEST(FreedbAnswers, QueryAnswers) {
    std::string many = "211 close matches found\r\n";
    for (int i = 0; i < 120; ++i) many += "misc 000000" + std::to_string(10 + i % 90) + " Disc\r\n";
    many += ".\r\n";
    struct Case {
        std::string answer;
        bool ok;
        size_t matches;
        bool exact;
        const char* error;
    } cases[] = {
        {"200 rock 06019002 Artist / Album\r\n", true, 1, true, ""},
        {"200 rock 06019002 Artist / Album", true, 1, true, ""},
        {"202 No match for disc ID 06019002.\r\n", true, 0, true, ""},
        {"210 Found exact matches, list follows (until terminating `.')\r\n"
         "rock 06019002 A / B\r\njazz 06019002 C / D\r\n.\r\n",
         true, 2, true, ""},
        {"211 Found inexact matches, list follows (until terminating `.')\r\n"
         "rock 06019003 A / B\r\n.\r\n",
         true, 1, false, ""},
        {"210 list\nrock 06019002 LF only\ngarbage line\njazz 0601900 Short\n.\n", true, 2, true,
         ""},
        {"210 list\r\nrock 06019002 A / B\r\n.\r\nrock 06019003 after the end\r\n", true, 1, true,
         ""},
        {many, true, 100, false, ""},
        // A list cut short is an error, never a shorter success.
        {"210 list\r\nrock 06019002 A / B\r\njazz 06019002 C / D\r\n", false, 0, true,
         "incomplete"},
        {"211 list\r\nrock 06019002 A / B\r\njazz 060", false, 0, false, "incomplete"},
        {"200 garbage", false, 0, true, "not readable"},
        {"403 Database entry is corrupt.\r\n", false, 0, true, "403 Database entry is corrupt."},
        {"500 Command syntax error\r\n", false, 0, true, "500 Command syntax error"},
        {"<html><body>Not here</body></html>", false, 0, true, "not a CDDB answer"},
        {"2000 too many digits\r\n", false, 0, true, "not a CDDB answer"},
        {"", false, 0, true, "empty"},
    };
    for (const Case& c : cases) {
        std::vector<FreedbMatch> matches = {FreedbMatch{}};
        bool exact = false;
        std::string error;
        EXPECT_EQ(parseQueryAnswer(c.answer, matches, exact, error), c.ok) << c.answer;
        if (c.ok) {
            EXPECT_EQ(matches.size(), c.matches) << c.answer;
            EXPECT_EQ(exact, c.exact) << c.answer;
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
}

TEST(FreedbAnswers, ReadAnswers) {
    const FreedbMatch match{"06019002", rock(), "A / B"};
    struct Case {
        std::string answer;
        bool ok;
        const char* error;
    } cases[] = {
        {FakeCddbServer::readAnswer("rock 06019002", kRecord), true, ""},
        {"210 rock 06019002\n# xmcd\nTTITLE0=Opening\n.", true, ""}, // "." without line end
        {"401 rock 06019002 No such CD entry in database.\r\n", false, "401"},
        {"210 rock 06019002\r\n# xmcd\r\nTTITLE0=Ope", false, "incomplete"},
        {"210 rock 06019002\r\nTTITLE0=Opening\r\n.\r\n", false, "xmcd"},
        {"hello", false, "not a CDDB answer"},
    };
    for (const Case& c : cases) {
        DiscInfo info;
        info.makeRows(kytest::twoTrackToc());
        std::string error;
        EXPECT_EQ(parseReadAnswer(c.answer, match, info, error), c.ok) << c.answer;
        if (c.ok) {
            EXPECT_EQ(info.tracks[0].name, "Opening");
            EXPECT_EQ(info.category, rock());
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
            EXPECT_EQ(info.tracks[0].name, "Track 01");
            EXPECT_EQ(info.category, -1);
        }
    }
}

TEST(FreedbAnswers, SiteLines) {
    struct Case {
        const char* line;
        bool ok;
        const char* host = "";
        bool http = false;
        uint32_t port = 0;
        const char* path = "";
        const char* latitude = "";
        const char* longitude = "";
        const char* description = "";
    } cases[] = {
        {"gnudb.gnudb.org http 80 /~cddb/cddb.cgi N000.00 W000.00 Random gnudb server", true,
         "gnudb.gnudb.org", true, 80, "/~cddb/cddb.cgi", "N000.00", "W000.00",
         "Random gnudb server"},
        {"mirror-1.example HTTP 0 /~cddb/cddb.cgi", true, "mirror-1.example", true, 80,
         "/~cddb/cddb.cgi", "", "", ""},
        {"cddbp.example cddbp 8880 -   N1 E2   far away", true, "cddbp.example", false, 8880, "-",
         "N1", "E2", "far away"},
        {"host http 80", false},
        {"host http 80 /path,with,commas", false},
        {"host:80 http 80 /p", false},
        {" host http 80 /p", false},
        {"", false},
    };
    for (const Case& c : cases) {
        FreedbSite s;
        ASSERT_EQ(parseSiteLine(c.line, s), c.ok) << c.line;
        if (!c.ok) continue;
        EXPECT_EQ(s.host, c.host);
        EXPECT_EQ(s.http, c.http);
        EXPECT_EQ(s.port, c.port);
        EXPECT_EQ(s.path, c.path);
        EXPECT_EQ(s.latitude, c.latitude);
        EXPECT_EQ(s.longitude, c.longitude);
        EXPECT_EQ(s.description, c.description);
    }
    FreedbSite s;
    ASSERT_TRUE(parseSiteLine(std::string(300, 'h') + " http 80 /" + std::string(100, 'p') + " N" +
                                  std::string(30, '1') + " W1 " + std::string(90, 'd'),
                              s));
    EXPECT_EQ(s.host.size(), 255u);
    EXPECT_EQ(s.path.size(), 80u);
    EXPECT_EQ(s.latitude.size(), 15u);
    EXPECT_EQ(s.description.size(), 80u);

    std::vector<FreedbSite> sites;
    std::string error;
    EXPECT_TRUE(
        parseSitesAnswer("210 OK\r\na http 80 /x\r\nbad\r\nb http 80 /y\r\n.\r\n", sites, error));
    EXPECT_EQ(sites.size(), 2u);
    EXPECT_FALSE(parseSitesAnswer("210 OK\r\na http 80 /x\r\n", sites, error));
    EXPECT_FALSE(parseSitesAnswer("401 No site information available.\r\n", sites, error));
}

TEST(FreedbRequests, HelloAndServerAddress) {
    const std::pair<const char*, const char*> hellos[] = {
        {"ann@example.org", "&hello=ann+example.org+DskR+v5.0&proto=6"},
        {"ann+cds@mail.example.org", "&hello=ann%2Bcds+mail.example.org+DskR+v5.0&proto=6"},
        {"a b@c d", "&hello=a%20b+c%20d+DskR+v5.0&proto=6"},
        {"x@y\r\n&cmd=evil@z", "&hello=x%40y%26cmd%3Devil+z+DskR+v5.0&proto=6"},
        {"no-at-sign", ""},
        {"@host", ""},
        {"user@", ""},
        {"", ""},
    };
    for (const auto& [email, tail] : hellos) EXPECT_EQ(freedbHelloTail(email, "DskR v5.0"), tail);

    struct Case {
        const char* server;
        const char* url;
    } servers[] = {
        {"gnudb.gnudb.org", "http://gnudb.gnudb.org"},
        {" gnudb.gnudb.org ", "http://gnudb.gnudb.org"},
        {"127.0.0.1:8880", "http://127.0.0.1:8880"},
        {"http://127.0.0.1:8880/", "http://127.0.0.1:8880"},
        {"HTTPS://gnudb.gnudb.org", "https://gnudb.gnudb.org"},
        {"[::1]:80", "http://[::1]:80"},
        {"", nullptr},
        {"ftp://x", nullptr},
        {"http://host/path", nullptr},
        {"two words", nullptr},
        {"user@host", nullptr},
    };
    for (const Case& c : servers) {
        std::string url, error;
        EXPECT_EQ(freedbServerUrl(c.server, url, error), c.url != nullptr) << c.server;
        if (c.url)
            EXPECT_EQ(url, c.url);
        else
            EXPECT_FALSE(error.empty());
    }
}

// ---- against the test's server ---------------------------------------------------------

TEST_F(FreedbClientTest, EachCommandSendsItsRequest) {
    cddb.queryAnswer = "200 rock 06019002 The Artist / The Album\r\n";
    cddb.records["rock 06019002"] = kRecord;
    std::vector<FreedbMatch> matches;
    bool exact = false;
    ASSERT_TRUE(queryDisc(client, toc, matches, exact)) << client.lastError();
    ASSERT_EQ(matches.size(), 1u);
    EXPECT_TRUE(exact);
    DiscInfo info = rows();
    ASSERT_TRUE(readDisc(client, info, matches[0])) << client.lastError();
    std::vector<FreedbSite> sites;
    ASSERT_TRUE(readSites(client, sites)) << client.lastError();
    ASSERT_EQ(sites.size(), 1u);
    EXPECT_EQ(sites[0].host, "gnudb.gnudb.org");

    const char* bodies[] = {
        "cmd=cddb+query+06019002+2+150+15150+402&hello=ann+example.org+DskR+v5.0&proto=6\r\n",
        "cmd=cddb+read+rock+06019002&hello=ann+example.org+DskR+v5.0&proto=6\r\n",
        "cmd=sites&hello=ann+example.org+DskR+v5.0&proto=6\r\n",
    };
    const auto requests = cddb.requests();
    ASSERT_EQ(requests.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const auto& q = requests[i];
        EXPECT_EQ(q.requestLine, "POST /~cddb/cddb.cgi HTTP/1.0");
        EXPECT_EQ(q.header("Host"), cddb.hostPort());
        EXPECT_EQ(q.header("Content-Type"), "text/plain");
        EXPECT_EQ(q.header("User-Agent"), "DskR v5.0");
        EXPECT_EQ(q.body, bodies[i]);
        EXPECT_EQ(q.header("Content-Length"), std::to_string(q.body.size()));
    }

    EXPECT_EQ(info.artist, "The Artist");
    EXPECT_EQ(info.title, "The Album");
    EXPECT_EQ(info.year, 1999);
    EXPECT_EQ(info.genre, "Rock");
    EXPECT_EQ(info.revision, 3);
    EXPECT_EQ(info.category, rock());
    EXPECT_EQ(info.tracks[1].name, "Closing");
}

TEST_F(FreedbClientTest, NothingIsSentWithoutAnAddressOrAnAudioTrack) {
    std::vector<FreedbMatch> matches;
    bool exact;
    for (const char* address : {"", "not-an-address"}) {
        email = address;
        EXPECT_FALSE(queryDisc(client, toc, matches, exact));
        EXPECT_EQ(client.lastFailure(), FreedbFailure::NoEmail);
        DiscInfo info = rows();
        EXPECT_FALSE(readDisc(client, info, FreedbMatch{"06019002", rock(), ""}));
        EXPECT_EQ(client.lastFailure(), FreedbFailure::NoEmail);
        std::vector<FreedbSite> sites;
        EXPECT_FALSE(readSites(client, sites));
        info.artist = info.title = info.tracks[0].name = info.tracks[1].name = "x";
        info.category = rock();
        EXPECT_FALSE(submitDisc(client, toc, info));
        EXPECT_EQ(info.revision, -1);
        EXPECT_EQ(client.lastError(), *address ? "Invalid email address!"
                                               : "no e-mail address is set: gnudb answers only "
                                                 "requests that carry the sender's address");
    }

    email = "ann@example.org";
    kyDiscToc data = toc;
    data.entries[1].data = data.entries[2].data = 1;
    EXPECT_FALSE(queryDisc(client, data, matches, exact));
    EXPECT_EQ(client.lastFailure(), FreedbFailure::NoAudio);
    EXPECT_TRUE(cddb.requests().empty());
}

TEST_F(FreedbClientTest, SettingsEditsReachTheNextRequest) {
    std::vector<FreedbMatch> matches;
    bool exact;
    server = "http://no-such-host.invalid";
    EXPECT_FALSE(queryDisc(client, toc, matches, exact));
    EXPECT_EQ(client.lastFailure(), FreedbFailure::Transport);
    server = cddb.url();
    email = "bob@example.net";
    ASSERT_TRUE(queryDisc(client, toc, matches, exact)) << client.lastError();
    EXPECT_TRUE(client.lastError().empty());
    EXPECT_NE(cddb.requests().back().body.find("hello=bob+example.net+"), std::string::npos);
}

TEST_F(FreedbClientTest, ThroughAProxyTheRequestLineNamesTheServer) {
    // The test's server plays the proxy; the database host need not exist.
    cddb.queryAnswer = "202 No match\r\n";
    server = "gnudb.example";
    proxy = cddb.hostPort();
    std::vector<FreedbMatch> matches;
    bool exact;
    ASSERT_TRUE(queryDisc(client, toc, matches, exact)) << client.lastError();
    const auto q = cddb.requests().at(0);
    EXPECT_EQ(q.requestLine, "POST http://gnudb.example/~cddb/cddb.cgi HTTP/1.0");
    EXPECT_EQ(q.header("Host"), "gnudb.example");
}

// Every way the server can let the client down ends in a failure with a reason, in time,
// and the record keeps what it had.
TEST_F(FreedbClientTest, BadServersFailTheReadAndKeepTheRecord) {
    const std::string whole =
        LocalHttpServer::answer(FakeCddbServer::readAnswer("rock 06019002", kRecord), 200, true);
    struct Case {
        const char* name;
        LocalHttpServer::Reply reply;
        FreedbFailure failure;
        const char* words;
    } cases[] = {
        {"never answers", {"", SIZE_MAX, true}, FreedbFailure::Transport, "no complete answer"},
        {"closes mid-answer", {whole, whole.size() - 40}, FreedbFailure::Transport, "broke off"},
        {"no final line",
         {LocalHttpServer::answer(std::string("210 rock 06019002 follows\r\n") + kRecord)},
         FreedbFailure::Malformed,
         "incomplete"},
        {"HTTP error", {LocalHttpServer::answer("oops", 500)}, FreedbFailure::Refused, "HTTP 500"},
        {"garbage",
         {LocalHttpServer::answer("\x01\x02garbage\xff")},
         FreedbFailure::Malformed,
         "not a CDDB answer"},
        {"refusal",
         {LocalHttpServer::answer("402 Already shook hands.\r\n")},
         FreedbFailure::Refused,
         "402 Already shook hands."},
        {"empty", {LocalHttpServer::answer("")}, FreedbFailure::Transport, "empty"},
        {"too long",
         {LocalHttpServer::answer(std::string(70000, '#'))},
         FreedbFailure::Transport,
         "larger than 65536 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cddb.override = c.reply;
        client.timeouts = kyHttpTimeouts::Total(600);
        DiscInfo info = rows();
        info.artist = "Typed in";
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(readDisc(client, info, FreedbMatch{"06019002", rock(), ""}));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        EXPECT_EQ(client.lastFailure(), c.failure);
        EXPECT_NE(client.lastError().find(c.words), std::string::npos) << client.lastError();
        EXPECT_EQ(info.artist, "Typed in");
        EXPECT_EQ(info.tracks[0].name, "Track 01");
        EXPECT_EQ(info.category, -1);
    }
}

TEST_F(FreedbClientTest, Latin1AndUtf8Records) {
    cddb.records["rock 06019002"] = "# xmcd\nDTITLE=Bj\xF6rk / Deb\xFBt\nTTITLE0=Human Behaviour\n"
                                    "TTITLE1=Crying \x96 live\n";
    cddb.records["jazz 06019002"] = "# xmcd\nDTITLE=Bj\xC3\xB6rk / Deb\xC3\xBBt\n"
                                    "TTITLE0=\xE6\x97\xA5\xE6\x9C\xAC\nTTITLE1=\xF0\x9F\x8E\xB5\n";
    DiscInfo latin = rows(), utf8 = rows();
    ASSERT_TRUE(readDisc(client, latin, FreedbMatch{"06019002", rock(), ""})) << client.lastError();
    ASSERT_TRUE(readDisc(client, utf8, FreedbMatch{"06019002", categoryIndex("jazz"), ""}));
    EXPECT_EQ(latin.artist, "Bj\xC3\xB6rk");
    EXPECT_EQ(latin.title, "Deb\xC3\xBBt");
    EXPECT_EQ(latin.tracks[1].name, "Crying \xE2\x80\x93 live");
    EXPECT_EQ(utf8.artist, latin.artist);
    EXPECT_EQ(utf8.title, latin.title);
    EXPECT_EQ(utf8.tracks[0].name, "\xE6\x97\xA5\xE6\x9C\xAC");
    EXPECT_EQ(utf8.tracks[1].name, "\xF0\x9F\x8E\xB5");
}

// ---- submission ------------------------------------------------------------------------

TEST_F(FreedbClientTest, SubmissionSendsTheRecordWithItsHeaders) {
    DiscInfo info = rows();
    info.artist = "The Artist";
    info.title = "The Album";
    info.category = rock();
    info.tracks[0].name = "Opening";
    info.tracks[1].name = "Closing";
    const std::string expected = xmcdRecord(info, toc, 0, "DskR v5.0");
    ASSERT_TRUE(submitDisc(client, toc, info)) << client.lastError();
    EXPECT_EQ(info.revision, 0);

    const auto q = cddb.requests().at(0);
    EXPECT_EQ(q.requestLine, "POST /~cddb/submit.cgi HTTP/1.0");
    EXPECT_EQ(q.body, expected + "\r\n");
    EXPECT_NE(q.body.find("# Revision: 0\r\n"), std::string::npos);
    std::vector<std::string> names;
    for (const auto& [name, value] : q.headers) names.push_back(name);
    const std::vector<std::string> order = {"Category",    "Discid",  "User-Email",
                                            "Submit-Mode", "Charset", "X-Cddbd-Note"};
    auto it = names.begin();
    for (const std::string& want : order) {
        it = std::find(it, names.end(), want);
        EXPECT_NE(it, names.end()) << want << " missing or out of order";
    }
    EXPECT_EQ(q.header("Category"), "rock");
    EXPECT_EQ(q.header("Discid"), "06019002");
    EXPECT_EQ(q.header("User-Email"), "ann@example.org");
    EXPECT_EQ(q.header("Submit-Mode"), "submit");
    EXPECT_EQ(q.header("Charset"), "UTF-8");
    EXPECT_EQ(q.header("X-Cddbd-Note"), "Sent by DskR v5.0");
    EXPECT_EQ(q.header("Content-Type"), "text/plain");
}

TEST_F(FreedbClientTest, RevisionRisesOnlyWhenTheServerAcceptsTheSubmission) {
    struct Case {
        const char* name;
        std::optional<LocalHttpServer::Reply> reply;
        bool ok;
        int32_t before, after;
    } cases[] = {
        {"new disc accepted", std::nullopt, true, -1, 0},
        {"update accepted", std::nullopt, true, 4, 5},
        {"refused", LocalHttpServer::Reply{LocalHttpServer::answer("501 Missing header\r\n")},
         false, 4, 4},
        {"server error", LocalHttpServer::Reply{LocalHttpServer::answer("", 503)}, false, -1, -1},
        {"never answers", LocalHttpServer::Reply{"", SIZE_MAX, true}, false, 2, 2},
    };
    client.timeouts = kyHttpTimeouts::Total(500);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cddb.override = c.reply;
        DiscInfo info = rows();
        info.artist = "A";
        info.title = "B";
        info.category = rock();
        info.tracks[0].name = "x";
        info.tracks[1].name = "y";
        info.revision = c.before;
        EXPECT_EQ(submitDisc(client, toc, info), c.ok) << client.lastError();
        EXPECT_EQ(info.revision, c.after);
        if (c.reply) {
            EXPECT_FALSE(client.lastError().empty());
        }
        EXPECT_NE(cddb.requests().back().body.find("# Revision: " + std::to_string(c.before + 1)),
                  std::string::npos);
    }
}

TEST_F(FreedbClientTest, SubmissionChecksAndRefusals) {
    struct Case {
        const char* artist;
        const char* title;
        int category;
        const char* track0;
        const char* message; // "" when it may be sent
    } cases[] = {
        {"", "B", 0, "x", "Please enter the artist name"},
        {"new ARTIST", "B", 0, "x", "Please enter the artist name"},
        {"A", "", 0, "x", "Please enter the album name"},
        {"A", "New Album", 0, "x", "Please enter the album name"},
        {"A", "B", -1, "x", "Please select a category"},
        {"A", "B", 0, "", "Please enter track names"},
        {"A", "B", 0, "track 01", "Please enter track names"},
        {"A", "B", 0, "TRACK01", "Please enter track names"},
        {"A", "B", 0, "Track 1", ""},
        {"Various", "Hits", 10, "Someone / Song", ""},
    };
    for (const Case& c : cases) {
        DiscInfo info = rows();
        info.artist = c.artist;
        info.title = c.title;
        info.category = c.category;
        info.tracks[0].name = c.track0;
        info.tracks[1].name = "Named";
        const std::string message = submitCheck(info);
        if (*c.message)
            EXPECT_EQ(message.rfind(c.message, 0), 0u) << message;
        else
            EXPECT_EQ(message, "");
    }
    DiscInfo info = rows();
    EXPECT_STREQ(submitMenuText(info), "Submit new disc...");
    EXPECT_NE(submitConfirmation(info).find("this new disc to the freedb database."),
              std::string::npos);
    info.revision = 0;
    EXPECT_STREQ(submitMenuText(info), "Submit disc update...");
    EXPECT_NE(submitConfirmation(info).find("as an update of the disc in the freedb"),
              std::string::npos);

    // submitDisc itself refuses a record without names, without sending anything.
    info.category = rock();
    info.artist = "A";
    info.title = "B";
    info.tracks[1].name = "";
    EXPECT_FALSE(submitDisc(client, toc, info));
    info.tracks[1].name = "y";
    info.category = -1;
    EXPECT_FALSE(submitDisc(client, toc, info));
    EXPECT_TRUE(cddb.requests().empty());
    EXPECT_EQ(info.revision, 0);
}
