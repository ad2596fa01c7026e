#include "cd/dsk_reader.h"

#include "cd/dsk_reader_mode_aspi.h"
#include "cd/dsk_reader_mode_cdrr.h"
#include "cd/dsk_reader_mode_spti.h"
#include "core/data_format.h"
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

namespace {

constexpr uint32_t kMaxTransfer = 65536;
// Sectors re-read before each chunk so that it can be realigned on the last one delivered.
constexpr uint32_t kBackSectors = 3;
constexpr uint32_t kReadAttempts = 1000;
// A drive that is still spinning up gets 1000 x 100 ms on the first read after opening.
constexpr std::chrono::milliseconds kSpinUpPause{100};
// Offsets the realignment tries, nearest first: d sectors later than expected.
constexpr int32_t kRealignOrder[] = {0, 1, -1, 2, -2, 3, 4, 5, 6, 7, 8, 9};
// A read whose data does not follow on from the last sector delivered (or follows on at
// several places with different data after them) is read again up to this many times
// before the best match is taken.
constexpr uint32_t kRealignRereads = 8;
// Above this score the splice is not exact and gets smoothed over three frames.
constexpr int64_t kSmoothAbove = 10;
constexpr uint32_t kSamplesPerSector = KY_SECTOR_FRAMES * 2;

int16_t sampleAt(const uint8_t* sector, uint32_t index) {
    int16_t v;
    std::memcpy(&v, sector + index * 2, 2);
    return v;
}

void setSample(uint8_t* sector, uint32_t index, int16_t v) {
    std::memcpy(sector + index * 2, &v, 2);
}

// Sum of absolute differences of two sectors' 16-bit samples. Stops early once the sum
// reaches `bound` (when not negative): such a position cannot win any more.
int64_t sectorDistance(const uint8_t* a, const uint8_t* b, int64_t bound) {
    constexpr uint32_t kStep = KY_SECTOR_FRAMES / 4;
    int64_t sum = 0;
    for (uint32_t i = 0; i < kSamplesPerSector; i += kStep) {
        for (uint32_t k = i; k < i + kStep; ++k)
            sum += std::abs(static_cast<int32_t>(sampleAt(a, k)) -
                            static_cast<int32_t>(sampleAt(b, k)));
        if (bound >= 0 && sum >= bound) break;
    }
    return sum;
}

// True when every frame of a sector is the same (digital silence, a constant offset).
bool isFeatureless(const uint8_t* sector) {
    for (uint32_t f = 1; f < KY_SECTOR_FRAMES; ++f)
        if (std::memcmp(sector, sector + f * 4, 4) != 0) return false;
    return true;
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
}

bool kyDskReader::IsReady() {
    kyDskReaderMode* drive = m_open ? m_open : m_idle;
    return drive && drive->IsReady();
}

bool kyDskReader::ToggleTray() {
    kyDskReaderMode* drive = m_open ? m_open : m_idle;
    if (!drive) return false;
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

void kyDskReader::SetReadMode(uint32_t mode) {
    m_jitterCorrection = mode != KY_READ_BURST;
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

kyError kyDskReader::openForReading() {
    if (!m_open) return kyFailed(m_constructionResult) ? m_constructionResult : KYERR_SEQUENCE;
    if (!m_downstream) return KYERR_SEQUENCE;

    // A drive that claims less than a sector per transfer still reads one at a time.
    m_chunk = std::max<uint32_t>(m_largestTransfer / KY_SECTOR_BYTES, 1);
    // With jitter correction a read is the chunk's new sectors plus the back-read.
    const uint32_t target =
        m_jitterCorrection ? std::max(m_chunk, kBackSectors + 1) - kBackSectors : m_chunk;
    m_bufferSectors = m_jitterCorrection ? target + kBackSectors : target;
    try {
        m_stash.assign(
            m_jitterCorrection ? static_cast<size_t>(m_bufferSectors) * KY_SECTOR_BYTES : 0, 0);
        m_agreedBy.assign(m_verify ? m_bufferSectors : 0, 0);
        for (uint32_t i = 0; i < kPasses; ++i) {
            std::vector<uint8_t>().swap(m_buffers[i]);
            if (i == 0 || m_verify)
                m_buffers[i].resize(static_cast<size_t>(m_bufferSectors) * KY_SECTOR_BYTES);
        }
    } catch (const std::bad_alloc&) {
        for (auto& b : m_buffers) std::vector<uint8_t>().swap(b);
        return KYERR_OUT_OF_MEMORY;
    }

    m_open->StopAudio();
    m_open->SetReadSpeed(m_speed);

    m_current = m_rangeStart + m_seekOffset;
    m_havePrevious = false;
    m_streamValid = false;
    m_firstRead = true;
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

kyError kyDskReader::readWithRetries(uint8_t* buffer, uint32_t lba, uint32_t sectors) {
    // Never ask the drive for more than it transfers at once.
    while (sectors > 0) {
        const uint32_t n = std::min(sectors, m_chunk);
        kyError e = KYERR_READ_FILE;
        for (uint32_t attempt = 0; attempt < kReadAttempts; ++attempt) {
            e = m_open->ReadAudio(buffer, lba, n);
            if (kySucceeded(e) || e != KYERR_READ_FILE) break;
            if (m_firstRead)
                pause(kSpinUpPause);
            else
                std::this_thread::yield();
        }
        if (kyFailed(e)) return e;
        buffer += static_cast<size_t>(n) * KY_SECTOR_BYTES;
        lba += n;
        sectors -= n;
    }
    return KY_OK;
}

kyError kyDskReader::readSectors(uint8_t* buffer, uint32_t position, uint32_t& count, bool smooth,
                                 bool stream, bool anchorless) {
    // What this chunk may deliver: nothing at or past the range end.
    const uint32_t limit = m_rangeEnd - position;
    if (stream) {
        // Picks up where the drive's previous read ended, which is where the data already
        // delivered ended: no seek, so nothing to realign.
        kyError e = readWithRetries(buffer, m_streamLba, count);
        if (kyFailed(e)) return e;
        count = std::min(count, limit);
        return KY_OK;
    }

    // Only a sector delivered in this run can anchor the realignment.
    const uint32_t back = (m_jitterCorrection && m_havePrevious && !anchorless)
                              ? std::min(position - m_rangeStart, kBackSectors)
                              : 0;
    const uint32_t total = count + back;
    if (back == 0) {
        kyError e = readWithRetries(buffer, position, total);
        if (kyFailed(e)) return e;
        count = std::min(count, limit);
        return KY_OK;
    }

    Match match;
    bool stashed = false;
    for (uint32_t reread = 0;; ++reread) {
        kyError e = readWithRetries(buffer, position - back, total);
        if (kyFailed(e)) return e;
        match = realign(buffer, back, total, limit);
        if (reread >= kRealignRereads) break;
        if (match.score != 0) continue; // read again: this one does not follow on
        if (!match.ambiguous) break;
        // The last sector delivered is found at several places with different data after
        // them (digital silence, a loop): which one is right only shows when two reads
        // land alike.
        const size_t bytes = static_cast<size_t>(match.sectors) * KY_SECTOR_BYTES;
        const uint8_t* data = buffer + static_cast<size_t>(match.p + 1) * KY_SECTOR_BYTES;
        if (stashed && m_stashSectors == match.sectors &&
            std::memcmp(m_stash.data(), data, bytes) == 0)
            break;
        std::memcpy(m_stash.data(), data, bytes);
        m_stashSectors = match.sectors;
        stashed = true;
    }

    // Everything after the match follows the last sector delivered: it is `position`.
    const uint32_t drop = static_cast<uint32_t>(match.p) + 1;
    count = std::min(total - drop, limit);
    std::memmove(buffer, buffer + static_cast<size_t>(drop) * KY_SECTOR_BYTES,
                 static_cast<size_t>(count) * KY_SECTOR_BYTES);
    if (smooth && match.score > kSmoothAbove) {
        const int32_t prev[2] = {sampleAt(m_previous, kSamplesPerSector - 2),
                                 sampleAt(m_previous, kSamplesPerSector - 1)};
        for (uint32_t ch = 0; ch < 2; ++ch) {
            const int32_t p = prev[ch];
            const int32_t f0 = sampleAt(buffer, 0 + ch);
            const int32_t f1 = sampleAt(buffer, 2 + ch);
            const int32_t f2 = sampleAt(buffer, 4 + ch);
            setSample(buffer, 0 + ch, static_cast<int16_t>((3 * p + f0) / 4));
            setSample(buffer, 2 + ch, static_cast<int16_t>((f1 + p) / 2));
            setSample(buffer, 4 + ch, static_cast<int16_t>((p + 3 * f2) / 4));
        }
    }
    return KY_OK;
}

kyDskReader::Match kyDskReader::realign(const uint8_t* buffer, uint32_t back, uint32_t total,
                                        uint32_t limit) const {
    // Where does the last sector delivered sit in the new data? p = back - 1 + d.
    auto at = [&](int32_t p) { return buffer + static_cast<size_t>(p) * KY_SECTOR_BYTES; };
    Match best;
    size_t bestIndex = 0;
    for (size_t i = 0; i < std::size(kRealignOrder); ++i) {
        const int32_t p = static_cast<int32_t>(back) - 1 + kRealignOrder[i];
        // Positions before the buffer, or with nothing after them, are no candidates.
        if (p < 0 || static_cast<uint32_t>(p) + 1 >= total) continue;
        const int64_t score = sectorDistance(m_previous, at(p), best.p < 0 ? -1 : best.score);
        if (best.p < 0 || score < best.score) {
            best.p = p;
            best.score = score;
            bestIndex = i;
        }
        if (score == 0) break;
    }
    best.sectors = std::min(total - static_cast<uint32_t>(best.p) - 1, limit);
    if (best.score != 0) return best;

    // Another exact match further on that would deliver different data makes this one
    // a guess.
    for (size_t i = bestIndex + 1; i < std::size(kRealignOrder) && !best.ambiguous; ++i) {
        const int32_t p = static_cast<int32_t>(back) - 1 + kRealignOrder[i];
        if (p < 0 || static_cast<uint32_t>(p) + 1 >= total) continue;
        if (std::memcmp(m_previous, at(p), KY_SECTOR_BYTES) != 0) continue;
        const uint32_t other = std::min(total - static_cast<uint32_t>(p) - 1, limit);
        best.ambiguous =
            other != best.sectors || std::memcmp(at(best.p + 1), at(p + 1),
                                                 static_cast<size_t>(other) * KY_SECTOR_BYTES) != 0;
    }
    return best;
}

kyError kyDskReader::readChunk(Chunk& chunk) {
    chunk = Chunk{};
    if (m_current >= m_rangeEnd) return KY_OK;
    const uint32_t target = m_jitterCorrection ? m_bufferSectors - kBackSectors : m_bufferSectors;
    const uint32_t count = std::min(target, m_rangeEnd - m_current);
    // Digital silence looks the same wherever the drive lands, so it cannot anchor a
    // realignment. After it a single read goes on from where the drive stopped instead of
    // seeking back; repeated reads (which must seek) rely on their agreement alone.
    const bool anchorless = m_jitterCorrection && m_havePrevious && isFeatureless(m_previous);
    const bool stream = anchorless && m_streamValid && !m_verify;
    const uint32_t end = (stream ? m_streamLba : m_current) + count;

    m_open->LockMedium(true);
    kyError e = KY_OK;
    if (!m_verify) {
        uint32_t n = count;
        e = readSectors(m_buffers[0].data(), m_current, n, true, stream, false);
        m_firstRead = false;
        if (kySucceeded(e)) chunk = Chunk{m_buffers[0].data(), n};
    } else {
        e = readVerified(count, anchorless, chunk);
    }
    m_open->LockMedium(false);
    if (kyFailed(e)) {
        chunk = Chunk{};
        return e;
    }

    // Every read of this chunk ended at `end`; the data delivered ends with the last of them.
    m_streamLba = end;
    m_streamValid = true;
    if (m_jitterCorrection && chunk.sectors > 0) {
        std::memcpy(m_previous,
                    chunk.data + static_cast<size_t>(chunk.sectors - 1) * KY_SECTOR_BYTES,
                    KY_SECTOR_BYTES);
        m_havePrevious = true;
    }
    return KY_OK;
}

kyError kyDskReader::readVerified(uint32_t count, bool anchorless, Chunk& chunk) {
    // Each sector is taken from the first two reads that agree on it; reading stops when
    // every sector has such a pair, after eight reads at most. Reads that were not
    // realigned (the first chunk of a range, or after digital silence) must agree over the
    // whole chunk instead: two reads that landed differently still agree on the silent
    // sectors they both show.
    const bool wholeChunk = anchorless || !m_jitterCorrection || !m_havePrevious;
    constexpr uint8_t kOpen = 0xFF;
    std::fill(m_agreedBy.begin(), m_agreedBy.end(), kOpen);
    auto sector = [&](uint32_t pass, uint32_t s) {
        return m_buffers[pass].data() + static_cast<size_t>(s) * KY_SECTOR_BYTES;
    };
    uint32_t n = 0; // sectors every read so far holds
    // Confirms what read i confirms of sectors 0..n-1; true when all are confirmed.
    auto agreeSectors = [&](uint32_t i) {
        bool all = true;
        for (uint32_t s = 0; s < n; ++s) {
            for (uint32_t j = 0; j < i && m_agreedBy[s] == kOpen; ++j)
                if (std::memcmp(sector(j, s), sector(i, s), KY_SECTOR_BYTES) == 0)
                    m_agreedBy[s] = static_cast<uint8_t>(i);
            if (m_agreedBy[s] == kOpen) all = false;
        }
        return all;
    };
    uint32_t passes = 0;
    bool settled = false;
    for (uint32_t i = 0; i < kPasses && !settled; ++i) {
        uint32_t got = count;
        // Smoothing would make reads differ from the disc, and two reads smoothed alike
        // would confirm samples that were never on it.
        kyError e = readSectors(m_buffers[i].data(), m_current, got, false, false, anchorless);
        m_firstRead = false;
        if (kyFailed(e)) return e;
        passes = i + 1;
        n = i == 0 ? got : std::min(n, got);
        if (i == 0) continue;
        if (!wholeChunk) {
            settled = agreeSectors(i);
            continue;
        }
        for (uint32_t j = 0; j < i && !settled; ++j)
            if (std::memcmp(sector(j, 0), sector(i, 0), static_cast<size_t>(n) * KY_SECTOR_BYTES) ==
                0) {
                std::fill(m_agreedBy.begin(), m_agreedBy.begin() + n, static_cast<uint8_t>(i));
                settled = true;
            }
    }
    if (wholeChunk && !settled)
        for (uint32_t i = 1; i < passes; ++i) agreeSectors(i);

    // The result goes to buffer 0: agreed sectors from the read that confirmed them. A
    // sector no two reads agree on (after eight reads) is pieced together sample by
    // sample the same way, and a sample no two reads agree on is the average of all
    // reads, truncated toward zero.
    for (uint32_t s = 0; s < n; ++s) {
        if (m_agreedBy[s] != kOpen) {
            if (m_agreedBy[s] != 0)
                std::memcpy(sector(0, s), sector(m_agreedBy[s], s), KY_SECTOR_BYTES);
            continue;
        }
        for (uint32_t k = 0; k < kSamplesPerSector; ++k) {
            int16_t v[kPasses];
            int32_t sum = 0;
            for (uint32_t i = 0; i < passes; ++i) {
                v[i] = sampleAt(sector(i, s), k);
                sum += v[i];
            }
            int32_t value = static_cast<int32_t>(static_cast<float>(sum) * 0.125f);
            bool agreed = false;
            for (uint32_t i = 1; i < passes && !agreed; ++i)
                for (uint32_t j = 0; j < i && !agreed; ++j)
                    if (v[i] == v[j]) {
                        value = v[i];
                        agreed = true;
                    }
            setSample(sector(0, s), k, static_cast<int16_t>(std::clamp(value, -32768, 32767)));
        }
    }
    chunk = Chunk{m_buffers[0].data(), n};
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
    kyError e = readChunk(chunk);
    if (kyFailed(e)) return e;
    if (chunk.sectors == 0) return m_downstream->EndOfStream();

    for (uint32_t i = 0; i < chunk.sectors && m_current < m_rangeEnd; ++i) {
        updateTrack(m_current);
        uint8_t* sector = chunk.data + static_cast<size_t>(i) * KY_SECTOR_BYTES;
        float** planes = m_planes.planes();
        e = InterleavedToPlanar(planes, sector, 2, 0, KY_SECTOR_FRAMES, "PCM 16-bit", false, false);
        if (kyFailed(e)) return e;
        if (m_track <= 99 && m_toc.entries[m_track].preEmphasis) {
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
    if (channels != 2 || RangeHasPreEmphasis()) return nullptr;
    return "PCM 16-bit";
}

kyError kyDskReader::RunInterleaved() {
    kyError e = openForReading();
    if (kyFailed(e)) return e;
    for (;;) {
        Chunk chunk;
        e = readChunk(chunk);
        if (kyFailed(e)) return e;
        if (chunk.sectors == 0) break;
        for (uint32_t i = 0; i < chunk.sectors && m_current < m_rangeEnd; ++i) {
            if (!m_downstream) return KYERR_SEQUENCE;
            e = m_downstream->WriteInterleaved(chunk.data +
                                                   static_cast<size_t>(i) * KY_SECTOR_BYTES,
                                               KY_SECTOR_BYTES, KY_SECTOR_FRAMES);
            if (kyFailed(e)) return e;
            ++m_current;
        }
    }
    return KY_OK;
}
