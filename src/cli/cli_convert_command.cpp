// convert: one file to another, or many files into a folder, several at once.
#include "app/settings_table.h"
#include "cli/cli_commands.h"
#include "cli/cli_run_options.h"
#include "cli/json_writer.h"
#include "cli/terminal_frontend.h"
#include "formats/format_catalog.h"
#include "job/encoder_pool.h"
#include "job/file_conversion.h"
#include "job/file_record.h"
#include "job/output_naming.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <sys/ioctl.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// What a conversion makes of the stored settings and the options given.
struct ConvertSetup {
    RipSettings settings;
    OverwritePolicy policy = OverwritePolicy::Ask;
    kyConversionTarget target;
};

// `byName`: the format of the single output's name, used when --format is not given.
int readConvertOptions(const CliArguments& args, const std::string* byName, ConvertSetup& setup) {
    RipSettings& settings = setup.settings;
    loadStoredSettings(settings);
    // A conversion starts from the file's own layout: only the options given change it.
    settings.bResample = settings.bRemoveSilence = settings.bCutOff = settings.bNormalize = false;
    const kyFormatCatalog& catalog = kyFormatCatalog::Instance();
    if (byName && !args.has("format")) {
        // The output's name says the format; --subformat and --compression are its.
        const int32_t format = catalog.FindWriterFormat(byName->c_str());
        if (format < 0)
            return usageError("cannot tell the format of '" + *byName +
                              "' from its name: add --format");
        const std::string name = catalog.Entry(format)->displayName;
        if (name != settings.szFileFormat) {
            settings.iCompressionLevel = -1;
            settings.szDataFormat = kyDefaultDataFormat(name);
        }
        settings.szFileFormat = name;
    }
    std::string error;
    if (!applySettingOptions(args, settings, error)) return usageError(error);
    if (args.get("overwrite") && !overwritePolicy(args, settings, setup.policy, error))
        return usageError(error);
    setup.target.format = findWriterFormatByName(settings.szFileFormat);
    if (setup.target.format < 0)
        return usageError("unknown format '" + settings.szFileFormat + "'");
    if (args.has("subformat")) {
        setup.target.subformat = settings.szDataFormat;
    } else {
        const auto& list = catalog.Entry(setup.target.format)->subformats;
        if (std::find(list.begin(), list.end(), "<Auto select>") != list.end())
            setup.target.subformat = "<Auto select>";
    }
    setup.target.channels =
        args.has("channels") ? static_cast<uint32_t>(setup.settings.iOutChannels) : 0;
    return kExitOk;
}

bool askReplace(const std::string& path) {
    std::fprintf(stderr, "%s exists. Replace it? [y/N] ", path.c_str());
    std::string answer;
    return std::getline(std::cin, answer) && (answer == "y" || answer == "Y" || answer == "yes");
}

// One file's line of the --json result.
struct ConvertRecord {
    std::string input, output;
    kyFileOutcome outcome = kyFileOutcome::Failed;
    std::string error;  // when failed
    double seconds = 0; // of audio
    double elapsed = 0; // spent converting
};

void printRecords(const std::vector<ConvertRecord>& records, bool json) {
    if (json) {
        JsonWriter out;
        out.beginObject().key("files").beginArray();
        for (const ConvertRecord& r : records) {
            out.beginObject().key("input").value(r.input).key("output").value(r.output);
            out.key("result").value(kyFileOutcomeText(r.outcome)).key("error");
            if (r.outcome == kyFileOutcome::Failed)
                out.value(r.error);
            else
                out.null();
            out.key("seconds").value(r.seconds).key("elapsed").value(r.elapsed).key("speed");
            if (r.outcome == kyFileOutcome::Ok && r.elapsed > 0 && r.seconds > 0)
                out.value(r.seconds / r.elapsed);
            else
                out.null();
            out.endObject();
        }
        out.endArray().endObject();
        std::printf("%s\n", out.str().c_str());
        return;
    }
    for (const ConvertRecord& r : records) {
        if (r.outcome == kyFileOutcome::Failed || r.outcome == kyFileOutcome::Cancelled)
            std::printf("%-9s %s\n", kyFileOutcomeText(r.outcome), r.input.c_str());
        else
            std::printf("%-9s %s\n", kyFileOutcomeText(r.outcome), r.output.c_str());
    }
}

int exitCodeOf(const std::vector<ConvertRecord>& records, bool cancelled) {
    if (cancelled) return kExitCancelled;
    return std::any_of(records.begin(), records.end(),
                       [](const ConvertRecord& r) { return r.outcome == kyFileOutcome::Failed; })
               ? kExitFailure
               : kExitOk;
}

