// rip, convert and analyze.
#include "app/settings_table.h"
#include "cd/crc32_tap.h"
#include "cd/dsk_reader.h"
#include "cd/virtual_drive.h"
#include "cli/cli_commands.h"
#include "cli/cli_drive.h"
#include "cli/cli_lookup.h"
#include "cli/cli_run_options.h"
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
#include <cerrno>
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

// "verified_burst": how that mode settled the file; for a file read again, what the burst
// read gave (why it was read again) and whether the secure read agrees with it.
void writeVerifiedBurst(JsonWriter& out, const kyFileRecord& r) {
    out.key("verified_burst");
    if (r.verified == kyVerifiedBurst::None) {
        out.null();
        return;
    }
    out.beginObject().key("settled").value(kyVerifiedBurstText(r.verified));
    out.key("burst_crc");
    if (r.burstCrc)
        out.value(kyCrc32Tap::hex(*r.burstCrc));
    else
        out.null();
    out.key("agrees");
    if (r.verified == kyVerifiedBurst::Reread && r.burstCrc && r.copyCrc)
        out.value(*r.burstCrc == *r.copyCrc);
    else
        out.null();
    out.key("burst").beginArray();
    for (const auto& a : r.burstAccurateRip) {
        out.beginObject().key("track").value(a.track);
        writeTrackAccurateRip(out, a);
        out.endObject();
    }
    out.endArray().key("note");
    if (r.verifyNote.empty())
        out.null();
    else
        out.value(r.verifyNote);
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
        out.value((r.errorText.empty() ? std::string(kyErrorMessage(r.error)) : r.errorText) +
                  (r.errorDetail.empty() ? "" : ": " + r.errorDetail));
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
    writeVerifiedBurst(out, r);
    out.endObject();
}
} // namespace

int commandRip(const CliArguments& args) {
    if (!args.positional.empty())
        return usageError("'rip' takes no file names (use --image FILE.cue for a disc image)");
    RipSettings settings;
    loadStoredSettings(settings);
    std::string error;
    OverwritePolicy policy;
    if (!applySettingOptions(args, settings, error) ||
        !overwritePolicy(args, settings, policy, error))
        return usageError(error);
    CliFreedbRun freedb;
    if (!applyFreedbOptions(args, settings, freedb, error)) return usageError(error);
    std::vector<int> wanted;
    if (auto t = args.get("tracks"); t && !parseTrackList(*t, wanted))
        return usageError("--tracks takes track numbers and ranges such as 1,3-5");
    long long offset = 0;
    if (auto v = args.get("offset"); v && !kyParseInteger(*v, -5880, 5880, offset))
        return usageError("--offset takes the drive's read offset in samples, -5880 to 5880");

    CliDisc disc;
    bool usage;
    if (!openCliDisc(args, settings.iDevice, true, disc, error, usage))
        return usage ? usageError(error) : failure(error);
    reportSkippedDevices(args, disc);

    DiscInfo info;
    discRecordOf(disc, info);
    if (int code =
            lookUpForRip(args, settings, freedb, disc.reader->Toc(), disc.reader->ReadCdText(),
                         disc.demo, disc.image != nullptr, info, error);
        code != kExitOk)
        return code == kExitUsage       ? usageError(error)
               : code == kExitCancelled ? code
                                        : failure(error);
    // Names typed or given in a file win over those looked up.
    if (!applyNameOptions(args, info, error, usage))
        return usage ? usageError(error) : failure(error);
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
    if (args.has("offset")) {
        const kyDriveRecord* drive =
            disc.reader->DriveRecord(static_cast<uint32_t>(disc.driveNumber));
        if (!drive || readOffsetKey(drive->vendorProduct).empty())
            return failure("the drive does not tell its name, so --offset cannot be kept for it");
        setReadOffset(settings, drive->vendorProduct, static_cast<int32_t>(offset));
    }

    const bool json = args.has("json");
    const bool interactive = isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
    TerminalFrontend frontend(stderr, interactive, policy, verbosityOf(args));
    disc.reader->SetReadObserver(
        [&frontend](const kyDskReader::ReadEvent& event) { frontend.readEvent(event); });
    kyBatchRunner runner(settings, info, *disc.reader, frontend);
    // The database is asked unbidden for a real disc only: the demo disc is in no database
    // and an image's disc usually is not either.
    if (settings.bAccurateRip && (args.has("accuraterip") || (!disc.demo && !disc.image) ||
                                  settings.eMode == KY_READ_VERIFIED)) {
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
    disc.reader->SetReadObserver(nullptr);
    const kyBatchRunner::Result& result = runner.result();

    if (args.has("save")) {
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
        out.key("summary").value(summary).key("ejected").value(result.ejected).endObject();
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
    std::string error; // why the file could not be measured
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
            const std::string text = kyErrorText(kyFailed(e) ? e : KYERR_UNKNOWN);
            if (reader) reader->DestroyChain();
            std::fprintf(stderr, "dskr-cli: %s: %s\n", path.c_str(), text.c_str());
            results.push_back(Analysis{path, text, 0, 0, 0, std::nullopt});
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
            const std::string text = kyErrorText(e);
            std::fprintf(stderr, "dskr-cli: %s: %s\n", path.c_str(), text.c_str());
            results.push_back(Analysis{path, text, 0, 0, 0, std::nullopt});
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
    const size_t measured = std::count_if(results.begin(), results.end(),
                                          [](const Analysis& a) { return a.error.empty(); });
    const bool albumGain = measured > 1;
    if (args.has("json")) {
        JsonWriter out;
        out.beginObject().key("files").beginArray();
        for (const auto& a : results) {
            if (!a.error.empty()) {
                out.beginObject().key("path").value(a.path).key("error").value(a.error).endObject();
                continue;
            }
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
        }
        out.endArray().key("replaygain_album_gain");
        if (albumGain)
            out.value(static_cast<double>(album.gain()));
        else
            out.null();
        out.endObject();
        std::printf("%s\n", out.str().c_str());
    } else {
        for (const auto& a : results) {
            if (!a.error.empty()) continue; // said on stderr
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
