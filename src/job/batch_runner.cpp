#include "job/batch_runner.h"
#include "job/accuraterip_check.h"
#include "job/audio_spool.h"
#include "job/encoder_pool.h"
#include "job/rip_log.h"

#include "cd/crc32_tap.h"
#include "cd/dsk_reader.h"
#include "core/manager.h"
#include "core/text.h"
#include "filters/normalize_filter.h"
#include "filters/quantizer_factory.h"
#include "formats/format_catalog.h"
#include "formats/writer_filter.h"
#include "job/batch_frontend.h"
#include "job/cue_writer.h"
#include "job/our_progress_display.h"
#include "job/output_naming.h"
#include "job/playlist.h"
#include "job/processing_stages.h"
#include "job/release_tags.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <utility>

namespace {

constexpr size_t kLabelRoom = 512; // characters, terminator included

std::string cutToUnits(const std::string& utf8, size_t units) {
    std::u16string w = kyUtf8ToUtf16(utf8);
    if (w.size() <= units) return utf8;
    w.resize(units);
    if (!w.empty() && w.back() >= 0xD800 && w.back() <= 0xDBFF) w.pop_back();
    return kyUtf16ToUtf8(w);
}

// The end of a test pass: takes the audio and keeps nothing.
class DiscardSink : public kySinkFilter2 {
public:
    DiscardSink() : kySinkFilter2("Test pass") {}
    kyError Run() override {
        // Untouched 16-bit sectors where the source offers them: no float round trip.
        if (m_upstream && m_upstream->GetInterleavedFormat(2)) return m_upstream->RunInterleaved();
        return kySinkFilter2::Run();
    }
    kyError Write(float**, uint32_t) override { return KY_OK; }
    kyError WriteInterleaved(const void*, uint32_t, uint32_t) override { return KY_OK; }
};

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Measures the loudest sample of what the source delivers.
class PeakSink : public kySinkFilter2 {
public:
    PeakSink() : kySinkFilter2("Peak") {}
    float peak = 0;
    uint32_t channels = 2;
    kyError Write(float** planes, uint32_t frames) override {
        for (uint32_t c = 0; c < channels; ++c)
            for (uint32_t i = 0; i < frames; ++i) peak = std::max(peak, std::fabs(planes[c][i]));
        return KY_OK;
    }
};

// Where a writer will go once its file is created: the chain can be built and its first
// pass run without touching the output file.
class PendingWriter : public kySinkFilter2 {
public:
    PendingWriter() : kySinkFilter2("Pending writer") {}
    kyError Write(float**, uint32_t) override { return KYERR_SEQUENCE; }
};

} // namespace

std::string kyBatchSummary(bool cancelled, int fileIndex, int successes, int fileCount) {
    char buf[128];
    if (cancelled)
        std::snprintf(buf, sizeof buf, "Cancelled after %d file%s", fileIndex,
                      fileIndex == 1 ? "" : "s");
    else
        std::snprintf(buf, sizeof buf, "Successfully completed %d out of %d file%s", successes,
                      fileCount, fileCount == 1 ? "" : "s");
    return buf;
}

std::string kyBatchRunner::elapsedText(double seconds) {
    char buf[64];
    if (seconds < 60) {
        std::snprintf(buf, sizeof buf, "%.1fs", seconds);
        return buf;
    }
    auto whole = static_cast<long long>(seconds);
    std::string text;
    if (whole >= 3600) {
        std::snprintf(buf, sizeof buf, "%lldh", whole / 3600);
        text = buf;
    }
    std::snprintf(buf, sizeof buf, "%lldm%llds", (whole % 3600) / 60, whole % 60);
    return text + buf;
}

kyBatchRunner::kyBatchRunner(RipSettings& settings, DiscInfo& disc, kyDskReader& source,
                             kyBatchFrontend& frontend)
    : m_settings(settings), m_disc(disc), m_source(source), m_frontend(frontend) {}

kyBatchRunner::~kyBatchRunner() = default;

std::vector<kyBatchRunner::Group> kyBatchRunner::makeGroups(const DiscInfo& disc, bool merge) {
    std::vector<Group> groups;
    const auto& rows = disc.tracks;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (!rows[i].selected) continue;
        size_t last = i;
        if (merge && rows[i].number >= 0)
            while (last + 1 < rows.size() && rows[last + 1].selected && rows[last + 1].number >= 0)
                ++last;
        groups.emplace_back(i, last);
        i = last;
    }
    return groups;
}

