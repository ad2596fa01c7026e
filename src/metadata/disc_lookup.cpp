#include "metadata/disc_lookup.h"

const char* choicePrompt(bool exact) {
    return exact ? "More than one matching disc were found in the 'freedb' database!\nPlease "
                   "select the correct one below:"
                 : "No exact match found for this disc in the 'freedb' album database but one "
                   "of the following 'near matches' is perhaps your disc?";
}

std::string choiceLine(const FreedbMatch& match) {
    const char* category = categoryName(match.category);
    return std::string("<") + (category ? category : "") + "> : " + match.title;
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

DiscLookupResult lookUpDisc(FreedbClient& client, const kyDiscToc& toc, DiscInfo& info,
                            const DiscLookupOptions& options) {
    using Outcome = DiscLookupResult::Outcome;
    DiscLookupResult r;
    if (!options.force && sameDisc(info, toc)) {
        r.outcome = Outcome::SameDisc;
        return r;
    }
    info.clear();
    info.makeRows(toc);

    // No names from the database: a verbose look-up says so, a silent one asks the stores.
    auto withoutDatabase = [&](Outcome outcome, const char* message) {
        r.outcome = outcome;
        if (options.verbose) {
            r.message = message;
            return;
        }
        for (const DiscNameStore& store : options.stores)
            if (store.read && store.read(info, toc)) {
                r.outcome = Outcome::Found;
                r.source = store.name;
                return;
            }
    };
    auto failed = [&] {
        r.detail = client.lastError();
        if (client.lastFailure() == FreedbFailure::Cancelled)
            r.outcome = Outcome::Cancelled;
        else
            withoutDatabase(Outcome::Failed, kLookupFailed);
        return r;
    };

    if (!queryDisc(client, toc, r.matches, r.exact)) return failed();
    if (r.matches.empty()) {
        withoutDatabase(Outcome::NoMatch, kLookupNoMatch);
        return r;
    }
    int index = 0;
    if (r.matches.size() > 1) {
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
    if (!readDisc(client, info, r.matches[index])) return failed();
    r.chosen = index;
    r.outcome = Outcome::Found;
    r.source = "gnudb";
    return r;
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
