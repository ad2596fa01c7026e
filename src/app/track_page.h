#pragma once
// The track page without its widgets: the drives, the disc record and its rows, the
// look-up in steps (so that a window can run the database part on another thread and show
// the result when it arrives), selection, names, virtual tracks, pattern renaming, the
// menus, submission and the checks before the next page.
//
// Typical use by a window:
//   TrackPage page(settings);
//   if (auto why = page.createSource(); !why.empty()) { show why; exit 1; }
//   switch (page.beginLookup(false)) {
//   case TrackPage::LookupStep::Ask: {
//       auto request = page.lookupRequest(false);  // copied: safe on another thread
//       ... TrackPage::runLookup(request) elsewhere, then page.finishLookup(answer) ...
//   } ...
//   }
#include "app/pattern_rename.h"
#include "app/rip_settings.h"
#include "cd/disc_layout.h"
#include "cd/disc_toc.h"
#include "core/error.h"
#include "metadata/disc_info.h"
#include "metadata/disc_lookup.h"
#include "platform/http_client.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

class kyDiscImage;
class kyDskReader;

// The texts of one row of the track list, and its state image: 4 for a data track,
// otherwise 1 when selected and 0 when not, plus 2 for pre-emphasis.
struct TrackRowView {
    std::string name, start, length, size;
    int image = 0;
};

// "mm:ss" of a sample count at 44.1 kHz, rounded to the nearest second.
std::string trackTimeText(uint32_t samples);
// The size of a row in KB, digits grouped by threes with a space ("1 234").
std::string trackSizeText(uint32_t samples);
TrackRowView trackRowView(const TrackEntry& row);

// Commands of the page's buttons and menus (the control numbers where there is one).
enum TrackCommand : int {
    kCmdSeparator = 0,
    kCmdRefresh = 310,
    kCmdFreedbMenu = 311,
    kCmdSelectAll = 312,
    kCmdAddVirtual = 313,
    kCmdPlay = 314,
    kCmdInformation = 315,
    kCmdEject = 321,
    kCmdToggle = 323,
    kCmdRemoveVirtual = 324,
    kCmdEditName = 325,
    kCmdPatternRename = 397,
    kCmdLookUpAgain = 1001,
    kCmdSubmit = 1002,
    kCmdFreedbOptions = 1003,
    kCmdFreedbAbout = 1004,
};

struct TrackMenuItem {
    std::string text; // empty for a separator
    int command = kCmdSeparator;
    bool enabled = true;
    bool isDefault = false;
};

class TrackPage {
public:
    explicit TrackPage(RipSettings& settings);
    ~TrackPage();
    TrackPage(const TrackPage&) = delete;
    TrackPage& operator=(const TrackPage&) = delete;

    RipSettings& settings() { return m_settings; }
    DiscInfo& disc() { return m_disc; }
    const DiscInfo& disc() const { return m_disc; }

    // ---- drives ----------------------------------------------------------------------
    // Makes the CD source (again, after a virtual drive was added). Empty when it has a
    // drive, otherwise the message the program shows before it ends.
    std::string createSource();
    kyDskReader* source() { return m_source.get(); }
    // "Error: No compatible CD or DVD-ROM drives were found!" and the no-access message.
    static std::string sourceFailureText(kyError code);

    // A virtual drive over a CUE sheet, or over the built-in demo disc; it becomes the
    // selected drive. False with a message when the sheet cannot be used.
    bool addImageDrive(const std::string& cuePath, std::string& error);
    bool addDemoDrive();
    // Display names of the drives, in their numbering.
    std::vector<std::string> driveNames() const;
    // The drive setting, made a valid index first (0 when it is not one).
    int32_t currentDrive();
    void selectDrive(int32_t number) { m_settings.iDevice = number; }
    bool currentDriveIsVirtual() const;
    // The drive number to store: a virtual drive's number means nothing next time, so the
    // number loaded at start-up is kept for it.
    int32_t driveToStore() const;
    bool driveReady();
    // The eject/load button: ejects a ready drive, closes the tray of one that is not.
    bool toggleTray();

    // ---- look-up ---------------------------------------------------------------------
    enum class LookupStep {
        NoDisc,   // no readable disc: the rows stay as they were
        Retry,    // the drive reports ready but its contents cannot be read yet: try again
        SameDisc, // the disc is the one listed: nothing changed
        Named,    // the rows are made and named already (a disc image with its own names)
        Ask,      // the rows are the defaults; the database is to be asked
    };
    // The part on the window's thread: reads the table of contents of the selected drive
    // and decides what follows.
    LookupStep beginLookup(bool force);