kyError kyBatchRunner::prepareSource(size_t first, size_t last) {
    if (first >= m_disc.tracks.size()) return KYERR_INVALID_PARAMETER;
    last = std::min(std::max(first, last), m_disc.tracks.size() - 1);
    const TrackEntry& a = m_disc.tracks[first];
    const TrackEntry& b = m_disc.tracks[last];

    bool userRange = a.number < 0;
    bool ok;
    if (a.number == 0) {
        // The hidden track: the audio before the first track's INDEX 01.
        const auto [firstSector, end] = trackSpan(0, b.number);
        ok = m_source.SetRange(firstSector, end);
    } else if (userRange) {
        // A user-defined row is one sector longer than its range.
        uint64_t firstSector = a.start / 588;
        uint64_t end = (static_cast<uint64_t>(b.start) + b.length) / 588;
        end = end > 0 ? end - 1 : 0;
        if (end < firstSector) end = firstSector;
        ok = m_source.SetRange(static_cast<uint32_t>(firstSector), static_cast<uint32_t>(end));
    } else {
        ok = m_source.SetTrackRange(static_cast<uint32_t>(a.number),
                                    static_cast<uint32_t>(std::max(a.number, b.number)));
    }
    if (!ok) return KYERR_UNKNOWN;

    // Dither with noise shaping when the samples are reworked anyway (resampled, gain
    // applied) or when the whole range was recorded with pre-emphasis (de-emphasised).
    uint32_t kind = 0;
    if (m_settings.bResample || (m_settings.bNormalize && !m_settings.bNormalizeMeta)) {
        kind = 3;
    } else if (!userRange) {
        const kyDiscToc& toc = m_source.Toc();
        uint32_t lo = std::max<uint32_t>(static_cast<uint32_t>(a.number), toc.firstTrack);
        uint32_t hi = std::min<uint32_t>(static_cast<uint32_t>(std::max(a.number, b.number)),
                                         std::min<uint32_t>(toc.lastTrack, 99));
        bool all = lo <= hi;
        for (uint32_t t = lo; all && t <= hi; ++t) all = toc.entries[t].preEmphasis != 0;
        if (all && !m_settings.bKeepPreEmphasis) kind = 3;
    }
    kySetDefaultQuantizerKind(kind);

    // Every slot this runner fills is cleared first, so that no text of an earlier file
    // stays on this one.
    kyPropertyTable& props = m_source.properties();
    for (uint32_t slot : {KYPROP_TITLE, KYPROP_ARTIST, KYPROP_ALBUM, KYPROP_YEAR, KYPROP_GENRE,
                          KYPROP_TRACK_NUMBER})
        props.clear(slot);
    if (!a.name.empty()) props.setUtf8(KYPROP_TITLE, a.name);
    if (!m_disc.artist.empty()) props.setUtf8(KYPROP_ARTIST, m_disc.artist);
    if (!m_disc.title.empty()) props.setUtf8(KYPROP_ALBUM, m_disc.title);
    if (m_disc.year > 0) props.setUtf8(KYPROP_YEAR, std::to_string(m_disc.year));
    std::string genre = m_disc.genreText();
    if (!genre.empty()) props.setUtf8(KYPROP_GENRE, genre);
    if (a.number >= 0) props.setUtf8(KYPROP_TRACK_NUMBER, std::to_string(a.number));
    kySetReleaseProperties(props, m_disc, first, last, m_cover.embedFile());
    // Audio kept with its pre-emphasis says so, for players that can de-emphasise; the
    // next file gets the comment as it was.
    if (m_commentMarked) {
        if (m_plainComment.empty())
            props.clear(KYPROP_COMMENT);
        else
            props.setUtf8(KYPROP_COMMENT, m_plainComment);
        m_commentMarked = false;
    }
    if (m_settings.bKeepPreEmphasis && m_source.RangeHasPreEmphasis()) {
        const char* comment = props.getUtf8(KYPROP_COMMENT);
        m_plainComment = comment ? comment : "";
        m_commentMarked = true;
        props.setUtf8(KYPROP_COMMENT, m_plainComment.empty() ? "PRE" : m_plainComment + " PRE");
    }
    return KY_OK;
}

std::string kyBatchRunner::trackLabel(const Group& group) const {
    const TrackEntry& a = m_disc.tracks[group.first];
    const kyDriveRecord* drive =
        m_settings.iDevice >= 0 ? m_source.DriveRecord(static_cast<uint32_t>(m_settings.iDevice))
                                : nullptr;
    std::string label = (drive ? drive->displayName : std::string()) + " - Track " +
                        std::to_string(a.number) + " <" + a.name;
    if (group.second != group.first) label += " .." + m_disc.tracks[group.second].name;
    label += ">";
    return cutToUnits(label, kLabelRoom - 1);
}

void kyBatchRunner::destroyChain(Chain& chain) {
    m_current = nullptr;
    m_source.Disconnect();
    if (chain.end) chain.end->DestroyChain();
    // The file outlives its chain until it is put in place or discarded.
    kyPendingFile file = std::move(chain.file);
    chain = Chain{};
    chain.file = std::move(file);
}

kyError kyBatchRunner::createWriter(const std::string& path, Chain& chain) {
    // What killed runs left in the folder goes before the first file of this run is made.
    if (m_cleaned.insert(folderOf(path)).second) kyPendingFile::removeLeftovers(folderOf(path));
    // The writer writes to a temporary file beside the final one; something at the final
    // name that a file cannot replace (a folder) fails the file before it is written.
    struct stat st;
    const bool folder = ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if (folder) kySetErrorReason(KYERR_CREATE_FILE, EISDIR);
    if (folder || !chain.file.create(path)) {
        reportError(KYERR_CREATE_FILE, "Writing - DskR");
        return KYERR_UNKNOWN;
    }
    kyWriterFilter* writer = nullptr;
    kyError e = kyManager::Instance().CreateWriter(writer, chain.file.temporaryPath().c_str(),
                                                   m_settings.szDataFormat.c_str(), chain.format);
    if (kyFailed(e) || !writer) {
        if (writer) writer->DestroyChain();
        chain.file.discard();
        reportError(kyFailed(e) ? e : KYERR_UNKNOWN, "Writing - DskR");
        return KYERR_UNKNOWN;
    }
    chain.created = true;
    kyApplyWriterSettings(*writer, m_settings);
    if (chain.end) {
        // Take the stand-in's place.
        kySinkFilter* pending = chain.end;
        if (kySourceFilter* up = pending->upstream()) up->Connect(writer);
        pending->DestroyChain(); // unlinked by now: only itself
    }
    chain.writer = writer;
    chain.end = writer;
    return KY_OK;
}

