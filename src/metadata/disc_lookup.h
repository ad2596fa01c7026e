#pragma once
// Looking a disc up, as the track page and the command line do it, without any toolkit:
// the databases are asked in the order of the settings (MusicBrainz, then gnudb, by
// default); the first that knows the disc names it, one match being read and several
// offered for a choice. When none does (or none can be reached), a silent look-up asks the
// local stores (records kept from earlier look-ups, cdplayer.ini) and the disc's CD-Text.
// The front end shows what the result says.
#include "cd/disc_toc.h"
#include "metadata/disc_info.h"
#include "metadata/freedb_client.h"
#include "metadata/musicbrainz_client.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kLookupCaption = "freedb look-up - DskR";
inline constexpr const char* kLookupNoMatch = "No matching disc found in the 'freedb' database!";
inline constexpr const char* kLookupFailed =
    "Communication failed with the 'freedb' database!\n\nPlease verify that you have a lice "
    "Internet-connection.";
inline constexpr const char* kMusicBrainzNoMatch =
    "No matching disc found in the MusicBrainz database!";
inline constexpr const char* kMusicBrainzFailed =
    "Communication failed with the MusicBrainz database!";
inline constexpr const char* kChoiceCaption = "Select disc - ";

// Where names come from, in the order a look-up asks them.
enum class LookupSource { MusicBrainz, Gnudb, Local, CdText };
// "musicbrainz", "gnudb", "local", "cdtext".
const char* lookupSourceName(LookupSource source);
inline constexpr const char* kDefaultLookupOrder = "musicbrainz,gnudb,local,cdtext";
// A list of those names separated by commas or spaces, any letter case, each at most once.
// False with a message for an unknown or repeated name or an empty list.
bool parseLookupOrder(std::string_view text, std::vector<LookupSource>& order, std::string& error);
std::string lookupOrderText(const std::vector<LookupSource>& order);

// One disc a database offers: a gnudb match (read when chosen), or a MusicBrainz release
// with the medium that is this disc (its names came with the answer).
struct DiscMatch {
    LookupSource source = LookupSource::Gnudb;
    bool exact = true; // false for gnudb's near matches and MusicBrainz's close layouts
    FreedbMatch freedb;
    std::shared_ptr<const MusicBrainzRelease> release;
    int medium = -1;

    std::string id() const;     // the release id, or gnudb's disc id
    std::string artist() const; // "Artist" of "Artist / Album" for gnudb
    std::string title() const;
};

// The prompt above the list of matches.
const char* choicePrompt(bool exact);
const char* choicePrompt(LookupSource source, bool exact);
// One line of that list: "<rock> : Artist / Album" for gnudb, "Artist / Album  [GB,
// 1999-03-01, Label CAT 1, barcode 0123, CD 1/2]" for a MusicBrainz release.
std::string choiceLine(const FreedbMatch& match);
std::string choiceLine(const DiscMatch& match);

// True when the rows of `info` that are disc tracks (number >= 0) are exactly the tracks
// of `toc`: same count, numbers, starts and lengths.
bool sameDisc(const DiscInfo& info, const kyDiscToc& toc);

// A local store asked when the databases give no names: fills the record and returns
// true when it knows the disc. Stores of the source Local are asked where "local" stands
// in the order, those of CdText where "cdtext" stands.
struct DiscNameStore {
    std::string name; // "cdplayer.ini", ...
    std::function<bool(DiscInfo&, const kyDiscToc&)> read;
    LookupSource source = LookupSource::Local;
};