    // The database and the disc a request is for, copied so that it may run on another
    // thread.
    struct DatabaseRequest {
        std::string server, proxy, email;
        kyHttpTimeouts timeouts;
        kyDiscToc toc;
        uint64_t generation = 0; // which disc listing it is for
    };
    // What the database part of a look-up needs.
    struct LookupRequest : DatabaseRequest {
        DiscInfo rows;
        bool verbose = false;
        std::string cacheFolder; // records of earlier look-ups
        std::string iniPath;     // cdplayer.ini
        kyCdText cdText;         // the disc's, asked after the stores above
        std::shared_ptr<std::atomic<bool>> cancel;
        // MusicBrainz and the Cover Art Archive, and the order the sources are asked in.
        std::string musicBrainzServer, coverArtServer, musicBrainzProxy;
        std::vector<LookupSource> order;
        bool fetchCover = true; // a release's front cover, to save and embed
    };
    struct LookupAnswer {
        DiscLookupResult result;
        DiscInfo info;
        uint64_t generation = 0;
    };
    DatabaseRequest databaseRequest() const;
    LookupRequest lookupRequest(bool verbose) const;
    // The database part, on any thread: asks the databases in the settings' order (several
    // matches come back for a choice), then the local stores when they give no names. A
    // record read from gnudb is kept for later look-ups; a MusicBrainz release brings its
    // front cover along.
    static LookupAnswer runLookup(const LookupRequest& request);
    // Reads the chosen one of several matches, on any thread.
    static LookupAnswer readMatch(const LookupRequest& request, const DiscMatch& match);
    // Back on the window's thread: the names are taken unless the disc was listed anew
    // meanwhile. False when the answer came too late to count.
    bool finishLookup(LookupAnswer&& answer);
    // The listing's generation: it changes whenever the rows are made anew.
    uint64_t generation() const { return m_generation; }
    // Test hooks: where look-ups keep and find their records (empty: the defaults).
    std::string cacheFolder, cdPlayerIniPath;
    kyHttpTimeouts timeouts;

    // ---- rows and fields -------------------------------------------------------------
    // A click on a row toggles its selection, except for a data track; `any` (the
    // context menu's entries) toggles any row. False when nothing changed.
    bool toggleRow(size_t row, bool any = false);
    // "Select all" while at most half of the rows are selected, else "Deselect all".
    std::string selectAllText() const;
    // The select-all button: selects (or clears) every row that is not a data track.
    bool selectAll();
    void renameRow(size_t row, const std::string& name);
    // Removes a virtual track; rows of disc tracks stay. False when nothing was removed.
    bool removeVirtualRow(size_t row);
    // Copies the disc fields into the record; the year only when its text is a number.
    void copyFields(const std::string& artist, const std::string& title, const std::string& genre,
                    const std::string& yearText, int category);
    // "No audio tracks to convert!", "No audio tracks selected!", or empty when the page
    // may be left forward.
    std::string nextCheck() const;

    // ---- virtual tracks and renaming -------------------------------------------------
    // The end of the disc in frames (sectors), which no virtual track may pass.
    uint64_t leadOut() const;
    PatternRename rename; // the dialog's state between uses
    int applyRename() { return applyPatternRename(m_disc, rename); }

    // ---- menus -----------------------------------------------------------------------
    std::vector<TrackMenuItem> contextMenu(int focusedRow, bool driveReady) const;
    std::vector<TrackMenuItem> freedbMenu() const;

    // ---- submission ------------------------------------------------------------------
    struct SubmitRequest : DatabaseRequest {
        DiscInfo info;
    };
    SubmitRequest submitRequest() const;
    // Sends the record, on any thread; the record comes back with its new revision when
    // the database took it.
    static bool runSubmit(SubmitRequest& request);
    void finishSubmit(const SubmitRequest& request, bool accepted);

private:
    RipSettings& m_settings;
    int32_t m_loadedDevice;
    DiscInfo m_disc;
    std::unique_ptr<kyDskReader> m_source;
    LookupRetry m_retry;
    uint64_t m_generation = 0;
    kyDiscToc m_toc;
    kyCdText m_cdText; // of the disc listed
};
