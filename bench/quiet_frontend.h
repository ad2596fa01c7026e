#pragma once
// A batch front end for benchmarks: shows nothing, answers every prompt with its first
// button, and reports failures on stderr.
#include "job/batch_frontend.h"
#include <cstdio>
#include <string>
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
    void showError(kyError code, const std::string& caption) override {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), kyErrorMessage(code));
    }
};
