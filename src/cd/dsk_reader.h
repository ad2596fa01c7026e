#pragma once
// kyDskReader, the CD source: turns a range of sectors of an audio CD into 44.1 kHz stereo
// float blocks, one sector (588 frames) per block.
//
// It owns the three drive-access methods and numbers their drives as one list: SCSI
// pass-through drives first, then raw-read drives, then libcdio drives. A drive is opened
// by its number, which reads the disc's table of contents and selects every track.
//
// Three read modes, chosen before each run:
//  - burst: one plain read per chunk of as many sectors as the drive transfers at once;
//  - jitter correcting: every chunk re-reads the sectors before it and is realigned on the
//    last distinctive sector delivered (back through digital silence or a loop, which
//    cannot anchor a realignment, up to six seconds), so a drive that lands a few sectors
//    off after a seek still gives a seamless stream; a read that does not line up is read
//    again. Further from any anchor, the next read continues the drive's previous one
//    instead of seeking (a drive streams on where it is);
//  - scratch correcting: jitter correcting, and every chunk is read until each of its
//    sectors has two reads that agree, at least one of them placed on the disc (at most
//    eight reads; what still disagrees is taken sample by sample where placed reads agree,
//    else as their average).
//
// Nothing is delivered as good unless its place on the disc is tied to something already
// confirmed. A range that starts where an earlier range of this disc ended (or a little
// after it) is realigned on that range's last distinctive sector; a range with nothing
// confirmed before it (the first one, one picked out of order) is confirmed by a vote of
// reads approaching it from different points (kyLandingVote). Where the vote cannot decide
// (a drive that lands off nearly every time), the Q sub-channel the drive delivers with
// the audio tells where each read really landed, less the drive's Q bias (kySubQBias,
// learned from starts the vote did confirm, or stored from earlier sessions): it places
// the start only when that bias is known, and when the Q agrees with itself across reads
// that landed apart and with what the audio shows. A drive whose Q once contradicts what
// the audio confirmed is not asked again. What cannot be confirmed is still delivered,
// but reported (Report()): the file is then "suspect", never "good".
//
// The drive's read offset (samples, AccurateRip's sign: a drive with offset +N delivers,
// for a requested sector, samples that begin N samples earlier on the disc) is corrected:
// every range is shifted by it, reading the extra sectors it needs; samples before the
// disc's first sector or past its lead-out are silence. Pre-emphasis and the audio taps
// follow the corrected positions.
//
// Tracks flagged with pre-emphasis are de-emphasised on the way out (unless asked to keep
// them as on the disc); such a range has no interleaved form, so writers take it through
// floats.
#include "cd/cd_audio_tap.h"
#include "cd/de_emphasis.h"
#include "cd/disc_layout.h"
#include "cd/disc_toc.h"
#include "cd/dsk_reader_mode.h"
#include "cd/read_report.h"
#include "cd/sub_channel.h"
#include "core/filter.h"
#include "core/sample_block.h"
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Read modes as the settings number them.
enum kyReadMode : uint32_t {
    KY_READ_BURST = 0,   // "Burst mode (fastest)"
    KY_READ_JITTER = 1,  // "Jitter correcting mode"
    KY_READ_SCRATCH = 2, // "Scratch correcting mode"
    // "Verified burst mode": the batch reads in burst mode and reads again in scratch
    // correcting mode what AccurateRip does not confirm; the source reads it as burst.
    KY_READ_VERIFIED = 3,
};

class kyDskReader : public kySourceFilter2 {
public:
    // The access methods in the order their drives are numbered. Any may be null.
    struct Methods {
        std::unique_ptr<kyDskReaderMode> passThrough; // kyDskReaderModeSPTI
        std::unique_ptr<kyDskReaderMode> rawRead;     // kyDskReaderModeCDRR
        std::unique_ptr<kyDskReaderMode> library;     // kyDskReaderModeASPI
    };

