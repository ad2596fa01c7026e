#include "app/shell.h"
#include "app/virtual_track.h"
#include "cd/dsk_reader.h"
#include "gui/background_tasks.h"
#include "gui/device_monitor.h"
#include "gui/dialogs.h"
#include "gui/message_box.h"
#include "gui/playback_window.h"
#include "gui/wizard.h"
#include "metadata/freedb_submit.h"

#include <QApplication>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

constexpr int kRowRole = Qt::UserRole;
// How long a look-up waits before it tries a drive again that is ready but cannot be read.
constexpr int kRetryMs = 250;

// The row images: 0 not selected, 1 selected, 2 and 3 the same with pre-emphasis, 4 data.
QIcon stateImage(int image) {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    if (image == 4) {
        // A disc: data, never selected.
        p.setPen(QPen(QColor(90, 90, 90), 1));
        p.setBrush(QColor(190, 190, 200));
        p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
        p.setBrush(Qt::white);
        p.drawEllipse(QRectF(6, 6, 4, 4));
        return QIcon(pixmap);
    }
    p.setPen(QPen(QColor(60, 60, 60), 1));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(1.5, 1.5, 12, 12));
    if (image & 1) {
        p.setPen(QPen(QColor(0, 120, 0), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF({QPointF(4, 8), QPointF(7, 11), QPointF(12, 4)}));
    }
    if (image & 2) {
        // Pre-emphasis: a small red corner mark.
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(200, 30, 30));
        p.drawPolygon(QPolygonF({QPointF(10, 16), QPointF(16, 16), QPointF(16, 10)}));
    }
    return QIcon(pixmap);
}

QPushButton* commandButton(const QString& text, int number, const char* tooltip) {
    auto* b = new QPushButton(text);
    b->setObjectName(controlName(number));
    b->setToolTip(tooltip);
    b->setAutoDefault(false);
    return b;
}

} // namespace