struct DiscLookupOptions {
    bool force = false;   // look up even when the disc is the one already listed
    bool verbose = false; // the user asked: say what happened instead of asking the stores
    std::vector<LookupSource> order = {LookupSource::MusicBrainz, LookupSource::Gnudb,
                                       LookupSource::Local, LookupSource::CdText};
    // The databases; one that is null is not asked.
    MusicBrainzClient* musicBrainz = nullptr;
    FreedbClient* gnudb = nullptr;
    // Ask every database of the order, to list all their matches, instead of stopping at
    // the first that knows the disc. The choice is still the first one's when it has a
    // single match.
    bool everyDatabase = false;
    // Names the disc from this MusicBrainz release instead of asking the order.
    std::string releaseId;
    // Chooses among several matches: the index, or -1 for none (nothing is read then).
    // `exact` is that of the first database's matches. Without a chooser, the look-up ends
    // with the matches for the caller to choose from.
    std::function<int(const std::vector<DiscMatch>& matches, bool exact)> choose;
    std::vector<DiscNameStore> stores; // asked in order by a silent look-up
};

// What one database said.
struct DatabaseReport {
    LookupSource source;
    enum class State { Matched, NoMatch, Failed } state = State::NoMatch;
    std::string detail; // why it failed
};

struct DiscLookupResult {
    enum class Outcome {
        SameDisc, // the disc is the one listed: nothing changed
        Found,    // names from a database, or from a local store (see `source`)
        Choose,   // several matches and no chooser: the caller picks one and reads it
        Declined, // several matches and the chooser took none
        NoMatch,  // no database knows the disc, nor does any local store
        Failed,   // a database could not be asked, the others do not know the disc, nor
                  // did any local store help
        Cancelled,
    };
    Outcome outcome = Outcome::NoMatch;
    std::string source;                        // "musicbrainz", "gnudb" or the store's name
    LookupSource origin = LookupSource::Gnudb; // where the names found came from
    std::vector<DiscMatch> matches;            // what the databases found, in the order asked
    bool exact = true;                         // of the first database's matches
    int chosen = -1;                           // index of the match read
    std::vector<DatabaseReport> reports;       // per database asked, in order
    std::string message; // for a verbose look-up: the message to show (or empty)
    std::string detail;  // why a database could not be asked (the first failure)
};

// The look-up procedure. Unless `force`, a disc equal to the listed one only ends it.
// Otherwise `info` is cleared and refilled with one row per track, then named.
DiscLookupResult lookUpDisc(const kyDiscToc& toc, DiscInfo& info, const DiscLookupOptions& options);
// The same with gnudb as the database (the options' gnudb client is `client`).
DiscLookupResult lookUpDisc(FreedbClient& client, const kyDiscToc& toc, DiscInfo& info,
                            DiscLookupOptions options);

// Reads a match into `info` (whose rows are the disc's): gnudb's record is fetched, a
// MusicBrainz release's names are there already. False with the database's reason.
bool readMatch(const DiscMatch& match, const kyDiscToc& toc, FreedbClient* gnudb, DiscInfo& info,
               std::string& error);

// The freedb options dialog: the servers offered (sites that answer HTTP on port 80 at
// /~cddb/cddb.cgi, as "host   <description>"), the server an entry stands for (the text
// up to "<", without trailing spaces), and the check of the e-mail field ("Invalid email
// address!" for a non-empty text without "@", else empty).
inline constexpr const char* kOptionsCaption = "freedb options - DskR";
std::vector<std::string> serverChoices(const std::vector<FreedbSite>& sites);
std::string serverOfChoice(std::string_view entry);
std::string emailFieldError(std::string_view email);

// How often a look-up tries again while the drive reports ready but its table of contents
// cannot be read yet (a disc still spinning up): a bounded number of times, so that a disc
// the drive can never read does not keep the page asking forever.
class LookupRetry {
public:
    explicit LookupRetry(int attempts = 20) : m_attempts(attempts) {}
    // After a failed read: true when another look-up should follow.
    bool again(bool driveReady) {
        if (!driveReady || m_used >= m_attempts) return false;
        ++m_used;
        return true;
    }
    // After a read that succeeded, or when the drive or the disc changes.
    void reset() { m_used = 0; }

private:
    int m_attempts;
    int m_used = 0;
};
