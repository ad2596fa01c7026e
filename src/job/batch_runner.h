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
// The runner works on the caller's thread; the front end's pumpEvents() (called after each
// progress step) is where a cancel request arrives. Typical use:
//
//   kyBatchRunner runner(settings, disc, reader, frontend);
//   runner.Run();            // frontend.pumpEvents() may call runner.Cancel()
//   runner.result().successes ...
#include "app/rip_settings.h"
#include "core/error.h"
#include "job/release_tags.h"
#include "metadata/disc_info.h"

#include <cstdint>
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
    enum class FileOutcome { Ok, Skipped, Failed, Cancelled };
    struct FileRecord {
        std::string path;
        int32_t firstTrack = 0; // track numbers of the group's first and last rows
        int32_t lastTrack = 0;
        FileOutcome outcome = FileOutcome::Ok;
        kyError error = KY_OK; // the failure, for a failed file
    };
    struct Result {
        int fileCount = 0; // groups to produce
        int fileIndex = 0; // groups done (succeeded, skipped or failed)
        int successes = 0; // files written or skipped at the prompt
        bool cancelled = false;
        bool ejected = false;
        double seconds = 0;              // elapsed time of the batch
        std::string playlist;            // the playlist's path when one was kept
        std::vector<FileRecord> records; // every file the batch started, in order
    };

    // The source must have its drive open (iDevice names it in the labels). The settings
    // are written to: szOutDir joins the recent directories, and "Replace All" sets
    // bNoOverwritePrompt.
    kyBatchRunner(RipSettings& settings, DiscInfo& disc, kyDskReader& source,
                  kyBatchFrontend& frontend);
    ~kyBatchRunner();

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

private:
    struct Chain {
        kyWriterFilter* writer = nullptr;
        // The chain's last sink: the writer, or a stand-in until the writer is made.
        kySinkFilter* end = nullptr;
        OurProgressDisplay* progress = nullptr;
        kyNormalizeFilter* normalize = nullptr;
        int32_t format = -1;  // catalogue index of the writer
        bool created = false; // the writer created the output file
    };
    // A file of an album batch between its two loops.
    struct AlbumEntry {
        enum State { NotReached, Analysed, Skipped, Failed, Done } state = NotReached;
        Chain chain;
        kySinkFilter* head = nullptr; // the filter the CD source feeds
        kyGainAnalyzer* analyzer = nullptr;
        std::string path;
        size_t record = 0; // index into m_result.records
    };

    // 0 built, 1 skipped at the overwrite prompt, negative: failure (already shown). With
    // `deferWriter` the chain ends in a stand-in, and no file is created yet.
    kyError buildChain(const Group& group, std::string& path, int fileIndex, Chain& chain,
                       bool deferWriter);
    // Creates the output file and its writer, at the end of the chain: the one place where
    // the batch creates files.
    kyError createWriter(const std::string& path, Chain& chain);
    void destroyChain(Chain& chain);
    // Shows a failure once and remembers it for the file's record.
    void reportError(kyError code, const char* caption);
    void setStatus(const char* format, int number);
    FileRecord makeRecord(const Group& group, const std::string& path, kyError e) const;
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
    kyCoverArtFiles m_cover; // the disc's front cover while the batch runs
};

// The summary line without the time: "Successfully completed 2 out of 3 files" or
// "Cancelled after 1 file".
std::string kyBatchSummary(bool cancelled, int fileIndex, int successes, int fileCount);
