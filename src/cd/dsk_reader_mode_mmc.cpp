#include "cd/dsk_reader_mode_mmc.h"
#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Commands that may have to wait for the disc to spin up get far longer than the rest.
constexpr uint32_t kCommandTimeoutMs = 2000;
constexpr uint32_t kSpinUpTimeoutMs = 20000;
constexpr uint32_t kMaxTransfer = 65536;

uint32_t TimeoutFor(uint8_t opcode) {
    return (opcode == 0xBE || opcode == 0x43) ? kSpinUpTimeoutMs : kCommandTimeoutMs;
}

void Put16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

// READ CD of `n` CD-DA sectors from `lba` with their user data, and the sub-channel
// selection `subChannel` (0 none, 2 formatted Q).
void ReadCdAudio(uint8_t cdb[12], uint32_t lba, uint32_t n, uint8_t subChannel) {
    const uint8_t block[12] = {0xBE,
                               0x04,
                               uint8_t(lba >> 24),
                               uint8_t(lba >> 16),
                               uint8_t(lba >> 8),
                               uint8_t(lba),
                               uint8_t(n >> 16),
                               uint8_t(n >> 8),
                               uint8_t(n),
                               0x10,
                               subChannel,
                               0};
    std::memcpy(cdb, block, sizeof block);
}

} // namespace

kyDskReaderModeMmc::~kyDskReaderModeMmc() {
    Close();
}

const kyDriveRecord* kyDskReaderModeMmc::DriveRecord(uint32_t localNumber) {
    return localNumber < m_drives.size() ? &m_drives[localNumber] : nullptr;
}

uint16_t kyDskReaderModeMmc::SpeedToKBs(uint8_t speedFactor) {
    if (speedFactor == 255) return 0xFFFF;
    return uint16_t(uint32_t(speedFactor * 176.5));
}

uint32_t kyDskReaderModeMmc::KBsToSpeedFactor(uint32_t kbs) {
    return uint32_t(kbs * (1 / 176.5) + 0.5);
}

std::string kyDskReaderModeMmc::InquiryName(const uint8_t* inquiry, size_t bytes) {
    std::string name;
    if (!inquiry || bytes < 32) return name;
    for (size_t i = 8; i < 32; ++i) {
        // The name ends up in UTF-8 text: anything but printable ASCII becomes a blank.
        const uint8_t c = inquiry[i];
        name += (c >= 0x20 && c < 0x7F) ? char(c) : ' ';
    }
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return name;
}

std::optional<std::string> kyDskReaderModeMmc::SubChannelText(const uint8_t* answer, size_t chars) {
    if (!answer || !(answer[8] & 0x80)) return std::nullopt;
    std::string text;
    for (size_t i = 0; i < chars && 9 + i < 24; ++i) {
        const uint8_t c = answer[9 + i];
        if (c < 0x20 || c >= 0x7F) break;
        text += char(c);
    }
    return text;
}

std::string kyDskReaderModeMmc::Inquire(kyScsiTransport& transport, uint8_t* peripheralType) {
    uint8_t cdb[6] = {0x12, 0, 0, 0, 36, 0};
    uint8_t answer[36] = {};
    if (!transport.Execute(cdb, sizeof cdb, answer, sizeof answer, true, kCommandTimeoutMs))
        return {};
    if (peripheralType) *peripheralType = answer[0];
    return InquiryName(answer, sizeof answer);
}

bool kyDskReaderModeMmc::Command(const uint8_t* cdb, uint8_t length, void* data, uint32_t bytes) {
    if (!m_transport) return false;
    return m_transport->Execute(cdb, length, data, bytes, data != nullptr, TimeoutFor(cdb[0]));
}

