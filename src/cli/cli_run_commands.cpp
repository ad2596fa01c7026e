// rip, convert and analyze.
#include "cd/crc32_tap.h"
#include "cd/virtual_drive.h"
#include "cli/cli_commands.h"
#include "cli/cli_drive.h"
#include "cli/cli_lookup.h"
#include "cli/cli_settings.h"
#include "cli/json_writer.h"
#include "cli/terminal_frontend.h"
#include "core/manager.h"
#include "filters/itu_bs1770_analyzer.h"
#include "filters/progress_indicator_filter.h"
#include "filters/replaygain_album_analyzer.h"
#include "filters/replaygain_analyzer.h"
#include "formats/format_catalog.h"
#include "formats/reader_filter.h"
#include "formats/writer_filter.h"
#include "job/accuraterip_check.h"
#include "job/batch_runner.h"
#include "job/output_file.h"
#include "job/output_naming.h"
#include "job/processing_stages.h"
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <unistd.h>

namespace {
void writeTrackAccurateRip(JsonWriter& out, const kyFileRecord::AccurateRip& a) {
    out.key("v1").value(kyCrc32Tap::hex(a.sums.v1)).key("v2").value(kyCrc32Tap::hex(a.sums.v2));
    out.key("result").value(kyAccurateRipResultText(a.verdict.result)).key("confidence");
    if (a.verdict.confidence)
        out.value(*a.verdict.confidence);
    else
        out.null();
}

// "accuraterip": the file's track; for a file of several tracks the weakest verdict, with
// every track under "tracks".
void writeAccurateRip(JsonWriter& out, const kyFileRecord& r) {
    out.key("accuraterip");
    if (r.accurateRip.empty()) {
        out.null();
        return;
    }
    out.beginObject();
    if (r.accurateRip.size() == 1) {
        writeTrackAccurateRip(out, r.accurateRip.front());
    } else {
        const auto weakest = std::max_element(
            r.accurateRip.begin(), r.accurateRip.end(), [](const auto& a, const auto& b) {
                return int(a.verdict.result) < int(b.verdict.result) ||
                       (a.verdict.result == b.verdict.result &&
                        a.verdict.confidence.value_or(0) > b.verdict.confidence.value_or(0));
            });
        out.key("v1").null().key("v2").null();
        out.key("result").value(kyAccurateRipResultText(weakest->verdict.result)).key("confidence");
        if (weakest->verdict.confidence)
            out.value(*weakest->verdict.confidence);
        else
            out.null();
        out.key("tracks").beginArray();
        for (const auto& a : r.accurateRip) {
            out.beginObject().key("track").value(a.track);
            writeTrackAccurateRip(out, a);
            out.endObject();
        }
        out.endArray();
    }
    out.endObject();
}

// One file of a rip in --json: its outcome, what could not be confirmed and the checksums.
void writeRecord(JsonWriter& out, const kyFileRecord& r, bool testAndCopy) {
    out.beginObject()
        .key("path")
        .value(r.path)
        .key("first_track")
        .value(r.firstTrack)
        .key("last_track")
        .value(r.lastTrack)
        .key("result")
        .value(kyFileOutcomeText(r.outcome));
    out.key("error");
    if (r.outcome == kyFileOutcome::Failed)
        out.value(r.errorDetail.empty() ? std::string(kyErrorText(r.error))
                                        : std::string(kyErrorText(r.error)) + ": " + r.errorDetail);
    else
        out.null();
    out.key("suspect_positions").beginArray();
    for (const kySectorSpan& span : r.suspect)
        out.beginArray().value(span.first).value(span.last).endArray();
    out.endArray();
    out.key("rereads").value(r.rereads);
    out.key("copy_crc");
    if (r.copyCrc)
        out.value(kyCrc32Tap::hex(*r.copyCrc));
    else
        out.null();
    if (testAndCopy) {
        out.key("test_crc");
        if (r.testCrc)
            out.value(kyCrc32Tap::hex(*r.testCrc));
        else
            out.null();
    }
    writeAccurateRip(out, r);
    out.endObject();
}
} // namespace

