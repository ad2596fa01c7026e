#include "app/track_page.h"

#include "cd/dsk_reader.h"
#include "cd/virtual_drive.h"
#include "core/text.h"
#include "metadata/cdplayer_ini.h"
#include "metadata/freedb_client.h"
#include "metadata/freedb_submit.h"
#include "metadata/lookup_cache.h"
#include "metadata/musicbrainz_client.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace {

// The virtual drive behind a drive record, or -1 for a real drive.
int virtualIndex(const kyDriveRecord* record) {
    if (!record || record->devicePath.rfind("virtual", 0) != 0) return -1;
    int index = -1;
    const char* begin = record->devicePath.c_str() + 7;
    const char* end = record->devicePath.c_str() + record->devicePath.size();
    auto r = std::from_chars(begin, end, index);
    return r.ec == std::errc() && r.ptr == end ? index : -1;
}

std::vector<DiscNameStore> localStores(const TrackPage::LookupRequest& request) {
    const LookupCache cache(request.cacheFolder.empty() ? LookupCache::defaultFolder()
                                                        : request.cacheFolder);
    const std::string ini = request.iniPath;
    const kyCdText text = request.cdText;
    return {
        {"an earlier look-up",
         [cache](DiscInfo& i, const kyDiscToc& t) { return cache.load(i, t); }},
        {"cdplayer.ini",
         [ini](DiscInfo& i, const kyDiscToc& t) { return readCdPlayerIni(i, t, ini); }},
        {"CD-Text", [text](DiscInfo& i, const kyDiscToc&) { return applyCdText(text, i); },
         LookupSource::CdText},
    };
}

// Keeps a record read from the database for later look-ups (and for a submission that
// updates it). A cache that cannot be written only costs that.
void keepRecord(const TrackPage::LookupRequest& request, const TrackPage::LookupAnswer& answer) {
    if (answer.result.outcome != DiscLookupResult::Outcome::Found ||
        answer.result.source != "gnudb")
        return;
    const LookupCache cache(request.cacheFolder.empty() ? LookupCache::defaultFolder()
                                                        : request.cacheFolder);
    std::string error;
    cache.store(answer.info, request.toc, error);
}

// The release's front cover, when one was wanted and the names came from a release. A
// cover that cannot be had costs only the cover.
void addCover(const TrackPage::LookupRequest& request, MusicBrainzClient& client,
              TrackPage::LookupAnswer& answer) {
    if (!request.fetchCover || answer.result.outcome != DiscLookupResult::Outcome::Found ||
        answer.result.origin != LookupSource::MusicBrainz || answer.info.release.releaseId.empty())
        return;
    CoverImage image;
    if (fetchFrontCover(client, request.coverArtServer, answer.info.release.releaseId, image))
        answer.info.cover = std::make_shared<const CoverImage>(std::move(image));
}

} // namespace

std::string trackTimeText(uint32_t samples) {
    const uint32_t seconds = static_cast<uint32_t>((uint64_t(samples) + 22050) / 44100);
    const uint32_t minutes = seconds / 60;
    const uint32_t rest = seconds % 60;
    std::string text;
    text += static_cast<char>('0' + minutes / 10 % 10);
    text += static_cast<char>('0' + minutes % 10);
    text += ':';
    text += static_cast<char>('0' + rest / 10);
    text += static_cast<char>('0' + rest % 10);
    return text;
}

std::string trackSizeText(uint32_t samples) {
    const std::string digits = std::to_string((uint64_t(samples) * 4 + 512) / 1024);
    std::string text;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) text += ' ';
        text += digits[i];
    }
    return text;
}

TrackRowView trackRowView(const TrackEntry& row) {
    TrackRowView v;
    v.name = row.name;
    v.start = trackTimeText(row.start);
    v.length = row.data ? "- - -" : trackTimeText(row.length);
    v.size = trackSizeText(row.length);
    v.image = row.data ? 4 : (row.selected ? 1 : 0) + (row.preEmphasis ? 2 : 0);
    return v;
}

TrackPage::TrackPage(RipSettings& settings)
    : m_settings(settings), m_loadedDevice(settings.iDevice) {}

TrackPage::~TrackPage() = default;

std::string TrackPage::sourceFailureText(kyError code) {
    if (code == KYERR_MISSING_COMPONENT)
        return "Oops! No drive access - Please run as administrator!\n\nOn Linux, DskR needs "
               "read and write access to the drive's device node (/dev/sr0, ...): add your "
               "user to the group that owns it (usually 'cdrom'), log in again and restart "
               "DskR.";
    return "Error: No compatible CD or DVD-ROM drives were found!";
}

