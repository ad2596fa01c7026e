#pragma once
// A front end for the batch runner that plays a script: answers to prompts are queued in
// advance, and everything the runner shows is recorded for the test to look at.
#include "job/batch_frontend.h"

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class ScriptedFrontend : public kyBatchFrontend {
public:
    struct Prompt {
        std::string text;
        std::string caption;
        std::vector<kyPromptButton> buttons;
    };

    // Answers for ask(), in order; when they run out, the first button's code.
    std::deque<int> answers;
    // Answers for askFileName(): a path, or nothing for a cancelled dialog.
    std::deque<std::optional<std::string>> fileNames;
    // Called from pumpEvents(): the test's chance to cancel; its result is pumpEvents'.
    std::function<bool()> onPump;

    std::string trackLabel, fileLabel, status, title;
    std::vector<std::string> trackLabels, fileLabels, statuses;
    int fileProgress = -1, batchProgress = -1;
    std::vector<int> batchProgressSteps;
    bool busy = false;
    std::vector<Prompt> prompts;
    std::vector<std::pair<kyError, std::string>> errors;
    std::vector<std::string> errorDetails;
    std::vector<kyError> failures;
    int finishedCount = 0;
    bool finishedEjected = false;
    int attentionCount = 0;
    int finishPressed = 0;
    int pumps = 0;

    void setTrackLabel(const std::string& text) override;
    void setFileLabel(const std::string& text) override;
    void setStatus(const std::string& text) override;
    void setFileProgress(int percent) override { fileProgress = percent; }
    void setBatchProgress(int percent) override;
    void setTitle(const std::string& text) override { title = text; }
    void setBusy(bool b) override { busy = b; }
    int ask(const std::string& text, const std::string& caption,
            const std::vector<kyPromptButton>& buttons) override;
    bool askFileName(const std::string& title, std::string& path) override;
    void showError(kyError code, const std::string& caption,
                   const std::string& detail = {}) override {
        errors.emplace_back(code, caption);
        errorDetails.push_back(detail);
    }
    bool pumpEvents() override;
    void fileFailed(kyError code) override { failures.push_back(code); }
    void batchFinished(bool ejected) override {
        ++finishedCount;
        finishedEjected = ejected;
    }
    void attention() override { ++attentionCount; }
    void pressFinish() override { ++finishPressed; }
};
