#pragma once
// The batch runner: turns every selected row of the disc record — or every run of
// consecutive selected rows when bMergeConsecutive is set — into one output file, with
// progress, the overwrite prompt, failures and the abort question, cancellation, the
// playlist, the summary and the end-of-batch actions, all shown through a front end.
//
// Per file the chain is
//   CD source → progress → silence removal → resampler → channel broker → trim →
//   normalize → writer
// with each processing stage present only when its setting asks for it. With
// normalisation the file takes two passes: the disc is read into the normalize filter's
// temporary file and measured, then the writer's run replays it (the progress filter
// moves above the writer for that). With album normalisation every file is read and
// measured first, one album gain is found, and the files are written in a second loop;
// none is created before its audio is written.
//
// Every file is written under a temporary name beside its final one and put in place only
// when complete (kyPendingFile); a file that fails or is cancelled leaves any earlier file
// of that name as it was, and the folders made for it are removed when empty. With
// bTestAndCopy every file is read twice, the first time without writing, and the CRC-32 of
// the audio read compared. A file whose audio the CD source could not confirm is kept but
// "suspect"; the summary names it with the sectors concerned.
//
// With more than one encoder thread (iEncoderThreads) and no normalisation, the disc is
// still read file by file on the caller's thread, but each file's audio is handed to an
// encoder worker (kyEncoderPool) and the next file read at once. The results are taken in
// file order, so records, playlist, log and CUE sheet come out as on one thread. A cancel
// stops the read; the files read before it are still encoded and kept.
//
// The runner works on the caller's thread; the front end's pumpEvents() (called after each
// progress step) is where a cancel request arrives. Typical use:
//
//   kyBatchRunner runner(settings, disc, reader, frontend);
//   runner.Run();            // frontend.pumpEvents() may call runner.Cancel()
//   runner.result().successes ...
#include "app/rip_settings.h"
#include "cd/disc_layout.h"
#include "core/error.h"
#include "job/audio_spool.h"
#include "job/encoder_pool.h"
#include "job/file_record.h"
#include "job/output_file.h"
#include "job/release_tags.h"
#include "metadata/accuraterip_client.h"
#include "metadata/disc_info.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

class kyBatchFrontend;
class kyDskReader;
class kyGainAnalyzer;
class kyNormalizeFilter;
class kyPlaylist;
class kySinkFilter;
class kySourceFilter;
class kyWriterFilter;
class OurProgressDisplay;

class kyBatchRunner {
public:
    // Rows first..last (indices into disc.tracks) that make one file.
    using Group = std::pair<size_t, size_t>;

    // What became of one file of the batch.
    using FileOutcome = kyFileOutcome;
    using FileRecord = kyFileRecord;
    struct Result {
        int fileCount = 0; // groups to produce
        int fileIndex = 0; // groups done (succeeded, skipped or failed)
        int successes = 0; // files written or skipped at the prompt
        bool cancelled = false;
        bool ejected = false;
        double seconds = 0;              // elapsed time of the batch
        std::string playlist;            // the playlist's path when one was kept
        std::vector<FileRecord> records; // every file the batch started, in order
        // Why the batch refused to start (two rows that would write one file), or empty.
        std::string refused;
        int suspects = 0;     // files kept that could not all be confirmed
        std::string cueSheet; // the CUE sheet's path when one was written
        std::string cueError; // why the CUE sheet asked for could not be written
        // The rip log's text and where it was written (empty when none was).
        std::string log;
        std::string logPath;
    };

    // The source must have its drive open (iDevice names it in the labels). The settings
    // are written to: szOutDir joins the recent directories, "Replace All" sets
    // bNoOverwritePrompt, and the drive's Q sub-channel bias, as its starts have shown it,
    // is kept under its name (and given to the source at the start of the next batch).
    kyBatchRunner(RipSettings& settings, DiscInfo& disc, kyDskReader& source,
                  kyBatchFrontend& frontend);
    ~kyBatchRunner();

