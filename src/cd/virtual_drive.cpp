// The MMC device emulator behind virtual drives, and the process-wide list of them.
#include "cd/virtual_drive.h"
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

constexpr uint32_t kSectorBytes = 2352;
constexpr int64_t kSectorFrames = 588;
constexpr double kBytesPerSpeed = 176400.0; // one times CD speed
constexpr uint16_t kFullSpeedKBs = 8467;    // what an unthrottled drive claims: 48x
// A throttled drive reads on ahead into a buffer this large while the host is busy.
constexpr double kReadAheadBytes = 1024.0 * 1024.0;

uint32_t BigEndian(const uint8_t* p, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
    return v;
}

void PutBigEndian16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

// Copies an answer into the caller's buffer, no more than it allotted nor has room for.
bool Deliver(const uint8_t* answer, size_t answerBytes, uint32_t allocation, void* data,
             uint32_t dataBytes, bool dataIn) {
    if (!dataIn || !data) return false;
    const size_t n = std::min<size_t>({answerBytes, allocation, dataBytes});
    std::memcpy(data, answer, n);
    return true;
}

} // namespace

struct kyVirtualDevice::State {
    uint64_t rng = 0;
    uint32_t reads = 0;   // READ CD commands since the drive was opened
    int64_t lastEnd = -1; // where the previous read ended; -1 = the head must seek
    int32_t offset = 0;   // how far the head is off while it streams
    int64_t head = 0;     // the sector under the head, for READ SUB-CHANNEL's position
    std::vector<uint32_t> badLeft;
    std::chrono::steady_clock::time_point nextFree{};

