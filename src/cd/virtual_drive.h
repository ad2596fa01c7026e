#pragma once
// The virtual drive: an MMC device emulator that answers the command blocks the drive-access
// methods send, from a disc model (a CUE sheet with its BIN files, or the built-in demo
// disc), with deterministic fault injection. Virtual drives are listed by
// kyDskReaderModeSPTI after the real /dev/srN drives and are reached through the same
// command path, so every byte the real path sends and parses is exercised.
//
// Display name of virtual drive N: "virtualN <SPTI 9-N-0> Velmora Virtual CD-ROM"
// (device path "virtualN", address host 9, target N, LUN 0; the text after "> " is the
// vendor and product of the drive's INQUIRY answer).
#include "cd/disc_layout.h"
#include "cd/disc_toc.h"
#include "cd/sub_channel.h"
#include "platform/scsi_transport.h"
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One track of a disc model.
struct kyDiscTrack {
    uint32_t number = 0;
    uint32_t session = 1;
    uint32_t start = 0;       // LBA of INDEX 01
    uint32_t pregapStart = 0; // LBA of INDEX 00 (or of the PREGAP); equals start without one
    uint8_t control = 0; // CONTROL nibble: 1 pre-emphasis, 2 copy permitted, 4 data, 8 four channel
    std::string isrc;    // 12 characters, or empty
    std::vector<uint32_t> indexes; // LBAs of INDEX 02, 03, ... in order
    uint8_t mode = 0;              // 0 audio, 1 mode 1 data, 2 mode 2 (XA) data
    bool IsData() const { return (control & 4) != 0; }
};

struct kyDiscSession {
    uint32_t number = 1;
    uint32_t firstTrack = 0;
    uint32_t lastTrack = 0;
    uint32_t leadOut = 0; // LBA of the session's lead-out
};

// Names for the demo disc, invented; the command line applies them to the disc record.
struct kyDemoDiscRecord {
    std::string artist;
    std::string album;
    std::string year;
    std::string genre;
    std::vector<std::string> trackTitles; // audio tracks, in order
};

// A disc: its tracks, sessions, catalogue number, ISRCs and the bytes of every sector.
class kyDiscImage {
public:
    ~kyDiscImage();
    kyDiscImage(const kyDiscImage&) = delete;
    kyDiscImage& operator=(const kyDiscImage&) = delete;

    // Loads a CUE sheet and opens its files: BINARY (audio little-endian, as CD-DA),
    // MOTOROLA (big-endian), and audio files of any format the catalogue reads (WAVE, AIFF,
    // FLAC, MP3, ...; 44.1 kHz 16-bit stereo). Null with a message
    // "<path>:<line>: <what is wrong>" when the sheet is malformed, a FILE is missing or
    // unreadable, or the disc would not fit on a CD.
    static std::unique_ptr<kyDiscImage> LoadCue(const std::string& path, std::string& error);
    // The built-in enhanced demo disc, generated in memory: audio tracks of music-like
    // material in session 1 (one with pre-emphasis, one starting with a second of digital
    // silence), a data track in session 2, an MCN and ISRCs.
    static std::unique_ptr<kyDiscImage> Demo();

    // Raw 2352-byte sectors [lba, lba + count) into out. False when any sector lies
    // outside the recorded areas (before track 1's pregap, in a session gap, past the end).
    bool ReadSectors(uint32_t lba, uint32_t count, uint8_t* out) const;

    const std::vector<kyDiscTrack>& Tracks() const { return m_tracks; }
    const std::vector<kyDiscSession>& Sessions() const { return m_sessions; }
    const kyDiscTrack* Track(uint32_t number) const;
    // LBA of the lead-out of the last session.
    uint32_t LeadOut() const { return m_sessions.empty() ? 0 : m_sessions.back().leadOut; }
    // The table of contents as the disc describes it (not parsed from drive answers).
    kyDiscToc Toc() const;
    const std::string& Mcn() const { return m_mcn; } // 13 digits, or empty
    std::string Isrc(uint32_t track) const;          // empty when none
    const std::optional<kyDemoDiscRecord>& Record() const { return m_record; }
    // CD-Text of the disc (from the sheet's TITLE, PERFORMER, ... lines); empty when none.
    const kyCdText& CdText() const { return m_cdText; }
    // The sheet's REM DATE (a year, or a date as written there); empty when none.
    const std::string& Date() const { return m_date; }

    // Drive answers: READ TOC format 0 (LBA or MSF addresses) and format 2. Return the
    // full answer length; at most `capacity` bytes are written.
    size_t PlainTocAnswer(uint8_t* out, size_t capacity, bool msf) const;
    size_t FullTocAnswer(uint8_t* out, size_t capacity) const;
    // READ TOC format 5: the CD-Text packs of the disc's text (only the header without).
    size_t CdTextAnswer(uint8_t* out, size_t capacity) const;
    // The mode-1 Q sub-channel of a sector: its track (0xAA past a session's lead-out),
    // index (0 in a pregap, 2 and on from each INDEX 02, 03, ...), the time from INDEX 01
    // (negative, counting down, in the pregap) and its address.
    kySubQ SubQ(int64_t lba) const;

    struct Extent; // where a run of sectors comes from (file, silence or generator)
    struct Source;

private:
    kyDiscImage();
    friend struct kyDiscImageBuilder;
    std::vector<kyDiscTrack> m_tracks;
    std::vector<kyDiscSession> m_sessions;
    std::string m_mcn;
    kyCdText m_cdText;
    std::string m_date;
    std::optional<kyDemoDiscRecord> m_record;
    std::vector<Extent> m_extents;
    std::vector<std::unique_ptr<Source>> m_sources;
};

