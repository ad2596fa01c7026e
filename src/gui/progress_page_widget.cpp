#include "app/options_page.h"
#include "app/shell.h"
#include "cd/dsk_reader.h"
#include "gui/elided_label.h"
#include "gui/message_box.h"
#include "gui/task_bar_progress.h"
#include "gui/wizard.h"
#include "job/batch_frontend.h"
#include "job/batch_runner.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTreeWidget>
#include <QVBoxLayout>

// The batch runner's front end in the wizard: labels, bars and the task bar of the
// progress page, prompts as message boxes, and the window's events let through after
// every block.
class GuiFrontend : public kyBatchFrontend {
public:
    explicit GuiFrontend(ProgressPageWidget& page) : m_page(page) {}
    ~GuiFrontend() override {
        while (m_busy > 0) {
            QApplication::restoreOverrideCursor();
            --m_busy;
        }
    }

    void setTrackLabel(const std::string& text) override { m_page.m_input->setFullText(qs(text)); }
    void setFileLabel(const std::string& text) override { m_page.m_output->setFullText(qs(text)); }
    void setStatus(const std::string& text) override { m_page.m_status->setText(qs(text)); }
    void setFileProgress(int percent) override { m_page.m_fileBar->setValue(percent); }
    void setBatchProgress(int percent) override {
        m_page.m_batchBar->setValue(percent);
        if (m_taskBar) m_taskBar->SetValue(static_cast<uint64_t>(std::max(percent, 0)), 100);
    }
    void setTitle(const std::string& text) override {
        m_page.setTitle(qs(text));
        if (QWidget* w = m_page.window()) w->setWindowTitle(qs(text + kTitleSuffix));
    }
    void setBusy(bool busy) override {
        if (busy) {
            QApplication::setOverrideCursor(Qt::BusyCursor);
            ++m_busy;
            m_taskBar = mdTaskBarProgress::create();
        } else if (m_busy > 0) {
            QApplication::restoreOverrideCursor();
            --m_busy;
        }
    }
    int ask(const std::string& text, const std::string& caption,
            const std::vector<kyPromptButton>& buttons) override {
        return customMessageBox(m_page.window(), text, caption, buttons);
    }
    bool askFileName(const std::string& title, std::string& path) override {
        const QString chosen =
            QFileDialog::getSaveFileName(m_page.window(), qs(title), qs(path), "All files (*)",
                                         nullptr, QFileDialog::DontConfirmOverwrite);
        if (chosen.isEmpty()) return false;
        path = us(chosen);
        return true;
    }
    void showError(kyError code, const std::string& caption, const std::string& detail) override {
        reportWriterError(m_page.window(), code, caption, detail);
    }
    bool pumpEvents() override {
        QApplication::processEvents(QEventLoop::AllEvents);
        return !m_page.m_session.quitPending();
    }
    void fileFailed(kyError) override {
        if (m_taskBar) m_taskBar->SetState(ImdTaskBarProgress::Error);
    }
    void batchFinished(bool ejected) override {
        m_page.m_ejected = ejected;
        m_taskBar.reset();
    }
    void attention() override {
        QWidget* w = m_page.window();
        if (w->isMinimized()) w->showNormal();
        QApplication::alert(w);
        QApplication::beep();
    }
    void pressFinish() override { m_page.m_exitWhenDone = true; }

private:
    ProgressPageWidget& m_page;
    std::unique_ptr<mdTaskBarProgress> m_taskBar;
    int m_busy = 0;
};

