#include "metadata/disc_lookup.h"

#include "core/text.h"

#include <algorithm>

const char* lookupSourceName(LookupSource source) {
    switch (source) {
    case LookupSource::MusicBrainz:
        return "musicbrainz";
    case LookupSource::Gnudb:
        return "gnudb";
    case LookupSource::Local:
        return "local";
    case LookupSource::CdText:
        return "cdtext";
    }
    return "";
}

bool parseLookupOrder(std::string_view text, std::vector<LookupSource>& order, std::string& error) {
    static constexpr LookupSource kAll[] = {LookupSource::MusicBrainz, LookupSource::Gnudb,
                                            LookupSource::Local, LookupSource::CdText};
    std::vector<LookupSource> out;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = std::min(text.find_first_of(", ", pos), text.size());
        const std::string word = kyLowerAscii(text.substr(pos, end - pos));
        pos = end + 1;
        if (word.empty()) continue;
        const LookupSource* found = nullptr;
        for (const LookupSource& s : kAll)
            if (word == lookupSourceName(s)) found = &s;
        if (!found) {
            error = "unknown name source \"" + word + "\" (musicbrainz, gnudb, local, cdtext)";
            return false;
        }
        if (std::find(out.begin(), out.end(), *found) != out.end()) {
            error = "\"" + word + "\" is named twice in the look-up order";
            return false;
        }
        out.push_back(*found);
    }
    if (out.empty()) {
        error = "the look-up order names no source (musicbrainz, gnudb, local, cdtext)";
        return false;
    }
    order = std::move(out);
    return true;
}

std::string lookupOrderText(const std::vector<LookupSource>& order) {
    std::string text;
    for (LookupSource s : order)
        text += (text.empty() ? "" : ",") + std::string(lookupSourceName(s));
    return text;
}

std::string DiscMatch::id() const {
    return release ? release->id : freedb.discId;
}

std::string DiscMatch::artist() const {
    if (release) return release->artist.text;
    const size_t sep = freedb.title.find(" / ");
    return sep == std::string::npos ? freedb.title : freedb.title.substr(0, sep);
}

std::string DiscMatch::title() const {
    if (release) return release->title;
    const size_t sep = freedb.title.find(" / ");
    return sep == std::string::npos ? std::string() : freedb.title.substr(sep + 3);
}

const char* choicePrompt(bool exact) {
    return exact ? "More than one matching disc were found in the 'freedb' database!\nPlease "
                   "select the correct one below:"
                 : "No exact match found for this disc in the 'freedb' album database but one "
                   "of the following 'near matches' is perhaps your disc?";
}

const char* choicePrompt(LookupSource source, bool exact) {
    if (source != LookupSource::MusicBrainz) return choicePrompt(exact);
    return exact ? "This disc belongs to more than one release in the MusicBrainz database!\n"
                   "Please select yours below:"
                 : "This disc is not in the MusicBrainz database, but one of the following "
                   "releases with a similar track layout is perhaps your disc?";
}

std::string choiceLine(const FreedbMatch& match) {
    const char* category = categoryName(match.category);
    return std::string("<") + (category ? category : "") + "> : " + match.title;
}

std::string choiceLine(const DiscMatch& match) {
    if (!match.release) return choiceLine(match.freedb);
    std::string line = match.release->artist.text + " / " + match.release->title;
    const std::string distinction = releaseDistinction(*match.release, match.medium);
    if (!distinction.empty()) line += "  [" + distinction + "]";
    return line;
}

bool sameDisc(const DiscInfo& info, const kyDiscToc& toc) {
    if (toc.firstTrack < 1 || toc.lastTrack > 99 || toc.firstTrack > toc.lastTrack) return false;
    uint32_t t = toc.firstTrack;
    for (const TrackEntry& row : info.tracks) {
        if (row.number < 0) continue;
        if (t > toc.lastTrack) return false;
        const kyTocEntry& e = toc.entries[t];
        if (row.number != static_cast<int32_t>(t) || row.start != e.start * 588 ||
            row.length != e.length * 588)
            return false;
        ++t;
    }
    return t == toc.lastTrack + 1;
}