kyError kyBatchRunner::buildChain(const Group& group, std::string& path, int fileIndex,
                                  Chain& chain, bool deferWriter, bool askOverwrite) {
    std::string before = path;
    if (askOverwrite && checkOverwrite(m_settings, path, m_frontend) == kyOverwriteDecision::Skip)
        return 1;
    if (path != before) m_frontend.setFileLabel(path);

    kyError e = prepareSource(group.first, group.second);
    if (kyFailed(e)) {
        reportError(e, "Initializing driver");
        return e;
    }

    chain.format = findWriterFormatByName(m_settings.szFileFormat);
    if (chain.format < 0) {
        reportError(KYERR_FILE_FORMAT, "Writing - DskR");
        return KYERR_FILE_FORMAT;
    }
    if (deferWriter) {
        chain.end = new PendingWriter;
    } else {
        e = createWriter(path, chain);
        if (kyFailed(e)) return e;
    }

    uint32_t channels =
        m_settings.iOutChannels > 0 ? static_cast<uint32_t>(m_settings.iOutChannels) : 0;
    e = kyManager::Instance().ConnectWithConversion(
        &m_source, chain.end, kyFormatCatalog::Instance().Entry(chain.format), channels, 0);
    kyProcessingStages stages;
    if (kySucceeded(e))
        e = kyInsertProcessingStages(m_source, *chain.end, m_settings, 44100, stages);
    if (kyFailed(e)) {
        reportError(e, "Writing - DskR");
        m_source.Disconnect();
        chain.end->DestroyChain();
        chain.end = chain.writer = nullptr;
        return KYERR_UNKNOWN;
    }
    chain.normalize = stages.normalize;
    chain.progress = new OurProgressDisplay(m_frontend, m_result.fileCount, [this] { Cancel(); });
    chain.progress->setFileIndex(fileIndex);
    m_source.InsertAfter(chain.progress);
    return KY_OK;
}

void kyBatchRunner::setStatus(const char* format, int number) {
    char status[128];
    std::snprintf(status, sizeof status, format, number, m_result.fileCount);
    m_frontend.setStatus(status);
}

kyBatchRunner::FileRecord kyBatchRunner::startRecord(const Group& group) const {
    FileRecord record;
    record.firstTrack = m_disc.tracks[group.first].number;
    record.lastTrack = m_disc.tracks[group.second].number;
    record.readOffset = m_source.ReadOffset();
    return record;
}

void kyBatchRunner::finishRecord(FileRecord& record, kyError e) const {
    record.outcome = FileOutcome::Ok;
    record.error = KY_OK;
    record.errorDetail.clear();
    if (e == KYERR_CANCELLED) {
        record.outcome = FileOutcome::Cancelled;
    } else if (e == 1) {
        record.outcome = FileOutcome::Skipped;
    } else if (kyFailed(e)) {
        record.outcome = FileOutcome::Failed;
        // The code the user was shown says more than the chain's "Unknown error".
        record.error = kyFailed(m_shownError) ? m_shownError : e;
        record.errorDetail = m_shownDetail;
        record.errorText = kyFailed(m_shownError) ? m_shownText : std::string(kyErrorMessage(e));
    } else {
        kyMarkContradictedTracks(m_source.Toc(), record);
        // Two passes that read different audio: which one is right is not known.
        if (record.testCrc && record.copyCrc && *record.testCrc != *record.copyCrc &&
            record.endSector > record.firstSector) {
            kyReadReport merged;
            merged.suspect = record.suspect;
            merged.addSuspect(record.firstSector, record.endSector - 1);
            record.suspect = merged.suspect;
        }
        record.outcome = record.suspect.empty() ? FileOutcome::Ok : FileOutcome::Suspect;
    }
}

kyError kyBatchRunner::readFile(Chain& chain, FileRecord& record, bool album,
                                kyGainAnalyzer*& analyzer) {
    record.firstSector = m_source.RangeStart();
    record.endSector = m_source.RangeEnd();
    kyError e = KY_OK;
    if (m_settings.bTestAndCopy) {
        setStatus("- Reading and Testing no %d out of %d -", m_result.fileIndex + 1);
        e = runTestPass(chain, m_result.fileIndex, record);
        setStatus(m_settings.bNormalize ? "- Reading and Analyzing no %d out of %d -"
                                        : "- Reading and Converting no %d out of %d -",
                  m_result.fileIndex + 1);
        m_frontend.setFileProgress(0);
        if (kyFailed(e)) return e;
        announceLengths(); // the copy pass reads the file again
    }
    // The disc is read once more, by the first pass of the chain: the checksum and what
    // could not be confirmed come from that read.
    kyCrc32Tap crc;
    kyAccurateRipTap sums(m_source.Toc());
    m_source.AddAudioTap(&crc);
    m_source.AddAudioTap(&sums);
    if (album) {
        // The first pass only; the chain waits for the album's gain.
        e = chain.normalize->GetAnalyzer(analyzer);
    } else if (chain.normalize) {
        e = kyRunNormalizeAnalysis(*chain.normalize, *chain.progress, *chain.end);
    } else {
        // Into the spool when a worker encodes the file.
        e = chain.spool ? chain.end->Run() : chain.writer->Run();
    }
    m_source.RemoveAudioTap(&crc);
    m_source.RemoveAudioTap(&sums);
    if (kySucceeded(e)) {
        takeReadReport(record, true, crc.crc(), crc.complete());
        kyJudgeTracks(m_accurateRip, sums, m_source.Toc(), record);
    }
    // A cancel that came as the pass ended still stops this file.
    if (kySucceeded(e) && (album || chain.normalize) && !m_running) e = KYERR_CANCELLED;
    if (kySucceeded(e) && !album && chain.normalize) {
        chain.progress->setFileIndex(m_result.fileIndex);
        setStatus("- Converting no %d out of %d -", m_result.fileIndex + 1);
        announceLengths(); // the second pass reads the file again
        e = chain.writer->Run();
    }
    return e;
}