std::string TrackPage::createSource() {
    m_source.reset();
    m_source = std::make_unique<kyDskReader>();
    const kyError e = m_source->ConstructionResult();
    if (kyFailed(e) || m_source->DriveCount() == 0)
        return sourceFailureText(kyFailed(e) ? e : KYERR_UNKNOWN);
    return {};
}

bool TrackPage::addImageDrive(const std::string& cuePath, std::string& error) {
    std::shared_ptr<kyDiscImage> image = kyDiscImage::LoadCue(cuePath, error);
    if (!image) return false;
    const int index = kyAddVirtualDrive(image, "", error);
    if (index < 0) return false;
    createSource();
    for (uint32_t n = 0; m_source && n < m_source->DriveCount(); ++n)
        if (virtualIndex(m_source->DriveRecord(n)) == index) m_settings.iDevice = int32_t(n);
    return true;
}

bool TrackPage::addDemoDrive() {
    std::string error;
    const int index = kyAddVirtualDrive(kyDiscImage::Demo(), "", error);
    if (index < 0) return false;
    createSource();
    for (uint32_t n = 0; m_source && n < m_source->DriveCount(); ++n)
        if (virtualIndex(m_source->DriveRecord(n)) == index) m_settings.iDevice = int32_t(n);
    return true;
}

std::vector<std::string> TrackPage::driveNames() const {
    std::vector<std::string> names;
    for (uint32_t n = 0; m_source && n < m_source->DriveCount(); ++n)
        names.push_back(m_source->DriveRecord(n)->displayName);
    return names;
}

int32_t TrackPage::currentDrive() {
    const int32_t count = m_source ? static_cast<int32_t>(m_source->DriveCount()) : 0;
    if (m_settings.iDevice < 0 || m_settings.iDevice >= count) m_settings.iDevice = 0;
    return m_settings.iDevice;
}

bool TrackPage::currentDriveIsVirtual() const {
    return m_source && m_settings.iDevice >= 0 &&
           virtualIndex(m_source->DriveRecord(static_cast<uint32_t>(m_settings.iDevice))) >= 0;
}

int32_t TrackPage::driveToStore() const {
    return currentDriveIsVirtual() ? m_loadedDevice : m_settings.iDevice;
}

bool TrackPage::driveReady() {
    if (!m_source) return false;
    if (m_source->AttachedDriveNumber() != currentDrive())
        m_source->OpenDrive(static_cast<uint32_t>(currentDrive()));
    return m_source->IsReady();
}

bool TrackPage::toggleTray() {
    if (!m_source) return false;
    if (m_source->AttachedDriveNumber() != currentDrive())
        m_source->OpenDrive(static_cast<uint32_t>(currentDrive()));
    return m_source->ToggleTray();
}

TrackPage::LookupStep TrackPage::beginLookup(bool force) {
    if (!m_source) return LookupStep::NoDisc;
    const int32_t drive = currentDrive();
    // The disc may have changed since the last look-up: its contents are read anew.
    if (!m_source->OpenDrive(static_cast<uint32_t>(drive))) {
        if (m_retry.again(m_source->IsReady())) return LookupStep::Retry;
        return LookupStep::NoDisc;
    }
    m_retry.reset();
    m_toc = m_source->Toc();
    if (!force && sameDisc(m_disc, m_toc)) return LookupStep::SameDisc;
    m_cdText = m_source->ReadCdText();

    m_disc.clear();
    m_disc.makeRows(m_toc);
    ++m_generation;

    // A disc image that carries its own names needs no database.
    const int index = virtualIndex(m_source->DriveRecord(static_cast<uint32_t>(drive)));
    if (index >= 0) {
        auto device = kyVirtualDriveDevice(static_cast<uint32_t>(index));
        if (device && device->Image() && device->Image()->Record()) {
            applyDiscRecord(*device->Image()->Record(), m_disc);
            return LookupStep::Named;
        }
    }
    return LookupStep::Ask;
}

TrackPage::DatabaseRequest TrackPage::databaseRequest() const {
    DatabaseRequest r;
    r.server = m_settings.szDBServer;
    r.proxy = m_settings.szDBProxy;
    r.email = m_settings.szDBEmail;
    r.timeouts = timeouts;
    r.toc = m_toc;
    r.generation = m_generation;
    return r;
}

