// lookup and submit: a disc's names from MusicBrainz and gnudb, and corrections sent back
// to gnudb; and the look-up that names a rip.
#include "app/settings_table.h"
#include "cli/cli_commands.h"
#include "cli/cli_drive.h"
#include "cli/cli_lookup.h"
#include "cli/cli_run_options.h"
#include "cli/json_writer.h"
#include "cli/terminal_frontend.h"
#include "core/text.h"
#include "metadata/cdplayer_ini.h"
#include "metadata/disc_lookup.h"
#include "metadata/freedb_client.h"
#include "metadata/freedb_disc_id.h"
#include "metadata/freedb_submit.h"
#include "metadata/lookup_cache.h"
#include "metadata/musicbrainz_client.h"
#include "metadata/musicbrainz_disc_id.h"
#include "metadata/xmcd.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <unistd.h>

namespace {

bool interactive() {
    return isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
}

std::string trimmed(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r\n");
    const size_t b = s.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

bool usableEmail(const std::string& address) {
    return !freedbHelloTail(address, kFreedbIdentity).empty();
}

// Stores the address in the settings file, leaving every other stored value as it is.
void storeEmail(const std::string& address) {
    RipSettings stored;
    loadSettings(stored);
    stored.szDBEmail = address;
    if (!saveSettings(stored))
        std::fprintf(stderr, "dskr-cli: the e-mail address could not be stored\n");
}

// The stored look-up order; one that does not parse (edited by hand) is the default.
std::vector<LookupSource> lookupOrder(const RipSettings& settings) {
    std::vector<LookupSource> order;
    std::string error;
    if (!parseLookupOrder(settings.szLookupOrder, order, error)) {
        std::fprintf(stderr, "dskr-cli: szLookupOrder: %s; using %s\n", error.c_str(),
                     kDefaultLookupOrder);
        parseLookupOrder(kDefaultLookupOrder, order, error);
    }
    return order;
}

bool asks(const std::vector<LookupSource>& order, LookupSource source) {
    return std::find(order.begin(), order.end(), source) != order.end();
}

// gnudb answers no request without an address; with MusicBrainz to ask as well, an
// address is not worth stopping for.
bool gnudbNeedsAddress(const std::vector<LookupSource>& order) {
    return asks(order, LookupSource::Gnudb) && !asks(order, LookupSource::MusicBrainz);
}

// On a compilation ("Various" as the disc's artist), a track named "Artist / Title" names
// its own artist; a MusicBrainz track has its own.
std::pair<std::string, std::string> trackArtistAndTitle(const DiscInfo& info,
                                                        const TrackEntry& row) {
    if (!row.artist.empty()) return {row.artist, row.name};
    const std::string artist = kyLowerAscii(info.artist);
    const size_t sep = row.name.find(" / ");
    if ((artist == "various" || artist == "various artists") && sep != std::string::npos)
        return {row.name.substr(0, sep), row.name.substr(sep + 3)};
    return {info.artist, row.name};
}

std::string matchesText(const std::vector<DiscMatch>& matches) {
    std::string text;
    for (size_t i = 0; i < matches.size(); ++i)
        text += "  " + std::to_string(i + 1) + "  " + choiceLine(matches[i]) + "\n";
    return text;
}

// Asks on the terminal which of several matches is the disc: the index, or -1.
int promptForMatch(const std::vector<DiscMatch>& matches, bool exact) {
    std::fprintf(stderr, "%s\n%s\n", kChoiceCaption, choicePrompt(matches.front().source, exact));
    for (size_t i = 0; i < matches.size(); ++i)
        std::fprintf(stderr, "%4zu  %s\n", i + 1, choiceLine(matches[i]).c_str());
    std::fprintf(stderr, "Number of your disc (Enter for none): ");
    std::fflush(stderr);
    std::string answer;
    long long n = 0;
    if (!std::getline(std::cin, answer) ||
        !kyParseInteger(trimmed(answer), 1, static_cast<long long>(matches.size()), n))
        return -1;
    return static_cast<int>(n - 1);
}

const char* stateText(DatabaseReport::State state) {
    switch (state) {
    case DatabaseReport::State::Matched:
        return "matches";
    case DatabaseReport::State::NoMatch:
        return "no match";
    case DatabaseReport::State::Failed:
        return "failed";
    }
    return "";
}

constexpr const char* kCdTextStore = "CD-Text";

struct CliLookup {
    DiscLookupResult result;
    bool matchOutOfRange = false;
    bool gnudbSkipped = false; // in the order, but no address to ask it with
    std::string coverProblem;  // why no front cover came, when one was wanted
};

// What a look-up says on stderr beyond its result.
void reportLookup(const CliLookup& lookup) {
    using Outcome = DiscLookupResult::Outcome;
    const DiscLookupResult& r = lookup.result;
    if (r.outcome == Outcome::Cancelled) return;
    for (const DatabaseReport& d : r.reports) {
        const bool mb = d.source == LookupSource::MusicBrainz;
        if (d.state == DatabaseReport::State::Failed)
            std::fprintf(stderr, "%s\n(%s)\n", mb ? kMusicBrainzFailed : kLookupFailed,
                         d.detail.c_str());
        else if (d.state == DatabaseReport::State::NoMatch)
            std::fprintf(stderr, "%s\n", mb ? kMusicBrainzNoMatch : kLookupNoMatch);
    }
    if (lookup.gnudbSkipped)
        std::fprintf(stderr, "gnudb was not asked: it answers only requests that carry your "
                             "e-mail address (give it once with --email ADDRESS).\n");
    if (r.outcome == Outcome::Found &&
        (r.origin == LookupSource::Local || r.origin == LookupSource::CdText))
        std::fprintf(stderr, "Names from %s.\n", r.source.c_str());
    if (!lookup.coverProblem.empty())
        std::fprintf(stderr, "No front cover: %s\n", lookup.coverProblem.c_str());
}

// The look-up as the command line runs it: the databases in the order of the settings;
// --match or a question on the terminal chooses among several matches; without names
// from them the records kept from earlier look-ups, cdplayer.ini and the disc's CD-Text
// are asked, where the order puts them; a record
// read from gnudb is kept for later. With `cover`, a MusicBrainz release's front cover is
// fetched too.
CliLookup runLookup(const RipSettings& settings, const CliFreedbRun& run, const CliArguments& args,
                    const kyDiscToc& toc, const kyCdText& cdText, DiscInfo& info, bool mayAsk,
                    bool everyDatabase, bool cover) {
    CliLookup out;
    const std::vector<LookupSource> order = lookupOrder(settings);
    const auto keepGoing = [] { return !TerminalFrontend::interrupted.load(); };
    FreedbClient gnudb(settings.szDBServer, settings.szDBProxy, settings.szDBEmail);
    gnudb.timeouts = run.timeouts;
    gnudb.keepGoing = keepGoing;
    const std::string proxy = kySingleByteToUtf8(settings.szDBProxy);
    MusicBrainzClient musicBrainz(settings.szMusicBrainzServer, proxy);
    musicBrainz.timeouts = run.timeouts;
    musicBrainz.keepGoing = keepGoing;

    const LookupCache cache;
    DiscLookupOptions options;
    options.force = true;
    options.order = order;
    options.everyDatabase = everyDatabase;
    options.releaseId = run.releaseId;
    if (asks(order, LookupSource::MusicBrainz) || !run.releaseId.empty())
        options.musicBrainz = &musicBrainz;
    if (asks(order, LookupSource::Gnudb)) {
        if (usableEmail(settings.szDBEmail))
            options.gnudb = &gnudb;
        else
            out.gnudbSkipped = run.releaseId.empty();
    }
    options.stores = {
        {"an earlier look-up",
         [&cache](DiscInfo& i, const kyDiscToc& t) { return cache.load(i, t); }},
        {"cdplayer.ini", [](DiscInfo& i, const kyDiscToc& t) { return readCdPlayerIni(i, t); }},
        {kCdTextStore, [&cdText](DiscInfo& i, const kyDiscToc&) { return applyCdText(cdText, i); },
         LookupSource::CdText},
    };
    long long wanted = 0;
    if (auto m = args.get("match"); m && kyParseInteger(*m, 1, 1000, wanted)) {
        options.choose = [&out, wanted](const std::vector<DiscMatch>& matches, bool) {
            if (static_cast<size_t>(wanted) > matches.size()) {
                out.matchOutOfRange = true;
                return -1;
            }
            return static_cast<int>(wanted - 1);
        };
    } else if (mayAsk) {
        options.choose = promptForMatch;
    }
    {
        InterruptGuard guard;
        out.result = lookUpDisc(toc, info, options);
        const bool fromRelease = out.result.outcome == DiscLookupResult::Outcome::Found &&
                                 out.result.origin == LookupSource::MusicBrainz;
        if (cover && fromRelease) {
            CoverImage image;
            if (fetchFrontCover(musicBrainz, settings.szCoverArtServer, info.release.releaseId,
                                image))
                info.cover = std::make_shared<const CoverImage>(std::move(image));
            else if (musicBrainz.lastFailure() != MusicBrainzFailure::Cancelled)
                out.coverProblem = musicBrainz.lastError();
        }
    }
    if (out.result.outcome == DiscLookupResult::Outcome::Found &&
        out.result.origin == LookupSource::Gnudb) {
        std::string error;
        if (!cache.store(info, toc, error))
            std::fprintf(stderr, "dskr-cli: the record was not kept: %s\n", error.c_str());
    }
    return out;
}

void writeMatchJson(JsonWriter& json, const DiscMatch& m) {
    json.beginObject().key("source").value(lookupSourceName(m.source));
    if (!m.release) {
        json.key("category")
            .value(categoryName(m.freedb.category) ? categoryName(m.freedb.category) : "")
            .key("id")
            .value(m.freedb.discId)
            .key("artist")
            .value(m.artist())
            .key("title")
            .value(m.title())
            .endObject();
        return;
    }
    const MusicBrainzRelease& r = *m.release;
    const MusicBrainzMedium* medium =
        m.medium >= 0 && static_cast<size_t>(m.medium) < r.media.size() ? &r.media[m.medium]
                                                                        : nullptr;
    const MusicBrainzLabel label = r.labels.empty() ? MusicBrainzLabel{} : r.labels.front();
    json.key("id")
        .value(r.id)
        .key("artist")
        .value(r.artist.text)
        .key("title")
        .value(r.title)
        .key("exact")
        .value(m.exact)
        .key("date")
        .value(r.date)
        .key("country")
        .value(r.country)
        .key("label")
        .value(label.name)
        .key("catalog_number")
        .value(label.catalogNumber)
        .key("barcode")
        .value(r.barcode)
        .key("status")
        .value(r.status)
        .key("disambiguation")
        .value(r.disambiguation)
        .key("format")
        .value(medium ? medium->format : "")
        .key("disc_number")
        .value(medium ? (medium->position > 0 ? medium->position : m.medium + 1) : 0)
        .key("disc_total")
        .value(static_cast<int64_t>(r.media.size()))
        .key("release_group_id")
        .value(r.releaseGroupId)
        .endObject();
}

void writeRecordJson(JsonWriter& json, const DiscInfo& info, const DiscLookupResult& r) {
    const bool store = r.origin == LookupSource::Local || r.origin == LookupSource::CdText;
    json.beginObject().key("source").value(lookupSourceName(r.origin));
    if (store) json.key("store").value(r.source);
    json.key("category")
        .value(categoryName(info.category) ? categoryName(info.category) : "")
        .key("revision")
        .value(info.revision)
        .key("artist")
        .value(info.artist)
        .key("album")
        .value(info.title)
        .key("year");
    if (info.year > 0)
        json.value(info.year);
    else
        json.null();
    json.key("genre").value(info.genre).key("release");
    const DiscRelease& d = info.release;
    if (d.empty()) {
        json.null();
    } else {
        json.beginObject()
            .key("id")
            .value(d.releaseId)
            .key("release_group_id")
            .value(d.releaseGroupId)
            .key("artist_ids")
            .value(d.artistIds)
            .key("disc_id")
            .value(d.discId)
            .key("date")
            .value(d.date)
            .key("original_date")
            .value(d.originalDate)
            .key("country")
            .value(d.country)
            .key("label")
            .value(d.label)
            .key("catalog_number")
            .value(d.catalogNumber)
            .key("barcode")
            .value(d.barcode)
            .key("format")
            .value(d.format)
            .key("disc_number")
            .value(d.discNumber)
            .key("disc_total")
            .value(d.discTotal)
            .endObject();
    }
    json.key("tracks").beginArray();
    for (const TrackEntry& row : info.tracks) {
        const auto [artist, title] = trackArtistAndTitle(info, row);
        json.beginObject()
            .key("number")
            .value(row.number)
            .key("title")
            .value(title)
            .key("artist")
            .value(artist);
        if (!d.empty())
            json.key("artist_ids")
                .value(row.artistIds)
                .key("recording_id")
                .value(row.recordingId)
                .key("track_id")
                .value(row.trackId)
                .key("isrc")
                .value(row.isrc);
        json.endObject();
    }
    json.endArray().endObject();
}

void printRecord(const DiscInfo& info, const std::string& source) {
    const char* category = categoryName(info.category);
    std::printf("names (%s%s%s", source.c_str(), category ? ", " : "", category ? category : "");
    if (info.revision >= 0) std::printf(", revision %d", info.revision);
    if (!info.release.empty()) std::printf(", release %s", info.release.releaseId.c_str());
    std::printf("):\n  %s / %s", info.artist.c_str(), info.title.c_str());
    const std::string when = info.release.date.empty()
                                 ? (info.year > 0 ? std::to_string(info.year) : std::string())
                                 : info.release.date;
    if (!when.empty() || !info.genre.empty()) {
        std::printf(" (");
        if (!when.empty()) std::printf("%s%s", when.c_str(), info.genre.empty() ? "" : ", ");
        std::printf("%s)", info.genre.c_str());
    }
    if (info.release.discTotal > 1)
        std::printf(", disc %d of %d", info.release.discNumber, info.release.discTotal);
    std::printf("\n");
    for (const TrackEntry& row : info.tracks) {
        std::printf("  %3d  %s", row.number, row.name.c_str());
        if (!row.artist.empty() && row.artist != info.artist)
            std::printf("  (%s)", row.artist.c_str());
        std::printf("\n");
    }
}

// The stored settings with this run's look-up options applied; false with a usage message.
bool loadFreedbRun(const CliArguments& args, RipSettings& settings, CliFreedbRun& run,
                   std::string& error) {
    loadStoredSettings(settings);
    return applyFreedbOptions(args, settings, run, error);
}

bool openDisc(const CliArguments& args, const RipSettings& settings, CliDisc& disc, int& code) {
    std::string error;
    bool usage;
    if (openCliDisc(args, settings.iDevice, true, disc, error, usage)) return true;
    code = usage ? usageError(error) : failure(error);
    return false;
}

// Checks a server option and stores its text in `field`.
bool serverOption(const CliArguments& args, const char* option, const char* what,
                  const char* scheme, std::string& field, std::string& error) {
    auto v = args.get(option);
    if (!v) return true;
    std::string url;
    if (!kyHttpServerUrl(*v, what, scheme, url, error) || v->size() > 255) {
        error = std::string("--") + option + " takes a host name, host:port or " + scheme + "host:port";
        return false;
    }
    field = trimmed(*v);
    return true;
}

} // namespace

bool applyFreedbOptions(const CliArguments& args, RipSettings& s, CliFreedbRun& run,
                        std::string& error) {
    if (auto v = args.get("server")) {
        std::string url;
        if (!freedbServerUrl(*v, url, error) || v->size() > RipSettings::kDbTextBytes) {
            error = "--server takes a host name, host:port or http://host:port";
            return false;
        }
        s.szDBServer = trimmed(*v);
    }
    if (!serverOption(args, "mb-server", "the MusicBrainz server", "https://",
                      s.szMusicBrainzServer, error) ||
        !serverOption(args, "cover-art-server", "the Cover Art Archive server", "https://",
                      s.szCoverArtServer, error))
        return false;
    // The last of --proxy and --no-proxy counts.
    if (auto v = args.get("proxy")) {
        const std::string proxy = trimmed(*v);
        if (proxy.empty() || proxy.find_first_of(" \t") != std::string::npos ||
            proxy.size() > RipSettings::kDbTextBytes) {
            error = "--proxy takes host:port or http://host:port";
            return false;
        }
        s.szDBProxy = proxy;
    }
    if (const auto* g = args.last("proxy"); g && g->opposite) s.szDBProxy.clear();
    if (auto v = args.get("email")) {
        const std::string address = kyUtf8ToSingleByte(trimmed(*v));
        if (!usableEmail(address) || address.size() > RipSettings::kDbTextBytes) {
            error = "Invalid email address! (--email takes an address such as ann@example.org)";
            return false;
        }
        s.szDBEmail = address;
        run.emailGiven = true;
    }
    if (auto v = args.get("timeout")) {
        double seconds = 0;
        if (!kyParseDecimal(*v, 0.1, 600, seconds)) {
            error = "--timeout takes the longest wait for the database in seconds (0.1 to 600)";
            return false;
        }
        run.timeouts = kyHttpTimeouts::Total(static_cast<long>(seconds * 1000 + 0.5));
    }
    if (auto v = args.get("lookup-order")) {
        std::vector<LookupSource> order;
        if (!parseLookupOrder(*v, order, error)) {
            error = "--lookup-order: " + error;
            return false;
        }
        s.szLookupOrder = lookupOrderText(order);
    }
    if (const auto* g = args.last("cover-art")) s.bFetchCoverArt = !g->opposite;
    if (auto v = args.get("release")) {
        std::string id = kyLowerAscii(trimmed(*v));
        // A release's page address names it as well.
        if (const size_t slash = id.rfind("/release/"); slash != std::string::npos)
            id = id.substr(slash + 9, 36);
        if (!isMusicBrainzId(id)) {
            error = "--release takes a MusicBrainz release id (8-4-4-4-12 hexadecimal digits)";
            return false;
        }
        run.releaseId = id;
    }
    return true;
}

bool ensureEmail(RipSettings& settings, const CliFreedbRun& run, std::string& error) {
    if (run.emailGiven) {
        storeEmail(settings.szDBEmail);
        return true;
    }
    if (!settings.szDBEmail.empty()) return true;
    if (!interactive()) {
        error = "no e-mail address is set, and gnudb answers no request without one: give "
                "yours once with --email ADDRESS (it is stored)";
        return false;
    }
    std::fprintf(stderr, "gnudb answers only requests that carry the sender's e-mail address.\n"
                         "Your e-mail address (it is stored for next time): ");
    std::fflush(stderr);
    std::string answer;
    std::getline(std::cin, answer);
    const std::string address = kyUtf8ToSingleByte(trimmed(answer));
    if (!usableEmail(address) || address.size() > RipSettings::kDbTextBytes) {
        error = "Invalid email address!";
        return false;
    }
    settings.szDBEmail = address;
    storeEmail(address);
    return true;
}

int lookUpForRip(const CliArguments& args, RipSettings& settings, const CliFreedbRun& run,
                 const kyDiscToc& toc, const kyCdText& cdText, bool demo, bool image,
                 DiscInfo& info, std::string& message) {
    // The last of --lookup and --no-lookup counts.
    const CliArguments::Given* asked = args.last("lookup");
    const bool refused = asked && asked->opposite;
    long long n;
    for (const char* chooser : {"match", "release"})
        if (args.has(chooser) && refused) {
            message = std::string("--") + chooser + " chooses the disc's names: drop --no-lookup";
            return kExitUsage;
        }
    if (auto m = args.get("match"); m && !kyParseInteger(*m, 1, 1000, n)) {
        message = "--match takes the number of a match (1, 2, ...)";
        return kExitUsage;
    }
    const std::vector<LookupSource> order = lookupOrder(settings);
    const bool unbidden = !refused && !demo &&
                          ((asks(order, LookupSource::MusicBrainz) && !image) ||
                           (asks(order, LookupSource::Gnudb) && !settings.szDBEmail.empty()));
    const bool wanted =
        (asked && !refused) || args.has("match") || !run.releaseId.empty() || unbidden;
    if (!wanted) {
        // No database is asked: the disc's own CD-Text names it, unless the order leaves
        // it out.
        if (asks(order, LookupSource::CdText) && applyCdText(cdText, info))
            std::fprintf(stderr, "Names from %s.\n", kCdTextStore);
        return kExitOk;
    }
    if (run.emailGiven) storeEmail(settings.szDBEmail);
    if (run.releaseId.empty() && gnudbNeedsAddress(order) && !ensureEmail(settings, run, message))
        return kExitFailure;

    DiscInfo looked;
    const CliLookup lookup = runLookup(settings, run, args, toc, cdText, looked, interactive(),
                                       false, settings.bFetchCoverArt);
    const DiscLookupResult& r = lookup.result;
    using Outcome = DiscLookupResult::Outcome;
    if (lookup.matchOutOfRange) {
        message = "--match " + *args.get("match") + ": the look-up found " +
                  std::to_string(r.matches.size()) + " discs\n" + matchesText(r.matches);
        return kExitUsage;
    }
    if (r.outcome == Outcome::Cancelled) {
        message = "look-up cancelled";
        return kExitCancelled;
    }
    if (r.outcome == Outcome::Choose) {
        message = "several discs match; choose yours with --match N (or rip without names with "
                  "--no-lookup):\n" +
                  matchesText(r.matches);
        return kExitFailure;
    }
    reportLookup(lookup);
    // A release asked for by its id that cannot be had is no rip of the user's choosing.
    if (!run.releaseId.empty() && r.outcome != Outcome::Found) {
        message = "cannot name the disc from release " + run.releaseId + ": " + r.detail;
        return kExitFailure;
    }
    if (r.outcome != Outcome::Found) return kExitOk;
    info.discId = looked.discId;
    info.revision = looked.revision;
    info.artist = looked.artist;
    info.title = looked.title;
    info.genre = looked.genre;
    info.extended = looked.extended;
    info.category = looked.category;
    info.year = looked.year;
    info.release = looked.release;
    info.cover = looked.cover;
    for (size_t i = 0; i < info.tracks.size() && i < looked.tracks.size(); ++i) {
        TrackEntry& row = info.tracks[i];
        const TrackEntry& from = looked.tracks[i];
        if (row.number != from.number) continue;
        row.name = from.name;
        row.extended = from.extended;
        row.artist = from.artist;
        row.artistIds = from.artistIds;
        row.recordingId = from.recordingId;
        row.trackId = from.trackId;
        row.isrc = from.isrc;
    }
    std::fprintf(stderr, "Names: %s / %s\n", info.artist.c_str(), info.title.c_str());
    return kExitOk;
}

int commandLookup(const CliArguments& args) {
    if (!args.positional.empty()) return usageError("'lookup' takes no file names");
    RipSettings settings;
    CliFreedbRun run;
    std::string error;
    if (!loadFreedbRun(args, settings, run, error)) return usageError(error);
    long long n;
    if (auto m = args.get("match"); m && !kyParseInteger(*m, 1, 1000, n))
        return usageError("--match takes the number of a match (1, 2, ...)");
    const bool json = args.has("json");

    CliDisc disc;
    int code = kExitOk;
    if (!openDisc(args, settings, disc, code)) return code;
    const kyDiscToc& toc = disc.reader->Toc();
    const std::vector<LookupSource> order = lookupOrder(settings);
    if (run.emailGiven) storeEmail(settings.szDBEmail);
    if (run.releaseId.empty() && gnudbNeedsAddress(order) && !ensureEmail(settings, run, error))
        return failure(error);
    if (args.has("save")) {
        RipSettings stored;
        loadSettings(stored);
        stored.szDBServer = settings.szDBServer;
        stored.szDBProxy = settings.szDBProxy;
        stored.szMusicBrainzServer = settings.szMusicBrainzServer;
        stored.szLookupOrder = settings.szLookupOrder;
        if (!saveSettings(stored))
            std::fprintf(stderr, "dskr-cli: the settings could not be saved\n");
    }

    DiscInfo info;
    const CliLookup lookup = runLookup(settings, run, args, toc, disc.reader->ReadCdText(), info,
                                       interactive() && !json, true, false);
    const DiscLookupResult& r = lookup.result;
    using Outcome = DiscLookupResult::Outcome;
    if (lookup.matchOutOfRange)
        return usageError("--match " + *args.get("match") + ": the look-up found " +
                          std::to_string(r.matches.size()) + " discs");
    if (r.outcome == Outcome::Cancelled) return kExitCancelled;
    reportLookup(lookup);
    const bool found = r.outcome == Outcome::Found;
    const bool failed = r.outcome == Outcome::Failed;
    if (r.outcome == Outcome::Choose)
        std::fprintf(stderr, "Several discs match: choose yours with --match N.\n");

    const std::string id = discIdQueryText(toc).substr(0, 8);
    const std::string mbId = musicBrainzDiscId(toc);
    if (json) {
        JsonWriter out;
        out.beginObject()
            .key("disc_id")
            .value(id)
            .key("musicbrainz_id")
            .value(mbId)
            .key("matches")
            .beginArray();
        for (const DiscMatch& m : r.matches) writeMatchJson(out, m);
        // Names from a local store or the CD-Text are listed like a match of theirs.
        if (found && (r.origin == LookupSource::Local || r.origin == LookupSource::CdText))
            out.beginObject()
                .key("source")
                .value(lookupSourceName(r.origin))
                .key("store")
                .value(r.source)
                .key("artist")
                .value(info.artist)
                .key("title")
                .value(info.title)
                .endObject();
        out.endArray().key("databases").beginArray();
        for (const DatabaseReport& d : r.reports) {
            out.beginObject()
                .key("source")
                .value(lookupSourceName(d.source))
                .key("result")
                .value(stateText(d.state))
                .key("error");
            if (d.state == DatabaseReport::State::Failed)
                out.value(d.detail);
            else
                out.null();
            out.endObject();
        }
        out.endArray().key("record");
        if (found)
            writeRecordJson(out, info, r);
        else
            out.null();
        out.key("error");
        if (failed)
            out.value(r.detail);
        else
            out.null();
        out.endObject();
        std::printf("%s\n", out.str().c_str());
    } else {
        std::printf("disc id %s\n", id.c_str());
        if (!mbId.empty()) std::printf("musicbrainz id %s\n", mbId.c_str());
        for (LookupSource source : {LookupSource::MusicBrainz, LookupSource::Gnudb}) {
            std::string lines;
            size_t count = 0;
            for (size_t i = 0; i < r.matches.size(); ++i)
                if (r.matches[i].source == source) {
                    lines += "  " + std::to_string(i + 1) + "  " + choiceLine(r.matches[i]) + "\n";
                    ++count;
                }
            if (count)
                std::printf("%s: %zu match%s\n%s", lookupSourceName(source), count,
                            count == 1 ? "" : "es", lines.c_str());
        }
        if (found) printRecord(info, r.source);
    }
    return failed ? kExitFailure : kExitOk;
}

int commandSubmit(const CliArguments& args) {
    if (!args.positional.empty()) return usageError("'submit' takes no file names (see --names)");
    RipSettings settings;
    CliFreedbRun run;
    std::string error;
    if (!loadFreedbRun(args, settings, run, error)) return usageError(error);
    int category = -1;
    if (auto c = args.get("category")) {
        category = categoryIndex(kyLowerAscii(*c));
        if (category < 0) {
            std::string names;
            for (int i = 0; i < kCategoryCount; ++i)
                names += std::string(i ? ", " : "") + categoryName(i);
            return usageError("--category takes one of " + names);
        }
    }
    const bool json = args.has("json");
    if (settings.szDBEmail.empty() && !run.emailGiven && !interactive())
        return failure(std::string(kSubmitNeedsEmail) + " (give it with --email ADDRESS)");

    CliDisc disc;
    int code = kExitOk;
    if (!openDisc(args, settings, disc, code)) return code;
    const kyDiscToc& toc = disc.reader->Toc();

    // The names: the record of the disc's last look-up, or those given, or the names
    // given over the record.
    DiscInfo info;
    info.makeRows(toc);
    const LookupCache cache;
    DiscInfo kept = info;
    const bool haveKept = cache.load(kept, toc);
    if (!haveKept && !nameOptionsGiven(args))
        return failure("no names for this disc: look it up first ('dskr-cli lookup'), or give "
                       "them with --names FILE (an xmcd record or JSON) or --artist, --album, "
                       "--title N=TEXT, ...");
    // A names file stands for the whole record; names typed correct the kept one.
    if (haveKept && !args.has("names")) info = kept;
    bool usage;
    if (!applyNameOptions(args, info, error, usage))
        return usage ? usageError(error) : failure(error);
    // The revision is the database's, known from the last look-up.
    info.revision = haveKept ? kept.revision : -1;
    if (category < 0 && haveKept) category = kept.category;
    if (category >= 0) info.category = category;

    if (!ensureEmail(settings, run, error)) return failure(error);
    if (const std::string problem = submitCheck(info); !problem.empty()) {
        std::string hint;
        if (info.category < 0) hint = " (--category NAME)";
        return failure(problem + hint);
    }

    if (!json) printRecord(info, "to submit");
    if (!args.has("yes")) {
        if (!interactive())
            return failure("submitting needs a confirmation: run it on a terminal, or add --yes");
        std::fprintf(stderr, "%s\nSubmit it now? [y/N] ", submitConfirmation(info).c_str());
        std::fflush(stderr);
        std::string answer;
        if (!std::getline(std::cin, answer) ||
            (kyLowerAscii(trimmed(answer)) != "y" && kyLowerAscii(trimmed(answer)) != "yes"))
            return kExitOk;
    }

    FreedbClient client(settings.szDBServer, settings.szDBProxy, settings.szDBEmail);
    client.timeouts = run.timeouts;
    client.keepGoing = [] { return !TerminalFrontend::interrupted.load(); };
    bool submitted;
    {
        InterruptGuard guard;
        submitted = submitDisc(client, toc, info);
    }
    if (submitted && !cache.store(info, toc, error))
        std::fprintf(stderr, "dskr-cli: the record was not kept: %s\n", error.c_str());
    if (json) {
        JsonWriter out;
        out.beginObject()
            .key("disc_id")
            .value(discIdQueryText(toc).substr(0, 8))
            .key("category")
            .value(categoryName(info.category))
            .key("revision")
            .value(info.revision)
            .key("submitted")
            .value(submitted)
            .key("error");
        if (submitted)
            out.null();
        else
            out.value(client.lastError());
        out.endObject();
        std::printf("%s\n", out.str().c_str());
    }
    if (client.lastFailure() == FreedbFailure::Cancelled) return kExitCancelled;
    if (!submitted) {
        std::fprintf(stderr, "%s\n(%s)\n", kSubmitFailed, client.lastError().c_str());
        return kExitFailure;
    }
    std::fprintf(stderr, "%s\n", kSubmitSucceeded);
    return kExitOk;
}
