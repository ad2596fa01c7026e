#include "support/scripted_frontend.h"

void ScriptedFrontend::setTrackLabel(const std::string& text) {
    trackLabel = text;
    trackLabels.push_back(text);
}

void ScriptedFrontend::setFileLabel(const std::string& text) {
    fileLabel = text;
    fileLabels.push_back(text);
}

void ScriptedFrontend::setStatus(const std::string& text) {
    status = text;
    statuses.push_back(text);
}

void ScriptedFrontend::setBatchProgress(int percent) {
    batchProgress = percent;
    batchProgressSteps.push_back(percent);
}

int ScriptedFrontend::ask(const std::string& text, const std::string& caption,
                          const std::vector<kyPromptButton>& buttons) {
    prompts.push_back({text, caption, buttons});
    if (!answers.empty()) {
        int a = answers.front();
        answers.pop_front();
        return a;
    }
    return buttons.empty() ? 0 : buttons.front().code;
}

bool ScriptedFrontend::askFileName(const std::string&, std::string& path) {
    if (fileNames.empty()) return false;
    std::optional<std::string> next = fileNames.front();
    fileNames.pop_front();
    if (!next) return false;
    path = *next;
    return true;
}

bool ScriptedFrontend::pumpEvents() {
    ++pumps;
    return onPump ? onPump() : true;
}
