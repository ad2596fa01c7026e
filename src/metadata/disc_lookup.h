#pragma once
// Looking a disc up, as the track page and the command line do it, without any toolkit:
// the database is asked; one match is read, several are offered for a choice, none (or a
// database that cannot be reached) sends a silent look-up to the local stores. The front
// end shows what the result says.
#include "cd/disc_toc.h"
#include "metadata/disc_info.h"
#include "metadata/freedb_client.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kLookupCaption = "freedb look-up - DskR";
inline constexpr const char* kLookupNoMatch = "No matching disc found in the 'freedb' database!";
inline constexpr const char* kLookupFailed =
    "Communication failed with the 'freedb' database!\n\nPlease verify that you have a lice "
    "Internet-connection.";
inline constexpr const char* kChoiceCaption = "Select disc - ";

// The prompt above the list of matches.
const char* choicePrompt(bool exact);
// One line of that list: "<rock> : Artist / Album".
std::string choiceLine(const FreedbMatch& match);

// True when the rows of `info` that are disc tracks (number >= 0) are exactly the tracks
// of `toc`: same count, numbers, starts and lengths.
bool sameDisc(const DiscInfo& info, const kyDiscToc& toc);

// A local store asked when the database gives no names: fills the record and returns
// true when it knows the disc.
struct DiscNameStore {
    std::string name; // "cdplayer.ini", ...
    std::function<bool(DiscInfo&, const kyDiscToc&)> read;
};

struct DiscLookupOptions {
    bool force = false;   // look up even when the disc is the one already listed
    bool verbose = false; // the user asked: say what happened instead of asking the stores
    // Chooses among several matches: the index, or -1 for none (nothing is read then).
    // Without it, the look-up ends with the matches for the caller to choose from.
    std::function<int(const std::vector<FreedbMatch>& matches, bool exact)> choose;
    std::vector<DiscNameStore> stores; // asked in order by a silent look-up
};

struct DiscLookupResult {
    enum class Outcome {
        SameDisc, // the disc is the one listed: nothing changed
        Found,    // names from the database, or from a local store (see `source`)
        Choose,   // several matches and no chooser: the caller picks one and reads it
        Declined, // several matches and the chooser took none
        NoMatch,  // the database does not know the disc, nor does any local store
        Failed,   // the database could not be asked, nor did any local store help
        Cancelled,
    };
    Outcome outcome = Outcome::NoMatch;
    std::string source;               // "gnudb" or the store's name when names were found
    std::vector<FreedbMatch> matches; // what the query found
    bool exact = true;
    int chosen = -1;     // index of the match read
    std::string message; // for a verbose look-up: the message to show (or empty)
    std::string detail;  // why the database could not be asked
};

// The look-up procedure. Unless `force`, a disc equal to the listed one only ends it.
// Otherwise `info` is cleared and refilled with one row per track, then named.
DiscLookupResult lookUpDisc(FreedbClient& client, const kyDiscToc& toc, DiscInfo& info,
                            const DiscLookupOptions& options);

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