void kyBatchRunner::reportFailure(kyError e) {
    if (kySucceeded(e) || e == KYERR_CANCELLED) return;
    const kyReadReport& report = m_source.Report();
    reportError(e, "Converting - DskR",
                e == KYERR_READ_FILE && report.failedSector
                    ? kySpanText(m_source.Toc(), {*report.failedSector, *report.failedSector})
                    : std::string());
}

kyError kyBatchRunner::putInPlace(kyPendingFile& file, kyError e) {
    // Only the complete file replaces one of its name.
    if (kySucceeded(e) && e != 1 && file.active() && !file.commit()) {
        e = KYERR_WRITE_FILE;
        reportError(e, "Writing - DskR", file.path() + ": " + std::strerror(errno));
    }
    file.discard();
    return e;
}

void kyBatchRunner::countFile(const FileRecord& record) {
    ++m_result.fileIndex;
    if (record.outcome == FileOutcome::Suspect)
        ++m_result.suspects;
    else
        ++m_result.successes;
}

void kyBatchRunner::writeAlbum(const std::vector<Group>& groups, std::vector<AlbumEntry>& album,
                               kyPlaylist& playlist, const std::string& outDir) {
    // One gain from every analysed file.
    std::vector<kyGainAnalyzer*> analyzers;
    for (AlbumEntry& entry : album) analyzers.push_back(std::exchange(entry.analyzer, nullptr));
    float gain = 0.0f;
    kyError e = kyAlbumGain(analyzers, gain);
    if (kySucceeded(e)) {
        for (AlbumEntry& entry : album)
            if (entry.state == AlbumEntry::Analysed) entry.chain.normalize->SetAlbumGain(gain);
    } else if (m_running) {
        reportError(e, "Converting - DskR");
        m_running = false;
        m_result.cancelled = true;
    }

    // The second loop: the files are created and written, in the same order.
    m_result.fileIndex = 0;
    double batchSeconds = 0, secondsBefore = 0;
    for (const Group& group : groups) batchSeconds += groupSeconds(group);
    auto filesLeft = [&album](size_t after) {
        for (size_t k = after + 1; k < album.size(); ++k)
            if (album[k].state == AlbumEntry::Analysed) return true;
        return false;
    };
    auto listed = [&outDir](const std::string& path) {
        return path.compare(0, outDir.size(), outDir) == 0 ? path.substr(outDir.size()) : path;
    };
    for (size_t g = 0; g < groups.size() && m_running; ++g) {
        AlbumEntry& entry = album[g];
        if (entry.state == AlbumEntry::NotReached) break;
        if (entry.state == AlbumEntry::Skipped) {
            // The existing file stays and counts, as it does outside album mode.
            countFile(m_result.records[entry.record]);
            playlist.add(listed(entry.path));
            continue;
        }
        if (entry.state == AlbumEntry::Failed) {
            ++m_result.fileIndex;
            continue;
        }
        const Group& group = groups[g];
        Chain& chain = entry.chain;
        setStatus("- Converting no %d out of %d -", m_result.fileIndex + 1);
        m_shownError = KY_OK;
        m_shownText.clear();
        kySetErrorReason(KY_OK, 0);
        e = prepareSource(group.first, group.second);
        if (kyFailed(e)) {
            reportError(e, "Initializing driver");
        } else {
            m_source.Connect(entry.head);
            m_current = chain.progress;
            chain.progress->setFileIndex(m_result.fileIndex);
            m_frontend.setFileProgress(0);
            m_frontend.setTrackLabel(trackLabel(group));
            m_frontend.setFileLabel("");
            // A file before this one that failed may have taken the folders with it.
            entry.folders.make(folderOf(entry.path), "");
            e = createWriter(entry.path, chain);
            if (kySucceeded(e)) {
                m_frontend.setFileLabel(entry.path);
                m_frontend.setAudioLengths(groupSeconds(group), secondsBefore, batchSeconds);
                e = chain.writer->Run();
                reportFailure(e);
            }
        }
        destroyChain(chain); // closes the file
        e = putInPlace(chain.file, e);
        entry.state = AlbumEntry::Done;
        FileRecord& record = m_result.records[entry.record];
        finishRecord(record, e);
        m_frontend.fileFinished(e);
        secondsBefore += groupSeconds(group);
        if (e == KYERR_CANCELLED) {
            entry.folders.removeEmpty();
            m_result.cancelled = true;
        } else if (kySucceeded(e)) {
            countFile(record);
            playlist.add(listed(entry.path));
        } else {
            ++m_result.fileIndex;
            // The file was never put in place: an earlier one of its name is untouched.
            entry.folders.removeEmpty();
            if (filesLeft(g)) {
                int answer = m_frontend.ask("Do you want to abort this job?", "DskR",
                                            {{"&Yes", kyAnswerYes}, {"&No", kyAnswerNo}});
                m_running = answer == kyAnswerNo;
            }
        }
        if (!m_running) m_result.cancelled = true;
    }

    // Clean-up: files the loop did not get to were never created; their chains and
    // temporary files go now.
    m_source.Disconnect();
    for (AlbumEntry& entry : album) {
        if (entry.state == AlbumEntry::Analysed) {
            m_result.records[entry.record].outcome = FileOutcome::Cancelled;
            if (entry.chain.end) entry.chain.end->DestroyChain();
            entry.chain = Chain{};
            entry.folders.removeEmpty();
            entry.state = AlbumEntry::Done;
        }
    }
}

