#include "gui/message_box.h"

#include "app/shell.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>
#include <memory>

QMessageBox* makeMessageBox(QWidget* owner, const std::string& text, const std::string& caption,
                            const std::vector<kyPromptButton>& buttons, int defaultButton) {
    auto* box = new QMessageBox(owner);
    box->setObjectName("messageBox");
    box->setIcon(QMessageBox::Warning);
    box->setWindowTitle(qs(caption));
    box->setText(qs(messageBoxText(text)));
    box->setTextFormat(Qt::PlainText);
    // Escape and the close box take the answer that does no harm.
    const int safe = kySafeAnswer(buttons);
    for (const kyPromptButton& b : buttons) {
        QPushButton* button = box->addButton(qs(b.text), QMessageBox::ActionRole);
        button->setProperty("code", b.code);
        if (b.code == defaultButton) box->setDefaultButton(button);
        if (b.code == safe) box->setEscapeButton(button);
    }
    return box;
}

int customMessageBox(QWidget* owner, const std::string& text, const std::string& caption,
                     const std::vector<kyPromptButton>& buttons, int defaultButton) {
    std::unique_ptr<QMessageBox> box(makeMessageBox(owner, text, caption, buttons, defaultButton));
    // The arrow while the box is up, whatever the batch shows meanwhile.
    QApplication::setOverrideCursor(Qt::ArrowCursor);
    box->exec();
    QApplication::restoreOverrideCursor();
    if (QAbstractButton* clicked = box->clickedButton()) return clicked->property("code").toInt();
    return buttons.empty() ? kyAnswerOk : kySafeAnswer(buttons);
}

int messageBox(QWidget* owner, const std::string& text, const std::string& caption, int type) {
    const std::vector<kyPromptButton> buttons = messageBoxButtons(type);
    if (buttons.empty()) return kyAnswerOk;
    return customMessageBox(owner, text, caption, buttons);
}

void notify(QWidget* owner, const std::string& text, const std::string& caption) {
    messageBox(owner, text, caption.empty() ? kProgramCaption : caption, 0);
}

bool reportWriterError(QWidget* owner, kyError code, const std::string& caption,
                       const std::string& detail) {
    if (!kyFailed(code)) return true;
    std::string text = writerErrorText(code);
    if (!detail.empty()) text += "\n\n" + detail;
    notify(owner, text, caption);
    return false;
}

bool openUrl(const QString& address) {
    return QDesktopServices::openUrl(QUrl(address));
}

void openUrlOrSay(QWidget* owner, const QString& address) {
    if (!openUrl(address)) notify(owner, kBrowserFailed, kBrowserFailedCaption);
}

bool openHelp() {
    const std::string file = findHelpFile(us(QApplication::applicationDirPath()));
    return !file.empty() && QDesktopServices::openUrl(QUrl::fromLocalFile(qs(file)));
}

void openHelpOrSay(QWidget* owner) {
    if (!openHelp())
        notify(owner, "Couldn't open the help file!\n\nDskR looks for DskR.pdf, DskR.html or "
                      "DskR.htm beside the program; the README describes every page.");
}