TrackPageWidget::TrackPageWidget(TrackPage& page, BatchSession& session, QWidget* parent)
    : QWizardPage(parent), m_page(page), m_session(session), m_tasks(new BackgroundTasks(this)) {
    setTitle("Select audio tracks");
    connect(m_tasks, &BackgroundTasks::busyChanged, this, &TrackPageWidget::completeChanged);

    auto* driveLabel = new QLabel("CD-drive:");
    driveLabel->setObjectName(controlName(403));
    m_drives = new QComboBox;
    m_drives->setObjectName(controlName(316));
    m_drives->setToolTip("Select the CD-drive");
    m_drives->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_drives->setMinimumContentsLength(24);
    m_eject = commandButton("Eject", 321, "Click to eject or load a disc");
    m_refresh = commandButton("Refresh", 310, "Refresh track list");

    auto* discLabel = new QLabel("Artist:");
    discLabel->setObjectName(controlName(404));
    m_artist = new QLineEdit;
    m_artist->setObjectName(controlName(317));
    m_artist->setToolTip("Enter name of artist, group, or composer");
    m_year = new QLineEdit;
    m_year->setObjectName(controlName(318));
    m_year->setToolTip("Enter the release year");
    m_year->setMaxLength(4);
    m_year->setMaximumWidth(m_year->fontMetrics().horizontalAdvance("00000") + 16);
    m_category = new QComboBox;
    m_category->setObjectName(controlName(319));
    m_category->setToolTip("Select a freedb database category");
    m_genre = new QLineEdit;
    m_genre->setObjectName(controlName(326));
    m_genre->setToolTip(
        "Enter a free-text genre (optional, if different from the category to the left)");
    m_album = new QLineEdit;
    m_album->setObjectName(controlName(320));
    m_album->setToolTip("Enter the title (album name) of the disc");

    m_list = new QTreeWidget;
    m_list->setObjectName(controlName(322));
    m_list->setToolTip("Click to select or unselect a track. Slowy double click (or press F2) "
                       "to edit a track name.");
    m_list->setColumnCount(4);
    m_list->setHeaderLabels({"Track name", "Start", "Length", "Size (KB)"});
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setAllColumnsShowFocus(true);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    m_list->installEventFilter(this);
    QHeaderView* header = m_list->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    const int widths[4] = {334, 48, 48, 60};
    const Qt::Alignment align[4] = {Qt::AlignLeft, Qt::AlignHCenter, Qt::AlignHCenter,
                                    Qt::AlignRight};
    for (int c = 0; c < 4; ++c) {
        // At least the given width, and room for the title in any font.
        const int title =
            m_list->fontMetrics().horizontalAdvance(m_list->headerItem()->text(c)) + 24;
        header->resizeSection(c, std::max(widths[c], title));
        if (c > 0) header->setSectionResizeMode(c, QHeaderView::Fixed);
        m_list->headerItem()->setTextAlignment(c, align[c] | Qt::AlignVCenter);
    }
    m_list->setMinimumWidth(334 + 3 * 72);

    m_freedb = commandButton("freedb", 311, "Click to see the menu of freedb options");
    m_selectAll = commandButton("Select all", 312, "Select or unselect all tracks");
    m_virtual = commandButton("Virtual track...", 313,
                              "Add a 'virtual track' for which you supply start and stop times "
                              "yourself");
    m_play = commandButton("Play", 314, "Play selected track");
    m_info = commandButton("About", 315, "Information about the program");

    auto* fields = new QGridLayout;
    fields->addWidget(driveLabel, 0, 0);
    auto* driveRow = new QHBoxLayout;
    driveRow->addWidget(m_drives, 1);
    driveRow->addWidget(m_eject);
    driveRow->addWidget(m_refresh);
    fields->addLayout(driveRow, 0, 1, 1, 5);
    fields->addWidget(discLabel, 1, 0);
    fields->addWidget(m_artist, 1, 1, 1, 3);
    auto* yearLabel = new QLabel("Year:");
    fields->addWidget(yearLabel, 1, 4);
    fields->addWidget(m_year, 1, 5);
    fields->addWidget(new QLabel("Album:"), 2, 0);
    fields->addWidget(m_album, 2, 1, 1, 5);
    fields->addWidget(new QLabel("Category:"), 3, 0);
    fields->addWidget(m_category, 3, 1);
    fields->addWidget(new QLabel("Genre:"), 3, 2);
    fields->addWidget(m_genre, 3, 3, 1, 3);
    fields->setColumnStretch(1, 1);
    fields->setColumnStretch(3, 2);
    for (QLabel* l : {driveLabel, discLabel}) {
        QPalette pal = l->palette();
        pal.setColor(QPalette::WindowText, QColor(96, 96, 96));
        l->setPalette(pal);
    }

    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {m_freedb, m_selectAll, m_virtual, m_play}) buttons->addWidget(b);
    buttons->addStretch(1);
    buttons->addWidget(m_info);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(m_list, 1);
    layout->addLayout(buttons);

    for (int i = 0; i < kCategoryCount; ++i) m_category->addItem(categoryDisplayName(i), i);

    connect(m_drives, &QComboBox::activated, this, [this](int index) {
        m_page.selectDrive(m_drives->itemData(index).toInt());
        if (m_monitor) m_monitor->setPolling(m_page.currentDriveIsVirtual());
        lookUp(true, false);
    });
    connect(m_eject, &QPushButton::clicked, this, [this] { command(kCmdEject); });
    connect(m_refresh, &QPushButton::clicked, this, [this] { command(kCmdRefresh); });
    connect(m_freedb, &QPushButton::clicked, this, [this] { command(kCmdFreedbMenu); });
    connect(m_selectAll, &QPushButton::clicked, this, [this] { command(kCmdSelectAll); });
    connect(m_virtual, &QPushButton::clicked, this, [this] { command(kCmdAddVirtual); });
    connect(m_info, &QPushButton::clicked, this, [this] { command(kCmdInformation); });
    connect(m_list, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item, int) {
        const int row = item->data(0, kRowRole).toInt();
        if (m_page.toggleRow(static_cast<size_t>(row))) updateRow(row);
    });
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item, int) {
        const int row = item->data(0, kRowRole).toInt();
        if (m_page.toggleRow(static_cast<size_t>(row))) updateRow(row);
        editName(row);
    });
    connect(m_list, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int column) {
        if (m_filling || column != 0) return;
        const int row = item->data(0, kRowRole).toInt();
        if (!item->text(0).isEmpty()) m_page.renameRow(static_cast<size_t>(row), us(item->text(0)));
        m_filling = true;
        item->setText(0, qs(m_page.disc().tracks[static_cast<size_t>(row)].name));
        m_filling = false;
    });
    connect(m_list, &QTreeWidget::customContextMenuRequested, this, &TrackPageWidget::contextMenu);
}