    // Creates this machine's three access methods (virtual drives come with the
    // pass-through method, after the real ones).
    kyDskReader();
    // Takes the given methods; one whose construction result is a failure is dropped.
    explicit kyDskReader(Methods methods);
    ~kyDskReader() override;

    // "Missing required component" when no method could start, "Unknown error" when the
    // methods found no drive, success otherwise. Prepare returns it when no drive is open.
    kyError ConstructionResult() const { return m_constructionResult; }

    // ---- drives -------------------------------------------------------------------
    uint32_t DriveCount() const;
    // Record of a drive by its number across all methods; null when out of range.
    const kyDriveRecord* DriveRecord(uint32_t number) const;
    // Device nodes the methods passed over, with the reason.
    std::vector<kySkippedDevice> SkippedDevices() const;
    // Closes the drive opened before, opens this one, reads the table of contents and
    // selects every track. False when the number is out of range or the drive fails.
    bool OpenDrive(uint32_t number);
    // Closes the open drive (which lets the medium be removed again).
    void CloseDrive();
    bool IsDriveOpen() const { return m_open != nullptr; }
    // Number of the open drive, or -1.
    int32_t OpenDriveNumber() const { return m_openNumber; }
    const kyDiscToc& Toc() const { return m_toc; }
    // Largest transfer of the open drive in bytes (at most 65536), and its maximum speed
    // factor as the drive reports it (0 when unknown).
    uint32_t LargestTransfer() const { return m_largestTransfer; }
    uint32_t MaxSpeed() const { return m_maxSpeed; }

    // Drive control; all false without an open drive. IsReady and ToggleTray also work
    // on the drive of the last OpenDrive that found no readable disc.
    bool IsReady();
    // Ejects a ready drive, closes the tray of one that is not.
    bool ToggleTray();
    // The drive last asked for by OpenDrive, open or not (-1 before the first).
    int32_t AttachedDriveNumber() const { return m_open ? m_openNumber : m_idleNumber; }
    bool LockMedium(bool lock);
    bool StopAudio();
    std::optional<std::string> MediaCatalogNumber();
    std::optional<std::string> Isrc(uint32_t track);
    // The open disc's catalogue number, ISRCs, CD-Text and, when `detectGaps`, its pregaps
    // and indexes, found from the Q sub-channel by a search of a few reads per track. False
    // with `error` when no disc is open, or when the search could not finish (the drive
    // gives no sub-channel data, or keeps failing around some sector): the layout then holds
    // everything else and gapsDetected stays false.
    bool ReadLayout(kyDiscLayout& layout, bool detectGaps, std::string& error);
    // The disc's CD-Text (READ TOC/PMA/ATIP format 5); empty when it has none, the method
    // cannot ask (raw read) or no disc is open. Damaged packs are left out.
    kyCdText ReadCdText();
    // Sub-channel reads the last ReadLayout sent to the drive.
    uint32_t SubChannelReads() const { return m_subChannelReads; }

    // ---- what to read ---------------------------------------------------------------
    // Sectors firstSector .. endSector - 1. Also forgets any earlier Seek.
    bool SetRange(uint32_t firstSector, uint32_t endSector);
    // From the start of firstTrack to the end of lastTrack, both kept within the disc's
    // tracks. False without an open drive.
    bool SetTrackRange(uint32_t firstTrack, uint32_t lastTrack);
    uint32_t RangeStart() const { return m_rangeStart; }
    uint32_t RangeEnd() const { return m_rangeEnd; }
    // True when a track recorded with pre-emphasis touches the range.
    bool RangeHasPreEmphasis() const;

    // ---- how to read ----------------------------------------------------------------
    // Sets jitter correction and verify from a read mode (0 to 3).
    void SetReadMode(uint32_t mode);
    void SetJitterCorrection(bool on) { m_jitterCorrection = on; }
    // Pre-emphasised tracks delivered as on the disc, not de-emphasised.
    void SetKeepPreEmphasis(bool keep) { m_keepPreEmphasis = keep; }
    bool KeepPreEmphasis() const { return m_keepPreEmphasis; }
    void SetVerify(bool on) { m_verify = on; }
    bool JitterCorrection() const { return m_jitterCorrection; }
    bool Verify() const { return m_verify; }
    // Speed factor for the drive, 255 = as fast as it goes (the default).
    void SetSpeed(uint8_t speed) { m_speed = speed; }
    uint8_t Speed() const { return m_speed; }

