#include "cd/dsk_reader.h"

#include "cd/cd_sector.h"
#include "cd/dsk_reader_mode_aspi.h"
#include "cd/dsk_reader_mode_cdrr.h"
#include "cd/dsk_reader_mode_spti.h"
#include "core/data_format.h"
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

using kycd::IsFeatureless;
using kycd::SameSector;
using kycd::SampleAt;
using kycd::SectorOf;
using kycd::SetSample;

namespace {

constexpr uint32_t kMaxTransfer = 65536;
// Sectors re-read before each chunk so that it can be realigned on the last one delivered.
constexpr uint32_t kBackSectors = 3;
constexpr uint32_t kReadAttempts = 1000;
// A sector that failed a whole read's attempts is looked for with this many per sector.
constexpr uint32_t kIsolateAttempts = 4;
// A drive that is still spinning up gets 1000 x 100 ms on the first read after opening.
constexpr std::chrono::milliseconds kSpinUpPause{100};
// Offsets the realignment tries, nearest first: d sectors earlier than asked for.
constexpr int32_t kRealignOrder[] = {0, 1,  -1, 2,  -2, 3,  -3, 4,   -4, 5,   -5, 6,  -6,
                                     7, -7, 8,  -8, 9,  -9, 10, -10, 11, -11, 12, -12};
// A read goes back this far before the anchor, so that a drive landing up to as late still
// shows it; once a read has not lined up, this much further (a start placed only by a guess
// may itself lie a few sectors off, and the drive's landings around it then look late).
constexpr uint32_t kBeforeAnchor = 2;
constexpr uint32_t kWideBeforeAnchor = 12;
// A read whose data does not follow on from the anchor is read again up to this many times
// before the best match is taken.
constexpr uint32_t kRealignRereads = 8;
// Above this score the splice is not exact and gets smoothed over three frames.
constexpr int64_t kSmoothAbove = 10;
// An anchor this far before the next sector to read (digital silence in between, the gap
// to the range before) is still read back to: six seconds.
constexpr uint32_t kReachBack = 450;
// Anchors kept from earlier runs on the same disc.
constexpr size_t kKeptAnchors = 64;
// Recent anchors of the run: when the newest matches at several places, an older one may not.
constexpr size_t kRecentAnchors = 3;
// A copy of the anchor with at least this many of its 1176 samples right still places a
// read, when no other place comes close (fewer than kNoMatch).
constexpr uint32_t kDamagedMatch = 882;
constexpr uint32_t kNoMatch = 294;
// A short chunk (the end of a range) is read at least this far, so that a drive landing
// early still shows it.
constexpr uint32_t kAhead = 12;
// Placing one read by another tries landings this far either way.
constexpr int32_t kPlaceSearch = 12;
constexpr uint32_t kSamplesPerSector = kycd::kSectorSamples;

// Sectors [first, end) of a buffer that begins at `bufferLba`.
inline int64_t floorDiv(int64_t a, int64_t b) {
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

} // namespace

// ---- construction -------------------------------------------------------------------

namespace {
kyDskReader::Methods machineMethods() {
    kyDskReader::Methods m;
    m.passThrough = std::make_unique<kyDskReaderModeSPTI>();
    m.rawRead = std::make_unique<kyDskReaderModeCDRR>();
    m.library = std::make_unique<kyDskReaderModeASPI>();
    return m;
}
} // namespace

kyDskReader::kyDskReader() : kyDskReader(machineMethods()) {}

kyDskReader::kyDskReader(Methods methods) : kySourceFilter2("Dsk Reader") {
    m_format.lengthFrames = KY_NO_LENGTH;
    m_format.channels = 2;
    m_format.channelMask = 3;
    m_format.sampleRate = 44100;
    m_format.blockFrames = KY_SECTOR_FRAMES;
    adoptMethods(std::move(methods));
}

kyDskReader::~kyDskReader() {
    CloseDrive();
}

void kyDskReader::adoptMethods(Methods methods) {
    m_methods[0] = std::move(methods.passThrough);
    m_methods[1] = std::move(methods.rawRead);
    m_methods[2] = std::move(methods.library);
    bool any = false;
    for (auto& method : m_methods) {
        if (method && kyFailed(method->ConstructionResult())) method.reset();
        if (method) any = true;
    }
    if (!any)
        m_constructionResult = KYERR_MISSING_COMPONENT;
    else if (DriveCount() == 0)
        m_constructionResult = KYERR_UNKNOWN;
    else
        m_constructionResult = KY_OK;
}

void kyDskReader::SetSleepFunction(SleepFunction sleep) {
    m_sleep = std::move(sleep);
}

void kyDskReader::pause(std::chrono::milliseconds ms) {
    if (m_sleep)
        m_sleep(ms);
    else
        std::this_thread::sleep_for(ms);
}

// ---- drives -------------------------------------------------------------------------

uint32_t kyDskReader::DriveCount() const {
    uint32_t n = 0;
    for (const auto& method : m_methods)
        if (method) n += method->DriveCount();
    return n;
}

kyDskReaderMode* kyDskReader::methodOf(uint32_t number, uint32_t& local) const {
    for (const auto& method : m_methods) {
        if (!method) continue;
        const uint32_t count = method->DriveCount();
        if (number < count) {
            local = number;
            return method.get();
        }
        number -= count;
    }
    return nullptr;
}

const kyDriveRecord* kyDskReader::DriveRecord(uint32_t number) const {
    uint32_t local = 0;
    kyDskReaderMode* method = methodOf(number, local);
    return method ? method->DriveRecord(local) : nullptr;
}

std::vector<kySkippedDevice> kyDskReader::SkippedDevices() const {
    std::vector<kySkippedDevice> all;
    for (const auto& method : m_methods)
        if (method)
            all.insert(all.end(), method->SkippedDevices().begin(), method->SkippedDevices().end());
    return all;
}

bool kyDskReader::OpenDrive(uint32_t number) {
    CloseDrive();
    uint32_t local = 0;
    kyDskReaderMode* method = methodOf(number, local);
    if (!method) return false;

    uint8_t plain[KY_PLAIN_TOC_BYTES] = {};
    uint8_t full[KY_FULL_TOC_BYTES] = {};
    bool fullValid = false;
    uint32_t largest = 0;
    uint32_t maxSpeed = 0;
    m_toc = kyDiscToc{};
    if (!method->Open(local, plain, fullValid, full, largest, maxSpeed) ||
        !m_toc.BuildFromPlain(plain, sizeof plain)) {
        // No disc to read, but the drive may still answer: its tray and ready test work.
        m_toc = kyDiscToc{};
        m_idle = method;
        m_idleNumber = static_cast<int32_t>(number);
        return false;
    }
    if (fullValid) m_toc.RefineFromFull(full, sizeof full);

    m_open = method;
    m_openNumber = static_cast<int32_t>(number);
    m_largestTransfer = std::min(largest, kMaxTransfer);
    m_maxSpeed = maxSpeed;
    m_firstRead = true;
    m_subQDelivered = true;
    m_subQBias = kySubQBias{};
    ForgetReadHistory();
    SetTrackRange(m_toc.firstTrack, m_toc.lastTrack);
    return true;
}

void kyDskReader::CloseDrive() {
    if (m_open) m_open->Close();
    if (m_idle && m_idle != m_open) m_idle->Close();
    m_open = nullptr;
    m_openNumber = -1;
    m_idle = nullptr;
    m_idleNumber = -1;
    ForgetReadHistory();
}

void kyDskReader::ForgetReadHistory() {
    // Another disc may be in the drive, or the drive may have lost its place: nothing read
    // before can anchor a read any more.
    m_kept.clear();
    m_anchors.clear();
    m_bad.clear();
    m_requestValid = false;
    m_streamKnown = false;
}

bool kyDskReader::IsReady() {
    kyDskReaderMode* drive = m_open ? m_open : m_idle;
    return drive && drive->IsReady();
}

bool kyDskReader::ToggleTray() {
    kyDskReaderMode* drive = m_open ? m_open : m_idle;
    if (!drive) return false;
    ForgetReadHistory();
    if (drive->IsReady()) {
        drive->LockMedium(false);
        drive->StopAudio();
        return drive->EjectOrLoad(false);
    }
    drive->LockMedium(false);
    return drive->EjectOrLoad(true);
}

bool kyDskReader::LockMedium(bool lock) {
    return m_open && m_open->LockMedium(lock);
}

bool kyDskReader::StopAudio() {
    return m_open && m_open->StopAudio();
}

std::optional<std::string> kyDskReader::MediaCatalogNumber() {
    if (!m_open) return std::nullopt;
    return m_open->MediaCatalogNumber();
}

std::optional<std::string> kyDskReader::Isrc(uint32_t track) {
    if (!m_open) return std::nullopt;
    return m_open->Isrc(track);
}

// ---- range and modes ----------------------------------------------------------------

bool kyDskReader::SetRange(uint32_t firstSector, uint32_t endSector) {
    if (endSector < firstSector) return false;
    m_rangeStart = firstSector;
    m_rangeEnd = endSector;
    const uint64_t frames = static_cast<uint64_t>(endSector - firstSector) * KY_SECTOR_FRAMES;
    m_length = static_cast<uint32_t>(std::min<uint64_t>(frames, KY_NO_LENGTH - 1));
    m_format.lengthFrames = m_length;
    // A position sought in the previous range (playback) must not cut into this one.
    m_seekOffset = 0;
    return true;
}

bool kyDskReader::SetTrackRange(uint32_t firstTrack, uint32_t lastTrack) {
    if (!m_open) return false;
    // The table has room for tracks up to 99 and the lead-out after them.
    constexpr uint32_t kLastIndex = 99;
    uint32_t first = std::max(firstTrack, m_toc.firstTrack);
    uint32_t last = std::min(lastTrack, m_toc.lastTrack);
    last = std::max(last, first);
    first = std::min(first, kLastIndex);
    last = std::min(last, kLastIndex);
    const kyTocEntry& a = m_toc.entries[first];
    const kyTocEntry& b = m_toc.entries[last];
    return SetRange(a.start, std::max(a.start, b.start + b.length));
}

bool kyDskReader::RangeHasPreEmphasis() const {
    const uint32_t last = std::min<uint32_t>(m_toc.lastTrack, 99);
    for (uint32_t t = m_toc.firstTrack; t <= last; ++t) {
        const kyTocEntry& e = m_toc.entries[t];
        // A track starting right at the range end is not in it: the range keeps its
        // interleaved form and goes to the writer untouched.
        if (e.preEmphasis && e.start < m_rangeEnd && e.start + e.length > m_rangeStart) return true;
    }
    return false;
}

void kyDskReader::SetReadOffset(int32_t samples) {
    m_readOffset = std::clamp<int32_t>(samples, -5880, 5880);
}

void kyDskReader::AddAudioTap(kyCdAudioTap* tap) {
    if (tap && std::find(m_taps.begin(), m_taps.end(), tap) == m_taps.end()) m_taps.push_back(tap);
}

void kyDskReader::RemoveAudioTap(kyCdAudioTap* tap) {
    std::erase(m_taps, tap);
}

void kyDskReader::SetReadMode(uint32_t mode) {
    m_jitterCorrection = mode == KY_READ_JITTER || mode == KY_READ_SCRATCH;
    m_verify = mode == KY_READ_SCRATCH;
}

// ---- source operations --------------------------------------------------------------

kyError kyDskReader::GetFormat(kyAudioFormat& format) {
    format.lengthFrames = m_length;
    format.channels = 2;
    format.channelMask = 3;
    format.sampleRate = 44100;
    format.blockFrames = KY_SECTOR_FRAMES;
    return KY_OK;
}

uint32_t kyDskReader::Seek(uint32_t frame) {
    m_seekOffset = frame / KY_SECTOR_FRAMES;
    return m_seekOffset * KY_SECTOR_FRAMES;
}

// ---- the drive side of a run --------------------------------------------------------

const uint8_t* kyDskReader::Pass::at(int64_t lba) const {
    const int64_t i = lba - (static_cast<int64_t>(start) + offset);
    if (!data || i < 0 || i >= static_cast<int64_t>(sectors)) return nullptr;
    return SectorOf(data, i);
}

uint32_t kyDskReader::Pass::from(int64_t lba) const {
    const int64_t i = lba - (static_cast<int64_t>(start) + offset);
    if (!data || i < 0 || i >= static_cast<int64_t>(sectors)) return 0;
    return static_cast<uint32_t>(sectors - i);
}

kyError kyDskReader::openForReading() {
    if (!m_open) return kyFailed(m_constructionResult) ? m_constructionResult : KYERR_SEQUENCE;
    if (!m_downstream) return KYERR_SEQUENCE;

    // A drive that claims less than a sector per transfer still reads one at a time.
    m_chunk = std::max<uint32_t>(m_largestTransfer / KY_SECTOR_BYTES, 1);
    // With jitter correction a read is the chunk's new sectors plus the back-read.
    m_target = m_jitterCorrection ? std::max(m_chunk, kBackSectors + 1) - kBackSectors : m_chunk;
    // Buffer 0 also takes reads back to a distant anchor and the lead of a continued stream.
    const uint32_t first = m_jitterCorrection
                               ? kReachBack + kWideBeforeAnchor + kBackSectors + m_target + m_chunk
                               : m_target;
    try {
        for (uint32_t i = 0; i < kPasses; ++i) {
            // Scratch correction reads every chunk back to the anchor several times.
            const uint32_t sectors = i == 0 || m_verify ? first : 0;
            if (m_buffers[i].size() != static_cast<size_t>(sectors) * KY_SECTOR_BYTES) {
                std::vector<uint8_t>().swap(m_buffers[i]);
                m_buffers[i].resize(static_cast<size_t>(sectors) * KY_SECTOR_BYTES);
            }
        }
        m_discBuffer.resize(static_cast<size_t>(m_chunk) * KY_SECTOR_BYTES);
        m_silence.assign(KY_SECTOR_BYTES, 0);
        m_carry.assign(KY_SECTOR_BYTES, 0);
    } catch (const std::bad_alloc&) {
        for (auto& b : m_buffers) std::vector<uint8_t>().swap(b);
        return KYERR_OUT_OF_MEMORY;
    }

    m_open->StopAudio();
    m_open->SetReadSpeed(m_speed);

    m_current = m_rangeStart + m_seekOffset;
    m_report = kyReadReport{};
    m_failedDrive.reset();

    // The read offset in whole sectors (rounded down) and the frames left over.
    m_offsetSectors = static_cast<int32_t>(floorDiv(m_readOffset, KY_SECTOR_FRAMES));
    m_offsetSamples =
        static_cast<uint32_t>(m_readOffset - m_offsetSectors * int32_t(KY_SECTOR_FRAMES));

    // What the drive can read around the range: the run of audio tracks it lies in. Drive
    // sectors outside it are never asked for; the samples they would give are silence.
    m_readFloor = m_current;
    m_readCeiling = std::max(m_current, m_rangeEnd);
    const uint32_t lastTrack = std::min<uint32_t>(m_toc.lastTrack, 99);
    auto trackOf = [&](uint32_t sector) -> uint32_t {
        for (uint32_t t = m_toc.firstTrack; t <= lastTrack; ++t) {
            const kyTocEntry& e = m_toc.entries[t];
            if (sector >= e.start && sector < e.start + e.length) return t;
        }
        return 0;
    };
    if (uint32_t t = trackOf(m_current); t && !m_toc.entries[t].data) {
        while (t > m_toc.firstTrack && !m_toc.entries[t - 1].data) --t;
        m_readFloor = t == m_toc.firstTrack ? 0 : m_toc.entries[t].start;
    }
    const uint32_t lastSector = m_rangeEnd > m_current ? m_rangeEnd - 1 : m_current;
    if (uint32_t t = trackOf(lastSector); t && !m_toc.entries[t].data) {
        while (t < lastTrack && !m_toc.entries[t + 1].data &&
               m_toc.entries[t + 1].start == m_toc.entries[t].start + m_toc.entries[t].length)
            ++t;
        m_readCeiling = std::max(m_readCeiling, m_toc.entries[t].start + m_toc.entries[t].length);
    }
    const int64_t wantFirst = static_cast<int64_t>(m_current) + m_offsetSectors;
    const int64_t wantEnd = static_cast<int64_t>(std::max(m_current, m_rangeEnd)) +
                            m_offsetSectors + (m_offsetSamples ? 1 : 0);
    m_next = static_cast<uint32_t>(std::clamp<int64_t>(wantFirst, m_readFloor, m_readCeiling));
    m_driveEnd = static_cast<uint32_t>(std::clamp<int64_t>(wantEnd, m_next, m_readCeiling));
    m_pending = Chunk{};
    m_lead = Lead{};
    m_leadIndex = 0;

    // A confirmed anchor of the run before goes to the kept ones; one of them close enough
    // before this range ties its start to the disc.
    m_anchors.clear();
    m_trusted = true;
    m_havePrevious = false;
    // A stream is only followed within a run: between runs the drive may pause and lose it.
    m_streamKnown = false;
    m_guess.reset();
    if (m_jitterCorrection) {
        // The closest anchor before the start, a confirmed one if there is any. One whose
        // place was only guessed is used when the start cannot be confirmed either, so
        // that the ranges at least join seamlessly.
        const Anchor* best = nullptr;
        const Anchor* guess = nullptr;
        for (const Anchor& a : m_kept) {
            if (a.lba >= m_next || m_next - a.lba - 1 > kReachBack || a.lba < floorFor(m_next))
                continue;
            const Anchor*& slot = a.trusted ? best : guess;
            if (!slot || a.lba > slot->lba) slot = &a;
        }
        if (best)
            m_anchors.push_back(*best);
        else if (guess)
            m_guess = *guess;
    }
    m_firstRead = true;
    for (kyCdAudioTap* tap : m_taps) tap->RunStarted(m_current, std::max(m_current, m_rangeEnd));
    return KY_OK;
}

kyError kyDskReader::Prepare() {
    kyError e = openForReading();
    if (kyFailed(e)) return e;
    if (m_planes.empty() && kyFailed(m_planes.allocate(2, KY_SECTOR_FRAMES)))
        return KYERR_OUT_OF_MEMORY;
    m_deEmphasis.Reset();
    return KY_OK;
}

uint32_t kyDskReader::floorFor(uint32_t x) const {
    auto it = m_bad.lower_bound(x);
    if (it == m_bad.begin()) return m_readFloor;
    return std::max(m_readFloor, *std::prev(it) + 1);
}

uint32_t kyDskReader::ceilingFor(uint32_t x) const {
    auto it = m_bad.lower_bound(x);
    return it == m_bad.end() ? m_readCeiling : std::min(m_readCeiling, *it);
}

uint32_t kyDskReader::discSector(int64_t driveSector) const {
    const int64_t x = driveSector - m_offsetSectors;
    const int64_t last = std::max<int64_t>(m_rangeStart, static_cast<int64_t>(m_rangeEnd) - 1);
    return static_cast<uint32_t>(std::clamp<int64_t>(x, m_rangeStart, last));
}

void kyDskReader::markSuspect(uint32_t first, uint32_t last) {
    // A drive sector feeds the disc sector it is shifted to and, with frames left over,
    // the one before.
    const int64_t a = static_cast<int64_t>(first) - m_offsetSectors - (m_offsetSamples ? 1 : 0);
    const int64_t b = static_cast<int64_t>(last) - m_offsetSectors;
    const int64_t lo = std::max<int64_t>(a, m_rangeStart);
    const int64_t hi = std::min<int64_t>(b, static_cast<int64_t>(m_rangeEnd) - 1);
    if (lo <= hi) m_report.addSuspect(static_cast<uint32_t>(lo), static_cast<uint32_t>(hi));
}

kyError kyDskReader::readWithRetries(uint8_t* buffer, uint32_t lba, uint32_t sectors,
                                     uint32_t attempts, uint8_t* subQ) {
    kyError e = KYERR_READ_FILE;
    for (uint32_t attempt = 0; attempt < attempts; ++attempt) {
        if (attempt > 0) notify(ReadEvent::Kind::Retry, lba, sectors, attempt);
        // Never ask the drive for more than it transfers at once. After a failure the whole
        // request is read again, so that all of it comes from one landing of the drive.
        e = KY_OK;
        for (uint32_t done = 0; done < sectors && kySucceeded(e);) {
            const uint32_t n = std::min(sectors - done, m_chunk);
            e = subQ ? m_open->ReadAudioSubQ(SectorOf(buffer, done), subQ + size_t(done) * 16,
                                             lba + done, n)
                     : m_open->ReadAudio(SectorOf(buffer, done), lba + done, n);
            done += n;
        }
        if (kySucceeded(e) || e != KYERR_READ_FILE) break;
        if (m_firstRead)
            pause(kSpinUpPause);
        else
            std::this_thread::yield();
    }
    return e;
}

uint32_t kyDskReader::isolateFailure(uint32_t start, uint32_t sectors) {
    uint8_t one[KY_SECTOR_BYTES];
    for (uint32_t i = 0; i < sectors; ++i)
        if (readWithRetries(one, start + i, 1, kIsolateAttempts) == KYERR_READ_FILE)
            return start + i;
    // It reads now, after failing every attempt: name the first sector of the range the
    // request held.
    return std::clamp(m_next, start, start + sectors - 1);
}

kyError kyDskReader::readDrive(uint8_t* buffer, uint32_t start, uint32_t sectors, uint8_t* subQ) {
    if (subQ) std::memset(subQ, 0, size_t(sectors) * 16);
    kyError e = KYERR_MISSING_COMPONENT;
    if (subQ && m_subQDelivered) e = readWithRetries(buffer, start, sectors, kReadAttempts, subQ);
    if (e == KYERR_MISSING_COMPONENT) {
        // The drive gives no sub-channel data with audio: plain reads from now on.
        if (subQ) {
            m_subQDelivered = false;
            std::memset(subQ, 0, size_t(sectors) * 16);
        }
        e = readWithRetries(buffer, start, sectors, kReadAttempts);
    }
    m_firstRead = false;
    if (kyFailed(e)) {
        // The drive has lost its place.
        m_requestValid = false;
        m_streamKnown = false;
        if (e == KYERR_READ_FILE) {
            m_failedDrive = isolateFailure(start, sectors);
            notify(ReadEvent::Kind::Unreadable, *m_failedDrive, 1, kReadAttempts);
        }
    }
    return e;
}

kyError kyDskReader::handleReadFailure(kyError e) {
    if (e != KYERR_READ_FILE || !m_failedDrive) return e;
    const uint32_t f = *m_failedDrive;
    m_failedDrive.reset();
    const bool inRange = f >= m_next && f < m_driveEnd;
    if (inRange) m_report.failedSector = discSector(f);
    // A sector read around the range (to align on) is simply read around; one of the range
    // fails the run unless the user asked to go on.
    if (isBad(f) || (inRange && !m_continueOnReadError)) return e;
    m_bad.insert(f);
    if (inRange) m_report.failedSector.reset();
    return KY_OK;
}

void kyDskReader::noteRead(uint32_t start, uint32_t sectors, bool placed, int32_t offset) {
    m_requestValid = true;
    m_requestEnd = start + sectors;
    m_streamKnown = placed;
    m_streamOffset = offset;
}

bool kyDskReader::streamUsable(uint32_t x, uint32_t count) const {
    if (!m_requestValid || !m_streamKnown) return false;
    const int64_t next = static_cast<int64_t>(m_requestEnd) + m_streamOffset;
    if (next > x || x - next > m_chunk) return false;
    const int64_t end = static_cast<int64_t>(m_requestEnd) + (x - next) + count;
    return m_requestEnd >= floorFor(x) && end <= ceilingFor(x);
}

const kyDskReader::Anchor* kyDskReader::usableAnchor(uint32_t x, size_t skip) const {
    const uint32_t floor = floorFor(x);
    for (auto it = m_anchors.rbegin(); it != m_anchors.rend(); ++it) {
        if (it->lba >= x || x - it->lba - 1 > kReachBack || it->lba < floor) continue;
        if (skip-- == 0) return &*it;
    }
    return nullptr;
}

void kyDskReader::keepAnchor(const Anchor& anchor) {
    for (Anchor& a : m_kept)
        if (a.lba == anchor.lba) {
            if (anchor.trusted || !a.trusted) a = anchor;
            return;
        }
    if (m_kept.size() >= kKeptAnchors) m_kept.erase(m_kept.begin());
    m_kept.push_back(anchor);
}

void kyDskReader::delivered(const uint8_t* data, uint32_t x, uint32_t sectors, bool placed,
                            const std::vector<uint8_t>* unsure) {
    if (sectors == 0) return;
    if (!placed || !m_trusted) markSuspect(x, x + sectors - 1);
    if (unsure)
        for (uint32_t i = 0; i < sectors && i < unsure->size(); ++i)
            if ((*unsure)[i]) markSuspect(x + i, x + i);
    std::memcpy(m_previous, SectorOf(data, sectors - 1), KY_SECTOR_BYTES);
    m_havePrevious = true;
    if (!placed || !m_jitterCorrection) return;
    // The new anchor: the last distinctive sector that has no twin in the chunk (inside a
    // loop every sector would match at several places).
    for (int64_t i = sectors - 1; i >= 0; --i) {
        const uint8_t* s = SectorOf(data, i);
        if (IsFeatureless(s) ||
            (unsure && i < static_cast<int64_t>(unsure->size()) && (*unsure)[i]))
            continue;
        bool twin = false;
        for (int64_t j = 0; j < sectors && !twin; ++j)
            twin = j != i && SameSector(s, SectorOf(data, j));
        if (twin) continue;
        if (!m_anchors.empty() && m_anchors.back().lba >= x + i) break;
        if (m_anchors.size() >= kRecentAnchors) m_anchors.erase(m_anchors.begin());
        m_anchors.push_back(
            Anchor{x + static_cast<uint32_t>(i), std::vector<uint8_t>(s, s + KY_SECTOR_BYTES)});
        break;
    }
    // The run's last anchors may start the next range on this disc (the very last one may
    // lie past its start: the read offset makes ranges overlap on the drive).
    if (x + sectors >= m_driveEnd)
        for (Anchor a : m_anchors) {
            a.trusted = m_trusted;
            keepAnchor(a);
        }
}

kyDskReader::Match kyDskReader::realign(const Pass& pass, const Anchor& anchor, uint32_t x) const {
    // Where is the anchor in the read? At `base` if the drive landed where asked, at
    // base + d if it landed d sectors early.
    const int64_t base = static_cast<int64_t>(anchor.lba) - pass.start;
    const int64_t need = static_cast<int64_t>(x) - anchor.lba; // from the anchor to x
    auto valid = [&](int64_t p) { return p >= 0 && p + need < static_cast<int64_t>(pass.sectors); };
    Match best;
    size_t bestIndex = 0;
    for (size_t i = 0; i < std::size(kRealignOrder); ++i) {
        const int64_t p = base + kRealignOrder[i];
        if (!valid(p)) continue;
        const int64_t score = kycd::SectorDistance(anchor.data.data(), SectorOf(pass.data, p),
                                                   best.p < 0 ? -1 : best.score);
        if (best.p < 0 || score < best.score) {
            best.p = static_cast<int32_t>(p);
            best.score = score;
            bestIndex = i;
        }
        if (score == 0) break;
    }
    if (best.p >= 0 && best.score != 0) {
        // The anchor's copy in this read may be damaged (a scratch): most of its samples
        // still equal at one place and at no other ties the read down all the same.
        const uint32_t here = kycd::EqualSamples(anchor.data.data(), SectorOf(pass.data, best.p));
        bool alone = here >= kDamagedMatch;
        for (size_t i = 0; i < std::size(kRealignOrder) && alone; ++i) {
            const int64_t p = base + kRealignOrder[i];
            if (p != best.p && valid(p))
                alone = kycd::EqualSamples(anchor.data.data(), SectorOf(pass.data, p)) < kNoMatch;
        }
        best.damaged = alone;
    }
    if (best.p < 0 || best.score != 0) return best;
    // Another exact match that would deliver different data makes this one a guess.
    const int64_t have = pass.sectors - (best.p + need);
    for (size_t i = bestIndex + 1; i < std::size(kRealignOrder) && !best.ambiguous; ++i) {
        const int64_t p = base + kRealignOrder[i];
        if (!valid(p) || !SameSector(anchor.data.data(), SectorOf(pass.data, p))) continue;
        const int64_t other = pass.sectors - (p + need);
        const int64_t n = std::min(have, other);
        best.ambiguous =
            std::memcmp(SectorOf(pass.data, best.p + need), SectorOf(pass.data, p + need),
                        static_cast<size_t>(n) * KY_SECTOR_BYTES) != 0;
    }
    return best;
}

bool kyDskReader::placeBy(Pass& pass, const Pass& reference) const {
    std::vector<bool> distinct(pass.sectors);
    for (uint32_t j = 0; j < pass.sectors; ++j)
        distinct[j] = !IsFeatureless(SectorOf(pass.data, j));
    int32_t bestOffset = 0;
    uint32_t best = 0, second = 0;
    for (int32_t o = -kPlaceSearch; o <= kPlaceSearch; ++o) {
        uint32_t matches = 0;
        for (uint32_t j = 0; j < pass.sectors; ++j) {
            if (!distinct[j]) continue;
            const uint8_t* ref = reference.at(static_cast<int64_t>(pass.start) + o + j);
            if (!ref) continue;
            // Either copy may be damaged: most samples alike is a match.
            const uint8_t* own = SectorOf(pass.data, j);
            if (SameSector(ref, own) || kycd::EqualSamples(ref, own) >= kDamagedMatch) ++matches;
        }
        if (matches > best) {
            second = best;
            best = matches;
            bestOffset = o;
        } else if (matches > second) {
            second = matches;
        }
    }
    if (best == 0 || best == second) return false;
    pass.placed = true;
    pass.offset = bestOffset;
    return true;
}

kyError kyDskReader::readPlaced(uint32_t bufferIndex, uint32_t x, uint32_t count, Pass& pass,
                                bool rereads) {
    uint8_t* buffer = m_buffers[bufferIndex].data();
    const uint32_t capacity =
        static_cast<uint32_t>(m_buffers[bufferIndex].size() / KY_SECTOR_BYTES);
    size_t skip = 0;
    const Anchor* anchor = usableAnchor(x);
    // Every read goes back to the anchor and is realigned on it, through silence or a loop
    // since the anchor if need be (a drive may land off even where it reads on). Only far
    // from any anchor does the read simply continue the drive's previous one.
    if (!anchor && streamUsable(x, count)) {
        const int64_t next = static_cast<int64_t>(m_requestEnd) + m_streamOffset;
        const uint32_t lead = static_cast<uint32_t>(x - next);
        const uint32_t n = std::min(lead + count, capacity);
        const uint32_t start = m_requestEnd;
        kyError e = readDrive(buffer, start, n);
        if (kyFailed(e)) return e;
        pass = Pass{buffer, start, n, true, m_streamOffset, 0};
        noteRead(start, n, true, m_streamOffset);
        return KY_OK;
    }
    if (!anchor) {
        // Nothing to tie the read to (the caller confirms starts first): read it as it comes.
        kyError e = readDrive(buffer, x, count);
        if (kyFailed(e)) return e;
        pass = Pass{buffer, x, count, false, 0, 0};
        noteRead(x, count, false, 0);
        return KY_OK;
    }
    for (uint32_t reread = 0;; ++reread) {
        const uint32_t back = reread == 0 ? kBeforeAnchor : kWideBeforeAnchor;
        const uint32_t start =
            std::max<uint32_t>(floorFor(x), anchor->lba >= back ? anchor->lba - back : 0);
        const uint32_t n =
            std::min({x - start + std::max(count, kAhead), capacity, ceilingFor(x) - start});
        kyError e = readDrive(buffer, start, n);
        if (kyFailed(e)) return e;
        if (reread > 0) {
            ++m_report.rereads;
            notify(ReadEvent::Kind::Reread, start, n, reread);
        }
        Pass p{buffer, start, n, false, 0, 0};
        const Match m = realign(p, *anchor, x);
        const int64_t base = static_cast<int64_t>(anchor->lba) - start;
        if (m.p >= 0 && (m.score == 0 || m.damaged) && !m.ambiguous) {
            p.placed = true;
            p.offset = static_cast<int32_t>(base - m.p);
            pass = p;
            noteRead(start, n, true, p.offset);
            return KY_OK;
        }
        if (m.ambiguous) {
            // The anchor matches at several places (a loop): an older one may not.
            if (const Anchor* older = usableAnchor(x, skip + 1)) {
                ++skip;
                anchor = older;
                continue;
            }
        }
        // At the end of what can be read a drive landing early never shows the last
        // sectors: only its other landings can, so they get more tries.
        const bool atEnd = start + n >= ceilingFor(x);
        if (!rereads || reread >= (atEnd || m.p < 0 ? 4 * kRealignRereads : kRealignRereads)) {
            // The best guess: where the anchor came closest, else where it was asked for.
            p.score = m.p >= 0 ? m.score : 0;
            p.offset = m.p >= 0 ? static_cast<int32_t>(base - m.p) : 0;
            if (p.from(x) == 0) p.offset = 0;
            pass = p;
            noteRead(start, n, false, 0);
            // An anchor that lines up nowhere may itself have been read damaged: the reads
            // after this one go back to the one before it, or confirm their start afresh.
            if (rereads) {
                const uint32_t lba = anchor->lba;
                std::erase_if(m_anchors, [lba](const Anchor& a) { return a.lba == lba; });
            }
            return KY_OK;
        }
    }
}

kyError kyDskReader::readBurst(uint32_t x, uint32_t count, Chunk& chunk) {
    kyError e = readDrive(m_buffers[0].data(), x, count);
    if (kyFailed(e)) return e;
    noteRead(x, count, false, 0);
    chunk = Chunk{m_buffers[0].data(), count};
    m_next = x + count;
    delivered(chunk.data, x, count, true);
    return KY_OK;
}

kyError kyDskReader::readJitter(uint32_t x, uint32_t count, Chunk& chunk) {
    Pass pass;
    kyError e = readPlaced(0, x, count, pass, true);
    if (kyFailed(e)) return e;
    const uint32_t n = std::min(pass.from(x), m_driveEnd - x);
    uint8_t* data = const_cast<uint8_t*>(pass.at(x));
    if (!pass.placed && pass.score > kSmoothAbove && m_havePrevious) {
        // An inexact splice: blend the first three frames with the last one delivered.
        const int32_t prev[2] = {SampleAt(m_previous, kSamplesPerSector - 2),
                                 SampleAt(m_previous, kSamplesPerSector - 1)};
        for (uint32_t ch = 0; ch < 2; ++ch) {
            const int32_t p = prev[ch];
            const int32_t f0 = SampleAt(data, 0 + ch);
            const int32_t f1 = SampleAt(data, 2 + ch);
            const int32_t f2 = SampleAt(data, 4 + ch);
            SetSample(data, 0 + ch, static_cast<int16_t>((3 * p + f0) / 4));
            SetSample(data, 2 + ch, static_cast<int16_t>((f1 + p) / 2));
            SetSample(data, 4 + ch, static_cast<int16_t>((p + 3 * f2) / 4));
        }
    }
    chunk = Chunk{data, n};
    m_next = x + n;
    delivered(data, x, n, pass.placed);
    return KY_OK;
}

kyError kyDskReader::readScratch(uint32_t x, uint32_t count, Chunk& chunk) {
    Pass passes[kPasses];
    kyError e = readPlaced(0, x, count, passes[0], true);
    if (kyFailed(e)) return e;
    if (!passes[0].placed) {
        // Nothing lines up with what came before: the best guess, reported.
        const uint32_t n = std::min(passes[0].from(x), m_driveEnd - x);
        chunk = Chunk{const_cast<uint8_t*>(passes[0].at(x)), n};
        m_next = x + n;
        delivered(chunk.data, x, n, false);
        return KY_OK;
    }
    // Each sector is taken once two reads agree on it, one of them placed on the disc
    // (an unplaced read that shows the same data can only have read the same sector, or
    // an identical one). Reads after the first re-read the sectors before the chunk and
    // are placed on the anchor or on what they share with the first.
    const uint32_t n = std::min({passes[0].from(x), count, m_driveEnd - x});
    uint8_t* out = const_cast<uint8_t*>(passes[0].at(x));
    std::vector<uint8_t> agreed(n, 0);
    auto value = [&](const Pass& p, uint32_t lba) -> const uint8_t* {
        if (p.placed) return p.at(lba);
        const int64_t i = static_cast<int64_t>(lba) - p.start;
        return i >= 0 && i < p.sectors ? SectorOf(p.data, i) : nullptr;
    };
    uint32_t used = 1;
    bool settled = false;
    const uint32_t capacity = static_cast<uint32_t>(m_buffers[1].size() / KY_SECTOR_BYTES);
    uint32_t slack = 0; // reads landed this much early: read that much further
    for (uint32_t i = 1; i < kPasses && !settled; ++i) {
        // Back to the anchor, however far (silence in between), else the usual back-read.
        const Anchor* anchor = usableAnchor(x);
        const uint32_t back = std::min(kBackSectors, x - floorFor(x));
        const uint32_t start =
            anchor
                ? std::max<uint32_t>(floorFor(x),
                                     anchor->lba >= kBeforeAnchor ? anchor->lba - kBeforeAnchor : 0)
                : x - back;
        const uint32_t sectors = std::min(
            {x - start + std::max(count + slack, kAhead), ceilingFor(x) - start, capacity});
        e = readDrive(m_buffers[i].data(), start, sectors);
        if (kyFailed(e)) return e;
        ++m_report.rereads;
        // Two reads are the method; a third and later one means the first ones disagreed.
        if (i >= 2) notify(ReadEvent::Kind::Reread, start, sectors, i - 1);
        Pass p{m_buffers[i].data(), start, sectors, false, 0, 0};
        if (anchor) {
            const Match m = realign(p, *anchor, x);
            if (m.p >= 0 && (m.score == 0 || m.damaged) && !m.ambiguous) {
                p.placed = true;
                p.offset = static_cast<int32_t>(static_cast<int64_t>(anchor->lba) - start - m.p);
            }
        }
        if (!p.placed) placeBy(p, passes[0]);
        if (p.placed && p.offset < 0)
            slack = std::max<uint32_t>(slack, static_cast<uint32_t>(-p.offset));
        noteRead(start, sectors, p.placed, p.offset);
        passes[i] = p;
        used = i + 1;
        settled = true;
        for (uint32_t k = 0; k < n; ++k) {
            if (agreed[k]) continue;
            const uint32_t lba = x + k;
            const uint8_t* vi = value(p, lba);
            for (uint32_t j = 0; j < i && vi && !agreed[k]; ++j) {
                if (!p.placed && !passes[j].placed) continue;
                const uint8_t* vj = value(passes[j], lba);
                if (!vj || !SameSector(vi, vj)) continue;
                agreed[k] = 1;
                uint8_t* dst = SectorOf(out, k);
                if (dst != vi) std::memcpy(dst, vi, KY_SECTOR_BYTES);
            }
            if (!agreed[k]) settled = false;
        }
    }

    // What is still open after eight reads: sample by sample, the value most placed reads
    // show when two or more show it, else their average truncated toward zero.
    std::vector<uint8_t> unsure(n, 0);
    for (uint32_t k = 0; k < n; ++k) {
        if (agreed[k]) continue;
        const uint32_t lba = x + k;
        const uint8_t* values[kPasses];
        uint32_t m = 0;
        for (uint32_t i = 0; i < used; ++i)
            if (passes[i].placed)
                if (const uint8_t* v = passes[i].at(lba)) values[m++] = v;
        bool sure = m >= 2;
        int16_t result[kSamplesPerSector];
        for (uint32_t s = 0; s < kSamplesPerSector; ++s) {
            int16_t v[kPasses];
            int32_t sum = 0;
            for (uint32_t i = 0; i < m; ++i) {
                v[i] = SampleAt(values[i], s);
                sum += v[i];
            }
            uint32_t bestCount = 0, nextCount = 0;
            int16_t bestValue = 0;
            for (uint32_t i = 0; i < m; ++i) {
                uint32_t c = 0;
                for (uint32_t j = 0; j < m; ++j) c += v[j] == v[i];
                if (c > bestCount) {
                    if (bestCount > 0 && v[i] != bestValue) nextCount = bestCount;
                    bestCount = c;
                    bestValue = v[i];
                } else if (v[i] != bestValue && c > nextCount) {
                    nextCount = c;
                }
            }
            if (bestCount >= 2 && bestCount > nextCount) {
                result[s] = bestValue;
            } else {
                result[s] = static_cast<int16_t>(
                    std::clamp(m ? sum / static_cast<int32_t>(m) : 0, -32768, 32767));
                sure = false;
            }
        }
        std::memcpy(SectorOf(out, k), result, KY_SECTOR_BYTES);
        unsure[k] = !sure;
    }
    chunk = Chunk{out, n};
    m_next = x + n;
    delivered(out, x, n, true, &unsure);
    return KY_OK;
}

kyError kyDskReader::readChunk(Chunk& chunk) {
    chunk = Chunk{};
    for (uint32_t guard = 0; guard < 100000; ++guard) {
        if (m_leadIndex < m_lead.sectors()) {
            // Sectors decided while confirming the start.
            const uint32_t x = m_next;
            const uint32_t n = std::min(m_lead.sectors() - m_leadIndex, m_driveEnd - x);
            uint8_t* data = SectorOf(m_lead.data.data(), m_leadIndex);
            std::vector<uint8_t> unsure(n);
            for (uint32_t i = 0; i < n; ++i) unsure[i] = !m_lead.sure[m_leadIndex + i];
            m_leadIndex += n;
            chunk = Chunk{data, n};
            m_next = x + n;
            delivered(data, x, n, true, &unsure);
            if (n == 0) continue;
            return KY_OK;
        }
        m_lead = Lead{};
        m_leadIndex = 0;
        if (m_next >= m_driveEnd) return KY_OK;
        const uint32_t x = m_next;
        if (isBad(x)) {
            // A sector that never read, in a run that goes on: silence, reported.
            m_report.filled.push_back(discSector(x));
            markSuspect(x, x);
            chunk = Chunk{m_silence.data(), 1};
            m_next = x + 1;
            delivered(chunk.data, x, 1, true);
            return KY_OK;
        }
        const uint32_t count = std::min({m_target, m_driveEnd - x, ceilingFor(x) - x});
        m_open->LockMedium(true);
        kyError e = KY_OK;
        if (!m_jitterCorrection) {
            e = readBurst(x, count, chunk);
        } else if (!usableAnchor(x) && !streamUsable(x, count)) {
            // Nothing confirmed lies before x: find out where the drive reads there, then
            // go on from the anchor or the sectors that found.
            e = confirmStart(x, m_lead);
        } else {
            e = m_verify ? readScratch(x, count, chunk) : readJitter(x, count, chunk);
        }
        m_open->LockMedium(false);
        if (kyFailed(e)) {
            chunk = Chunk{};
            e = handleReadFailure(e);
            if (kyFailed(e)) return e;
            continue; // read again around the failing sector
        }
        if (chunk.sectors > 0) return KY_OK;
    }
    return KYERR_READ_FILE;
}

// ---- the disc side: the read offset, the taps, the sink ------------------------------

kyError kyDskReader::nextSectors(Chunk& chunk) {
    chunk = Chunk{};
    if (m_current >= m_rangeEnd) return KY_OK;
    // Without an offset and inside the readable audio, drive sectors are disc sectors.
    if (m_readOffset == 0 && m_current >= m_readFloor && m_rangeEnd <= m_readCeiling)
        return readChunk(chunk);

    // Drive sector d in order: read ones from the chunks, silence outside what is readable.
    auto driveSector = [&](int64_t d, const uint8_t*& out) -> kyError {
        if (d < m_readFloor || d >= m_readCeiling || d < 0) {
            out = m_silence.data();
            return KY_OK;
        }
        for (;;) {
            const int64_t i = d - static_cast<int64_t>(m_pendingLba);
            if (m_pending.data && i >= 0 && i < m_pending.sectors) {
                out = SectorOf(m_pending.data, i);
                return KY_OK;
            }
            if (d < m_next || m_next >= m_driveEnd) {
                out = m_silence.data(); // not part of what this run reads
                return KY_OK;
            }
            m_pendingLba = m_next;
            kyError e = readChunk(m_pending);
            if (kyFailed(e)) return e;
            if (m_pending.sectors == 0) {
                out = m_silence.data();
                return KY_OK;
            }
        }
    };
    const uint32_t room = static_cast<uint32_t>(m_discBuffer.size() / KY_SECTOR_BYTES);
    const size_t split = static_cast<size_t>(m_offsetSamples) * 4;
    uint32_t n = 0;
    for (; n < room && m_current + n < m_rangeEnd; ++n) {
        const int64_t d = static_cast<int64_t>(m_current) + n + m_offsetSectors;
        uint8_t* dst = SectorOf(m_discBuffer.data(), n);
        const uint8_t* a = nullptr;
        kyError e = driveSector(d, a);
        if (kyFailed(e)) return e;
        if (split == 0) {
            std::memcpy(dst, a, KY_SECTOR_BYTES);
            continue;
        }
        // The disc sector is the end of drive sector d and the start of d + 1. The first
        // part is copied before d + 1 is read, which may reuse the buffer d was in.
        std::memcpy(dst, a + split, KY_SECTOR_BYTES - split);
        const uint8_t* b = nullptr;
        e = driveSector(d + 1, b);
        if (kyFailed(e)) return e;
        std::memcpy(dst + KY_SECTOR_BYTES - split, b, split);
    }
    chunk = Chunk{m_discBuffer.data(), n};
    return KY_OK;
}

void kyDskReader::updateTrack(uint32_t sector) {
    const uint32_t first = m_toc.firstTrack;
    const uint32_t last = std::min<uint32_t>(m_toc.lastTrack, 99);
    if (m_track < first || m_track > last || m_toc.entries[m_track].start > sector) m_track = first;
    while (m_track < last && m_toc.entries[m_track + 1].start <= sector) ++m_track;
}

kyError kyDskReader::Process() {
    if (!m_downstream) return KYERR_SEQUENCE;
    if (m_buffers[0].empty() || m_planes.empty()) return KYERR_SEQUENCE;
    Chunk chunk;
    kyError e = nextSectors(chunk);
    if (kyFailed(e)) return e;
    if (chunk.sectors == 0) return m_downstream->EndOfStream();

    for (uint32_t i = 0; i < chunk.sectors && m_current < m_rangeEnd; ++i) {
        updateTrack(m_current);
        uint8_t* sector = SectorOf(chunk.data, i);
        for (kyCdAudioTap* tap : m_taps) tap->SectorDelivered(m_current, sector);
        float** planes = m_planes.planes();
        e = InterleavedToPlanar(planes, sector, 2, 0, KY_SECTOR_FRAMES, "PCM 16-bit", false, false);
        if (kyFailed(e)) return e;
        if (m_track <= 99 && m_toc.entries[m_track].preEmphasis && !m_keepPreEmphasis) {
            m_deEmphasis.Process(0, planes[0], KY_SECTOR_FRAMES);
            m_deEmphasis.Process(1, planes[1], KY_SECTOR_FRAMES);
        }
        e = m_downstream->Write(planes, KY_SECTOR_FRAMES);
        if (kyFailed(e)) return e;
        ++m_current;
    }
    if (m_current >= m_rangeEnd) return m_downstream->EndOfStream();
    return KY_OK;
}

const char* kyDskReader::GetInterleavedFormat(uint32_t channels) {
    if (channels != 2 || (RangeHasPreEmphasis() && !m_keepPreEmphasis)) return nullptr;
    return "PCM 16-bit";
}

kyError kyDskReader::RunInterleaved() {
    kyError e = openForReading();
    if (kyFailed(e)) return e;
    for (;;) {
        Chunk chunk;
        e = nextSectors(chunk);
        if (kyFailed(e)) return e;
        if (chunk.sectors == 0) break;
        for (uint32_t i = 0; i < chunk.sectors && m_current < m_rangeEnd; ++i) {
            if (!m_downstream) return KYERR_SEQUENCE;
            uint8_t* sector = SectorOf(chunk.data, i);
            for (kyCdAudioTap* tap : m_taps) tap->SectorDelivered(m_current, sector);
            e = m_downstream->WriteInterleaved(sector, KY_SECTOR_BYTES, KY_SECTOR_FRAMES);
            if (kyFailed(e)) return e;
            ++m_current;
        }
    }
    return KY_OK;
}