bool kyDskReaderModeMmc::Open(uint32_t localNumber, uint8_t* plainToc, bool& fullTocValid,
                              uint8_t* fullToc, uint32_t& largestTransfer, uint32_t& maxSpeed) {
    Close();
    fullTocValid = false;
    maxSpeed = 0;
    if (localNumber >= m_drives.size() || !plainToc || !fullToc) return false;
    const kyDriveRecord& drive = m_drives[localNumber];
    m_largest =
        std::min(kMaxTransfer, drive.largestTransfer ? drive.largestTransfer : kMaxTransfer);
    m_largest = std::max(m_largest, KY_SECTOR_BYTES);
    m_mask = 1;
    while (m_mask < drive.alignmentMask) m_mask = m_mask * 2 + 1;
    m_transport = OpenTransport(localNumber);
    if (!m_transport) return false;
    m_readCdQWorks = false;
    m_readCdQRefusals = 0;
    m_audioQWorks = false;
    m_audioQRefusals = 0;
    m_bounceStorage.assign(m_largest + m_mask, 0);
    m_bounce = m_bounceStorage.data();
    m_bounce += (m_mask + 1 - (reinterpret_cast<uintptr_t>(m_bounce) & m_mask)) & m_mask;

    const uint8_t testUnitReady[6] = {};
    Command(testUnitReady, sizeof testUnitReady); // wakes the drive; the answer does not matter

    uint8_t readToc[10] = {0x43, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    Put16(readToc + 7, KY_PLAIN_TOC_BYTES);
    std::memset(plainToc, 0, KY_PLAIN_TOC_BYTES);
    // Without a readable disc the drive stays attached, so that its tray can still be
    // closed and its readiness asked; the next Open or Close lets it go.
    if (!Command(readToc, sizeof readToc, plainToc, KY_PLAIN_TOC_BYTES)) return false;
    readToc[2] = 2;
    Put16(readToc + 7, KY_FULL_TOC_BYTES);
    std::memset(fullToc, 0, KY_FULL_TOC_BYTES);
    fullTocValid = Command(readToc, sizeof readToc, fullToc, KY_FULL_TOC_BYTES);

    uint8_t modeSense[10] = {0x5A, 0x08, 0x2A, 0, 0, 0, 0, 0, 32, 0};
    uint8_t capabilities[32] = {};
    if (Command(modeSense, sizeof modeSense, capabilities, sizeof capabilities))
        maxSpeed = KBsToSpeedFactor((uint32_t(capabilities[16]) << 8) | capabilities[17]);
    largestTransfer = m_largest;
    return true;
}

void kyDskReaderModeMmc::Close() {
    if (m_transport) {
        const uint8_t allow[6] = {0x1E, 0, 0, 0, 0, 0};
        Command(allow, sizeof allow);
    }
    m_transport.reset();
    m_bounceStorage.clear();
    m_bounceStorage.shrink_to_fit();
    m_bounce = nullptr;
}

kyError kyDskReaderModeMmc::ReadAudio(void* buffer, uint32_t firstLba, uint32_t sectors) {
    if (!m_transport) return KYERR_OPEN_FILE;
    if (!buffer) return sectors ? KYERR_INVALID_PARAMETER : KY_OK;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    const bool aligned = (reinterpret_cast<uintptr_t>(out) & m_mask) == 0;
    // A request larger than the drive takes at once goes in several commands, so that
    // neither the drive nor the bounce buffer sees more than the largest transfer.
    const uint32_t perCommand = m_largest / KY_SECTOR_BYTES;
    while (sectors) {
        const uint32_t n = std::min(sectors, perCommand);
        const uint32_t bytes = n * KY_SECTOR_BYTES;
        uint8_t cdb[12];
        ReadCdAudio(cdb, firstLba, n, 0);
        uint8_t* target = aligned ? out : m_bounce;
        if (!Command(cdb, sizeof cdb, target, bytes)) return KYERR_READ_FILE;
        if (!aligned) std::memcpy(out, m_bounce, bytes);
        out += bytes;
        firstLba += n;
        sectors -= n;
    }
    return KY_OK;
}

kyError kyDskReaderModeMmc::ReadAudioSubQ(void* buffer, uint8_t* subQ, uint32_t firstLba,
                                          uint32_t sectors) {
    if (!m_transport) return KYERR_OPEN_FILE;
    if (!buffer || !subQ) return sectors ? KYERR_INVALID_PARAMETER : KY_OK;
    // A drive that refused it the first few times it was asked (and never did it) cannot.
    constexpr uint32_t kRefusals = 3;
    if (!m_audioQWorks && m_audioQRefusals >= kRefusals) return KYERR_MISSING_COMPONENT;
    constexpr uint32_t kStride = KY_SECTOR_BYTES + 16;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    // Each sector comes with its Q after it: through the bounce buffer, then apart.
    const uint32_t perCommand = std::max<uint32_t>(m_largest / kStride, 1);
    std::vector<uint8_t> spill;
    while (sectors) {
        const uint32_t n = std::min(sectors, perCommand);
        const uint32_t bytes = n * kStride;
        uint8_t* target = m_bounce;
        if (bytes > m_largest) {
            spill.resize(bytes);
            target = spill.data();
        }
        uint8_t cdb[12];
        ReadCdAudio(cdb, firstLba, n, 2);
        if (!Command(cdb, sizeof cdb, target, bytes)) {
            if (!m_audioQWorks) ++m_audioQRefusals;
            return KYERR_READ_FILE;
        }
        m_audioQWorks = true;
        for (uint32_t i = 0; i < n; ++i) {
            std::memcpy(out, target + size_t(i) * kStride, KY_SECTOR_BYTES);
            std::memcpy(subQ, target + size_t(i) * kStride + KY_SECTOR_BYTES, 16);
            out += KY_SECTOR_BYTES;
            subQ += 16;
        }
        firstLba += n;
        sectors -= n;
    }
    return KY_OK;
}

bool kyDskReaderModeMmc::LockMedium(bool lock) {
    const uint8_t cdb[6] = {0x1E, 0, 0, 0, uint8_t(lock ? 1 : 0), 0};
    return Command(cdb, sizeof cdb);
}

bool kyDskReaderModeMmc::StopAudio() {
    const uint8_t cdb[10] = {0x4E};
    return Command(cdb, sizeof cdb);
}

bool kyDskReaderModeMmc::SetReadSpeed(uint8_t speedFactor) {
    const uint16_t kbs = SpeedToKBs(speedFactor);
    const uint8_t cdb[12] = {0xBB, 0, uint8_t(kbs >> 8), uint8_t(kbs), 0xFF, 0xFF};
    return Command(cdb, sizeof cdb);
}

bool kyDskReaderModeMmc::IsReady() {
    const uint8_t cdb[6] = {};
    return Command(cdb, sizeof cdb);
}

bool kyDskReaderModeMmc::EjectOrLoad(bool load) {
    const uint8_t cdb[6] = {0x1B, 0, 0, 0, uint8_t(load ? 3 : 2), 0};
    return Command(cdb, sizeof cdb);
}

std::optional<std::string> kyDskReaderModeMmc::MediaCatalogNumber() {
    const uint8_t cdb[10] = {0x42, 0, 0x40, 2, 0, 0, 0, 0, 24, 0};
    uint8_t answer[24] = {};
    if (!Command(cdb, sizeof cdb, answer, sizeof answer)) return std::nullopt;
    return SubChannelText(answer, 13);
}

std::optional<std::string> kyDskReaderModeMmc::Isrc(uint32_t track) {
    if (track < 1 || track > 99) return std::nullopt;
    const uint8_t cdb[10] = {0x42, 0, 0x40, 3, 0, 0, uint8_t(track), 0, 24, 0};
    uint8_t answer[24] = {};
    if (!Command(cdb, sizeof cdb, answer, sizeof answer)) return std::nullopt;
    return SubChannelText(answer, 12);
}

bool kyDskReaderModeMmc::ReadCdText(std::vector<uint8_t>& packs) {
    packs.clear();
    // The header first, for the length; then the whole answer.
    uint8_t cdb[10] = {0x43, 0, 5, 0, 0, 0, 0, 0, 4, 0};
    uint8_t header[4] = {};
    if (!Command(cdb, sizeof cdb, header, sizeof header)) return false;
    const uint32_t length = (uint32_t(header[0]) << 8 | header[1]) + 2;
    if (length <= 4) return true;
    std::vector<uint8_t> answer(length, 0);
    Put16(cdb + 7, length);
    if (!Command(cdb, sizeof cdb, answer.data(), length)) return false;
    // The length the whole answer gives, in whole packs, and never more than was asked for.
    const uint32_t told = std::min<uint32_t>((uint32_t(answer[0]) << 8 | answer[1]) + 2, length);
    const uint32_t bytes = (told - std::min<uint32_t>(told, 4)) / 18 * 18;
    packs.assign(answer.begin() + 4, answer.begin() + 4 + bytes);
    return true;
}

bool kyDskReaderModeMmc::ReadSubQ(uint32_t lba, kySubQ& q) {
    q = kySubQ();
    if (!m_transport) return false;
    if (m_readCdQWorks || m_readCdQRefusals < 3) {
        // Any sector type, no user data, formatted Q.
        const uint8_t cdb[12] = {0xBE,
                                 0,
                                 uint8_t(lba >> 24),
                                 uint8_t(lba >> 16),
                                 uint8_t(lba >> 8),
                                 uint8_t(lba),
                                 0,
                                 0,
                                 1,
                                 0,
                                 2,
                                 0};
        uint8_t answer[16] = {};
        if (Command(cdb, sizeof cdb, answer, sizeof answer)) {
            m_readCdQWorks = true;
            return kyDecodeSubQ(answer, q);
        }
        if (m_readCdQWorks) return false; // it works: this read failed
        ++m_readCdQRefusals;
    }
    // SEEK, then the current position (addresses as LBA).
    const uint8_t seek[10] = {
        0x2B, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba)};
    const uint8_t cdb[10] = {0x42, 0, 0x40, 1, 0, 0, 0, 0, 16, 0};
    uint8_t answer[16] = {};
    if (!Command(seek, sizeof seek) || !Command(cdb, sizeof cdb, answer, sizeof answer))
        return false;
    q.adr = answer[5] >> 4;
    q.control = answer[5] & 0x0F;
    q.track = answer[6];
    q.index = answer[7];
    auto signed32 = [](const uint8_t* p) {
        return int32_t(uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]);
    };
    q.absolute = signed32(answer + 8);
    q.relative = signed32(answer + 12);
    return q.adr == 1 && answer[4] == 1;
}
