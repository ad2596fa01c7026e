// lookup and submit: a disc's names from gnudb, and corrections sent back; and the look-up
// that names a rip.
#include "cli/cli_commands.h"
#include "cli/cli_drive.h"
#include "cli/cli_lookup.h"
#include "cli/cli_settings.h"
#include "cli/json_writer.h"
#include "cli/terminal_frontend.h"
#include "core/text.h"
#include "metadata/cdplayer_ini.h"
#include "metadata/disc_lookup.h"
#include "metadata/freedb_client.h"
#include "metadata/freedb_disc_id.h"
#include "metadata/freedb_submit.h"
#include "metadata/lookup_cache.h"
#include "metadata/xmcd.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <unistd.h>

const std::vector<CliOptionSpec> kFreedbOptions = {{"--server", true},
                                                   {"--proxy", true},
                                                   {"--no-proxy", false},
                                                   {"--email", true},
                                                   {"--timeout", true}};

const std::vector<CliOptionSpec> kRipLookupOptions = {
    {"--server", true},  {"--proxy", true},   {"--no-proxy", false},  {"--email", true},
    {"--timeout", true}, {"--lookup", false}, {"--no-lookup", false}, {"--match", true}};

namespace {

// Names files and records on disk are small; anything far larger is not one.
constexpr std::streamsize kMaxNamesFileBytes = 1 << 20;

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

// "Artist / Title" of a match line: the artist, and the title (empty without " / ").
std::pair<std::string, std::string> splitTitleLine(const std::string& line) {
    const size_t sep = line.find(" / ");
    if (sep == std::string::npos) return {line, {}};
    return {line.substr(0, sep), line.substr(sep + 3)};
}

// On a compilation ("Various" as the disc's artist), a track named "Artist / Title" names
// its own artist.
std::pair<std::string, std::string> trackArtistAndTitle(const DiscInfo& info,
                                                        const TrackEntry& row) {
    const std::string artist = kyLowerAscii(info.artist);
    const size_t sep = row.name.find(" / ");
    if ((artist == "various" || artist == "various artists") && sep != std::string::npos)
        return {row.name.substr(0, sep), row.name.substr(sep + 3)};
    return {info.artist, row.name};
}

bool readWholeFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream out;
    out << in.rdbuf();
    text = out.str();
    return static_cast<std::streamsize>(text.size()) <= kMaxNamesFileBytes;
}

// Asks on the terminal which of several matches is the disc: the index, or -1.
int promptForMatch(const std::vector<FreedbMatch>& matches, bool exact) {
    std::fprintf(stderr, "%s\n%s\n", kChoiceCaption, choicePrompt(exact));
    for (size_t i = 0; i < matches.size(); ++i)
        std::fprintf(stderr, "%4zu  %s\n", i + 1, choiceLine(matches[i]).c_str());
    std::fprintf(stderr, "Number of your disc (Enter for none): ");
    std::fflush(stderr);
    std::string answer;
    long n = 0;
    if (!std::getline(std::cin, answer) ||
        !parseInteger(trimmed(answer), 1, static_cast<long>(matches.size()), n))
        return -1;
    return static_cast<int>(n - 1);
}

// What a look-up says on stderr beyond its result.
void reportLookup(const DiscLookupResult& r) {
    using Outcome = DiscLookupResult::Outcome;
    if (!r.detail.empty() && r.outcome != Outcome::Cancelled)
        std::fprintf(stderr, "%s\n(%s)\n", kLookupFailed, r.detail.c_str());
    else if (r.matches.empty() && r.outcome != Outcome::Cancelled)
        std::fprintf(stderr, "%s\n", kLookupNoMatch);
    if (r.outcome == Outcome::Found && r.source != "gnudb")
        std::fprintf(stderr, "Names from %s.\n", r.source.c_str());
}

struct CliLookup {
    DiscLookupResult result;
    bool matchOutOfRange = false;
};