TrackPage::LookupRequest TrackPage::lookupRequest(bool verbose) const {
    LookupRequest r;
    static_cast<DatabaseRequest&>(r) = databaseRequest();
    r.rows = m_disc;
    r.verbose = verbose;
    r.cacheFolder = cacheFolder;
    r.iniPath = cdPlayerIniPath;
    r.cdText = m_cdText;
    r.cancel = std::make_shared<std::atomic<bool>>(false);
    r.musicBrainzServer = m_settings.szMusicBrainzServer;
    r.coverArtServer = m_settings.szCoverArtServer;
    r.musicBrainzProxy = kySingleByteToUtf8(m_settings.szDBProxy);
    r.fetchCover = m_settings.bFetchCoverArt;
    std::string error;
    if (!parseLookupOrder(m_settings.szLookupOrder, r.order, error))
        parseLookupOrder(kDefaultLookupOrder, r.order, error);
    return r;
}

TrackPage::LookupAnswer TrackPage::runLookup(const LookupRequest& request) {
    LookupAnswer answer;
    answer.generation = request.generation;
    answer.info = request.rows;
    FreedbClient client(request.server, request.proxy, request.email);
    client.timeouts = request.timeouts;
    auto cancel = request.cancel;
    client.keepGoing = [cancel] { return !cancel || !cancel->load(); };
    MusicBrainzClient musicBrainz(request.musicBrainzServer, request.musicBrainzProxy);
    musicBrainz.timeouts = request.timeouts;
    musicBrainz.keepGoing = client.keepGoing;
    DiscLookupOptions options;
    options.force = true;
    options.verbose = request.verbose;
    options.stores = localStores(request);
    options.order = request.order;
    const auto asks = [&](LookupSource s) {
        return std::find(options.order.begin(), options.order.end(), s) != options.order.end();
    };
    if (asks(LookupSource::MusicBrainz)) options.musicBrainz = &musicBrainz;
    if (asks(LookupSource::Gnudb)) options.gnudb = &client;
    answer.result = lookUpDisc(request.toc, answer.info, options);
    keepRecord(request, answer);
    addCover(request, musicBrainz, answer);
    return answer;
}

TrackPage::LookupAnswer TrackPage::readMatch(const LookupRequest& request, const DiscMatch& match) {
    LookupAnswer answer;
    answer.generation = request.generation;
    answer.info = request.rows;
    FreedbClient client(request.server, request.proxy, request.email);
    client.timeouts = request.timeouts;
    auto cancel = request.cancel;
    client.keepGoing = [cancel] { return !cancel || !cancel->load(); };
    std::string error;
    if (::readMatch(match, request.toc, &client, answer.info, error)) {
        answer.result.outcome = DiscLookupResult::Outcome::Found;
        answer.result.source = lookupSourceName(match.source);
        answer.result.origin = match.source;
        keepRecord(request, answer);
        MusicBrainzClient musicBrainz(request.musicBrainzServer, request.musicBrainzProxy);
        musicBrainz.timeouts = request.timeouts;
        musicBrainz.keepGoing = client.keepGoing;
        addCover(request, musicBrainz, answer);
    } else if (client.lastFailure() == FreedbFailure::Cancelled) {
        answer.result.outcome = DiscLookupResult::Outcome::Cancelled;
    } else {
        answer.result.outcome = DiscLookupResult::Outcome::Failed;
        answer.result.detail = error.empty() ? client.lastError() : error;
        if (request.verbose) answer.result.message = kLookupFailed;
    }
    return answer;
}

bool TrackPage::finishLookup(LookupAnswer&& answer) {
    if (answer.generation != m_generation) return false;
    using Outcome = DiscLookupResult::Outcome;
    const Outcome o = answer.result.outcome;
    if (o == Outcome::Found || o == Outcome::NoMatch || o == Outcome::Failed) {
        // Virtual tracks the user added meanwhile stay.
        for (const TrackEntry& row : m_disc.tracks)
            if (row.number < 0) answer.info.appendRow(row);
        m_disc = std::move(answer.info);
    }
    return true;
}

bool TrackPage::toggleRow(size_t row, bool any) {
    if (row >= m_disc.tracks.size()) return false;
    TrackEntry& r = m_disc.tracks[row];
    if (r.data && !any) return false;
    r.selected = !r.selected;
    return true;
}