int commandRip(const CliArguments& args) {
    if (!args.positional.empty())
        return usageError("'rip' takes no file names (use --image FILE.cue for a disc image)");
    RipSettings settings;
    loadStoredSettings(settings);
    OverwritePolicy policy =
        settings.bNoOverwritePrompt ? OverwritePolicy::Replace : OverwritePolicy::Ask;
    std::string error;
    if (!applyRunOptions(args, settings, policy, error)) return usageError(error);
    CliFreedbRun freedb;
    if (!applyFreedbOptions(args, settings, freedb, error)) return usageError(error);
    std::vector<int> wanted;
    if (auto t = args.get("--tracks"); t && !parseTrackList(*t, wanted))
        return usageError("--tracks takes track numbers and ranges such as 1,3-5");
    long offset = 0;
    if (auto v = args.get("--offset"); v && !parseInteger(*v, -5880, 5880, offset))
        return usageError("--offset takes the drive's read offset in samples, -5880 to 5880");

    CliDisc disc;
    bool usage;
    if (!openCliDisc(args, settings.iDevice, true, disc, error, usage))
        return usage ? usageError(error) : failure(error);

    DiscInfo info;
    info.makeRows(disc.reader->Toc());
    if (disc.image && disc.image->Record()) applyDiscRecord(*disc.image->Record(), info);
    if (int code =
            lookUpForRip(args, settings, freedb, disc.reader->Toc(), disc.reader->ReadCdText(),
                         disc.demo, disc.image != nullptr, info, error);
        code != kExitOk)
        return code == kExitUsage       ? usageError(error)
               : code == kExitCancelled ? code
                                        : failure(error);
    if (!wanted.empty()) {
        for (auto& row : info.tracks) row.selected = false;
        for (int t : wanted) {
            auto it = std::find_if(info.tracks.begin(), info.tracks.end(),
                                   [t](const TrackEntry& r) { return r.number == t; });
            if (it == info.tracks.end())
                return usageError("the disc has no track " + std::to_string(t));
            if (it->data) return usageError("track " + std::to_string(t) + " is a data track");
            it->selected = true;
        }
    }
    if (std::none_of(info.tracks.begin(), info.tracks.end(),
                     [](const TrackEntry& r) { return r.selected; }))
        return failure("the disc has no audio track to rip");

    std::error_code ec;
    std::filesystem::create_directories(settings.szOutDir, ec);
    if (ec)
        return failure("cannot create the output folder " + settings.szOutDir + ": " +
                       ec.message());
    // Labels name the drive by its number in the settings.
    const int32_t storedDevice = settings.iDevice;
    settings.iDevice = disc.driveNumber;
    // The read offset belongs to the drive: kept under its name.
    if (args.has("--offset")) {
        const kyDriveRecord* drive =
            disc.reader->DriveRecord(static_cast<uint32_t>(disc.driveNumber));
        if (!drive || readOffsetKey(drive->vendorProduct).empty())
            return failure("the drive does not tell its name, so --offset cannot be kept for it");
        setReadOffset(settings, drive->vendorProduct, static_cast<int32_t>(offset));
    }

    const bool json = args.has("--json");
    const bool interactive = isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
    TerminalFrontend frontend(stderr, interactive, policy);
    kyBatchRunner runner(settings, info, *disc.reader, frontend);
    // The database is asked unbidden for a real disc only: the demo disc is in no database
    // and an image's disc usually is not either.
    if (settings.bAccurateRip && (args.has("--accuraterip") || (!disc.demo && !disc.image))) {
        frontend.setStatus("Asking the AccurateRip database...");
        kyAccurateRipRecord record = kyLookUpAccurateRip(settings, disc.reader->Toc());
        if (record.state == kyAccurateRipResult::Offline)
            std::fprintf(stderr, "dskr-cli: %s\n", record.message.c_str());
        runner.setAccurateRip(std::move(record));
    }
    {
        InterruptGuard guard;
        runner.Run();
    }
    const kyBatchRunner::Result& result = runner.result();

    if (args.has("--save")) {
        // A virtual drive's number means nothing next time.
        if (disc.image) settings.iDevice = storedDevice;
        if (!saveSettings(settings))
            std::fprintf(stderr, "dskr-cli: the settings could not be saved\n");
    }

    const std::string summary = frontend.lastStatus();
    bool anyFailure = !result.refused.empty();
    for (const auto& r : result.records)
        anyFailure |= r.outcome == kyFileOutcome::Failed || r.outcome == kyFileOutcome::Suspect;
    anyFailure |= !result.cueError.empty();
    if (json) {
        JsonWriter out;
        out.beginObject().key("files").beginArray();
        for (const auto& r : result.records) writeRecord(out, r, settings.bTestAndCopy);
        out.endArray().key("playlist");
        if (result.playlist.empty())
            out.null();
        else
            out.value(result.playlist);
        out.key("cue_sheet");
        if (result.cueSheet.empty())
            out.null();
        else
            out.value(result.cueSheet);
        out.key("refused");
        if (result.refused.empty())
            out.null();
        else
            out.value(result.refused);
        out.key("log");
        if (result.log.empty())
            out.null();
        else
            out.value(result.log);
        out.key("log_path");
        if (result.logPath.empty())
            out.null();
        else
            out.value(result.logPath);
        out.key("summary").value(summary).endObject();
        std::printf("%s\n", out.str().c_str());
    } else {
        for (const auto& r : result.records) {
            std::printf("%-9s %s\n", kyFileOutcomeText(r.outcome), r.path.c_str());
            for (const kySectorSpan& span : r.suspect)
                std::printf("          %s\n", kySpanText(disc.reader->Toc(), span).c_str());
        }
        if (!result.playlist.empty()) std::printf("playlist  %s\n", result.playlist.c_str());
        if (!result.cueSheet.empty()) std::printf("cue sheet %s\n", result.cueSheet.c_str());
        if (!result.logPath.empty()) std::printf("log       %s\n", result.logPath.c_str());
    }
    if (!result.cueError.empty())
        std::fprintf(stderr, "dskr-cli: the CUE sheet could not be written: %s\n",
                     result.cueError.c_str());
    if (result.cancelled) return kExitCancelled;
    return anyFailure ? kExitFailure : kExitOk;
}