    // The disc's AccurateRip record (see kyLookUpAccurateRip) the files' tracks are judged
    // against; without one every track is "skipped".
    // In verified burst mode a batch given none asks the database itself.
    void setAccurateRip(kyAccurateRipRecord record) {
        m_accurateRip = std::move(record);
        m_accurateRipSet = true;
    }
    const kyAccurateRipRecord& accurateRip() const { return m_accurateRip; }

    // The whole batch.
    void Run();
    // A cancel request (from the front end, normally inside pumpEvents()): no further file
    // starts, the current one stops at its next block and is deleted.
    void Cancel();
    bool running() const { return m_running; }
    const Result& result() const { return m_result; }

    // The groups Run() makes of the selected rows. A user-defined row (negative number)
    // always makes a file of its own: its range cannot be joined to a disc track's.
    static std::vector<Group> makeGroups(const DiscInfo& disc, bool merge);

    // Sets the source's range and text properties for rows first..last and the default
    // quantizer kind. "Unknown error" when the range cannot be set.
    kyError prepareSource(size_t first, size_t last);

    // "%.1fs" below a minute, else "[%dh]%dm%ds".
    static std::string elapsedText(double seconds);
    // The track label: "<drive> - Track 7 <Intro>" or "... <Intro .. Outro>" for a merged
    // group, at most 511 characters.
    std::string trackLabel(const Group& group) const;
    // Seconds of audio in a group's rows.
    double groupSeconds(const Group& group) const;
    // Tells the front end the audio lengths of the file being read (m_lengths), at the
    // start of each pass over it.
    void announceLengths();

private:
    struct Chain {
        kyWriterFilter* writer = nullptr;
        // The chain's last sink: the writer, or a stand-in until the writer is made.
        kySinkFilter* end = nullptr;
        OurProgressDisplay* progress = nullptr;
        kyNormalizeFilter* normalize = nullptr;
        int32_t format = -1;  // catalogue index of the writer
        bool created = false; // the writer created the output file
        kyPendingFile file;   // where the writer writes until the file is complete
        // Encoded by a worker: the chain ends in a spool of the audio, and `writer` waits
        // outside it for its turn.
        std::unique_ptr<kyAudioSpool> spool;
    };
    // A file read and handed to an encoder worker, until its result is taken.
    struct QueuedFile {
        std::shared_ptr<kyEncodeJob> job;
        kyPendingFile file;
        size_t record = 0; // index into m_result.records
        std::string path;
        kyMadeFolders folders;
    };
    // A file of an album batch between its two loops.
    struct AlbumEntry {
        enum State { NotReached, Analysed, Skipped, Failed, Done } state = NotReached;
        Chain chain;
        kySinkFilter* head = nullptr; // the filter the CD source feeds
        kyGainAnalyzer* analyzer = nullptr;
        std::string path;
        size_t record = 0;     // index into m_result.records
        kyMadeFolders folders; // made for the file, removed again if it fails
    };

