#pragma once
// What the batch runner needs from whoever shows it: the progress page of the wizard, the
// command line, or a scripted front end in the tests. The runner calls these on its own
// thread, in the order a user would see them; texts are UTF-8 and complete (the front end
// shows them as they are).
#include "core/error.h"

#include <string>
#include <vector>

// One button of a prompt: its text and the code returned when it is pressed.
struct kyPromptButton {
    std::string text;
    int code;
};

// Message-box result codes the runner's prompts use.
constexpr int kyAnswerYes = 6;
constexpr int kyAnswerNo = 7;

// The answer a prompt takes when nobody answers it (no terminal, a closed box): a "Skip"
// button, else "No", else the last button.
inline int kySafeAnswer(const std::vector<kyPromptButton>& buttons) {
    for (const auto& b : buttons)
        if (b.text.rfind("Skip", 0) == 0) return b.code;
    for (const auto& b : buttons)
        if (b.code == kyAnswerNo) return b.code;
    return buttons.empty() ? kyAnswerNo : buttons.back().code;
}

class kyBatchFrontend {
public:
    virtual ~kyBatchFrontend() = default;

    // The two labels: the input being read ("<drive> - Track 7 <Intro>") and the file being
    // written (its path, later the playlist's path, or the end texts).
    virtual void setTrackLabel(const std::string& text) = 0;
    virtual void setFileLabel(const std::string& text) = 0;
    // The status line ("- Reading and Converting no 1 out of 3 -", the summary...).
    virtual void setStatus(const std::string& text) = 0;
    // The bar of the current file and the bar of the whole batch, 0..100.
    virtual void setFileProgress(int percent) = 0;
    virtual void setBatchProgress(int percent) = 0;
    // The page's title ("Batch Completed!").
    virtual void setTitle(const std::string& text) = 0;
    // Busy (wait) cursor on or off.
    virtual void setBusy(bool busy) = 0;

    // A prompt with its own buttons; returns the code of the button pressed. The caption
    // is the window title ("Replace existing file?", "DskR").
    virtual int ask(const std::string& text, const std::string& caption,
                    const std::vector<kyPromptButton>& buttons) = 0;
    // The save-file dialog ("Please select a new output file name", filter "All files"),
    // starting from `path`; true with the chosen path in `path`, false when cancelled.
    virtual bool askFileName(const std::string& title, std::string& path) = 0;
    // A failure of one file, once, with a caption naming the stage ("Initializing driver",
    // "Writing - DskR", "Converting - DskR") and what it concerned when known ("sector
    // 1234 (track 2, 00:16.34)"). Never called for "Operation cancelled".
    // kyErrorText(code) adds the system's reason where one is known.
    virtual void showError(kyError code, const std::string& caption,
                           const std::string& detail = {}) = 0;

    // Seconds of audio in the file about to be read, in the files of the batch before it
    // and in the whole batch, for speed and time-left displays.
    virtual void setAudioLengths(double file, double batchBefore, double batchTotal) {}
    // The current file is done with: `result` is KY_OK when written, 1 when skipped at the
    // overwrite prompt, otherwise its failure (or "Operation cancelled").
    virtual void fileFinished(kyError result) {}

    // Lets the user interface work between blocks (and a cancel request arrive). False
    // when the program is closing: the runner then stops like a cancel.
    virtual bool pumpEvents() { return true; }
    // The current file failed (task-bar error state in the wizard).
    virtual void fileFailed(kyError code) {}

    // Window actions at the end of the batch: the wizard's buttons (Finish only when the
    // disc was ejected, otherwise Back and Finish; Cancel becomes "Close"), restoring and
    // flashing the window with a beep, and pressing Finish to close the program.
    virtual void batchFinished(bool ejected) {}
    virtual void attention() {}
    virtual void pressFinish() {}
    // The batch runs at raised priority; front ends that can raise it do so here.
    virtual void setHighPriority(bool high) {}
};