// The progress of several files at once: on a terminal one line redrawn in place (files
// done, the share of the whole, the files being converted), each finished file a line of
// its own above it; without one, only the lines of the finished files.
class ManyFilesProgress {
public:
    ManyFilesProgress(bool interactive, Verbosity verbosity, size_t total)
        : m_interactive(interactive), m_quiet(verbosity == Verbosity::Quiet), m_total(total) {}

    void finished(const kyFileConversion& file, const kyConversionBatch::Outcome& outcome) {
        ++m_done;
        std::string text;
        if (kySucceeded(outcome.error)) {
            if (m_quiet) return;
            text = "Converted " + file.input() + " to " + file.output();
            if (outcome.elapsed > 0 && file.seconds() > 0) {
                char speed[32];
                std::snprintf(speed, sizeof speed, " (%.1fx)", file.seconds() / outcome.elapsed);
                text += speed;
            }
        } else if (outcome.error == KYERR_CANCELLED) {
            return;
        } else {
            text = "dskr-cli: " + file.input() + ": " + outcome.message;
        }
        clear();
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
    }

    void draw(const kyConversionBatch& batch) {
        if (m_quiet || !m_interactive) return;
        char head[96];
        std::snprintf(head, sizeof head, "%zu of %zu files converted, %3d%%", m_done, m_total,
                      static_cast<int>(batch.fraction() * 100.0));
        std::string text = head;
        std::string names;
        for (size_t i = 0; i < batch.size(); ++i) {
            if (batch.finished(i) || !batch.started(i)) continue;
            names +=
                (names.empty() ? ": " : ", ") + fs::path(batch.file(i).input()).filename().string();
        }
        text += names;
        winsize ws{};
        const size_t width =
            ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 ? ws.ws_col - 1 : 79;
        if (text.size() > width) text = text.substr(0, width - 3) + "...";
        std::fprintf(stderr, "\r%s\033[K", text.c_str());
        std::fflush(stderr);
        m_shown = true;
    }

    void clear() {
        if (!m_shown) return;
        std::fprintf(stderr, "\r\033[K");
        m_shown = false;
    }

private:
    bool m_interactive, m_quiet;
    size_t m_total, m_done = 0;
    bool m_shown = false;
};

// convert FILE... --out-dir DIR: each file into DIR under its own name with the format's
// extension, at most -j files at once; the results in the order of the files.
int convertMany(const CliArguments& args) {
    if (args.positional.empty())
        return usageError("'convert --out-dir DIR' needs one or more input files");
    const std::string dir = *args.get("out-dir");
    if (dir.empty()) return usageError("--out-dir needs a folder");
    ConvertSetup setup;
    if (int code = readConvertOptions(args, nullptr, setup); code != kExitOk) return code;
    std::string extension;
    findWriterFormatByName(setup.settings.szFileFormat, &extension);

    // Every name first: two files that would be written to one name are refused before
    // any work, and so is a file that would replace its own input.
    std::vector<ConvertRecord> records;
    std::map<std::string, size_t> byOutput;
    std::error_code ec;
    for (const std::string& in : args.positional) {
        ConvertRecord r;
        r.input = in;
        r.output = (fs::path(dir) / (fs::path(in).stem().string() + "." + extension)).string();
        const std::string key = fs::absolute(r.output, ec).lexically_normal().string();
        if (auto [it, added] = byOutput.emplace(key, records.size()); !added)
            return usageError("'" + records[it->second].input + "' and '" + in +
                              "' would both be converted to " + r.output);
        if (fs::exists(in, ec) && fs::equivalent(in, r.output, ec))
            return usageError("'" + in + "' would be converted to itself");
        records.push_back(std::move(r));
    }

    fs::create_directories(dir, ec);
    if (ec) return failure("cannot create the output folder " + dir + ": " + ec.message());

    // What to do with outputs that exist, asked before anything runs.
    const bool terminal = isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
    std::vector<std::unique_ptr<kyFileConversion>> files;
    std::vector<size_t> recordOf; // the record of each conversion
    for (size_t i = 0; i < records.size(); ++i) {
        ConvertRecord& r = records[i];
        if (fs::exists(r.output, ec)) {
            if (setup.policy == OverwritePolicy::Skip ||
                (setup.policy == OverwritePolicy::Ask && terminal && !askReplace(r.output))) {
                r.outcome = kyFileOutcome::Skipped;
                continue;
            }
            if (setup.policy == OverwritePolicy::Ask && !terminal) {
                r.error = r.output + " exists (use --overwrite replace to replace it)";
                std::fprintf(stderr, "dskr-cli: %s\n", r.error.c_str());
                continue;
            }
        }
        files.push_back(std::make_unique<kyFileConversion>(r.input, r.output));
        recordOf.push_back(i);
    }

    const unsigned threads = kyEncoderPool::threadsFor(setup.settings.iEncoderThreads);
    kyConversionBatch batch(std::move(files), setup.settings, setup.target);
    ManyFilesProgress progress(isatty(STDERR_FILENO), verbosityOf(args), batch.size());
    std::vector<bool> told(batch.size(), false);
    bool cancelled = false;
    {
        InterruptGuard guard;
        batch.start(threads);
        for (bool ended = false; !ended;) {
            ended = batch.wait(std::chrono::milliseconds(100));
            if (TerminalFrontend::interrupted && !cancelled) {
                cancelled = true;
                batch.cancel();
            }
            for (size_t i = 0; i < batch.size(); ++i) {
                if (told[i] || !batch.finished(i)) continue;
                told[i] = true;
                progress.finished(batch.file(i), batch.outcome(i));
            }
            if (!ended) progress.draw(batch);
        }
        progress.clear();
    }
    for (size_t i = 0; i < batch.size(); ++i) {
        ConvertRecord& r = records[recordOf[i]];
        const kyConversionBatch::Outcome& o = batch.outcome(i);
        r.seconds = batch.file(i).seconds();
        r.elapsed = o.elapsed;
        if (kySucceeded(o.error)) {
            r.outcome = kyFileOutcome::Ok;
        } else if (o.error == KYERR_CANCELLED) {
            r.outcome = kyFileOutcome::Cancelled;
            r.error = o.message;
        } else {
            r.error = o.message;
        }
    }
    if (cancelled && verbosityOf(args) != Verbosity::Quiet) std::fprintf(stderr, "Cancelled\n");
    printRecords(records, args.has("json"));
    return exitCodeOf(records, cancelled);
}

} // namespace