    // 0 built, 1 skipped at the overwrite prompt, negative: failure (already shown). With
    // `deferWriter` the chain ends in a stand-in, and no file is created yet. Without
    // `askOverwrite` the prompt is not shown (the file was already let through it).
    kyError buildChain(const Group& group, std::string& path, int fileIndex, Chain& chain,
                       bool deferWriter, bool askOverwrite = true);
    // Creates the output file and its writer, at the end of the chain: the one place where
    // the batch creates files.
    kyError createWriter(const std::string& path, Chain& chain);
    void destroyChain(Chain& chain);
    // Shows a failure once and remembers it for the file's record.
    void reportError(kyError code, const char* caption, const std::string& detail = {});
    // The read of a test-and-copy file without writing: the chain's source is run into
    // nothing but the progress display, its checksum and report kept in `record`.
    kyError runTestPass(Chain& chain, int fileIndex, FileRecord& record);
    // After a run of the source: its report and checksum into the record.
    void takeReadReport(FileRecord& record, bool copy, uint32_t crc, bool complete);
    // Two groups that would write one path: the message, else empty.
    std::string findDuplicatePaths(const std::vector<Group>& groups) const;
    // The rip log of the files done, kept in the result and written beside them.
    void writeLog(const std::string& outDir);
    // The summary line and one line per suspect file.
    std::string summaryText() const;
    void setStatus(const char* format, int number);
    // A file's record before it is read, and its outcome once it is done with.
    FileRecord startRecord(const Group& group) const;
    void finishRecord(FileRecord& record, kyError e) const;
    // Reads the disc for one file: the test pass with bTestAndCopy, then the chain's first
    // pass (the writer's run, or the normalisation's analysis, followed by the writer's run
    // outside album mode), keeping the checksum and report of that read in `record`.
    kyError readFile(Chain& chain, FileRecord& record, bool album, kyGainAnalyzer*& analyzer);
    // Shows a failure of a run of the chain, naming the sector that did not read.
    void reportFailure(kyError e);
    // Puts a complete file in place (a failure to do so fails it) and drops any other.
    kyError putInPlace(kyPendingFile& file, kyError e);
    // One more file done that was written or skipped.
    void countFile(const FileRecord& record);
    // With bRipHiddenTrack: a row "Hidden Track" numbered 0 for audible audio before the
    // first track's INDEX 01, selected with the first track.
    void addHiddenTrackRow();
    // With bWriteCue: the CUE sheet of the files written, beside the playlist.
    void writeCueSheet(const std::string& outDir, const kyDiscLayout& layout);
    // The disc sectors a file of rows first..last of the track numbers holds.
    std::pair<uint32_t, uint32_t> trackSpan(int32_t first, int32_t last) const;
    // The source's read mode from eMode. Verified burst reads in burst mode when the
    // disc's AccurateRip record is at hand (asked for here when the batch was given none),
    // and in scratch correcting mode throughout when it is not (verified_burst.cpp).
    void chooseReadMode();
    // Verified burst, after the first read of a file: done when the database confirms
    // every track; otherwise the file is read again in scratch correcting mode through a
    // new chain (its file replaces the burst one only once complete). A failed re-read
    // keeps the burst read, suspect; a cancelled one drops both.
    kyError settleVerifiedBurst(const Group& group, const std::string& path, Chain& chain,
                                FileRecord& record, bool album, kyGainAnalyzer*& analyzer);
    // Ends the chain in a spool instead of its writer, for an encoder worker.
    void queueForEncoding(Chain& chain);
    // Hands the file just read to a worker.
    void submitEncoding(Chain& chain, const FileRecord& record, const std::string& path,
                        const kyMadeFolders& folders);
    // Takes the results of the workers in file order: those done, or (with `wait`) all,
    // letting the front end's events through while it waits.
    void takeEncoded(bool wait, kyPlaylist& playlist, const std::string& outDir, bool groupsLeft);
    // Second loop and clean-up of an album batch.
    void writeAlbum(const std::vector<Group>& groups, std::vector<AlbumEntry>& album,
                    kyPlaylist& playlist, const std::string& outDir);

    RipSettings& m_settings;
    DiscInfo& m_disc;
    kyDskReader& m_source;
    kyBatchFrontend& m_frontend;
    bool m_running = false;
    OurProgressDisplay* m_current = nullptr;
    Result m_result;
    kyError m_shownError = KY_OK;
    std::string m_shownDetail;
    std::set<std::string> m_cleaned; // folders rid of the leftovers of killed runs
    kyCoverArtFiles m_cover;         // the disc's front cover while the batch runs
    std::string m_shownText;         // the message shown, with the system's reason if known
    struct {
        double file = 0, before = 0, total = 0; // seconds of audio, for speed displays
    } m_lengths;
    kyAccurateRipRecord m_accurateRip;
    bool m_accurateRipSet = false;
    // Verified burst with a record to check against: files are read in burst mode first.
    bool m_verifying = false;
    std::string m_verifyNote;   // how verified burst went about the batch, for the log
    std::string m_plainComment; // the comment before "PRE" was added to it
    bool m_commentMarked = false;
    std::unique_ptr<kySpoolBudget> m_spoolBudget;
    std::unique_ptr<kyEncoderPool> m_encoders; // only while a batch encodes in parallel
    std::deque<QueuedFile> m_queued;           // handed to the workers, in file order
};

// The summary line without the time: "Successfully completed 2 out of 3 files" or
// "Cancelled after 1 file".
std::string kyBatchSummary(bool cancelled, int fileIndex, int successes, int fileCount);