bool readMatch(const DiscMatch& match, const kyDiscToc& toc, FreedbClient* gnudb, DiscInfo& info,
               std::string& error) {
    if (match.release) {
        discInfoFromRelease(*match.release, match.medium, toc, info);
        return true;
    }
    if (!gnudb) {
        error = "gnudb is not asked";
        return false;
    }
    if (readDisc(*gnudb, info, match.freedb)) return true;
    error = gnudb->lastError();
    return false;
}

namespace {

using Outcome = DiscLookupResult::Outcome;
using State = DatabaseReport::State;

const char* noMatchText(LookupSource s) {
    return s == LookupSource::MusicBrainz ? kMusicBrainzNoMatch : kLookupNoMatch;
}
const char* failedText(LookupSource s) {
    return s == LookupSource::MusicBrainz ? kMusicBrainzFailed : kLookupFailed;
}

// Asks one database; false when the look-up was cancelled.
bool askDatabase(LookupSource source, const kyDiscToc& toc, const DiscLookupOptions& options,
                 DiscLookupResult& r) {
    DatabaseReport report{source, State::NoMatch, {}};
    if (source == LookupSource::MusicBrainz) {
        MusicBrainzClient& client = *options.musicBrainz;
        MusicBrainzDiscAnswer answer;
        if (!lookUpMusicBrainzDisc(client, toc, answer)) {
            if (client.lastFailure() == MusicBrainzFailure::Cancelled) return false;
            report.state = State::Failed;
            report.detail = client.lastError();
        } else {
            for (MusicBrainzRelease& release : answer.releases) {
                // A close layout whose discs do not fit this one is no match.
                const int medium = matchingMedium(release, toc);
                if (medium < 0) continue;
                DiscMatch m;
                m.source = source;
                m.exact = answer.exact;
                m.release = std::make_shared<const MusicBrainzRelease>(std::move(release));
                m.medium = medium;
                r.matches.push_back(std::move(m));
                report.state = State::Matched;
            }
        }
    } else {
        FreedbClient& client = *options.gnudb;
        std::vector<FreedbMatch> found;
        bool exact = true;
        if (!queryDisc(client, toc, found, exact)) {
            if (client.lastFailure() == FreedbFailure::Cancelled) return false;
            report.state = State::Failed;
            report.detail = client.lastError();
        } else {
            for (FreedbMatch& f : found) {
                DiscMatch m;
                m.source = source;
                m.exact = exact;
                m.freedb = std::move(f);
                r.matches.push_back(std::move(m));
                report.state = State::Matched;
            }
        }
    }
    if (report.state == State::Failed && r.detail.empty()) r.detail = report.detail;
    r.reports.push_back(std::move(report));
    return true;
}

// No names from the databases: a verbose look-up says why, a silent one asks the stores
// in the order's places.
void withoutDatabase(const kyDiscToc& toc, DiscInfo& info, const DiscLookupOptions& options,
                     DiscLookupResult& r) {
    const bool failed =
        std::any_of(r.reports.begin(), r.reports.end(),
                    [](const DatabaseReport& d) { return d.state == State::Failed; });
    r.outcome = failed ? Outcome::Failed : Outcome::NoMatch;
    if (options.verbose) {
        for (const DatabaseReport& d : r.reports)
            if (d.state != State::Matched)
                r.message += (r.message.empty() ? "" : "\n") +
                             std::string(d.state == State::Failed ? failedText(d.source)
                                                                  : noMatchText(d.source));
        return;
    }
    for (LookupSource source : options.order)
        for (const DiscNameStore& store : options.stores)
            if (store.source == source && store.read && store.read(info, toc)) {
                r.outcome = Outcome::Found;
                r.source = store.name;
                r.origin = store.source;
                return;
            }
}

DiscLookupResult byRelease(const kyDiscToc& toc, DiscInfo& info, const DiscLookupOptions& options) {
    DiscLookupResult r;
    DatabaseReport report{LookupSource::MusicBrainz, State::Failed, {}};
    if (!options.musicBrainz) {
        report.detail = "MusicBrainz is not asked";
    } else {
        MusicBrainzClient& client = *options.musicBrainz;
        MusicBrainzRelease release;
        if (readMusicBrainzRelease(client, options.releaseId, release)) {
            const int medium = matchingMedium(release, toc);
            if (medium >= 0) {
                DiscMatch m;
                m.source = LookupSource::MusicBrainz;
                m.release = std::make_shared<const MusicBrainzRelease>(std::move(release));
                m.medium = medium;
                r.matches.push_back(std::move(m));
                r.reports.push_back({LookupSource::MusicBrainz, State::Matched, {}});
                readMatch(r.matches[0], toc, nullptr, info, r.detail);
                r.outcome = Outcome::Found;
                r.source = lookupSourceName(LookupSource::MusicBrainz);
                r.origin = LookupSource::MusicBrainz;
                r.chosen = 0;
                return r;
            }
            report.detail = "the release " + options.releaseId + " has no disc like this one";
        } else if (client.lastFailure() == MusicBrainzFailure::Cancelled) {
            r.outcome = Outcome::Cancelled;
            return r;
        } else {
            report.detail = client.lastError();
        }
    }
    r.detail = report.detail;
    r.reports.push_back(std::move(report));
    r.outcome = Outcome::Failed;
    if (options.verbose) r.message = kMusicBrainzFailed;
    return r;
}

} // namespace