std::string TrackPage::selectAllText() const {
    const auto selected = std::count_if(m_disc.tracks.begin(), m_disc.tracks.end(),
                                        [](const TrackEntry& r) { return r.selected; });
    return static_cast<size_t>(selected) <= m_disc.tracks.size() / 2 ? "Select all"
                                                                     : "Deselect all";
}

bool TrackPage::selectAll() {
    const bool select = selectAllText() == "Select all";
    bool changed = false;
    for (TrackEntry& r : m_disc.tracks)
        if (!r.data && r.selected != select) {
            r.selected = select;
            changed = true;
        }
    return changed;
}

void TrackPage::renameRow(size_t row, const std::string& name) {
    if (row < m_disc.tracks.size()) m_disc.tracks[row].name = name;
}

bool TrackPage::removeVirtualRow(size_t row) {
    if (row >= m_disc.tracks.size() || m_disc.tracks[row].number >= 0) return false;
    m_disc.removeRow(row);
    return true;
}

void TrackPage::copyFields(const std::string& artist, const std::string& title,
                           const std::string& genre, const std::string& yearText, int category) {
    m_disc.artist = artist;
    m_disc.title = title;
    m_disc.genre = genre;
    m_disc.category = category;
    const char* begin = yearText.c_str();
    while (*begin == ' ') ++begin;
    int32_t year = 0;
    const char* end = yearText.c_str() + yearText.size();
    if (auto r = std::from_chars(begin, end, year); r.ec == std::errc())
        m_disc.year = year;
    else if (begin == end)
        m_disc.year = 0;
}

std::string TrackPage::nextCheck() const {
    if (m_disc.tracks.empty()) return "No audio tracks to convert!";
    if (std::none_of(m_disc.tracks.begin(), m_disc.tracks.end(),
                     [](const TrackEntry& r) { return r.selected; }))
        return "No audio tracks selected!";
    return {};
}

uint64_t TrackPage::leadOut() const {
    if (m_toc.firstTrack >= 1 && m_toc.lastTrack <= 99 && m_toc.firstTrack <= m_toc.lastTrack)
        return m_toc.entries[m_toc.lastTrack + 1].start;
    uint64_t end = 0;
    for (const TrackEntry& r : m_disc.tracks)
        if (r.number >= 0) end = std::max<uint64_t>(end, (uint64_t(r.start) + r.length) / 588);
    return end;
}

std::vector<TrackMenuItem> TrackPage::contextMenu(int focusedRow, bool driveReady) const {
    std::vector<TrackMenuItem> items;
    if (focusedRow >= 0 && static_cast<size_t>(focusedRow) < m_disc.tracks.size()) {
        const TrackEntry& r = m_disc.tracks[static_cast<size_t>(focusedRow)];
        items.push_back({"Play audio ...", kCmdPlay, true, true});
        items.push_back({r.selected ? "Unselect track" : "Select track", kCmdToggle});
        items.push_back({"Edit track name", kCmdEditName});
        if (r.number < 0) items.push_back({"Remove 'virtual track'", kCmdRemoveVirtual});
        items.push_back({"Pattern rename...", kCmdPatternRename});
        items.push_back({});
    }
    items.push_back({"Refresh track list", kCmdRefresh});
    items.push_back({"Add 'virtual track' ...", kCmdAddVirtual});
    items.push_back({});
    items.push_back({driveReady ? "Eject disc" : "Close tray", kCmdEject});
    return items;
}

std::vector<TrackMenuItem> TrackPage::freedbMenu() const {
    const bool rows = !m_disc.tracks.empty();
    return {{"Look up disc again", kCmdLookUpAgain, rows},
            {submitMenuText(m_disc), kCmdSubmit, rows},
            {},
            {"Options...", kCmdFreedbOptions},
            {"About", kCmdFreedbAbout}};
}

TrackPage::SubmitRequest TrackPage::submitRequest() const {
    SubmitRequest r;
    static_cast<DatabaseRequest&>(r) = databaseRequest();
    r.info = m_disc;
    return r;
}

bool TrackPage::runSubmit(SubmitRequest& request) {
    FreedbClient client(request.server, request.proxy, request.email);
    client.timeouts = request.timeouts;
    return submitDisc(client, request.toc, request.info);
}

void TrackPage::finishSubmit(const SubmitRequest& request, bool accepted) {
    if (accepted && request.generation == m_generation) m_disc.revision = request.info.revision;
}