// Faults a virtual drive injects, parsed from a text such as
// "seed=7,seek=0.2:-9..2,settle=1,error=0.01,bad=1200:5,scratch=3000-3100:0.3,speed=8,
// offset=667,qcrc=0.1,qshift=1:1..1".
// Every random draw comes from one generator seeded with `seed` when the drive is added,
// so the same text and the same commands give the same faults.
struct kyFaultSpec {
    uint64_t seed = 0;
    // seek=p:lo..hi (or p:r for -r..r): a READ CD that does not continue the previous one
    // returns, with probability p, data from a nonzero offset in lo..hi sectors; reads that
    // continue it stream on from where the drive actually is.
    double seekProbability = 0;
    int32_t seekLow = 0;
    int32_t seekHigh = 0;
    // error=p: any command fails with CHECK CONDITION with probability p.
    double errorProbability = 0;
    // bad=lba:n: that sector fails its first n reads after the drive is opened.
    struct Bad {
        uint32_t lba;
        uint32_t count;
    };
    std::vector<Bad> bad;
    // scratch=a-b:q: each read of a sector in a..b corrupts random samples with probability q.
    struct Scratch {
        uint32_t first;
        uint32_t last;
        double probability;
    };
    std::vector<Scratch> scratch;
    // settle=n: the first n reads after opening are accurate (no seek offset, no scratch).
    uint32_t settle = 0;
    // speed=x: at most x * 176400 bytes per second; 0 = unlimited. Like a real drive it
    // reads on ahead (1 MiB) while the host is busy between reads that follow each other,
    // so a host that keeps up on average gets the whole speed.
    double speed = 0;
    // offset=N: the drive's read offset in samples: for a requested sector it delivers the
    // samples that begin N samples earlier on the disc (later for a negative N); samples
    // before the disc's first sector or past its end read as silence.
    int32_t readOffset = 0;
    // subq=0: the drive delivers no sub-channel data with READ CD (it refuses the command;
    // its current position is still reported by READ SUB-CHANNEL).
    bool subQ = true;
    // qcrc=p: each Q frame read with audio comes with a broken CRC with probability p.
    double qCrcProbability = 0;
    // qshift=p:lo..hi (or p:r): with probability p, the Q frames of a READ CD that also
    // delivers audio tell the positions of sectors a nonzero lo..hi sectors from the ones
    // whose audio they come with (one draw a command; qshift=1:1..1 always one sector late).
    double qShiftProbability = 0;
    int32_t qShiftLow = 0;
    int32_t qShiftHigh = 0;

    // Empty text: no faults. False with a message naming the bad item.
    static bool Parse(const std::string& text, kyFaultSpec& out, std::string& error);
};

// The emulated device. Its tray and lock state and its fault generator last as long as the
// device; opening it through a method restarts the read bookkeeping (head position,
// settling, spin-up of bad sectors).
class kyVirtualDevice {
public:
    kyVirtualDevice(std::shared_ptr<kyDiscImage> image, kyFaultSpec faults, uint32_t index);
    ~kyVirtualDevice();

    // Answers one command block, as a drive would. `dataBytes` is the room in `data`.
    // `inject` false: no random command failures (enumeration only probes the drive).
    bool Execute(const uint8_t* cdb, uint8_t cdbLength, void* data, uint32_t dataBytes, bool dataIn,
                 bool inject = true);

    // Called when a method opens the drive: forgets the head position and settling.
    void Opened();

    uint32_t Index() const { return m_index; }
    const kyDiscImage* Image() const { return m_image.get(); }
    bool TrayOpen() const { return m_trayOpen; }
    bool Locked() const { return m_locked; }
    uint16_t RequestedSpeed() const { return m_requestedSpeed; } // KB/s from SET CD SPEED
    // Every command block received since the drive was added, for tests.
    const std::vector<std::vector<uint8_t>>& CommandLog() const { return m_log; }
    void ClearCommandLog() { m_log.clear(); }

private:
    struct State;
    bool ReadCd(const uint8_t* cdb, void* data, uint32_t dataBytes, bool dataIn);
    bool ReadSubChannel(const uint8_t* cdb, void* data, uint32_t dataBytes, bool dataIn);
    std::shared_ptr<kyDiscImage> m_image;
    kyFaultSpec m_faults;
    uint32_t m_index;
    bool m_trayOpen = false;
    bool m_locked = false;
    uint16_t m_requestedSpeed = 0xFFFF;
    std::vector<std::vector<uint8_t>> m_log;
    std::unique_ptr<State> m_state;
};

// The process-wide list of virtual drives. A kyDskReaderModeSPTI constructed afterwards
// lists them after the real drives. A null image is a drive with no disc in it. Returns the
// drive's index in this list, or -1 with a message when the fault text is malformed.
int kyAddVirtualDrive(std::shared_ptr<kyDiscImage> image, const std::string& faultSpec,
                      std::string& error);
void kyClearVirtualDrives();
uint32_t kyVirtualDriveCount();
// The device behind virtual drive `index`, or null.
std::shared_ptr<kyVirtualDevice> kyVirtualDriveDevice(uint32_t index);
// A transport that sends command blocks to virtual drive `index`, or null. `open` tells
// that a method opens the drive for use; enumeration only probes it and sees no
// random command failures.
std::unique_ptr<kyScsiTransport> kyOpenVirtualTransport(uint32_t index, bool open = true);

// Writes "DskR test image.cue" and "DskR test image.bin" into `dir`: about `minutes` of
// generated music-like audio in tracks of a few minutes (74 minutes is a full disc).
// Returns the CUE sheet's path, or empty with a message.
std::string kyWriteTestImage(const std::string& dir, uint32_t minutes, std::string& error);