void kyBatchRunner::queueForEncoding(Chain& chain) {
    kySourceFilter* up = chain.writer->upstream();
    chain.writer->Disconnect();
    chain.spool = std::make_unique<kyAudioSpool>(*m_spoolBudget);
    auto* sink = new kySpoolSink(*chain.spool);
    if (up) up->Connect(sink);
    chain.end = sink;
}

void kyBatchRunner::submitEncoding(Chain& chain, const FileRecord& record, const std::string& path,
                                   const kyMadeFolders& folders) {
    kyWriterFilter* writer = std::exchange(chain.writer, nullptr);
    std::unique_ptr<kyAudioSpool> spool = std::move(chain.spool);
    destroyChain(chain); // the read chain; the file stays with the chain
    QueuedFile queued;
    // The dither chosen for this file, not the one the next file may choose.
    queued.job =
        std::make_shared<kyEncodeJob>(writer, std::move(spool), kyGetDefaultQuantizerKind());
    queued.file = std::move(chain.file);
    queued.record = m_result.records.size();
    queued.path = path;
    queued.folders = folders;
    m_result.records.push_back(record); // its outcome comes with the result
    m_encoders->submit(queued.job);
    m_queued.push_back(std::move(queued));
    ++m_result.fileIndex; // read: the next file's number
}

void kyBatchRunner::takeEncoded(bool wait, kyPlaylist& playlist, const std::string& outDir,
                                bool groupsLeft) {
    while (!m_queued.empty()) {
        QueuedFile& queued = m_queued.front();
        if (!queued.job->done()) {
            if (!wait) return;
            setStatus("- Encoding no %d out of %d -", static_cast<int>(queued.record) + 1);
            // A cancel request arrives through the front end's events.
            while (!m_encoders->wait(*queued.job, std::chrono::milliseconds(50)))
                m_frontend.pumpEvents();
        }
        // What was shown for the file being read stays its own.
        const kyError shownError = std::exchange(m_shownError, KY_OK);
        const std::string shownDetail = std::exchange(m_shownDetail, std::string());
        kyError e = queued.job->error();
        if (kyFailed(e) && e != KYERR_CANCELLED) {
            kySetErrorReason(e, queued.job->reason());
            reportError(e, "Converting - DskR");
        }
        queued.job.reset();
        e = putInPlace(queued.file, e);
        FileRecord& record = m_result.records[queued.record];
        finishRecord(record, e);
        if (e == KYERR_CANCELLED) {
            queued.folders.removeEmpty();
            m_result.cancelled = true;
            --m_result.fileIndex; // counted when read, never finished
        } else if (kySucceeded(e)) {
            if (record.outcome == FileOutcome::Suspect)
                ++m_result.suspects;
            else
                ++m_result.successes;
            playlist.add(record.path.compare(0, outDir.size(), outDir) == 0
                             ? record.path.substr(outDir.size())
                             : record.path);
        } else {
            queued.folders.removeEmpty();
            if (m_running && (groupsLeft || m_queued.size() > 1)) {
                int answer = m_frontend.ask("Do you want to abort this job?", "DskR",
                                            {{"&Yes", kyAnswerYes}, {"&No", kyAnswerNo}});
                m_running = answer == kyAnswerNo;
            }
        }
        if (!m_running) m_result.cancelled = true;
        m_shownError = shownError;
        m_shownDetail = shownDetail;
        m_queued.pop_front();
    }
}

void kyBatchRunner::reportError(kyError code, const char* caption, const std::string& detail) {
    m_shownError = code;
    m_shownDetail = detail;
    m_shownText = kyErrorText(code);
    m_frontend.showError(code, caption, detail);
}

kyError kyBatchRunner::runTestPass(Chain& chain, int fileIndex, FileRecord& record) {
    // The source is taken off the file's chain for the pass and put back after it.
    kySinkFilter* head = m_source.downstream();
    m_source.Disconnect();
    auto* sink = new DiscardSink();
    auto* progress = new OurProgressDisplay(m_frontend, m_result.fileCount, [this] { Cancel(); });
    progress->setFileIndex(fileIndex);
    m_source.Connect(sink);
    m_source.InsertAfter(progress);
    m_current = progress;
    kyCrc32Tap crc;
    m_source.AddAudioTap(&crc);
    const kyError e = sink->Run();
    m_source.RemoveAudioTap(&crc);
    m_current = nullptr;
    m_source.Disconnect();
    sink->DestroyChain();
    m_source.Connect(head);
    m_current = chain.progress;
    if (kySucceeded(e)) takeReadReport(record, false, crc.crc(), crc.complete());
    return e;
}

void kyBatchRunner::takeReadReport(FileRecord& record, bool copy, uint32_t crc, bool complete) {
    const kyReadReport& report = m_source.Report();
    record.rereads += report.rereads;
    if (!copy) {
        if (complete) record.testCrc = crc;
        return;
    }
    record.suspect = report.suspect;
    record.filled = report.filled;
    record.secureRead = m_source.Verify();
    if (complete) record.copyCrc = crc;
}

std::string kyBatchRunner::findDuplicatePaths(const std::vector<Group>& groups) const {
    std::map<std::string, int32_t> seen;
    const std::string outDir = outputDirectory(m_settings);
    for (const Group& g : groups) {
        const TrackEntry& row = m_disc.tracks[g.first];
        const std::string path = outDir + buildFileName(m_settings, m_disc, &row);
        auto [it, fresh] = seen.emplace(path, row.number);
        if (!fresh)
            return "tracks " + std::to_string(it->second) + " and " + std::to_string(row.number) +
                   " would both be written to " + path;
    }
    return {};
}