TrackPageWidget::~TrackPageWidget() = default;

void TrackPageWidget::initializePage() {
    if (m_firstActivation) {
        m_firstActivation = false;
        m_monitor = new DeviceMonitor([this] { return m_page.driveReady(); }, true, this);
        m_monitor->setPolling(m_page.currentDriveIsVirtual());
        connect(m_monitor, &DeviceMonitor::deviceChanged, this, [this] {
            if (m_session.deviceNotice()) lookUp(false, false);
        });
    }
    setButtonText(QWizard::NextButton, "Next >");
    fillDrives();
    lookUp(false, false);
}

bool TrackPageWidget::isComplete() const {
    return !m_page.disc().tracks.empty() && !m_tasks->busy();
}

bool TrackPageWidget::lookupBusy() const {
    return m_tasks->busy();
}

bool TrackPageWidget::validatePage() {
    copyFields();
    if (std::string why = m_page.nextCheck(); !why.empty()) {
        notify(this, why);
        return false;
    }
    return true;
}

void TrackPageWidget::setBatchRunning(bool running) {
    if (m_monitor) m_monitor->setPaused(running);
}

void TrackPageWidget::runDeferred() {
    if (m_session.takeDeferred()) lookUp(false, false);
}

void TrackPageWidget::drivesChanged() {
    fillDrives();
    if (m_monitor) m_monitor->setPolling(m_page.currentDriveIsVirtual());
    lookUp(true, false);
}

void TrackPageWidget::fillDrives() {
    m_drives->clear();
    const std::vector<std::string> names = m_page.driveNames();
    for (size_t i = 0; i < names.size(); ++i) m_drives->addItem(qs(names[i]), static_cast<int>(i));
    m_drives->setCurrentIndex(m_page.currentDrive());
}

void TrackPageWidget::fillFields() {
    const DiscInfo& d = m_page.disc();
    m_artist->setText(qs(d.artist));
    m_album->setText(qs(d.title));
    m_genre->setText(qs(d.genre));
    m_year->setText(d.year > 0 ? QString::number(d.year) : QString());
    m_category->setCurrentIndex(d.category >= 0 && d.category < kCategoryCount ? d.category : -1);
}

void TrackPageWidget::fillList() {
    m_filling = true;
    const int focused = focusedRow();
    m_list->clear();
    const auto& rows = m_page.disc().tracks;
    for (size_t i = 0; i < rows.size(); ++i) {
        auto* item = new QTreeWidgetItem(m_list);
        item->setData(0, kRowRole, static_cast<int>(i));
        item->setFlags(item->flags() | Qt::ItemIsEditable);
        item->setTextAlignment(1, Qt::AlignHCenter | Qt::AlignVCenter);
        item->setTextAlignment(2, Qt::AlignHCenter | Qt::AlignVCenter);
        item->setTextAlignment(3, Qt::AlignRight | Qt::AlignVCenter);
    }
    m_filling = false;
    for (size_t i = 0; i < rows.size(); ++i) updateRow(static_cast<int>(i));
    if (focused >= 0 && focused < m_list->topLevelItemCount())
        m_list->setCurrentItem(m_list->topLevelItem(focused), 0, QItemSelectionModel::NoUpdate);
    updateSelectAll();
    emit completeChanged();
}