DiscLookupResult lookUpDisc(const kyDiscToc& toc, DiscInfo& info,
                            const DiscLookupOptions& options) {
    DiscLookupResult r;
    if (!options.force && sameDisc(info, toc)) {
        r.outcome = Outcome::SameDisc;
        return r;
    }
    info.clear();
    info.makeRows(toc);
    if (!options.releaseId.empty()) return byRelease(toc, info, options);

    // The matches of the first database that knows the disc, at the head of the list.
    size_t firstCount = 0;
    for (LookupSource source : options.order) {
        if (!(source == LookupSource::MusicBrainz && options.musicBrainz) &&
            !(source == LookupSource::Gnudb && options.gnudb))
            continue;
        const size_t before = r.matches.size();
        if (!askDatabase(source, toc, options, r)) {
            r.outcome = Outcome::Cancelled;
            return r;
        }
        if (r.matches.size() > before && firstCount == 0) {
            firstCount = r.matches.size();
            if (!options.everyDatabase) break;
        }
    }
    if (r.matches.empty()) {
        withoutDatabase(toc, info, options, r);
        return r;
    }
    r.exact = r.matches.front().exact;
    int index = 0;
    if (firstCount > 1) {
        if (!options.choose) {
            r.outcome = Outcome::Choose;
            return r;
        }
        index = options.choose(r.matches, r.exact);
        if (index < 0 || static_cast<size_t>(index) >= r.matches.size()) {
            r.outcome = Outcome::Declined;
            return r;
        }
    }
    const DiscMatch& match = r.matches[static_cast<size_t>(index)];
    std::string error;
    DiscInfo read = info;
    if (!readMatch(match, toc, options.gnudb, read, error)) {
        if (options.gnudb && options.gnudb->lastFailure() == FreedbFailure::Cancelled) {
            r.outcome = Outcome::Cancelled;
            return r;
        }
        r.detail = error;
        r.reports.push_back({match.source, State::Failed, error});
        withoutDatabase(toc, info, options, r);
        return r;
    }
    info = std::move(read);
    r.chosen = index;
    r.outcome = Outcome::Found;
    r.source = lookupSourceName(match.source);
    r.origin = match.source;
    return r;
}

DiscLookupResult lookUpDisc(FreedbClient& client, const kyDiscToc& toc, DiscInfo& info,
                            DiscLookupOptions options) {
    options.gnudb = &client;
    return lookUpDisc(toc, info, options);
}

std::vector<std::string> serverChoices(const std::vector<FreedbSite>& sites) {
    std::vector<std::string> choices;
    for (const FreedbSite& s : sites)
        if (s.http && s.port == 80 && s.path == kFreedbCommandPath)
            choices.push_back(s.description.empty() ? s.host
                                                    : s.host + "   <" + s.description + ">");
    return choices;
}

std::string serverOfChoice(std::string_view entry) {
    entry = entry.substr(0, entry.find('<'));
    while (!entry.empty() && entry.back() == ' ') entry.remove_suffix(1);
    return std::string(entry);
}

std::string emailFieldError(std::string_view email) {
    return !email.empty() && email.find('@') == std::string_view::npos ? "Invalid email address!"
                                                                       : "";
}
