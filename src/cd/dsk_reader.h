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
//  - jitter correcting: every chunk re-reads the three sectors before it and is realigned
//    on the last sector delivered, so a drive that lands a few sectors off after a seek
//    still gives a seamless stream; a read that does not line up is read again. After
//    digital silence, which cannot anchor a realignment, the next read simply continues
//    the previous one;
//  - scratch correcting: jitter correcting, and every chunk is read until each of its
//    sectors has two reads that agree (at most eight reads; what still disagrees is
//    taken sample by sample where two reads agree, else as the average of all eight).
// Tracks flagged with pre-emphasis are de-emphasised on the way out; such a range has no
// interleaved form, so writers take it through floats.
#include "cd/de_emphasis.h"
#include "cd/disc_toc.h"
#include "cd/dsk_reader_mode.h"
#include "core/filter.h"
#include "core/sample_block.h"
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Read modes as the settings number them.
enum kyReadMode : uint32_t {
    KY_READ_BURST = 0,   // "Burst mode (fastest)"
    KY_READ_JITTER = 1,  // "Jitter correcting mode"
    KY_READ_SCRATCH = 2, // "Scratch correcting mode"
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
    // Sets jitter correction and verify from a read mode (0, 1, 2).
    void SetReadMode(uint32_t mode);
    void SetJitterCorrection(bool on) { m_jitterCorrection = on; }
    void SetVerify(bool on) { m_verify = on; }
    bool JitterCorrection() const { return m_jitterCorrection; }
    bool Verify() const { return m_verify; }
    // Speed factor for the drive, 255 = as fast as it goes (the default).
    void SetSpeed(uint8_t speed) { m_speed = speed; }
    uint8_t Speed() const { return m_speed; }

    // The pause between read retries. Defaults to sleeping; tests count the pauses.
    using SleepFunction = std::function<void(std::chrono::milliseconds)>;
    void SetSleepFunction(SleepFunction sleep);

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

    void adoptMethods(Methods methods);
    kyDskReaderMode* methodOf(uint32_t number, uint32_t& local) const;
    kyError openForReading();
    // A chunk from `m_current` on; sectors = 0 when the range is done.
    kyError readChunk(Chunk& chunk);
    // One read of `count` sectors at `position` into `buffer` with retries and, with jitter
    // correction, the back-read and realignment (an inexact splice is smoothed when
    // `smooth`). `count` comes back as the number of sectors from `position` on that the
    // buffer now holds.
    // With `stream` the read continues the drive's previous read instead; `anchorless`
    // skips the back-read when the last sector delivered cannot anchor a realignment.
    kyError readSectors(uint8_t* buffer, uint32_t position, uint32_t& count, bool smooth,
                        bool stream, bool anchorless);
    // Where the last sector delivered lies in a back-read of `total` sectors.
    struct Match {
        int32_t p = -1;         // its index in the buffer
        int64_t score = 0;      // sum of absolute sample differences there
        uint32_t sectors = 0;   // sectors after it that may be delivered
        bool ambiguous = false; // another exact match would deliver different data
    };
    Match realign(const uint8_t* buffer, uint32_t back, uint32_t total, uint32_t limit) const;
    // Scratch correction: reads the chunk until every sector is confirmed by two reads.
    kyError readVerified(uint32_t count, bool anchorless, Chunk& chunk);
    kyError readWithRetries(uint8_t* buffer, uint32_t lba, uint32_t sectors);
    void updateTrack(uint32_t sector);
    void pause(std::chrono::milliseconds ms);

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
    std::vector<uint8_t> m_stash; // an earlier read's data, for ambiguous realignments
    uint32_t m_stashSectors = 0;
    std::vector<uint8_t> m_agreedBy; // per sector of a verified chunk: the read confirming it
    uint32_t m_chunk = 0;            // sectors per drive transfer
    uint32_t m_bufferSectors = 0;    // capacity of each read buffer
    kyPlaneBuffer m_planes;

    uint8_t m_speed = 255;
    uint32_t m_track = 0;
    bool m_jitterCorrection = false;
    bool m_verify = false;
    uint32_t m_length = KY_NO_LENGTH;
    uint32_t m_rangeStart = 0;
    uint32_t m_rangeEnd = 0;
    uint32_t m_seekOffset = 0;
    uint32_t m_current = 0;
    bool m_havePrevious = false; // m_previous holds the last sector delivered this run
    uint32_t m_streamLba = 0;    // where the drive's last read of this run ended
    bool m_streamValid = false;
    uint8_t m_previous[KY_SECTOR_BYTES] = {};
    kyDeEmphasis m_deEmphasis;
    bool m_firstRead = false;
    SleepFunction m_sleep;
};