void TrackPageWidget::updateRow(int row) {
    QTreeWidgetItem* item = m_list->topLevelItem(row);
    if (!item || row < 0 || static_cast<size_t>(row) >= m_page.disc().tracks.size()) return;
    const TrackRowView v = trackRowView(m_page.disc().tracks[static_cast<size_t>(row)]);
    m_filling = true;
    item->setText(0, qs(v.name));
    item->setText(1, qs(v.start));
    item->setText(2, qs(v.length));
    item->setText(3, qs(v.size));
    item->setIcon(0, stateImage(v.image));
    item->setData(0, Qt::UserRole + 1, v.image);
    m_filling = false;
    updateSelectAll();
}

void TrackPageWidget::updateSelectAll() {
    m_selectAll->setText(qs(m_page.selectAllText()));
}

void TrackPageWidget::copyFields() {
    const int category = m_category->currentIndex() >= 0 ? m_category->currentData().toInt() : -1;
    m_page.copyFields(us(m_artist->text()), us(m_album->text()), us(m_genre->text()),
                      us(m_year->text()), category);
}

void TrackPageWidget::playRow(int row) {
    const auto& tracks = m_page.disc().tracks;
    kyDskReader* source = m_page.source();
    if (row < 0 || size_t(row) >= tracks.size() || !source || !source->IsDriveOpen()) return;
    const TrackEntry& t = tracks[size_t(row)];
    if (t.data || t.length == 0) return;
    // The window borrows the CD source set to the row (a track or a virtual track).
    if (!source->SetRange(t.start / 588, (t.start + t.length + 587) / 588)) return;
    PlaybackWindow::openPlayback(this, source, "", t.name);
}

int TrackPageWidget::focusedRow() const {
    QTreeWidgetItem* item = m_list->currentItem();
    return item ? item->data(0, kRowRole).toInt() : -1;
}

void TrackPageWidget::setLookupRunning(bool running) {
    m_lookupRunning = running;
    for (QWidget* w : std::initializer_list<QWidget*>{m_artist, m_year, m_category, m_genre,
                                                      m_album, m_list, m_virtual})
        w->setEnabled(!running);
    if (running)
        QApplication::setOverrideCursor(Qt::BusyCursor);
    else
        QApplication::restoreOverrideCursor();
}

void TrackPageWidget::lookUp(bool force, bool verbose) {
    if (!m_session.lookupRequest() || m_tasks->busy()) return;
    TrackPage::LookupStep step;
    {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        step = m_page.beginLookup(force);
        QApplication::restoreOverrideCursor();
    }
    m_drives->setCurrentIndex(m_page.currentDrive());
    switch (step) {
    case TrackPage::LookupStep::NoDisc:
        emit lookupFinished();
        return;
    case TrackPage::LookupStep::Retry:
        QTimer::singleShot(kRetryMs, this, [this] { lookUp(false, false); });
        return;
    case TrackPage::LookupStep::SameDisc:
        fillList();
        emit lookupFinished();
        return;
    case TrackPage::LookupStep::Named:
        fillFields();
        fillList();
        emit lookupFinished();
        return;
    case TrackPage::LookupStep::Ask:
        break;
    }
    fillFields();
    fillList();
    TrackPage::LookupRequest request = m_page.lookupRequest(verbose);
    m_tasks->addCancelFlag(request.cancel);
    setLookupRunning(true);
    m_tasks->run<TrackPage::LookupAnswer>([request] { return TrackPage::runLookup(request); },
                                          [this, request](TrackPage::LookupAnswer answer) {
                                              lookupArrived(request, std::move(answer));
                                          });
}