int commandConvert(const CliArguments& args) {
    if (args.positional.size() != 2)
        return usageError("'convert' takes an input and an output file");
    for (const char* ripOnly : {"--out",
                                "--pattern",
                                "--merge",
                                "--playlist",
                                "--mode",
                                "--speed",
                                "--tracks",
                                "--eject",
                                "--json",
                                "--offset",
                                "--test-and-copy",
                                "--no-test-and-copy",
                                "--continue-on-errors",
                                "--no-continue-on-errors",
                                "--cue",
                                "--no-cue",
                                "--detect-gaps",
                                "--no-detect-gaps",
                                "--hidden-track",
                                "--no-hidden-track",
                                "--jobs",
                                "--encoder-queue"})
        if (args.has(ripOnly))
            return usageError(std::string(ripOnly) + " is for 'rip', not 'convert'");
    const std::string& in = args.positional[0];
    const std::string& out = args.positional[1];
    RipSettings settings;
    loadStoredSettings(settings);
    // A conversion starts from the file's own layout: only the options given change it.
    settings.bResample = settings.bRemoveSilence = settings.bCutOff = settings.bNormalize = false;
    const kyFormatCatalog& catalog = kyFormatCatalog::Instance();
    int32_t format = -1;
    if (!args.has("--format")) {
        // The output's name says the format; --subformat and --compression are its.
        format = catalog.FindWriterFormat(out.c_str());
        if (format < 0)
            return usageError("cannot tell the format of '" + out +
                              "' from its name: add --format");
        const std::string name = catalog.Entry(format)->displayName;
        if (name != settings.szFileFormat) settings.iCompressionLevel = -1;
        settings.szFileFormat = name;
    }
    OverwritePolicy policy = OverwritePolicy::Ask;
    std::string error;
    if (!applyRunOptions(args, settings, policy, error)) return usageError(error);
    if (args.has("--format")) format = findWriterFormatByName(settings.szFileFormat);
    std::string subformat;
    if (args.has("--subformat")) {
        subformat = settings.szDataFormat;
    } else {
        const auto& list = catalog.Entry(format)->subformats;
        if (std::find(list.begin(), list.end(), "<Auto select>") != list.end())
            subformat = "<Auto select>";
    }

    std::error_code ec;
    if (std::filesystem::exists(in, ec) && std::filesystem::equivalent(in, out, ec))
        return usageError("the output file must not be the input file");
    if (std::filesystem::exists(out, ec)) {
        if (policy == OverwritePolicy::Skip) {
            std::fprintf(stderr, "dskr-cli: %s exists: skipped\n", out.c_str());
            return kExitOk;
        }
        if (policy == OverwritePolicy::Ask) {
            if (!(isatty(STDIN_FILENO) && isatty(STDERR_FILENO)))
                return failure(out + " exists (use --overwrite replace to replace it)");
            std::fprintf(stderr, "%s exists. Replace it? [y/N] ", out.c_str());
            std::string answer;
            if (!std::getline(std::cin, answer) ||
                (answer != "y" && answer != "Y" && answer != "yes"))
                return kExitOk;
        }
    }

    kyReaderFilter* reader = nullptr;
    kyError e = kyManager::Instance().OpenReader(reader, in.c_str(), -2, 0);
    if (kyFailed(e) || !reader) {
        if (reader) reader->DestroyChain();
        return failure(in + ": " + kyErrorText(kyFailed(e) ? e : KYERR_UNKNOWN));
    }
    kyAudioFormat source;
    reader->GetFormat(source);

    // Written under a temporary name beside the output and put in place at the end, so
    // that a failed or cancelled conversion leaves any earlier file of that name as it was.
    kyPendingFile pending;
    if (!pending.create(out)) {
        reader->DestroyChain();
        return failure(out + ": " + kyErrorMessage(KYERR_CREATE_FILE) + ": " +
                       std::strerror(errno));
    }
    kyWriterFilter* writer = nullptr;
    e = kyManager::Instance().CreateWriter(writer, pending.temporaryPath().c_str(),
                                           subformat.c_str(), format);
    if (kyFailed(e) || !writer) {
        if (writer) writer->DestroyChain();
        reader->DestroyChain();
        return failure(out + ": " + kyErrorText(kyFailed(e) ? e : KYERR_UNKNOWN));
    }
    kyApplyWriterSettings(*writer, settings);
    const uint32_t channels =
        args.has("--channels") ? static_cast<uint32_t>(settings.iOutChannels) : 0;
    e = kyManager::Instance().ConnectWithConversion(reader, writer, channels, 0);
    if (kyFailed(e)) {
        writer->DestroyChain();
        reader->DestroyChain();
        return failure(out + ": " + kyErrorText(e));
    }
    kyProcessingStages stages;
    e = kyInsertProcessingStages(*reader, *writer, settings, source.sampleRate, stages);
    if (kyFailed(e)) {
        writer->DestroyChain();
        return failure(out + ": " + kyErrorText(e));
    }

    const bool interactive = isatty(STDERR_FILENO);
    TerminalFrontend frontend(stderr, interactive, policy);
    auto* progress = new kyProgressIndicatorFilter();
    progress->setProgressHook([&frontend, progress](int32_t percent) {
        frontend.setFileProgress(percent);
        if (TerminalFrontend::interrupted) progress->Cancel();
    });
    reader->InsertAfter(progress);
    frontend.setTrackLabel(in);
    frontend.setFileLabel(out);
    {
        InterruptGuard guard;
        e = KY_OK;
        if (stages.normalize) {
            frontend.setStatus("Analyzing " + in);
            e = kyRunNormalizeAnalysis(*stages.normalize, *progress, *writer);
            // One file is an album of its own: its album gain is its track gain.
            if (kySucceeded(e) && kyAlbumNormalization(settings)) {
                std::vector<kyGainAnalyzer*> analyzers(1, nullptr);
                float gain = 0.0f;
                e = stages.normalize->GetAnalyzer(analyzers[0]);
                if (kySucceeded(e)) e = kyAlbumGain(analyzers, gain);
                if (kySucceeded(e)) stages.normalize->SetAlbumGain(gain);
            }
            if (kySucceeded(e)) frontend.setStatus("Converting " + in);
        }
        if (kySucceeded(e)) e = writer->Run();
    }
    writer->DestroyChain(); // closes the file
    if (kySucceeded(e) && !pending.commit()) e = KYERR_WRITE_FILE;
    if (kyFailed(e)) {
        pending.discard();
        if (e == KYERR_CANCELLED) {
            frontend.setStatus("Cancelled");
            return kExitCancelled;
        }
        frontend.showError(e, "Converting - DskR");
        return kExitFailure;
    }
    frontend.setStatus("Converted " + in + " to " + out);
    return kExitOk;
}
namespace {
// The end of an analysis chain: feeds every block to the analyzers and keeps the peak.
class AnalysisSink : public kySinkFilter2 {
public:
    explicit AnalysisSink(std::vector<kyGainAnalyzer*> analyzers)
        : kySinkFilter2("Analysis sink"), m_analyzers(std::move(analyzers)) {}
    kyError Write(float** planes, uint32_t frames) override {
        for (kyGainAnalyzer* a : m_analyzers) a->process(planes, frames);
        for (uint32_t c = 0; planes[c]; ++c)
            for (uint32_t i = 0; i < frames; ++i)
                m_peak = std::max(m_peak, std::fabs(planes[c][i]));
        return KY_OK;
    }
    float peak() const { return m_peak; }

private:
    std::vector<kyGainAnalyzer*> m_analyzers;
    float m_peak = 0.0f;
};

struct Analysis {
    std::string path;
    float peak = 0;
    float trackGain = 0, isoTrackGain = 0;
    std::optional<double> loudness;
};
} // namespace