std::string kyBatchRunner::summaryText() const {
    std::string text = kyBatchSummary(m_result.cancelled, m_result.fileIndex, m_result.successes,
                                      m_result.fileCount) +
                       " - total time " + elapsedText(m_result.seconds);
    for (const FileRecord& r : m_result.records) {
        if (r.outcome != FileOutcome::Suspect) continue;
        text += "\nSuspect: " + r.path;
        for (const kySectorSpan& span : r.suspect)
            text += "\n  " + kySpanText(m_source.Toc(), span);
        for (const FileRecord::AccurateRip& a : r.accurateRip)
            if (a.verdict.result == kyAccurateRipResult::Mismatch)
                text += "\n  track " + std::to_string(a.track) + ": " +
                        kyAccurateRipVerdictText(a.verdict);
        if (!r.verifyNote.empty()) text += "\n  " + r.verifyNote;
    }
    return text;
}

double kyBatchRunner::groupSeconds(const Group& group) const {
    uint64_t frames = 0;
    for (size_t r = group.first; r <= group.second && r < m_disc.tracks.size(); ++r)
        frames += m_disc.tracks[r].length;
    return static_cast<double>(frames) / 44100.0;
}

void kyBatchRunner::announceLengths() {
    m_frontend.setAudioLengths(m_lengths.file, m_lengths.before, m_lengths.total);
}

void kyBatchRunner::writeLog(const std::string& outDir) {
    // A log goes beside written files; a batch that wrote none leaves no folder behind it.
    const bool wroteAny =
        std::any_of(m_result.records.begin(), m_result.records.end(), [](const FileRecord& r) {
            return r.outcome == FileOutcome::Ok || r.outcome == FileOutcome::Suspect;
        });
    if (!wroteAny) return;
    kyRipLogContext context;
    context.date = kyRipLogDate();
    const kyDriveRecord* drive =
        m_source.IsDriveOpen()
            ? m_source.DriveRecord(static_cast<uint32_t>(m_source.OpenDriveNumber()))
            : nullptr;
    if (drive) context.drive = drive->vendorProduct;
    context.readMode = static_cast<uint32_t>(m_settings.eMode);
    context.readOffset = m_source.ReadOffset();
    context.speed = m_settings.iSpeed;
    context.testAndCopy = m_settings.bTestAndCopy;
    context.keepPreEmphasis = m_settings.bKeepPreEmphasis;
    context.toc = m_source.Toc();
    context.accurateRip = &m_accurateRip;
    context.verifiedBurst = m_verifyNote;
    m_result.log = kyRipLogText(context, m_result.records);
    const std::string path = kyRipLogPath(
        m_result.playlist.empty() ? kyPlaylist::pathFor(outDir, m_disc) : m_result.playlist);
    std::string error;
    if (kyWriteRipLog(path, m_result.log, error))
        m_result.logPath = path;
    else
        m_frontend.showError(KYERR_WRITE_FILE, "Writing - DskR", error);
}

void kyBatchRunner::Cancel() {
    if (!m_running) return; // nothing to stop
    m_running = false;
    // Files already read are still encoded and kept, as they would have been written
    // already on one thread: only the file being read stops.
    if (m_current) m_current->Cancel();
    m_frontend.setStatus("Cancelling, please wait...");
}

std::pair<uint32_t, uint32_t> kyBatchRunner::trackSpan(int32_t first, int32_t last) const {
    const kyDiscToc& toc = m_source.Toc();
    const uint32_t lo = toc.firstTrack, hi = std::min<uint32_t>(toc.lastTrack, 99);
    auto clampTrack = [&](int32_t n) { return std::clamp<uint32_t>(uint32_t(n), lo, hi); };
    const uint32_t begin = first <= 0 ? 0 : toc.entries[clampTrack(first)].start;
    const kyTocEntry& e = toc.entries[clampTrack(last)];
    const uint32_t end = last <= 0 ? toc.entries[lo].start : e.start + e.length;
    return {begin, std::max(begin, end)};
}

void kyBatchRunner::addHiddenTrackRow() {
    const kyDiscToc& toc = m_source.Toc();
    if (toc.firstTrack < 1 || toc.firstTrack > 99 || toc.entries[toc.firstTrack].data) return;
    const uint32_t sectors = toc.entries[toc.firstTrack].start;
    if (sectors == 0) return;
    auto first = std::find_if(m_disc.tracks.begin(), m_disc.tracks.end(), [&](const TrackEntry& r) {
        return r.number == int32_t(toc.firstTrack);
    });
    if (first == m_disc.tracks.end() ||
        std::any_of(m_disc.tracks.begin(), m_disc.tracks.end(),
                    [](const TrackEntry& r) { return r.number == 0; }))
        return;
    // Only audible audio makes a track: a pregap of digital silence (or one the drive
    // cannot read) does not.
    PeakSink peak;
    if (!m_source.SetRange(0, sectors)) return;
    m_source.Connect(&peak);
    kyAudioFormat format;
    m_source.GetFormat(format);
    peak.channels = std::min<uint32_t>(format.channels, 2);
    const kyError e = peak.Run();
    m_source.Disconnect();
    m_source.ForgetReadHistory();
    if (kyFailed(e) || peak.peak < 16.0f / 32768.0f) return;
    TrackEntry row;
    row.number = 0;
    row.start = 0;
    row.length = sectors * 588;
    row.name = "Hidden Track";
    row.selected = first->selected;
    m_disc.tracks.insert(first, row);
}

