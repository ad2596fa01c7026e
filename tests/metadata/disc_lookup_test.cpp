// The look-up procedure against the test's CDDB server: one match, several (the choice),
// none, failures; verbose look-ups with their messages and silent ones that fall back to
// the local stores; the records kept on disk; the bounded retry on unreadable discs.
#include "metadata/disc_lookup.h"
#include "metadata/freedb_disc_id.h"
#include "metadata/lookup_cache.h"
#include "metadata/xmcd.h"
#include "support/fake_cddb_server.h"
#include "support/file_text.h"
#include "support/scoped_env.h"

#include "support/test_discs.h"
#include <filesystem>

#include <gtest/gtest.h>
#include <unistd.h>

namespace fs = std::filesystem;
using kytest::FakeCddbServer;
using kytest::LocalHttpServer;
using Outcome = DiscLookupResult::Outcome;

namespace {

std::string record(const std::string& artist) {
    return "# xmcd\n# Revision: 2\nDTITLE=" + artist + " / Album\nTTITLE0=One\nTTITLE1=Two\n";
}

class DiscLookupTest : public kytest::CddbClientTest {
protected:
    DiscInfo info;
    fs::path dir;

    void SetUp() override {
        char tmpl[] = "/tmp/dskr-lookup-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }

    // A store that knows the disc and says so by its name.
    static DiscNameStore store(const std::string& name, bool knows) {
        return {name, [name, knows](DiscInfo& i, const kyDiscToc&) {
                    if (knows) i.artist = "from " + name;
                    return knows;
                }};
    }
};

} // namespace

TEST_F(DiscLookupTest, OneMatchIsReadAndSeveralAreOfferedForAChoice) {
    cddb.records["rock 06019002"] = record("Rock Band");
    cddb.records["jazz 06019002"] = record("Jazz Band");
    struct Case {
        const char* answer;
        int choice; // what the chooser answers; -2: no chooser
        Outcome outcome;
        const char* artist;
        bool asked;
        bool exact;
    } cases[] = {
        {"200 rock 06019002 Rock Band / Album\r\n", 1, Outcome::Found, "Rock Band", false, true},
        // A near match alone is read without asking.
        {"211 near\r\nrock 06019002 Rock Band / Album\r\n.\r\n", 1, Outcome::Found, "Rock Band",
         false, false},
        {"210 exact\r\nrock 06019002 Rock Band / Album\r\njazz 06019002 Jazz Band / Album\r\n.\r\n",
         1, Outcome::Found, "Jazz Band", true, true},
        {"211 near\r\nrock 06019002 Rock Band / Album\r\njazz 06019002 Jazz Band / Album\r\n.\r\n",
         0, Outcome::Found, "Rock Band", true, false},
        {"210 exact\r\nrock 06019002 R\r\njazz 06019002 J\r\n.\r\n", -1, Outcome::Declined, "",
         true, true},
        {"210 exact\r\nrock 06019002 R\r\njazz 06019002 J\r\n.\r\n", 7, Outcome::Declined, "", true,
         true},
        {"210 exact\r\nrock 06019002 R\r\njazz 06019002 J\r\n.\r\n", -2, Outcome::Choose, "", false,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        cddb.queryAnswer = c.answer;
        bool asked = false;
        DiscLookupOptions options;
        options.force = true;
        options.verbose = true;
        if (c.choice != -2)
            options.choose = [&](const std::vector<DiscMatch>& matches, bool exact) {
                asked = true;
                EXPECT_EQ(matches.size(), 2u);
                EXPECT_EQ(exact, c.exact);
                return c.choice;
            };
        const DiscLookupResult r = lookUpDisc(client, toc, info, options);
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_EQ(asked, c.asked);
        EXPECT_EQ(r.exact, c.exact);
        EXPECT_EQ(info.artist, c.artist);
        EXPECT_EQ(r.message, "");
        if (c.outcome == Outcome::Found) {
            EXPECT_EQ(r.source, "gnudb");
            EXPECT_EQ(info.revision, 2);
            EXPECT_EQ(info.tracks[1].name, "Two");
        } else {
            EXPECT_EQ(info.revision, -1);
            EXPECT_EQ(info.tracks[1].name, "Track 02");
        }
    }
}

TEST_F(DiscLookupTest, VerboseLookUpsSayWhySilentOnesAskTheStores) {
    struct Case {
        const char* name;
        std::optional<LocalHttpServer::Reply> reply;
        std::string query;
        Outcome outcome;
        const char* message;
    } cases[] = {
        {"no match", std::nullopt, "202 No match\r\n", Outcome::NoMatch, kLookupNoMatch},
        {"refused", std::nullopt, "500 Internal error\r\n", Outcome::Failed, kLookupFailed},
        {"never answers", LocalHttpServer::Reply{"", SIZE_MAX, true}, "", Outcome::Failed,
         kLookupFailed},
        {"garbage", LocalHttpServer::Reply{LocalHttpServer::answer("<html>")}, "", Outcome::Failed,
         kLookupFailed},
    };
    client.timeouts = kyHttpTimeouts::Total(400);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cddb.override = c.reply;
        cddb.queryAnswer = c.query;
        DiscLookupOptions options;
        options.force = true;
        options.stores = {store("first", false), store("second", true), store("third", true)};

        options.verbose = true;
        DiscLookupResult r = lookUpDisc(client, toc, info, options);
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_EQ(r.message, c.message);
        EXPECT_EQ(info.artist, "");
        if (c.outcome == Outcome::Failed) {
            EXPECT_FALSE(r.detail.empty());
        }

        options.verbose = false;
        r = lookUpDisc(client, toc, info, options);
        EXPECT_EQ(r.outcome, Outcome::Found);
        EXPECT_EQ(r.source, "second");
        EXPECT_EQ(r.message, "");
        EXPECT_EQ(info.artist, "from second");

        options.stores = {store("none", false)};
        r = lookUpDisc(client, toc, info, options);
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_EQ(info.artist, "");
    }
}

TEST_F(DiscLookupTest, TheSameDiscIsNotLookedUpAgainUnlessForced) {
    cddb.queryAnswer = "200 rock 06019002 Rock Band / Album\r\n";
    cddb.records["rock 06019002"] = record("Rock Band");
    DiscLookupOptions options;
    ASSERT_EQ(lookUpDisc(client, toc, info, options).outcome, Outcome::Found);
    info.tracks[0].name = "Edited";
    EXPECT_EQ(lookUpDisc(client, toc, info, options).outcome, Outcome::SameDisc);
    EXPECT_EQ(info.tracks[0].name, "Edited");
    EXPECT_EQ(cddb.requests().size(), 2u);

    // A virtual track does not make it another disc; a changed track does.
    info.appendRow(TrackEntry{-1, 0, 588, "Intro", "", false, false, true});
    EXPECT_TRUE(sameDisc(info, toc));
    kyDiscToc other = toc;
    other.entries[2].length = 14000;
    EXPECT_FALSE(sameDisc(info, other));
    info.tracks.pop_back();
    info.tracks.pop_back();
    EXPECT_FALSE(sameDisc(info, toc));

    options.force = true;
    EXPECT_EQ(lookUpDisc(client, toc, info, options).outcome, Outcome::Found);
    EXPECT_EQ(info.tracks[0].name, "One");
    EXPECT_EQ(info.tracks.size(), 2u);
}

TEST_F(DiscLookupTest, CancelledAndAddresslessLookUps) {
    cddb.override = LocalHttpServer::Reply{"", SIZE_MAX, true};
    client.keepGoing = [] { return false; };
    DiscLookupOptions options;
    options.force = true;
    options.stores = {store("store", true)};
    EXPECT_EQ(lookUpDisc(client, toc, info, options).outcome, Outcome::Cancelled);
    EXPECT_EQ(info.artist, "");

    client.keepGoing = nullptr;
    email.clear();
    options.verbose = true;
    const DiscLookupResult r = lookUpDisc(client, toc, info, options);
    EXPECT_EQ(r.outcome, Outcome::Failed);
    EXPECT_NE(r.detail.find("e-mail"), std::string::npos);
}

TEST(DiscLookupTexts, ChoiceListOptionsAndRetries) {
    EXPECT_EQ(choiceLine(FreedbMatch{"06019002", categoryIndex("newage"), "A / B"}),
              "<newage> : A / B");
    EXPECT_NE(std::string(choicePrompt(true)).find("More than one matching disc"),
              std::string::npos);
    EXPECT_NE(std::string(choicePrompt(false)).find("'near matches'"), std::string::npos);

    const std::vector<FreedbSite> sites = {
        {"gnudb.gnudb.org", true, 80, "/~cddb/cddb.cgi", "N0", "W0", "Random gnudb server"},
        {"plain.example", true, 80, "/~cddb/cddb.cgi", "", "", ""},
        {"other.example", true, 8080, "/~cddb/cddb.cgi", "", "", "wrong port"},
        {"cddbp.example", false, 80, "/~cddb/cddb.cgi", "", "", "not HTTP"},
        {"path.example", true, 80, "/cddb.cgi", "", "", "wrong path"},
    };
    const auto choices = serverChoices(sites);
    ASSERT_EQ(choices, (std::vector<std::string>{"gnudb.gnudb.org   <Random gnudb server>",
                                                 "plain.example"}));
    EXPECT_EQ(serverOfChoice(choices[0]), "gnudb.gnudb.org");
    EXPECT_EQ(serverOfChoice("typed.example  "), "typed.example");
    EXPECT_EQ(emailFieldError("ann"), "Invalid email address!");
    EXPECT_EQ(emailFieldError(""), "");
    EXPECT_EQ(emailFieldError("ann@example.org"), "");

    LookupRetry retry(3);
    EXPECT_FALSE(retry.again(false)); // a drive that is not ready ends it at once
    EXPECT_TRUE(retry.again(true));
    EXPECT_TRUE(retry.again(true));
    EXPECT_TRUE(retry.again(true));
    EXPECT_FALSE(retry.again(true)); // bounded, however long the drive claims to be ready
    retry.reset();
    EXPECT_TRUE(retry.again(true));
}

TEST_F(DiscLookupTest, RecordsKeptOnDiskBelongToTheirDisc) {
    LookupCache cache((dir / "cddb").string());
    DiscInfo written;
    written.makeRows(toc);
    written.artist = "Kept";
    written.title = "Album";
    written.tracks[0].name = "Caf\xC3\xA9";
    written.revision = 4;
    std::string error;
    EXPECT_FALSE(cache.store(written, toc, error)); // no category to file it under
    written.category = categoryIndex("folk");
    ASSERT_TRUE(cache.store(written, toc, error)) << error;
    EXPECT_TRUE(fs::exists(dir / "cddb/folk/06019002"));

    DiscInfo read;
    read.makeRows(toc);
    ASSERT_TRUE(cache.load(read, toc));
    EXPECT_EQ(read.artist, "Kept");
    EXPECT_EQ(read.tracks[0].name, "Caf\xC3\xA9");
    EXPECT_EQ(read.revision, 4);
    EXPECT_EQ(read.category, categoryIndex("folk"));
    EXPECT_FALSE(cache.load(read, toc, categoryIndex("rock")));

    // Another disc with the same id (same seconds, other frames) is not this one.
    kyDiscToc twin = toc;
    twin.entries[2].start = 15010;
    ASSERT_EQ(discIdQueryText(twin).substr(0, 8), "06019002");
    DiscInfo other;
    other.makeRows(twin);
    EXPECT_FALSE(cache.load(other, twin));

    // A damaged file is passed over.
    kytest::writeText(dir / "cddb/folk/06019002", "garbage");
    EXPECT_FALSE(cache.load(read, toc));

    kytest::ScopedEnv xdg{"XDG_CACHE_HOME"};
    setenv("XDG_CACHE_HOME", dir.c_str(), 1);
    EXPECT_EQ(LookupCache::defaultFolder(), (dir / "Velmora/DskR 5/cddb").string());
}
