#pragma once
// The shell services every page uses: message boxes with their own buttons, the error
// report of a failed stage, the help file and the web browser.
#include "core/error.h"
#include "job/batch_frontend.h"

#include <QString>
#include <string>
#include <vector>

class QMessageBox;
class QWidget;

// A modal box with the caption, a warning icon, the text and up to four buttons; returns
// the code of the button pressed. Escape and the close box answer as kySafeAnswer says.
int customMessageBox(QWidget* owner, const std::string& text, const std::string& caption,
                     const std::vector<kyPromptButton>& buttons, int defaultButton = -1);
// The box behind customMessageBox, not yet shown (each button's code in its "code"
// property).
QMessageBox* makeMessageBox(QWidget* owner, const std::string& text, const std::string& caption,
                            const std::vector<kyPromptButton>& buttons, int defaultButton = -1);
// The usual types: 0 OK, 1 OK/Cancel, 2 Abort/Retry/Ignore, 3 Yes/No/Cancel, 4 Yes/No,
// 5 Retry/Cancel; any other type shows nothing and returns 1.
int messageBox(QWidget* owner, const std::string& text, const std::string& caption, int type);
// An OK box with the exclamation icon, caption "DskR v5.0" when none is given.
void notify(QWidget* owner, const std::string& text, const std::string& caption = {});
// True when `code` is not an error; otherwise shows it (a missing codec library says
// where to get one, and `detail` what it concerned when known) and returns false.
bool reportWriterError(QWidget* owner, kyError code, const std::string& caption,
                       const std::string& detail = {});

// Opens an address in the web browser; false when that failed.
bool openUrl(const QString& address);
// openUrl, telling the user when it fails.
void openUrlOrSay(QWidget* owner, const QString& address);
// Opens the help file beside the program (DskR.pdf, .html or .htm); false when there is
// none or it could not be opened.
bool openHelp();
// openHelp, telling the user when there is no help to open.
void openHelpOrSay(QWidget* owner);

inline QString qs(const std::string& utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}
inline std::string us(const QString& text) {
    return text.toUtf8().toStdString();
}