ProgressPageWidget::ProgressPageWidget(RipSettings& settings, TrackPage& page,
                                       BatchSession& session, QWidget* parent)
    : QWizardPage(parent), m_settings(settings), m_page(page), m_session(session) {
    setTitle(kProgressTitle);
    const QColor blue(0, 70, 213);
    auto colour = [](QWidget* w, const QColor& c) {
        QPalette pal = w->palette();
        pal.setColor(QPalette::WindowText, c);
        w->setPalette(pal);
    };
    m_inputLabel = new QLabel("Reading:");
    m_inputLabel->setObjectName(controlName(405));
    colour(m_inputLabel, blue);
    m_outputLabel = new QLabel("Writing:");
    m_outputLabel->setObjectName(controlName(406));
    colour(m_outputLabel, blue);
    m_input = new ElidedLabel;
    m_input->setObjectName(controlName(360));
    m_input->setToolTip("Current input file being read");
    m_output = new ElidedLabel;
    m_output->setObjectName(controlName(361));
    m_output->setToolTip("Current output file being written");
    m_fileBar = new QProgressBar;
    m_fileBar->setObjectName(controlName(364));
    m_fileBar->setToolTip("Progress of the current file");
    m_batchBar = new QProgressBar;
    m_batchBar->setObjectName(controlName(365));
    m_batchBar->setToolTip("Progress of the complete batch");
    for (QProgressBar* b : {m_fileBar, m_batchBar}) b->setRange(0, 100);
    m_eject = new QCheckBox("Eject the disc when done");
    m_eject->setObjectName(controlName(369));
    m_eject->setToolTip("Check if you want the disc to be ejected when the batch is completed");
    m_exit = new QCheckBox("Close DskR when done");
    m_exit->setObjectName(controlName(370));
    m_exit->setToolTip("Check if you want the program to close down when the batch is completed");
    m_status = new QLabel;
    m_status->setObjectName(controlName(407));
    m_status->setWordWrap(true);
    colour(m_status, QColor(0, 64, 0));
    m_minimize = new QPushButton("Minimize");
    m_minimize->setObjectName(controlName(368));
    m_minimize->setToolTip("Click to minimize the window");
    m_albumArt = new QPushButton("Find album art...");
    m_albumArt->setObjectName(controlName(408));
    for (QPushButton* b : {m_minimize, m_albumArt}) b->setAutoDefault(false);
    m_summary = new QTreeWidget;
    m_summary->setObjectName("summary");
    m_summary->setHeaderLabels({"Result", "File"});
    m_summary->setRootIsDecorated(false);
    m_summary->header()->setStretchLastSection(true);
    m_summary->setColumnWidth(0,
                              m_summary->fontMetrics().horizontalAdvance("Cancelled, wait") + 16);
    m_summary->hide();

    auto* grid = new QGridLayout;
    grid->addWidget(m_inputLabel, 0, 0);
    grid->addWidget(m_input, 0, 1);
    grid->addWidget(m_outputLabel, 1, 0);
    grid->addWidget(m_output, 1, 1);
    grid->addWidget(new QLabel("File:"), 2, 0);
    grid->addWidget(m_fileBar, 2, 1);
    grid->addWidget(new QLabel("Batch:"), 3, 0);
    grid->addWidget(m_batchBar, 3, 1);
    grid->setColumnStretch(1, 1);
    auto* checks = new QHBoxLayout;
    checks->addWidget(m_eject);
    checks->addWidget(m_exit);
    checks->addStretch(1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_minimize);
    buttons->addWidget(m_albumArt);
    buttons->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addSpacing(8);
    layout->addWidget(m_status);
    layout->addWidget(m_summary, 1);
    layout->addStretch(0);
    layout->addLayout(checks);
    layout->addLayout(buttons);

    m_eject->setChecked(m_settings.bEjectWhenDone);
    m_exit->setChecked(m_settings.bExitWhenDone);
    connect(m_eject, &QCheckBox::toggled, this,
            [this](bool on) { m_settings.bEjectWhenDone = on; });
    connect(m_exit, &QCheckBox::toggled, this, [this](bool on) { m_settings.bExitWhenDone = on; });
    connect(m_minimize, &QPushButton::clicked, this, [this] { window()->showMinimized(); });
    connect(m_albumArt, &QPushButton::clicked, this, [this] {
        QApplication::clipboard()->setText(qs(albumArtFolder(m_settings, m_page.disc())));
        openUrlOrSay(this, qs(albumArtUrl(m_page.disc())));
    });
}

ProgressPageWidget::~ProgressPageWidget() = default;

void ProgressPageWidget::initializePage() {
    m_input->setFullText({});
    m_output->setFullText({});
    m_status->clear();
    m_summary->clear();
    m_summary->hide();
    m_fileBar->setValue(0);
    m_batchBar->setValue(0);
    m_done = false;
    m_ejected = false;
    m_exitWhenDone = false;
    setTitle(kProgressTitle);
    setButtonText(QWizard::FinishButton, "New CD");
    setButtonText(QWizard::CancelButton, "Cancel");
    QMetaObject::invokeMethod(this, &ProgressPageWidget::runBatch, Qt::QueuedConnection);
}