int commandConvert(const CliArguments& args) {
    if (args.has("out-dir")) return convertMany(args);
    if (args.positional.size() != 2)
        return usageError(
            "'convert' takes an input and an output file, or input files and --out-dir DIR");
    const std::string& in = args.positional[0];
    const std::string& out = args.positional[1];
    ConvertSetup setup;
    if (int code = readConvertOptions(args, &out, setup); code != kExitOk) return code;
    const bool json = args.has("json");
    ConvertRecord record;
    record.input = in;
    record.output = out;

    std::error_code ec;
    if (fs::exists(in, ec) && fs::equivalent(in, out, ec))
        return usageError("the output file must not be the input file");
    if (fs::exists(out, ec)) {
        if (setup.policy == OverwritePolicy::Skip) {
            std::fprintf(stderr, "dskr-cli: %s exists: skipped\n", out.c_str());
            record.outcome = kyFileOutcome::Skipped;
            if (json) printRecords({record}, true);
            return kExitOk;
        }
        if (setup.policy == OverwritePolicy::Ask) {
            if (!(isatty(STDIN_FILENO) && isatty(STDERR_FILENO)))
                return failure(out + " exists (use --overwrite replace to replace it)");
            if (!askReplace(out)) return kExitOk;
        }
    }

    kyFileConversion conversion(in, out);
    kyError e = conversion.prepare(setup.settings, setup.target);
    if (kyFailed(e)) {
        return failure(conversion.subject() + ": " + conversion.message());
    }

    TerminalFrontend frontend(stderr, isatty(STDERR_FILENO), setup.policy, verbosityOf(args));
    conversion.setProgressHook([&frontend, &conversion](int32_t percent) {
        frontend.setFileProgress(percent);
        if (TerminalFrontend::interrupted) conversion.cancel();
    });
    const double seconds = conversion.seconds();
    conversion.setSecondPassHook([&frontend, &in, seconds] {
        frontend.setStatus("Converting " + in);
        frontend.setAudioLengths(seconds, 0, seconds);
    });
    frontend.setTrackLabel(in);
    frontend.setFileLabel(out);
    frontend.setAudioLengths(seconds, 0, seconds);
    if (conversion.twoPasses()) frontend.setStatus("Analyzing " + in);
    const auto begin = std::chrono::steady_clock::now();
    {
        InterruptGuard guard;
        e = conversion.run();
    }
    record.elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    record.seconds = seconds;
    frontend.fileFinished(kySucceeded(e) ? KY_OK : e);
    if (kyFailed(e)) {
        record.error = conversion.message();
        if (e == KYERR_CANCELLED) {
            frontend.setStatus("Cancelled");
            record.outcome = kyFileOutcome::Cancelled;
            if (json) printRecords({record}, true);
            return kExitCancelled;
        }
        frontend.showError(e, "Converting - DskR");
        if (json) printRecords({record}, true);
        return kExitFailure;
    }
    record.outcome = kyFileOutcome::Ok;
    frontend.setStatus("Converted " + in + " to " + out);
    if (json) printRecords({record}, true);
    return kExitOk;
}
