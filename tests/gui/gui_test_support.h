#pragma once
// Helpers for driving the wizard as a user would: answering the next modal box or menu
// when it appears, and waiting for the window to reach a state.
#include <QString>
#include <QStringList>
#include <functional>

class QWidget;

namespace kytest {

// Calls `handler` with the next modal dialog or popup menu that appears (polled while the
// caller's code, or a nested event loop, runs). Handlers queue up in order.
void whenModal(std::function<void(QWidget*)> handler);
// Clicks the button of that text in the next message box (or dialog), keeping its caption
// and text in `seen` ("caption|text") when given.
void answerBox(const QString& button, QStringList* seen = nullptr);
// Picks the menu entry of that text in the next popup menu (records every entry in `seen`).
void pickMenu(const QString& entry, QStringList* seen = nullptr);
// Handlers still waiting for their box.
int pendingModalHandlers();
void clearModalHandlers();
// Runs the event loop until `done` holds or `ms` pass; returns `done()`.
bool waitUntil(const std::function<bool()>& done, int ms = 20000);

} // namespace kytest