int commandAnalyze(const CliArguments& args) {
    if (args.positional.empty()) return usageError("'analyze' needs one or more audio files");
    std::vector<Analysis> results;
    kyReplayGainAlbumAnalyzer album;
    bool failed = false;
    if (kyFailed(album.init())) return failure(kyErrorMessage(KYERR_OUT_OF_MEMORY));
    for (const std::string& path : args.positional) {
        kyReaderFilter* reader = nullptr;
        kyError e = kyManager::Instance().OpenReader(reader, path.c_str(), -2, 0);
        if (kyFailed(e) || !reader) {
            if (reader) reader->DestroyChain();
            std::fprintf(stderr, "dskr-cli: %s: %s\n", path.c_str(),
                         kyErrorText(kyFailed(e) ? e : KYERR_UNKNOWN).c_str());
            failed = true;
            continue;
        }
        kyAudioFormat format;
        reader->GetFormat(format);
        auto standard = kyMakeGainAnalyzer<kyReplayGainAnalyzer>(false, 89.0f);
        auto iso = kyMakeGainAnalyzer<kyReplayGainAnalyzer>(true, 89.0f);
        auto ebu = kyMakeGainAnalyzer<kyITUBS1770Analyzer>(2u, 0.0f);
        if (!standard || !iso || !ebu) e = KYERR_OUT_OF_MEMORY;
        for (kyGainAnalyzer* a :
             {static_cast<kyGainAnalyzer*>(standard.get()), static_cast<kyGainAnalyzer*>(iso.get()),
              static_cast<kyGainAnalyzer*>(ebu.get())})
            if (kySucceeded(e)) e = a->init(format.sampleRate, format.channels, format.channelMask);
        auto* sink = new AnalysisSink({standard.get(), iso.get(), ebu.get()});
        reader->Connect(sink);
        if (kySucceeded(e)) e = sink->Run();
        const float peak = sink->peak();
        sink->DestroyChain();
        if (kyFailed(e)) {
            std::fprintf(stderr, "dskr-cli: %s: %s\n", path.c_str(), kyErrorText(e).c_str());
            failed = true;
            continue;
        }
        standard->finish();
        iso->finish();
        ebu->finish();
        album.add(standard.get());
        Analysis a;
        a.path = path;
        a.peak = peak;
        a.trackGain = standard->gain();
        a.isoTrackGain = iso->gain();
        if (ebu->hasLoudness()) a.loudness = ebu->loudness();
        results.push_back(a);
    }
    album.compute();
    const bool albumGain = results.size() > 1;
    if (args.has("--json")) {
        JsonWriter out;
        out.beginObject().key("files").beginArray();
        for (const auto& a : results)
            out.beginObject()
                .key("path")
                .value(a.path)
                .key("peak")
                .value(static_cast<double>(a.peak))
                .key("replaygain_track_gain")
                .value(static_cast<double>(a.trackGain))
                .key("replaygain_iso_track_gain")
                .value(static_cast<double>(a.isoTrackGain))
                .key("loudness_lufs")
                .value(a.loudness)
                .endObject();
        out.endArray().key("replaygain_album_gain");
        if (albumGain)
            out.value(static_cast<double>(album.gain()));
        else
            out.null();
        out.endObject();
        std::printf("%s\n", out.str().c_str());
    } else {
        for (const auto& a : results) {
            std::printf(
                "%s\n  peak %.6f (%.2f dBFS)  ReplayGain %+.2f dB  ReplayGain ISO %+.2f dB  ",
                a.path.c_str(), a.peak, a.peak > 0 ? 20 * std::log10(a.peak) : -INFINITY,
                a.trackGain, a.isoTrackGain);
            if (a.loudness)
                std::printf("loudness %.1f LUFS\n", *a.loudness);
            else
                std::printf("loudness -\n");
        }
        if (albumGain) std::printf("album gain %+.2f dB\n", album.gain());
    }
    return failed ? kExitFailure : kExitOk;
}