// The look-up as the command line runs it: --match or a question on the terminal chooses
// among several matches; without names from gnudb the records kept from earlier look-ups
// and cdplayer.ini are asked; a record read from gnudb is kept for later.
CliLookup runLookup(const CliArguments& args, const RipSettings& settings, const CliFreedbRun& run,
                    const kyDiscToc& toc, DiscInfo& info, bool mayAsk) {
    CliLookup out;
    FreedbClient client(settings.szDBServer, settings.szDBProxy, settings.szDBEmail);
    client.timeouts = run.timeouts;
    client.keepGoing = [] { return !TerminalFrontend::interrupted.load(); };
    const LookupCache cache;
    DiscLookupOptions options;
    options.force = true;
    options.stores = {
        {"an earlier look-up",
         [&cache](DiscInfo& i, const kyDiscToc& t) { return cache.load(i, t); }},
        {"cdplayer.ini", [](DiscInfo& i, const kyDiscToc& t) { return readCdPlayerIni(i, t); }},
    };
    long wanted = 0;
    if (auto m = args.get("--match"); m && parseInteger(*m, 1, 1000, wanted)) {
        options.choose = [&out, wanted](const std::vector<FreedbMatch>& matches, bool) {
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
        out.result = lookUpDisc(client, toc, info, options);
    }
    if (out.result.outcome == DiscLookupResult::Outcome::Found && out.result.source == "gnudb") {
        std::string error;
        if (!cache.store(info, toc, error))
            std::fprintf(stderr, "dskr-cli: the record was not kept: %s\n", error.c_str());
    }
    return out;
}

std::string matchesText(const std::vector<FreedbMatch>& matches) {
    std::string text;
    for (size_t i = 0; i < matches.size(); ++i)
        text += "  " + std::to_string(i + 1) + "  " + choiceLine(matches[i]) + "\n";
    return text;
}

void writeRecordJson(JsonWriter& json, const DiscInfo& info, const std::string& source) {
    json.beginObject()
        .key("source")
        .value(source)
        .key("category")
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
    json.key("genre").value(info.genre).key("tracks").beginArray();
    for (const TrackEntry& row : info.tracks) {
        const auto [artist, title] = trackArtistAndTitle(info, row);
        json.beginObject()
            .key("number")
            .value(row.number)
            .key("title")
            .value(title)
            .key("artist")
            .value(artist)
            .endObject();
    }
    json.endArray().endObject();
}

void printRecord(const DiscInfo& info, const std::string& source) {
    const char* category = categoryName(info.category);
    std::printf("names (%s%s%s", source.c_str(), category ? ", " : "", category ? category : "");
    if (info.revision >= 0) std::printf(", revision %d", info.revision);
    std::printf("):\n  %s / %s", info.artist.c_str(), info.title.c_str());
    if (info.year > 0 || !info.genre.empty()) {
        std::printf(" (");
        if (info.year > 0) std::printf("%d%s", info.year, info.genre.empty() ? "" : ", ");
        std::printf("%s)", info.genre.c_str());
    }
    std::printf("\n");
    for (const TrackEntry& row : info.tracks)
        std::printf("  %3d  %s\n", row.number, row.name.c_str());
}

// The stored settings with this run's freedb options applied; false with a usage message.
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

} // namespace