void TrackPageWidget::lookupArrived(const TrackPage::LookupRequest& request,
                                    TrackPage::LookupAnswer answer) {
    using Outcome = DiscLookupResult::Outcome;
    setLookupRunning(false);
    if (answer.result.outcome == Outcome::Choose && answer.generation == m_page.generation()) {
        ChoiceDialog dialog(this, answer.result.matches, answer.result.exact);
        const int chosen = dialog.exec() == QDialog::Accepted ? dialog.choice() : -1;
        if (chosen >= 0) {
            const DiscMatch match = answer.result.matches[static_cast<size_t>(chosen)];
            setLookupRunning(true);
            m_tasks->run<TrackPage::LookupAnswer>(
                [request, match] { return TrackPage::readMatch(request, match); },
                [this, request](TrackPage::LookupAnswer a) {
                    lookupArrived(request, std::move(a));
                });
            return;
        }
    } else if (request.verbose && !answer.result.message.empty()) {
        std::string text = answer.result.message;
        if (!answer.result.detail.empty()) text += "\n\n(" + answer.result.detail + ")";
        notify(this, text, kLookupCaption);
    }
    if (m_page.finishLookup(std::move(answer))) {
        fillFields();
        fillList();
    }
    emit completeChanged();
    emit lookupFinished();
}

void TrackPageWidget::command(int command) {
    switch (command) {
    case kCmdRefresh:
        lookUp(false, false);
        break;
    case kCmdFreedbMenu:
        freedbMenu();
        break;
    case kCmdSelectAll:
        if (m_page.selectAll()) fillList();
        updateSelectAll();
        break;
    case kCmdAddVirtual:
        addVirtualTrack();
        break;
    case kCmdInformation:
        openUrlOrSay(this, kInfoPageUrl);
        break;
    case kCmdPlay:
        playRow(focusedRow());
        break;
    case kCmdEject:
        m_page.toggleTray();
        lookUp(false, false);
        break;
    case kCmdToggle:
        if (m_page.toggleRow(static_cast<size_t>(focusedRow()), true)) updateRow(focusedRow());
        break;
    case kCmdRemoveVirtual:
        if (m_page.removeVirtualRow(static_cast<size_t>(focusedRow()))) fillList();
        break;
    case kCmdEditName:
        editName(focusedRow());
        break;
    case kCmdPatternRename:
        patternRename();
        break;
    case kCmdLookUpAgain:
        lookUp(true, true);
        break;
    case kCmdSubmit:
        submit();
        break;
    case kCmdFreedbOptions:
        showFreedbOptions([this](bool accepted) {
            if (accepted) lookUp(true, false);
        });
        break;
    case kCmdFreedbAbout:
        openUrlOrSay(this, kFreedbHomeUrl);
        break;
    default:
        break;
    }
}

void TrackPageWidget::editName(int row) {
    if (QTreeWidgetItem* item = m_list->topLevelItem(row)) {
        m_list->setCurrentItem(item, 0, QItemSelectionModel::NoUpdate);
        m_list->editItem(item, 0);
    }
}

bool TrackPageWidget::eventFilter(QObject* watched, QEvent* event) {
    // While a name is edited the keys go to the editor, not to the list.
    if (watched == m_list && event->type() == QEvent::KeyPress) {
        switch (static_cast<QKeyEvent*>(event)->key()) {
        case Qt::Key_F2:
            command(kCmdEditName);
            return true;
        case Qt::Key_Delete:
            command(kCmdRemoveVirtual);
            return true;
        case Qt::Key_F5:
            command(kCmdRefresh);
            return true;
        case Qt::Key_Space:
            command(kCmdToggle);
            return true;
        default:
            break;
        }
    }
    return QWizardPage::eventFilter(watched, event);
}

namespace {
// Builds a menu from the page's items; the chosen command, or 0.
int runMenu(QWidget* parent, const std::vector<TrackMenuItem>& items, const QPoint& at,
            const char* name) {
    QMenu menu(parent);
    menu.setObjectName(name);
    for (const TrackMenuItem& item : items) {
        if (item.command == kCmdSeparator) {
            menu.addSeparator();
            continue;
        }
        QAction* a = menu.addAction(qs(item.text));
        a->setData(item.command);
        a->setEnabled(item.enabled);
        if (item.isDefault) menu.setDefaultAction(a);
    }
    QAction* chosen = menu.exec(at);
    return chosen ? chosen->data().toInt() : 0;
}
} // namespace

