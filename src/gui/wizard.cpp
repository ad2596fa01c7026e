#include "gui/wizard.h"

#include "app/shell.h"
#include "gui/background_tasks.h"
#include "gui/message_box.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLayout>
#include <QMenuBar>

QString controlName(int number) {
    return QStringLiteral("c%1").arg(number);
}

DskrWizard::DskrWizard(RipSettings& settings, QWidget* parent)
    : QWizard(parent), m_settings(settings), m_trackPage(settings) {
    Q_INIT_RESOURCE(dskr);
    setObjectName("wizard");
    setWizardStyle(QWizard::ClassicStyle);
    setOptions(QWizard::HaveHelpButton | QWizard::NoBackButtonOnStartPage);
    setWindowIcon(QIcon(":/dskr.svg"));
    m_track = new TrackPageWidget(m_trackPage, m_session);
    m_options = new OptionsPageWidget(settings, m_trackPage);
    m_progress = new ProgressPageWidget(settings, m_trackPage, m_session);
    setPage(kTrackPageId, m_track);
    setPage(kOptionsPageId, m_options);
    setPage(kProgressPageId, m_progress);
    setStartId(kTrackPageId);
    setButtonText(QWizard::NextButton, "Next >");
    setButtonText(QWizard::BackButton, "< Back");

    auto* menus = new QMenuBar(this);
    QMenu* file = menus->addMenu("&File");
    file->setObjectName("fileMenu");
    QAction* open = file->addAction("Open disc &image (CUE sheet)...", this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, "Open a disc image", QString(),
                                                          "CUE sheets (*.cue *.CUE);;All files (*)");
        if (!path.isEmpty()) openImage(path);
    });
    open->setObjectName("openImage");
    QAction* demo = file->addAction("Open the &demo disc", this, [this] { openDemoDisc(); });
    demo->setObjectName("openDemo");
    file->addSeparator();
    file->addAction("&Quit", this, [this] { requestQuit(); })->setObjectName("quit");
    // The disc may only change while no batch runs.
    connect(m_progress, &ProgressPageWidget::batchStarted, this, [open, demo] {
        open->setEnabled(false);
        demo->setEnabled(false);
    });
    connect(m_progress, &ProgressPageWidget::batchEnded, this, [this, open, demo] {
        open->setEnabled(true);
        demo->setEnabled(true);
        batchEnded();
    });
    connect(m_progress, &ProgressPageWidget::batchStarted, this,
            [this] { m_track->setBatchRunning(true); });
    m_menus = menus;

    connect(this, &QWizard::currentIdChanged, this, &DskrWizard::pageChanged);
    connect(this, &QWizard::helpRequested, this, [this] { openHelpOrSay(this); });
    // Back goes through the page: while a batch runs it asks first.
    if (QAbstractButton* back = button(QWizard::BackButton)) {
        disconnect(back, &QAbstractButton::clicked, this, nullptr);
        connect(back, &QAbstractButton::clicked, this, &DskrWizard::backRequested);
    }
    resize(sizeHint().expandedTo(QSize(640, 520)));
}

DskrWizard::~DskrWizard() {
    m_track->tasks().cancelAndWait();
}

bool DskrWizard::createSource(std::string& message) {
    message = m_trackPage.createSource();
    return message.empty();
}

void DskrWizard::showEvent(QShowEvent* event) {
    // The wizard lays its pages and buttons out in a child widget that fills it: the menu
    // bar goes on top of that child's layout.
    if (m_menus && !m_menus->parentWidget()->layout()) {
        for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (child != m_menus && child->layout()) {
                child->layout()->setMenuBar(m_menus);
                break;
            }
    }
    QWizard::showEvent(event);
}

void DskrWizard::pageChanged(int id) {
    if (QWizardPage* p = page(id)) setWindowTitle(p->title() + kTitleSuffix);
}

void DskrWizard::backRequested() {
    if (m_session.leaveRequest() == BatchSession::Leave::Ask) {
        m_progress->askToCancel();
        return;
    }
    back();
}

void DskrWizard::reject() {
    // Cancel, Escape and the close box.
    if (m_session.leaveRequest() == BatchSession::Leave::Ask) {
        m_progress->askToCancel();
        return;
    }
    QWizard::reject();
}

void DskrWizard::done(int result) {
    if (m_session.leaveRequest() == BatchSession::Leave::Ask) {
        m_progress->askToCancel();
        return;
    }
    // "New CD" starts again with the track page; only closing ends the program.
    if (result == QDialog::Accepted && !m_closing && currentId() == kProgressPageId) {
        restart();
        return;
    }
    QWizard::done(result);
}

void DskrWizard::closeProgram() {
    m_closing = true;
    QWizard::done(QDialog::Accepted);
    QApplication::quit();
}

void DskrWizard::requestQuit() {
    if (m_session.quitRequest()) {
        closeProgram();
        return;
    }
    m_progress->cancelBatch();
}

void DskrWizard::batchEnded() {
    m_track->setBatchRunning(false);
    const bool quit = m_session.finish();
    if (quit || m_progress->exitWhenDone()) {
        closeProgram();
        return;
    }
    m_track->runDeferred();
}

bool DskrWizard::openImage(const QString& cuePath) {
    std::string error;
    if (!m_trackPage.addImageDrive(us(cuePath), error)) {
        notify(this, "Couldn't open the disc image:\n\n" + error);
        return false;
    }
    m_track->drivesChanged();
    if (currentId() != kTrackPageId) restart();
    return true;
}

void DskrWizard::openDemoDisc() {
    if (!m_trackPage.addDemoDrive()) return;
    m_track->drivesChanged();
    if (currentId() != kTrackPageId) restart();
}