void ProgressPageWidget::cleanupPage() {
    setButtonText(QWizard::CancelButton, "Cancel");
    if (QWizard* w = wizard()) w->setButtonText(QWizard::CancelButton, "Cancel");
}

bool ProgressPageWidget::isComplete() const {
    return m_done;
}

void ProgressPageWidget::askToCancel() {
    if (m_session.leaveRequest() != BatchSession::Leave::Ask) return;
    if (customMessageBox(window(), kCancelQuestion, kShortCaption,
                         {{"&Yes", kyAnswerYes}, {"&No", kyAnswerNo}}) == kyAnswerYes)
        cancelBatch();
}

void ProgressPageWidget::cancelBatch() {
    if (m_runner && m_runner->running()) m_runner->Cancel();
    m_status->setText(kCancelling);
}

void ProgressPageWidget::runBatch() {
    if (!m_session.start()) return; // one batch at a time
    emit batchStarted();
    // The settings are checked again here: a stored value may never have passed the page.
    if (std::string why = checkProcessingSettings(m_settings); !why.empty()) {
        m_status->setText(qs(why));
        notify(window(), why);
    } else if (kyDskReader* source = m_page.source()) {
        if (source->OpenDriveNumber() != m_settings.iDevice)
            source->OpenDrive(static_cast<uint32_t>(std::max(m_settings.iDevice, 0)));
        m_frontend = std::make_unique<GuiFrontend>(*this);
        m_runner = std::make_unique<kyBatchRunner>(m_settings, m_page.disc(), *source, *m_frontend);
        const QThread::Priority priority = QThread::currentThread()->priority();
        m_runner->Run();
        QThread::currentThread()->setPriority(priority);
        showSummary();
    }
    m_frontend.reset();
    m_done = true;
    emit completeChanged();
    if (QWizard* w = wizard()) {
        setButtonText(QWizard::CancelButton, "Close");
        // With the disc out, only a new one makes sense: no way back to its options.
        if (QAbstractButton* back = w->button(QWizard::BackButton)) back->setEnabled(!m_ejected);
    }
    emit batchEnded();
}

void ProgressPageWidget::showSummary() {
    if (!m_runner) return;
    m_summary->clear();
    for (const kyBatchRunner::FileRecord& r : m_runner->result().records) {
        QString outcome;
        switch (r.outcome) {
        case kyBatchRunner::FileOutcome::Ok:
            outcome = "Written";
            break;
        case kyBatchRunner::FileOutcome::Suspect:
            outcome = "Suspect";
            break;
        case kyBatchRunner::FileOutcome::Skipped:
            outcome = "Skipped";
            break;
        case kyBatchRunner::FileOutcome::Failed:
            outcome = "Failed";
            break;
        case kyBatchRunner::FileOutcome::Cancelled:
            outcome = "Cancelled";
            break;
        }
        auto* item = new QTreeWidgetItem(m_summary, {outcome, qs(r.path)});
        if (r.outcome == kyBatchRunner::FileOutcome::Failed) {
            item->setToolTip(0, qs(kyErrorMessage(r.error)));
            item->setText(0, "Failed: " + qs(kyErrorMessage(r.error)));
            item->setForeground(0, QColor(170, 0, 0));
        } else if (r.outcome == kyBatchRunner::FileOutcome::Suspect) {
            // Kept, but not all of it confirmed: where, under the file, as the command line
            // lists it.
            item->setToolTip(0, "Not every sector of this file could be confirmed");
            item->setForeground(0, QColor(160, 90, 0));
            const kyDiscToc* toc = m_page.source() ? &m_page.source()->Toc() : nullptr;
            for (const kySectorSpan& span : r.suspect) {
                const QString where = toc ? qs(kySpanText(*toc, span))
                                          : QString("sectors %1-%2").arg(span.first).arg(span.last);
                new QTreeWidgetItem(item, {QString(), where});
            }
            item->setExpanded(true);
        }
    }
    if (!m_runner->result().playlist.empty())
        new QTreeWidgetItem(m_summary, {"Playlist", qs(m_runner->result().playlist)});
    m_summary->resizeColumnToContents(0);
    m_summary->setVisible(m_summary->topLevelItemCount() > 0);
}