void TrackPageWidget::contextMenu(const QPoint& pos) {
    QTreeWidgetItem* item = m_list->itemAt(pos);
    if (item) m_list->setCurrentItem(item, 0, QItemSelectionModel::NoUpdate);
    const int row = item ? item->data(0, kRowRole).toInt() : -1;
    const int chosen = runMenu(this, m_page.contextMenu(row, m_page.driveReady()),
                               m_list->viewport()->mapToGlobal(pos), "trackMenu");
    if (chosen) command(chosen);
}

void TrackPageWidget::freedbMenu() {
    const int chosen =
        runMenu(this, m_page.freedbMenu(), m_freedb->mapToGlobal(QPoint(0, 0)), "freedbMenu");
    if (chosen) command(chosen);
}

void TrackPageWidget::addVirtualTrack() {
    if (m_page.disc().tracks.empty()) {
        notify(this, "Please insert a disc first!", "Add virtual track - DskR");
        return;
    }
    uint64_t start = 0, end = 0;
    virtualTrackPreset(m_page.disc(), m_page.leadOut(), start, end);
    VirtualTrackDialog dialog(this, start, end, m_page.leadOut());
    if (dialog.exec() != QDialog::Accepted) return;
    m_page.disc().appendRow(makeVirtualTrack(dialog.startFrame(), dialog.endFrame()));
    fillList();
    m_list->setCurrentItem(m_list->topLevelItem(m_list->topLevelItemCount() - 1), 0,
                           QItemSelectionModel::NoUpdate);
}

void TrackPageWidget::patternRename() {
    PatternRenameDialog dialog(this, m_page.rename);
    if (dialog.exec() == QDialog::Accepted && m_page.applyRename() > 0) fillList();
}

void TrackPageWidget::showFreedbOptions(std::function<void(bool)> then) {
    const RipSettings& s = m_page.settings();
    const std::string server = s.szDBServer, proxy = s.szDBProxy, email = s.szDBEmail;
    const kyHttpTimeouts timeouts = m_page.timeouts;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_tasks->run<std::vector<FreedbSite>>(
        [server, proxy, email, timeouts] {
            FreedbClient client(server, proxy, email);
            client.timeouts = timeouts;
            std::vector<FreedbSite> sites;
            readSites(client, sites);
            return sites;
        },
        [this, then](std::vector<FreedbSite> sites) {
            QApplication::restoreOverrideCursor();
            FreedbOptionsDialog dialog(this, m_page.settings(), sites);
            then(dialog.exec() == QDialog::Accepted);
        });
}

void TrackPageWidget::submit() {
    copyFields();
    auto go = [this] {
        if (std::string why = submitCheck(m_page.disc()); !why.empty()) {
            notify(this, why, kSubmitCaption);
            return;
        }
        if (customMessageBox(this, submitConfirmation(m_page.disc()), kSubmitCaption,
                             {{"Submit it now!", kyAnswerOk}, {"Cancel", kyAnswerCancel}}) !=
            kyAnswerOk)
            return;
        auto request = std::make_shared<TrackPage::SubmitRequest>(m_page.submitRequest());
        QApplication::setOverrideCursor(Qt::WaitCursor);
        m_tasks->run<bool>([request] { return TrackPage::runSubmit(*request); },
                           [this, request](bool accepted) {
                               QApplication::restoreOverrideCursor();
                               m_page.finishSubmit(*request, accepted);
                               notify(this, accepted ? kSubmitSucceeded : kSubmitFailed,
                                      kSubmitCaption);
                               emit submitFinished(accepted);
                           });
    };
    if (m_page.settings().szDBEmail.empty()) {
        if (customMessageBox(this, kSubmitNeedsEmail, kSubmitCaption,
                             {{"Enter it now", kyAnswerOk}, {"Cancel", kyAnswerCancel}}) !=
            kyAnswerOk)
            return;
        showFreedbOptions([go](bool accepted) {
            if (accepted) go();
        });
        return;
    }
    go();
}