bool applyFreedbOptions(const CliArguments& args, RipSettings& s, CliFreedbRun& run,
                        std::string& error) {
    if (auto v = args.get("--server")) {
        std::string url;
        if (!freedbServerUrl(*v, url, error) || v->size() > RipSettings::kDbTextBytes) {
            error = "--server takes a host name, host:port or http://host:port";
            return false;
        }
        s.szDBServer = trimmed(*v);
    }
    if (args.has("--proxy") && args.has("--no-proxy")) {
        error = "choose --proxy or --no-proxy";
        return false;
    }
    if (auto v = args.get("--proxy")) {
        const std::string proxy = trimmed(*v);
        if (proxy.empty() || proxy.find_first_of(" \t") != std::string::npos ||
            proxy.size() > RipSettings::kDbTextBytes) {
            error = "--proxy takes host:port or http://host:port";
            return false;
        }
        s.szDBProxy = proxy;
    }
    if (args.has("--no-proxy")) s.szDBProxy.clear();
    if (auto v = args.get("--email")) {
        const std::string address = kyUtf8ToSingleByte(trimmed(*v));
        if (!usableEmail(address) || address.size() > RipSettings::kDbTextBytes) {
            error = "Invalid email address! (--email takes an address such as ann@example.org)";
            return false;
        }
        s.szDBEmail = address;
        run.emailGiven = true;
    }
    if (auto v = args.get("--timeout")) {
        double seconds = 0;
        if (!parseDecimal(*v, 0.1, 600, seconds)) {
            error = "--timeout takes the longest wait for the database in seconds (0.1 to 600)";
            return false;
        }
        run.timeouts = kyHttpTimeouts::Total(static_cast<long>(seconds * 1000 + 0.5));
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
                 const kyDiscToc& toc, bool demo, DiscInfo& info, std::string& message) {
    if (args.has("--lookup") && args.has("--no-lookup")) {
        message = "choose --lookup or --no-lookup";
        return kExitUsage;
    }
    long n;
    if (auto m = args.get("--match")) {
        if (args.has("--no-lookup")) {
            message = "--match chooses among looked-up discs: drop --no-lookup";
            return kExitUsage;
        }
        if (!parseInteger(*m, 1, 1000, n)) {
            message = "--match takes the number of a match (1, 2, ...)";
            return kExitUsage;
        }
    }
    const bool wanted = args.has("--lookup") || args.has("--match") ||
                        (!args.has("--no-lookup") && !settings.szDBEmail.empty() && !demo);
    if (!wanted) return kExitOk;
    if (!ensureEmail(settings, run, message)) return kExitFailure;

    DiscInfo looked;
    const CliLookup lookup = runLookup(args, settings, run, toc, looked, interactive());
    const DiscLookupResult& r = lookup.result;
    using Outcome = DiscLookupResult::Outcome;
    if (lookup.matchOutOfRange) {
        message = "--match " + *args.get("--match") + ": the look-up found " +
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
    reportLookup(r);
    if (r.outcome != Outcome::Found) return kExitOk;
    info.discId = looked.discId;
    info.revision = looked.revision;
    info.artist = looked.artist;
    info.title = looked.title;
    info.genre = looked.genre;
    info.extended = looked.extended;
    info.category = looked.category;
    info.year = looked.year;
    for (size_t i = 0; i < info.tracks.size() && i < looked.tracks.size(); ++i)
        if (info.tracks[i].number == looked.tracks[i].number) {
            info.tracks[i].name = looked.tracks[i].name;
            info.tracks[i].extended = looked.tracks[i].extended;
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
    long n;
    if (auto m = args.get("--match"); m && !parseInteger(*m, 1, 1000, n))
        return usageError("--match takes the number of a match (1, 2, ...)");
    const bool json = args.has("--json");

    CliDisc disc;
    int code = kExitOk;
    if (!openDisc(args, settings, disc, code)) return code;
    const kyDiscToc& toc = disc.reader->Toc();
    if (!ensureEmail(settings, run, error)) return failure(error);
    if (args.has("--save")) {
        RipSettings stored;
        loadSettings(stored);
        stored.szDBServer = settings.szDBServer;
        stored.szDBProxy = settings.szDBProxy;
        if (!saveSettings(stored))
            std::fprintf(stderr, "dskr-cli: the settings could not be saved\n");
    }

    DiscInfo info;
    const CliLookup lookup = runLookup(args, settings, run, toc, info, interactive() && !json);
    const DiscLookupResult& r = lookup.result;
    using Outcome = DiscLookupResult::Outcome;
    if (lookup.matchOutOfRange)
        return usageError("--match " + *args.get("--match") + ": the look-up found " +
                          std::to_string(r.matches.size()) + " discs");
    if (r.outcome == Outcome::Cancelled) return kExitCancelled;
    reportLookup(r);
    const bool found = r.outcome == Outcome::Found;
    const bool failed = r.outcome == Outcome::Failed;
    if (r.outcome == Outcome::Choose)
        std::fprintf(stderr, "Several discs match: choose yours with --match N.\n");

    const std::string id = discIdQueryText(toc).substr(0, 8);
    if (json) {
        JsonWriter out;
        out.beginObject().key("disc_id").value(id).key("matches").beginArray();
        for (const FreedbMatch& m : r.matches) {
            const auto [artist, title] = splitTitleLine(m.title);
            out.beginObject()
                .key("source")
                .value("gnudb")
                .key("category")
                .value(categoryName(m.category) ? categoryName(m.category) : "")
                .key("id")
                .value(m.discId)
                .key("artist")
                .value(artist)
                .key("title")
                .value(title)
                .endObject();
        }
        out.endArray().key("record");
        if (found)
            writeRecordJson(out, info, r.source);
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
        if (!r.matches.empty())
            std::printf("gnudb: %zu match%s\n%s", r.matches.size(),
                        r.matches.size() == 1 ? "" : "es", matchesText(r.matches).c_str());
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
    if (auto c = args.get("--category")) {
        category = categoryIndex(kyLowerAscii(*c));
        if (category < 0) {
            std::string names;
            for (int i = 0; i < kCategoryCount; ++i)
                names += std::string(i ? ", " : "") + categoryName(i);
            return usageError("--category takes one of " + names);
        }
    }
    const bool json = args.has("--json");
    if (settings.szDBEmail.empty() && !run.emailGiven && !interactive())
        return failure(std::string(kSubmitNeedsEmail) + " (give it with --email ADDRESS)");

    CliDisc disc;
    int code = kExitOk;
    if (!openDisc(args, settings, disc, code)) return code;
    const kyDiscToc& toc = disc.reader->Toc();

    // The names: a names file, else the record of the disc's last look-up.
    DiscInfo info;
    info.makeRows(toc);
    const LookupCache cache;
    DiscInfo kept = info;
    const bool haveKept = cache.load(kept, toc);
    if (auto path = args.get("--names")) {
        std::string text;
        if (!readWholeFile(*path, text)) return failure("cannot read the names file " + *path);
        if (!discInfoFromXmcd(text, info, error)) return failure(*path + ": " + error);
        // The revision is the database's, known from the last look-up.
        info.revision = haveKept ? kept.revision : -1;
        if (category < 0 && haveKept) category = kept.category;
    } else if (haveKept) {
        info = kept;
    } else {
        return failure("no names for this disc: look it up first ('dskr-cli lookup'), or give "
                       "them with --names FILE (an xmcd record)");
    }
    if (category >= 0) info.category = category;

    if (!ensureEmail(settings, run, error)) return failure(error);
    if (const std::string problem = submitCheck(info); !problem.empty()) {
        std::string hint;
        if (info.category < 0) hint = " (--category NAME)";
        return failure(problem + hint);
    }

    if (!json) printRecord(info, "to submit");
    if (!args.has("--yes")) {
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