void kyBatchRunner::writeCueSheet(const std::string& outDir, const kyDiscLayout& layout) {
    std::vector<kyCueFile> files;
    for (const FileRecord& r : m_result.records) {
        if (r.firstTrack < 0 ||
            (r.outcome != FileOutcome::Ok && r.outcome != FileOutcome::Suspect &&
             r.outcome != FileOutcome::Skipped))
            continue;
        kyCueFile f;
        f.name =
            r.path.compare(0, outDir.size(), outDir) == 0 ? r.path.substr(outDir.size()) : r.path;
        std::tie(f.firstSector, f.endSector) = trackSpan(r.firstTrack, r.lastTrack);
        files.push_back(f);
    }
    if (files.empty()) return;
    const std::string path = kyCueSheetPath(outDir, m_disc);
    std::string error;
    if (kyWriteCueSheet(path, kyCueSheetText(m_disc, m_source.Toc(), layout, files), error))
        m_result.cueSheet = path;
    else
        m_result.cueError = error;
}

void kyBatchRunner::Run() {
    if (m_running) return; // a front end pumping events must not start a second batch
    m_running = true;
    m_result = Result{};
    m_current = nullptr;

    addRecentDirectory(m_settings, m_settings.szOutDir);
    const auto start = std::chrono::steady_clock::now();
    m_frontend.setBusy(true);
    m_frontend.setFileProgress(0);
    m_frontend.setBatchProgress(0);
    m_frontend.setStatus("");

    m_source.SetSpeed(static_cast<uint8_t>(std::clamp(m_settings.iSpeed, 0, 255)));
    m_source.SetContinueOnReadError(m_settings.bContinueOnReadError);
    m_source.SetKeepPreEmphasis(m_settings.bKeepPreEmphasis);
    const kyDriveRecord* drive =
        m_source.IsDriveOpen()
            ? m_source.DriveRecord(static_cast<uint32_t>(m_source.OpenDriveNumber()))
            : nullptr;
    m_source.SetReadOffset(drive ? readOffsetFor(m_settings, drive->vendorProduct) : 0);
    // The drive's Q bias, as its earlier rips learned it: its starts check it again.
    const std::string driveName = drive ? drive->vendorProduct : std::string();
    if (const auto bias = subQBiasFor(m_settings, driveName)) m_source.SetSubQBias(*bias);
    m_cleaned.clear();
    chooseReadMode();

    // What the CUE sheet needs from the disc is read before the disc is ripped.
    kyDiscLayout layout;
    if (m_settings.bWriteCue && m_source.IsDriveOpen()) {
        m_frontend.setStatus(m_settings.bDetectGaps ? "- Detecting gaps -" : "");
        std::string error;
        if (!m_source.ReadLayout(layout, m_settings.bDetectGaps, error)) layout = kyDiscLayout();
    }
    if (m_settings.bRipHiddenTrack && m_source.IsDriveOpen()) addHiddenTrackRow();
    const std::vector<Group> groups = makeGroups(m_disc, m_settings.bMergeConsecutive);
    m_result.fileCount = static_cast<int>(groups.size());

    const std::string outDir = outputDirectory(m_settings);
    // Two rows that would write one file are refused before anything is read.
    m_result.refused = findDuplicatePaths(groups);
    if (!m_result.refused.empty())
        reportError(KYERR_CREATE_FILE, "Writing - DskR", m_result.refused);
    kyPlaylist playlist;
    if (m_settings.bCreatePlaylist && m_result.refused.empty())
        playlist.create(kyPlaylist::pathFor(outDir, m_disc));

    m_frontend.setHighPriority(true);

    const bool album = kyAlbumNormalization(m_settings);
    std::vector<AlbumEntry> albumFiles(album ? groups.size() : 0);
    // Encoding beside the reading; a normalised file is read twice, and a verified burst
    // file may be read again before it is settled: both stay on one thread.
    const unsigned encoders = kyEncoderPool::threadsFor(m_settings.iEncoderThreads);
    if (encoders > 1 && !album && !m_settings.bNormalize && m_settings.eMode != KY_READ_VERIFIED) {
        m_spoolBudget = std::make_unique<kySpoolBudget>(
            uint64_t(std::max(m_settings.iEncoderQueueMiB, 0)) << 20);
        m_encoders = std::make_unique<kyEncoderPool>(encoders);
    }
    // A cover that cannot be kept for the writers only costs the embedded picture.
    if (!m_cover.begin(m_disc)) m_cover.end();
    double batchSeconds = 0;
    for (const Group& group : groups) batchSeconds += groupSeconds(group);
    double secondsBefore = 0;

    for (size_t g = 0; g < groups.size() && m_result.fileIndex < m_result.fileCount; ++g) {
        if (!m_running || !m_result.refused.empty()) break;
        const Group& group = groups[g];
        const std::string name = buildFileName(m_settings, m_disc, &m_disc.tracks[group.first]);
        std::string path = outDir + name;
        kyMadeFolders folders;
        folders.make(outDir, name);

        m_frontend.setTrackLabel(trackLabel(group));
        m_frontend.setFileLabel(path);
        setStatus(m_settings.bNormalize ? "- Reading and Analyzing no %d out of %d -"
                                        : "- Reading and Converting no %d out of %d -",
                  m_result.fileIndex + 1);

        Chain chain;
        m_shownError = KY_OK;
        m_shownDetail.clear();
        FileRecord record = startRecord(group);
        m_shownText.clear();
        kySetErrorReason(KY_OK, 0);
        const double fileSeconds = groupSeconds(group);
        kyError e = buildChain(group, path, m_result.fileIndex, chain, album);
        record.path = path;
        if (e == KY_OK) {
            if (m_encoders && !album && !chain.normalize) queueForEncoding(chain);
            m_current = chain.progress;
            m_lengths = {fileSeconds, secondsBefore, batchSeconds};
            announceLengths();
            m_frontend.setFileProgress(0);
            AlbumEntry* entry = album ? &albumFiles[g] : nullptr;
            kyGainAnalyzer* analyzer = nullptr;
            e = readFile(chain, record, album, analyzer);
            if (kySucceeded(e) && m_settings.eMode == KY_READ_VERIFIED)
                e = settleVerifiedBurst(group, path, chain, record, album, analyzer);
            if (entry) {
                if (kySucceeded(e)) {
                    chain.progress->Remove();
                    chain.end->InsertBefore(chain.progress);
                    entry->head = m_source.downstream();
                    m_source.Disconnect();
                    m_current = nullptr;
                    entry->analyzer = analyzer;
                    entry->state = AlbumEntry::Analysed;
                    entry->chain = std::move(chain);
                    entry->path = path;
                    entry->folders = folders;
                    entry->record = m_result.records.size();
                    m_result.records.push_back(record);
                    ++m_result.fileIndex;
                    m_frontend.fileFinished(KY_OK);
                    secondsBefore += fileSeconds;
                    continue;
                }
                if (analyzer) analyzer->Release();
            }
            if (chain.spool) {
                if (kySucceeded(e)) {
                    submitEncoding(chain, record, path, folders);
                    // The file is read: its reading speed and re-reads are told now; a
                    // worker's failure is reported when its result is taken.
                    m_frontend.fileFinished(KY_OK);
                    secondsBefore += fileSeconds;
                    takeEncoded(false, playlist, outDir, g + 1 < groups.size());
                    if (!m_running) m_result.cancelled = true;
                    continue;
                }
                // The writer never got its audio: it goes with the read chain.
                std::exchange(chain.writer, nullptr)->DestroyChain();
            }
            reportFailure(e);
        }
        // The files handed to the workers before this one are done with first.
        takeEncoded(true, playlist, outDir, true);
        destroyChain(chain); // closes the file
        if (!album) e = putInPlace(chain.file, e);
        chain.file.discard();

        finishRecord(record, e);
        m_result.records.push_back(record);
        if (album) albumFiles[g].state = e == 1 ? AlbumEntry::Skipped : AlbumEntry::Failed;
        if (album && e == 1) {
            albumFiles[g].record = m_result.records.size() - 1;
            albumFiles[g].path = path;
        }
        m_frontend.fileFinished(e);
        secondsBefore += fileSeconds;

        if (e == KYERR_CANCELLED) {
            folders.removeEmpty();
            m_result.cancelled = true;
        } else if (kySucceeded(e)) {
            if (!album) {
                countFile(record);
                // A file renamed at the prompt is listed where it really is.
                playlist.add(path.compare(0, outDir.size(), outDir) == 0
                                 ? path.substr(outDir.size())
                                 : path);
            } else {
                ++m_result.fileIndex;
            }
        } else {
            ++m_result.fileIndex;
            // The file was never put in place: an earlier one of its name is untouched.
            folders.removeEmpty();
            if (g + 1 < groups.size()) {
                int answer = m_frontend.ask("Do you want to abort this job?", "DskR",
                                            {{"&Yes", kyAnswerYes}, {"&No", kyAnswerNo}});
                m_running = answer == kyAnswerNo;
            }
        }
        if (!m_running) m_result.cancelled = true;
    }

    takeEncoded(true, playlist, outDir, false);
    m_encoders.reset();
    m_spoolBudget.reset();
    if (album) writeAlbum(groups, albumFiles, playlist, outDir);
    for (const FileRecord& r : m_result.records)
        if (r.outcome == FileOutcome::Ok || r.outcome == FileOutcome::Skipped)
            m_cover.addBeside(r.path);
    m_cover.end();

    const bool cancelled = m_result.cancelled;
    m_frontend.setTrackLabel(cancelled ? "  Batch cancelled." : "  Done!");
    m_frontend.setFileLabel(cancelled ? "  Batch cancelled." : "  Done!");
    m_frontend.setFileProgress(cancelled ? 0 : 100);
    m_frontend.setBatchProgress(cancelled ? 0 : 100);

    if (m_settings.bWriteCue && m_result.refused.empty()) writeCueSheet(outDir, layout);
    if (playlist.isOpen()) {
        // Suspect files are kept, and listed.
        const bool listed = m_result.successes + m_result.suspects > 0;
        if (listed) {
            m_frontend.setFileLabel(playlist.path());
            m_result.playlist = playlist.path();
        }
        playlist.finish(listed);
    }
    if (m_settings.bWriteLog) writeLog(outDir);

    m_result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m_frontend.setStatus(summaryText());

    // What the rips learned of the drive's Q is kept with its read offset; a bias its
    // starts contradicted is dropped.
    static_assert(kySubQBias::kLimit == RipSettings::kMaxSubQBias);
    if (m_source.SubQBias().Known())
        setSubQBias(m_settings, driveName, m_source.SubQBias().Value());
    else if (m_source.SubQBias().Contradicted())
        setSubQBias(m_settings, driveName, std::nullopt);

    if (m_settings.bEjectWhenDone && m_running) m_result.ejected = m_source.ToggleTray();

    m_frontend.setTitle("Batch Completed!");
    m_frontend.batchFinished(m_result.ejected);
    m_frontend.setHighPriority(false);
    m_frontend.attention();
    m_frontend.setBusy(false);
    if (m_settings.bExitWhenDone && m_running) m_frontend.pressFinish();
    m_running = false;
}