    uint64_t Next() { // splitmix64: the same sequence on every platform
        uint64_t z = (rng += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    bool Chance(double p) {
        if (p <= 0) return false;
        return double(Next() >> 11) * (1.0 / 9007199254740992.0) < p;
    }
    // Uniform over lo..hi without 0.
    int32_t NonZero(int32_t lo, int32_t hi) {
        const bool spansZero = lo <= 0 && hi >= 0;
        const uint64_t count = uint64_t(int64_t(hi) - lo + 1) - (spansZero ? 1 : 0);
        int32_t v = lo + int32_t(Next() % count);
        if (spansZero && v >= 0) ++v;
        return v;
    }
};

kyVirtualDevice::kyVirtualDevice(std::shared_ptr<kyDiscImage> image, kyFaultSpec faults,
                                 uint32_t index)
    : m_image(std::move(image)), m_faults(std::move(faults)), m_index(index),
      m_state(std::make_unique<State>()) {
    m_state->rng = m_faults.seed;
    Opened();
}

kyVirtualDevice::~kyVirtualDevice() = default;

void kyVirtualDevice::Opened() {
    // The head position, the settling and the spin-up start over; the fault generator runs
    // on, so that a drive that failed to open can be opened again.
    State& s = *m_state;
    s.reads = 0;
    s.lastEnd = -1;
    s.offset = 0;
    s.head = 0;
    s.nextFree = {};
    s.badLeft.clear();
    for (const kyFaultSpec::Bad& b : m_faults.bad) s.badLeft.push_back(b.count);
}

bool kyVirtualDevice::Execute(const uint8_t* cdb, uint8_t cdbLength, void* data, uint32_t dataBytes,
                              bool dataIn, bool inject) {
    if (!cdb || cdbLength == 0 || cdbLength > 16) return false;
    m_log.emplace_back(cdb, cdb + cdbLength);
    State& s = *m_state;
    if (inject && s.Chance(m_faults.errorProbability)) return false;
    const bool ready = m_image && !m_trayOpen;
    auto need = [&](uint8_t bytes) { return cdbLength >= bytes; };

    switch (cdb[0]) {
    case 0x00: // TEST UNIT READY
        return ready;
    case 0x12: { // INQUIRY
        if (!need(6)) return false;
        uint8_t answer[36] = {0x05, 0x80, 0x05, 0x02, 31};
        std::memcpy(answer + 8, "Velmora Virtual CD-ROM  1.0 ", 28);
        return Deliver(answer, sizeof answer, cdb[4], data, dataBytes, dataIn);
    }
    case 0x1E: // PREVENT ALLOW MEDIUM REMOVAL
        if (!need(6)) return false;
        m_locked = (cdb[4] & 1) != 0;
        return true;
    case 0x1B: // START STOP UNIT
        if (!need(6)) return false;
        if (cdb[4] & 2) {
            if (cdb[4] & 1) {
                m_trayOpen = false;
            } else {
                if (m_locked) return false; // medium removal prevented
                m_trayOpen = true;
            }
            s.lastEnd = -1;
            return true;
        }
        return ready;
    case 0x43: { // READ TOC
        if (!need(10) || !ready || !dataIn || !data) return false;
        const uint32_t allocation = std::min(BigEndian(cdb + 7, 2), dataBytes);
        const uint8_t format = cdb[2] & 0x0F;
        if (format == 0)
            m_image->PlainTocAnswer(static_cast<uint8_t*>(data), allocation, (cdb[1] & 2) != 0);
        else if (format == 2)
            m_image->FullTocAnswer(static_cast<uint8_t*>(data), allocation);
        else if (format == 5)
            m_image->CdTextAnswer(static_cast<uint8_t*>(data), allocation);
        else
            return false;
        return true;
    }
    case 0x5A: { // MODE SENSE(10)
        if (!need(10) || (cdb[2] & 0x3F) != 0x2A) return false;
        uint8_t answer[8 + 28] = {};
        PutBigEndian16(answer, sizeof answer - 2);
        uint8_t* page = answer + 8;
        page[0] = 0x2A;
        page[1] = 26;
        page[2] = 0x03; // reads CD-R and CD-RW
        page[4] = 0x71; // audio play, composite, digital ports, multi-session
        page[5] = 0x63; // CD-DA commands, accurate stream, ISRC and UPC
        page[6] = 0x29; // lock, eject, tray loader
        const uint32_t maxKBs =
            m_faults.speed > 0 ? uint32_t(std::lround(std::min(m_faults.speed * 176.4, 65535.0)))
                               : kFullSpeedKBs;
        PutBigEndian16(page + 8, maxKBs);
        PutBigEndian16(page + 10, 256);
        PutBigEndian16(page + 12, 2048);
        PutBigEndian16(page + 14, std::min<uint32_t>(maxKBs, m_requestedSpeed));
        return Deliver(answer, sizeof answer, BigEndian(cdb + 7, 2), data, dataBytes, dataIn);
    }
    case 0x4E: // STOP PLAY/SCAN
        return ready;
    case 0x2B: { // SEEK(10)
        if (!need(10) || !ready) return false;
        const uint32_t lba = BigEndian(cdb + 2, 4);
        if (lba >= m_image->LeadOut()) return false;
        s.head = lba;
        s.lastEnd = -1;
        return true;
    }
    case 0xBB: // SET CD SPEED
        if (!need(12)) return false;
        m_requestedSpeed = uint16_t(BigEndian(cdb + 2, 2));
        return true;
    case 0xBE:
        return need(12) && ready && ReadCd(cdb, data, dataBytes, dataIn);
    case 0x42:
        return need(10) && ready && ReadSubChannel(cdb, data, dataBytes, dataIn);
    default:
        return false; // invalid command operation code
    }
}

bool kyVirtualDevice::ReadCd(const uint8_t* cdb, void* data, uint32_t dataBytes, bool dataIn) {
    State& s = *m_state;
    const int32_t lba = int32_t(BigEndian(cdb + 2, 4));
    const uint32_t count = BigEndian(cdb + 6, 3);
    const uint8_t sectorType = (cdb[1] >> 2) & 7;
    // The 2352 bytes of user data, the 16 bytes of formatted Q after each sector, or both.
    const bool userData = (cdb[9] & 0x10) != 0;
    const bool subQ = cdb[10] == 2;
    if (!dataIn || !data || (cdb[9] & ~0xF8) || (cdb[10] != 0 && !subQ) || lba < 0) return false;
    if (!userData && (!subQ || cdb[9] != 0)) return false;
    if (subQ && !m_faults.subQ) return false;
    const uint32_t stride = (userData ? kSectorBytes : 0) + (subQ ? 16 : 0);
    if (count == 0) return true;
    if (uint64_t(count) * stride > dataBytes) return false;
    const uint64_t end = uint64_t(lba) + count;
    if (end > m_image->LeadOut()) return false;
    if (sectorType == 1) { // CD-DA expected: a data sector in the range is an error
        const auto& tracks = m_image->Tracks();
        for (size_t i = 0; i < tracks.size(); ++i) {
            if (!tracks[i].IsData()) continue;
            const uint64_t from = tracks[i].pregapStart;
            const uint64_t to =
                i + 1 < tracks.size() ? tracks[i + 1].pregapStart : m_image->LeadOut();
            if (uint64_t(lba) < to && end > from) return false;
        }
    } else if (sectorType != 0) {
        return false;
    }

    const bool settled = s.reads < m_faults.settle;
    const bool streaming = int64_t(lba) == s.lastEnd;
    ++s.reads;
    bool failed = false;
    for (size_t i = 0; i < m_faults.bad.size(); ++i) {
        const uint32_t at = m_faults.bad[i].lba;
        if (at >= uint32_t(lba) && at < end && s.badLeft[i] > 0) {
            --s.badLeft[i];
            failed = true;
        }
    }
    if (failed) {
        s.lastEnd = -1;
        return false;
    }
    if (lba != s.lastEnd) {
        s.offset = 0;
        if (!settled && s.Chance(m_faults.seekProbability))
            s.offset = s.NonZero(m_faults.seekLow, m_faults.seekHigh);
    }
    // Sub-channel reads assemble the sectors aside and interleave the Q after each.
    std::vector<uint8_t> aside;
    if (subQ) aside.resize(size_t(count) * kSectorBytes);
    uint8_t* out = subQ ? aside.data() : static_cast<uint8_t*>(data);
    // What was asked for must be recorded on the disc, wherever the head then lands.
    if (!m_image->ReadSectors(uint32_t(lba), count, out)) {
        s.lastEnd = -1;
        return false;
    }
    const int64_t from = int64_t(lba) + s.offset;
    // Sectors from `first` on, those outside what is recorded as silence.
    auto fill = [&](int64_t first, uint32_t n, uint8_t* to) {
        if (first >= 0 && m_image->ReadSectors(uint32_t(first), n, to)) return;
        for (uint32_t i = 0; i < n; ++i) {
            uint8_t* sector = to + size_t(i) * kSectorBytes;
            if (first + i < 0 || !m_image->ReadSectors(uint32_t(first + i), 1, sector))
                std::memset(sector, 0, kSectorBytes);
        }
    };
    if (m_faults.readOffset != 0) {
        // The samples that begin readOffset samples before the place the head is at.
        const int64_t firstSample = from * kSectorFrames - m_faults.readOffset;
        const int64_t sector = firstSample >= 0
                                   ? firstSample / kSectorFrames
                                   : -((-firstSample + kSectorFrames - 1) / kSectorFrames);
        const size_t skip = size_t(firstSample - sector * kSectorFrames) * 4;
        std::vector<uint8_t> span(size_t(count + 1) * kSectorBytes);
        fill(sector, count + 1, span.data());
        std::memcpy(out, span.data() + skip, size_t(count) * kSectorBytes);
    } else if (s.offset != 0) {
        // The head landed partly outside what is recorded: those sectors read as silence.
        fill(from, count, out);
    }
    if (!settled) {
        for (const kyFaultSpec::Scratch& scratch : m_faults.scratch) {
            for (uint32_t i = 0; i < count; ++i) {
                const int64_t at = from + i;
                if (at < scratch.first || at > scratch.last || !s.Chance(scratch.probability))
                    continue;
                // A burst of wrong samples somewhere in the sector, different every time.
                int16_t* samples = reinterpret_cast<int16_t*>(out + size_t(i) * kSectorBytes);
                const uint32_t first = uint32_t(s.Next() % (kSectorBytes / 2));
                const uint32_t length = 1 + uint32_t(s.Next() % 64);
                for (uint32_t k = first; k < first + length && k < kSectorBytes / 2; ++k) {
                    int16_t wrong = int16_t(s.Next());
                    if (wrong == samples[k]) wrong = int16_t(wrong ^ 0x5555);
                    samples[k] = wrong;
                }
            }
        }
    }
    s.lastEnd = int64_t(end);
    s.head = from + count - 1;
    if (subQ) {
        // Q comes from where the head really is. Like a real drive, now and then a sector
        // carries the catalogue number or the track's ISRC instead of its position.
        uint8_t* to = static_cast<uint8_t*>(data);
        // A drive may deliver the Q of another sector than the one whose audio it delivers.
        int32_t qShift = 0;
        if (userData && s.Chance(m_faults.qShiftProbability))
            qShift = s.NonZero(m_faults.qShiftLow, m_faults.qShiftHigh);
        for (uint32_t i = 0; i < count; ++i, to += stride) {
            if (userData) std::memcpy(to, out + size_t(i) * kSectorBytes, kSectorBytes);
            const int64_t at = from + i + qShift;
            kySubQ q = m_image->SubQ(at);
            const kyDiscTrack* track = q.track <= 99 ? m_image->Track(q.track) : nullptr;
            // Never on the first sector of a pregap or index: the position such a frame
            // stands in for is the one of the sector before.
            const kySubQ before = m_image->SubQ(at - 1);
            const bool continues = at >= 0 && before.track == q.track && before.index == q.index;
            if (continues && at % 100 == 37 && !m_image->Mcn().empty()) {
                q.adr = 2;
                q.text = m_image->Mcn();
            } else if (continues && at % 100 == 71 && track && !track->isrc.empty() &&
                       !track->IsData()) {
                q.adr = 3;
                q.text = track->isrc;
            }
            uint8_t* frame = to + (userData ? kSectorBytes : 0);
            kyEncodeSubQ(q, frame);
            if (userData && s.Chance(m_faults.qCrcProbability)) frame[11] ^= 0x5A;
        }
    }

    if (m_faults.speed > 0) {
        using namespace std::chrono;
        const auto busy = duration_cast<steady_clock::duration>(
            duration<double>(double(count) * kSectorBytes / (m_faults.speed * kBytesPerSpeed)));
        // The disc turns on while the host works on what it got or is late to ask again: a
        // read that continues the previous one was read ahead into the buffer, so it is due
        // `busy` after that one, as long as the host is not more than a buffer behind (the
        // drive then pauses). After a seek the read starts now.
        const auto ahead = duration_cast<steady_clock::duration>(
            duration<double>(kReadAheadBytes / (m_faults.speed * kBytesPerSpeed)));
        const auto now = steady_clock::now();
        s.nextFree =
            (streaming ? std::max(now - ahead, s.nextFree) : std::max(now, s.nextFree)) + busy;
        std::this_thread::sleep_until(s.nextFree);
    }
    return true;
}

bool kyVirtualDevice::ReadSubChannel(const uint8_t* cdb, void* data, uint32_t dataBytes,
                                     bool dataIn) {
    State& s = *m_state;
    uint8_t answer[24] = {};
    answer[1] = 0x15; // no current audio status
    const uint8_t format = cdb[3];
    size_t size = 4;
    if (cdb[2] & 0x40) {
        PutBigEndian16(answer + 2, 20);
        answer[4] = format;
        size = sizeof answer;
        if (format == 2) {
            if (!m_image->Mcn().empty()) {
                answer[8] = 0x80;
                std::memcpy(answer + 9, m_image->Mcn().data(),
                            std::min<size_t>(13, m_image->Mcn().size()));
            }
        } else if (format == 3) {
            const kyDiscTrack* t = m_image->Track(cdb[6]);
            if (!t) return false;
            answer[5] = uint8_t(0x10 | t->control);
            answer[6] = uint8_t(t->number);
            if (!t->isrc.empty()) {
                answer[8] = 0x80;
                std::memcpy(answer + 9, t->isrc.data(), std::min<size_t>(12, t->isrc.size()));
            }
        } else if (format == 1) {
            // The current position: the last sector read or sought.
            const kySubQ q = m_image->SubQ(s.head);
            const bool msf = (cdb[1] & 2) != 0;
            answer[5] = uint8_t(q.adr << 4 | q.control);
            answer[6] = uint8_t(q.track);
            answer[7] = uint8_t(q.index);
            auto address = [&](uint8_t* p, int64_t value, bool absolute) {
                if (msf) {
                    const uint32_t x = uint32_t(std::max<int64_t>(
                        0, absolute ? value + 150 : (value < 0 ? -value : value)));
                    p[1] = uint8_t(std::min<uint32_t>(x / 4500, 255));
                    p[2] = uint8_t(x / 75 % 60);
                    p[3] = uint8_t(x % 75);
                } else {
                    const uint32_t v = uint32_t(int32_t(value));
                    p[0] = uint8_t(v >> 24);
                    p[1] = uint8_t(v >> 16);
                    p[2] = uint8_t(v >> 8);
                    p[3] = uint8_t(v);
                }
            };
            address(answer + 8, q.absolute, true);
            address(answer + 12, q.relative, false);
            size = 16;
            PutBigEndian16(answer + 2, 12);
        } else {
            return false;
        }
    }
    return Deliver(answer, size, BigEndian(cdb + 7, 2), data, dataBytes, dataIn);
}

namespace {

std::mutex& ListLock() {
    static std::mutex m;
    return m;
}

std::vector<std::shared_ptr<kyVirtualDevice>>& List() {
    static std::vector<std::shared_ptr<kyVirtualDevice>> list;
    return list;
}

class VirtualTransport : public kyScsiTransport {
public:
    VirtualTransport(std::shared_ptr<kyVirtualDevice> d, bool inject)
        : m_device(std::move(d)), m_inject(inject) {}
    bool Execute(const uint8_t* cdb, uint8_t cdbLength, void* data, uint32_t dataBytes, bool dataIn,
                 uint32_t) override {
        return m_device->Execute(cdb, cdbLength, data, dataBytes, dataIn, m_inject);
    }

private:
    std::shared_ptr<kyVirtualDevice> m_device;
    bool m_inject;
};

} // namespace

int kyAddVirtualDrive(std::shared_ptr<kyDiscImage> image, const std::string& faultSpec,
                      std::string& error) {
    kyFaultSpec faults;
    if (!kyFaultSpec::Parse(faultSpec, faults, error)) return -1;
    std::lock_guard<std::mutex> lock(ListLock());
    const uint32_t index = uint32_t(List().size());
    List().push_back(std::make_shared<kyVirtualDevice>(std::move(image), std::move(faults), index));
    return int(index);
}

void kyClearVirtualDrives() {
    std::lock_guard<std::mutex> lock(ListLock());
    List().clear();
}

uint32_t kyVirtualDriveCount() {
    std::lock_guard<std::mutex> lock(ListLock());
    return uint32_t(List().size());
}

std::shared_ptr<kyVirtualDevice> kyVirtualDriveDevice(uint32_t index) {
    std::lock_guard<std::mutex> lock(ListLock());
    return index < List().size() ? List()[index] : nullptr;
}

std::unique_ptr<kyScsiTransport> kyOpenVirtualTransport(uint32_t index, bool open) {
    std::shared_ptr<kyVirtualDevice> device = kyVirtualDriveDevice(index);
    if (!device) return nullptr;
    if (open) device->Opened();
    return std::make_unique<VirtualTransport>(std::move(device), open);
}