    // Drive read offset in samples, -5880..5880 (values outside are clamped).
    void SetReadOffset(int32_t samples);
    int32_t ReadOffset() const { return m_readOffset; }
    // A sector that never reads: fail the run with "Couldn't read from file" (the default),
    // or fill it with silence, report it and go on.
    void SetContinueOnReadError(bool on) { m_continueOnReadError = on; }
    bool ContinueOnReadError() const { return m_continueOnReadError; }
    // The open drive's Q bias in sectors (where its Q places a read, less where the audio
    // does), as an earlier session learned it: Q may place starts from the first one on,
    // until a start the audio confirms says otherwise. Forgotten when a drive is opened.
    void SetSubQBias(int32_t sectors) { m_subQBias.Assume(sectors); }
    // What the starts read so far (and SetSubQBias) tell of the open drive's Q bias.
    const kySubQBias& SubQBias() const { return m_subQBias; }

    // What the run that was started last found out (reset by Prepare and RunInterleaved).
    const kyReadReport& Report() const { return m_report; }
    // Forgets the sectors earlier runs confirmed, so that the next range starts as if
    // nothing had been read from this disc (opening a drive does the same).
    void ForgetReadHistory();

    // Listeners to the delivered audio (not owned; remove before destroying them).
    void AddAudioTap(kyCdAudioTap* tap);
    void RemoveAudioTap(kyCdAudioTap* tap);

    // The pause between read retries. Defaults to sleeping; tests count the pauses.
    using SleepFunction = std::function<void(std::chrono::milliseconds)>;
    void SetSleepFunction(SleepFunction sleep);

    // What the reads run into, as it happens: a read that failed and is tried again, a
    // chunk read again because it did not line up or its reads disagreed, and sectors that
    // could not be read at all. For progress displays and verbose logs.
    struct ReadEvent {
        enum class Kind { Retry, Reread, Unreadable };
        Kind kind = Kind::Retry;
        uint32_t lba = 0;     // first sector of the read
        uint32_t sectors = 0; // its length
        uint32_t count = 0;   // the how-manyth retry or re-read of this read, from 1
    };
    using ReadObserver = std::function<void(const ReadEvent&)>;
    void SetReadObserver(ReadObserver observer) { m_observer = std::move(observer); }

    // ---- source operations ----------------------------------------------------------
    kyError GetFormat(kyAudioFormat& format) override;
    // Skips whole sectors at the start of the range from the next Prepare on.
    uint32_t Seek(uint32_t frame) override;
    kyError Prepare() override;
    kyError Process() override;
    // "PCM 16-bit" for 2 channels unless a pre-emphasised track touches the range.
    const char* GetInterleavedFormat(uint32_t channels) override;
    // Pushes the range as 2352-byte sectors through the sink's WriteInterleaved.
    kyError RunInterleaved() override;

private:
    struct Chunk {
        uint8_t* data = nullptr;
        uint32_t sectors = 0;
    };
    // One read of the drive: buffer[i] holds drive sector start + offset + i when placed.
    struct Pass {
        uint8_t* data = nullptr;
        uint32_t start = 0;
        uint32_t sectors = 0;
        bool placed = false;
        int32_t offset = 0;
        int64_t score = 0; // of the realignment that placed it (0: exact)
        // The drive sector `lba` in this read, or null.
        const uint8_t* at(int64_t lba) const;
        // Sectors it holds from `lba` on (0 when it does not hold `lba`).
        uint32_t from(int64_t lba) const;
    };
    // A distinctive sector whose place on the disc is known: later reads are realigned
    // on it.
    struct Anchor {
        uint32_t lba = 0;
        std::vector<uint8_t> data;
        bool trusted = true; // its place is confirmed, not only guessed
    };
    // Sectors to deliver before reading on, decided while confirming a start.
    struct Lead {
        std::vector<uint8_t> data;
        std::vector<bool> sure;
        uint32_t sectors() const { return static_cast<uint32_t>(sure.size()); }
    };

