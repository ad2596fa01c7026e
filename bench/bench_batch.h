#pragma once
// What the batch benchmarks share: a front end that shows nothing, answers every prompt
// with its first button and reports failures on stderr; and a generated test disc in a
// virtual drive, opened, with its rows and settings for writing into a scratch folder.
#include "app/rip_settings.h"
#include "cd/dsk_reader.h"
#include "cd/virtual_drive.h"
#include "job/batch_frontend.h"
#include "metadata/disc_info.h"
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

class QuietFrontend : public kyBatchFrontend {
public:
    void setTrackLabel(const std::string&) override {}
    void setFileLabel(const std::string&) override {}
    void setStatus(const std::string&) override {}
    void setFileProgress(int) override {}
    void setBatchProgress(int) override {}
    void setTitle(const std::string&) override {}
    void setBusy(bool) override {}
    int ask(const std::string&, const std::string&, const std::vector<kyPromptButton>& b) override {
        return b.empty() ? 0 : b.front().code;
    }
    bool askFileName(const std::string&, std::string&) override { return false; }
    void showError(kyError code, const std::string& caption, const std::string& detail) override {
        std::fprintf(stderr, "%s: %s%s%s\n", caption.c_str(), kyErrorMessage(code),
                     detail.empty() ? "" : " ", detail.c_str());
    }
};

// A reader with a disc of `minutes` in virtual drive 0 (with `faults`), opened; `settings`
// write into `dir`/out. Null with a message on stderr.
inline std::unique_ptr<kyDskReader> openBenchDisc(const std::filesystem::path& dir,
                                                  uint32_t minutes, RipSettings& settings,
                                                  DiscInfo& disc, const std::string& faults = "") {
    std::string error;
    const std::string cue = kyWriteTestImage(dir.string(), minutes, error);
    auto image =
        cue.empty() ? nullptr : std::shared_ptr<kyDiscImage>(kyDiscImage::LoadCue(cue, error));
    if (!image || kyAddVirtualDrive(image, faults, error) < 0) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return nullptr;
    }
    auto reader = std::make_unique<kyDskReader>();
    for (uint32_t i = 0; i < reader->DriveCount(); ++i)
        if (reader->DriveRecord(i)->devicePath == "virtual0") settings.iDevice = int32_t(i);
    if (!reader->OpenDrive(uint32_t(settings.iDevice))) {
        std::fprintf(stderr, "the virtual drive does not open\n");
        return nullptr;
    }
    disc.makeRows(reader->Toc());
    settings.szOutDir = (dir / "out").string() + "/";
    settings.bNoOverwritePrompt = true;
    settings.bEjectWhenDone = false;
    return reader;
}

// A scratch folder under the temporary directory (removed with the object) holding the
// test disc of `minutes`, opened in a virtual drive (with `faults`), with its rows and
// settings.
struct BenchDisc {
    std::filesystem::path dir;
    RipSettings settings;
    DiscInfo disc;
    std::unique_ptr<kyDskReader> reader;

    BenchDisc(const char* prefix, uint32_t minutes, const std::string& faults = "") {
        std::string tmpl = (std::filesystem::temp_directory_path() / prefix).string() + "_XXXXXX";
        if (!::mkdtemp(tmpl.data())) return;
        dir = tmpl;
        reader = openBenchDisc(dir, minutes, settings, disc, faults);
    }
    ~BenchDisc() {
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
    BenchDisc(const BenchDisc&) = delete;
    BenchDisc& operator=(const BenchDisc&) = delete;
    explicit operator bool() const { return reader != nullptr; }
};

// Processor time (user and system) of the process so far, in seconds.
inline double processSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
