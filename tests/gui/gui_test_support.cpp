#include "gui_test_support.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <deque>

namespace kytest {
namespace {

std::deque<std::function<void(QWidget*)>>& handlers() {
    static std::deque<std::function<void(QWidget*)>> queue;
    return queue;
}

QTimer* poller() {
    static QTimer* timer = [] {
        auto* t = new QTimer(qApp);
        t->setInterval(15);
        QObject::connect(t, &QTimer::timeout, [] {
            // Each appearance of a box goes to one handler: a dialog that is active again
            // after a message box over it closed, or a menu shown again, counts as a new one.
            static QPointer<QWidget> last;
            QWidget* w = QApplication::activePopupWidget();
            if (!w) w = QApplication::activeModalWidget();
            if (!w || !w->isVisible()) {
                last = nullptr;
                return;
            }
            if (handlers().empty() || w == last) return;
            last = w;
            auto handler = std::move(handlers().front());
            handlers().pop_front();
            handler(w);
        });
        return t;
    }();
    return timer;
}

} // namespace

void whenModal(std::function<void(QWidget*)> handler) {
    handlers().push_back(std::move(handler));
    if (!poller()->isActive()) poller()->start();
}

void answerBox(const QString& button, QStringList* seen) {
    whenModal([button, seen](QWidget* w) {
        if (seen) {
            QString text;
            if (auto* box = qobject_cast<QMessageBox*>(w)) text = box->text();
            seen->append(w->windowTitle() + "|" + text);
        }
        for (QAbstractButton* b : w->findChildren<QAbstractButton*>())
            if (b->text() == button && b->isVisible()) {
                QMetaObject::invokeMethod(b, &QAbstractButton::click, Qt::QueuedConnection);
                return;
            }
        if (auto* d = qobject_cast<QDialog*>(w)) QMetaObject::invokeMethod(d, &QDialog::reject, Qt::QueuedConnection);
    });
}

void pickMenu(const QString& entry, QStringList* seen) {
    whenModal([entry, seen](QWidget* w) {
        auto* menu = qobject_cast<QMenu*>(w);
        if (!menu) return;
        QAction* pick = nullptr;
        for (QAction* a : menu->actions()) {
            if (seen)
                seen->append(a->isSeparator() ? QString("-")
                                              : a->text() + (a->isEnabled() ? "" : " (disabled)"));
            if (a->text() == entry) pick = a;
        }
        if (pick && pick->isEnabled()) {
            // As a user would: the entry made active, then Return.
            menu->setActiveAction(pick);
            QCoreApplication::postEvent(menu, new QKeyEvent(QEvent::KeyPress, Qt::Key_Return,
                                                            Qt::NoModifier));
            return;
        }
        QMetaObject::invokeMethod(menu, &QMenu::close, Qt::QueuedConnection);
    });
}

int pendingModalHandlers() {
    return static_cast<int>(handlers().size());
}

void clearModalHandlers() {
    handlers().clear();
}

bool waitUntil(const std::function<bool()>& done, int ms) {
    QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired()) {
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

} // namespace kytest