    void adoptMethods(Methods methods);
    kyDskReaderMode* methodOf(uint32_t number, uint32_t& local) const;
    kyError openForReading();
    // The next disc sectors of the range, read offset applied; sectors = 0 when it is done.
    kyError nextSectors(Chunk& chunk);
    // The next drive sectors from m_next on; sectors = 0 when the range is done.
    kyError readChunk(Chunk& chunk);
    kyError readBurst(uint32_t x, uint32_t count, Chunk& chunk);
    kyError readJitter(uint32_t x, uint32_t count, Chunk& chunk);
    kyError readScratch(uint32_t x, uint32_t count, Chunk& chunk);
    // A read of `count` sectors from x on whose place is known: continuing the drive's
    // stream, or realigned on an anchor (re-read when it does not line up). Unplaced when
    // nothing lines up: the best guess is then in the pass.
    kyError readPlaced(uint32_t bufferIndex, uint32_t x, uint32_t count, Pass& pass, bool rereads);
    // Where `anchor` sits in a read: exact and unambiguous gives the landing.
    struct Match {
        int32_t p = -1;
        int64_t score = 0;
        bool ambiguous = false;
        bool damaged = false; // not exact, but a damaged copy of the anchor, at one place only
    };
    Match realign(const Pass& pass, const Anchor& anchor, uint32_t x) const;
    // Places an unplaced read by the distinctive sectors it shares with a placed one.
    bool placeBy(Pass& pass, const Pass& reference) const;
    // Nothing confirmed lies close enough before x: find out where the drive reads by a
    // vote of reads approaching x from different points (dsk_reader_start.cpp).
    kyError confirmStart(uint32_t x, Lead& lead);
    // Reads with retries (the whole request again after a failure); a sector that keeps
    // failing is looked for and named in m_failedDrive.
    // With `subQ` (16 bytes a sector), the drive's formatted Q of the same read too, where
    // it delivers any (zeros where not).
    kyError readDrive(uint8_t* buffer, uint32_t start, uint32_t sectors, uint8_t* subQ = nullptr);
    kyError readWithRetries(uint8_t* buffer, uint32_t lba, uint32_t sectors, uint32_t attempts,
                            uint8_t* subQ = nullptr);
    uint32_t isolateFailure(uint32_t start, uint32_t sectors);
    // A read failure: fail the run, or (continuing on errors) remember the sector.
    kyError handleReadFailure(kyError e);
    // The lowest sector a read for x may ask for (past any failing sector before x), and
    // the first failing sector at or after x (or the readable end).
    uint32_t floorFor(uint32_t x) const;
    uint32_t ceilingFor(uint32_t x) const;
    bool isBad(uint32_t lba) const { return m_bad.count(lba) != 0; }
    const Anchor* usableAnchor(uint32_t x, size_t skip = 0) const;
    bool streamUsable(uint32_t x, uint32_t count) const;
    void noteRead(uint32_t start, uint32_t sectors, bool placed, int32_t offset);
    // After a chunk: the new anchor, the last sector delivered, what was not sure.
    // `unsure` (when given) flags sectors that may not be what is on the disc: they are
    // reported, and never anchor.
    void delivered(const uint8_t* data, uint32_t x, uint32_t sectors, bool placed,
                   const std::vector<uint8_t>* unsure = nullptr);
    void keepAnchor(const Anchor& anchor);
    void markSuspect(uint32_t first, uint32_t last); // drive sectors
    uint32_t discSector(int64_t driveSector) const;
    void updateTrack(uint32_t sector);
    void pause(std::chrono::milliseconds ms);
    void notify(ReadEvent::Kind kind, uint32_t lba, uint32_t sectors, uint32_t count) const {
        if (m_observer) m_observer(ReadEvent{kind, lba, sectors, count});
    }

    class GapSearch; // dsk_reader_layout.cpp
    uint32_t m_subChannelReads = 0;

    kyError m_constructionResult = KY_OK;
    // In numbering order: pass-through, raw read, libcdio.
    std::unique_ptr<kyDskReaderMode> m_methods[3];
    kyDskReaderMode* m_open = nullptr;
    int32_t m_openNumber = -1;
    // The drive of a failed OpenDrive, kept for its tray and ready test.
    kyDskReaderMode* m_idle = nullptr;
    int32_t m_idleNumber = -1;
    kyDiscToc m_toc;
    uint32_t m_largestTransfer = 0;
    uint32_t m_maxSpeed = 0;

    // Read buffers: [0] always, [1..7] only when verifying.
    static constexpr uint32_t kPasses = 8;
    std::vector<uint8_t> m_buffers[kPasses];
    std::vector<uint8_t> m_discBuffer; // disc sectors assembled across the read offset
    uint32_t m_chunk = 0;              // sectors per drive transfer
    uint32_t m_target = 0;             // new sectors per chunk
    kyPlaneBuffer m_planes;

    uint8_t m_speed = 255;
    uint32_t m_track = 0;
    bool m_jitterCorrection = false;
    bool m_keepPreEmphasis = false;
    bool m_verify = false;
    bool m_continueOnReadError = false;
    int32_t m_readOffset = 0;
    int32_t m_offsetSectors = 0;  // whole sectors of the offset (rounded down)
    uint32_t m_offsetSamples = 0; // frames left over, 0..587
    uint32_t m_length = KY_NO_LENGTH;
    uint32_t m_rangeStart = 0; // disc sectors
    uint32_t m_rangeEnd = 0;
    uint32_t m_seekOffset = 0;
    uint32_t m_current = 0; // next disc sector to deliver

    // Drive side of the run: sectors m_next .. m_driveEnd - 1 are still to be read, within
    // the audio the drive can read (m_readFloor .. m_readCeiling - 1).
    uint32_t m_next = 0;
    uint32_t m_driveEnd = 0;
    uint32_t m_readFloor = 0;
    uint32_t m_readCeiling = 0;
    Chunk m_pending;              // drive sectors read but not yet passed on
    uint32_t m_pendingLba = 0;    // drive sector of m_pending.data
    std::vector<uint8_t> m_carry; // the drive sector that straddles two disc sectors
    std::vector<uint8_t> m_silence;
    Lead m_lead;
    uint32_t m_leadIndex = 0;

    std::vector<Anchor> m_anchors; // newest last, a few
    std::vector<Anchor> m_kept;    // anchors of earlier runs on this disc
    std::optional<Anchor> m_guess; // an unconfirmed one close before this run's start
    bool m_trusted = true;         // what is delivered is tied to the disc
    uint8_t m_previous[KY_SECTOR_BYTES] = {};
    bool m_havePrevious = false;
    // The drive's stream: the last request ended at m_requestEnd; continuing it gives
    // drive sector m_requestEnd + m_streamOffset when the offset is known.
    bool m_requestValid = false;
    uint32_t m_requestEnd = 0;
    bool m_streamKnown = false;
    int32_t m_streamOffset = 0;
    // The open drive's Q sub-channel with audio: whether it delivers any, and how far it
    // is off from the audio.
    bool m_subQDelivered = true;
    kySubQBias m_subQBias;
    std::set<uint32_t> m_bad; // drive sectors that never read
    std::optional<uint32_t> m_failedDrive;

    kyReadReport m_report;
    std::vector<kyCdAudioTap*> m_taps;
    kyDeEmphasis m_deEmphasis;
    bool m_firstRead = false;
    SleepFunction m_sleep;
    ReadObserver m_observer;
};
