// The wizard driven as a user drives it, on the offscreen platform: the drive list and the
// demo disc, clicks, keys and name edits, virtual tracks, pattern renaming, the look-up
// against a local CDDB server with several matches (while the window keeps working), the
// options page's refusals, a batch whose files are byte for byte the command line's,
// every way of cancelling a running batch, overwrite prompts, a failed file in the summary,
// the task-bar signal on a private D-Bus, the drive poll, and the web addresses.
#include "app/options_page.h"
#include "app/shell.h"
#include "cd/dsk_reader.h"
#include "cd/virtual_drive.h"
#include "gui/background_tasks.h"
#include "gui/device_monitor.h"
#include "gui/task_bar_progress.h"
#include "gui/wizard.h"
#include "gui_test_support.h"
#include "job/batch_runner.h"
#include "metadata/freedb_disc_id.h"
#include "metadata/musicbrainz_disc_id.h"
#include "support/fake_cddb_server.h"
#include "support/fake_musicbrainz_server.h"
#include "support/run_program.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProcess>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;
using kytest::answerBox;
using kytest::pickMenu;
using kytest::waitUntil;
using kytest::whenModal;

namespace {

std::string fileBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs the steps one after another from the event loop (so that they also run while a
// batch pumps the window's events); a step returning false is tried again shortly.
class Steps : public QObject {
public:
    explicit Steps(std::vector<std::function<bool()>> steps) : m_steps(std::move(steps)) {
        QTimer::singleShot(30, this, [this] { next(); });
    }
    bool done() const { return m_index >= m_steps.size(); }

private:
    void next() {
        if (done()) return;
        if (m_steps[m_index]()) ++m_index;
        if (!done()) QTimer::singleShot(30, this, [this] { next(); });
    }
    std::vector<std::function<bool()>> m_steps;
    size_t m_index = 0;
};

} // namespace

class WizardTest : public QObject {
    Q_OBJECT

public:
    QList<QVariantMap> launcherUpdates;
    QList<QUrl> openedUrls;

public slots:
    void launcherUpdate(const QString& app, const QVariantMap& properties) {
        if (app == mdTaskBarProgress::kApplication) launcherUpdates.append(properties);
    }
    void openUrl(const QUrl& url) { openedUrls.append(url); }

private:
    QTemporaryDir m_home;
    RipSettings settings;
    std::unique_ptr<DskrWizard> wizard;
    QTemporaryDir* m_out = nullptr;

    QTreeWidget* list() { return wizard->findChild<QTreeWidget*>("c322"); }
    template <class W> W* control(int number) {
        W* w = wizard->findChild<W*>(controlName(number));
        if (!w) qFatal("no control %d", number);
        return w;
    }
    void clickRow(int row) {
        QTreeWidgetItem* item = list()->topLevelItem(row);
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {},
                          list()->visualItemRect(item).center());
    }
    // What a window system delivers for a double click: a click, then a press, the
    // double click itself and a release (QTest's mouseDClick sends the third alone).
    void doubleClickRow(int row) {
        const QPoint at = list()->visualItemRect(list()->topLevelItem(row)).center();
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, at);
        QTest::mousePress(list()->viewport(), Qt::LeftButton, {}, at);
        QMouseEvent dbl(QEvent::MouseButtonDblClick, at, list()->viewport()->mapToGlobal(at),
                        Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(list()->viewport(), &dbl);
        QTest::mouseRelease(list()->viewport(), Qt::LeftButton, {}, at);
    }
    int imageOf(int row) { return list()->topLevelItem(row)->data(0, Qt::UserRole + 1).toInt(); }
    // A wizard over the demo disc (or over the drive `drive` when given), shown and looked up.
    void open(int drive = -1) {
        wizard = std::make_unique<DskrWizard>(settings);
        if (drive < 0) {
            QVERIFY(wizard->trackPage().addDemoDrive());
        } else {
            QVERIFY(wizard->trackPage().createSource().empty());
            wizard->trackPage().selectDrive(drive);
        }
        wizard->trackPage().timeouts = kyHttpTimeouts::Total(3000);
        wizard->trackPage().cacheFolder = (m_home.path() + "/cache").toStdString();
        wizard->show();
        QVERIFY(waitUntil([this] {
            return !wizard->trackPage().disc().tracks.empty() &&
                   !wizard->trackPageWidget()->lookupBusy();
        }));
    }
    // The virtual drive of a disc with faults; returns its number in the drive list.
    int addDrive(std::shared_ptr<kyDiscImage> image, const std::string& faults) {
        std::string error;
        const int index = kyAddVirtualDrive(std::move(image), faults, error);
        kyDskReader reader;
        for (uint32_t n = 0; n < reader.DriveCount(); ++n)
            if (reader.DriveRecord(n)->devicePath == "virtual" + std::to_string(index))
                return int(n);
        return -1;
    }
    void selectOnly(std::initializer_list<int> rows) {
        auto& tracks = wizard->trackPage().disc().tracks;
        for (size_t i = 0; i < tracks.size(); ++i)
            if (tracks[i].selected != (std::find(rows.begin(), rows.end(), int(i)) != rows.end()) &&
                !tracks[i].data)
                clickRow(int(i));
    }
    void toOptions() {
        QVERIFY(wizard->validateCurrentPage());
        wizard->next();
        QCOMPARE(wizard->currentId(), int(kOptionsPageId));
    }
    // Next on the options page, then waits for the batch to end.
    void runBatch() {
        wizard->next();
        QVERIFY(waitUntil(
            [this] {
                return wizard->currentId() == kProgressPageId && !wizard->session().running() &&
                       wizard->progressPageWidget()->isComplete();
            },
            60000));
    }
    QStringList summaryRows() {
        QStringList rows;
        auto* summary = wizard->findChild<QTreeWidget*>("summary");
        for (int i = 0; i < summary->topLevelItemCount(); ++i)
            rows << summary->topLevelItem(i)->text(0);
        return rows;
    }

private slots:
    void initTestCase() {
        qputenv("HOME", m_home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (m_home.path() + "/config").toUtf8());
        qputenv("XDG_CACHE_HOME", (m_home.path() + "/cache").toUtf8());
        for (const char* v :
             {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
            qunsetenv(v);
        QDesktopServices::setUrlHandler("https", this, "openUrl");
    }
    void cleanupTestCase() { QDesktopServices::unsetUrlHandler("https"); }
    void init() {
        kyClearVirtualDrives();
        kytest::clearModalHandlers();
        settings = RipSettings{};
        m_out = new QTemporaryDir;
        settings.szOutDir = (m_out->path() + "/").toStdString();
        settings.bEjectWhenDone = false;
        // gnudb alone, unless a test starts a MusicBrainz service of its own.
        settings.szLookupOrder = "gnudb,local,cdtext";
        launcherUpdates.clear();
        openedUrls.clear();
    }
    void cleanup() {
        if (wizard) wizard->trackPageWidget()->tasks().cancelAndWait();
        wizard.reset();
        delete m_out;
        QCOMPARE(kytest::pendingModalHandlers(), 0);
        kytest::clearModalHandlers();
        kyClearVirtualDrives();
    }

    void tracksSelectionAndNames() {
        open();
        auto* drives = control<QComboBox>(316);
        QVERIFY(drives->currentText().contains("Velmora Virtual CD-ROM"));
        QCOMPARE(wizard->windowTitle(), QString("Select audio tracks - DskR v5.0"));
        QCOMPARE(list()->topLevelItemCount(), 7);
        QCOMPARE(list()->topLevelItem(0)->text(0), QString("Harbour Lights"));
        QCOMPARE(list()->topLevelItem(6)->text(2), QString("- - -"));
        QCOMPARE(control<QLineEdit>(317)->text(), QString("The Velmora Ensemble"));
        QCOMPARE(control<QLabel>(403)->palette().color(QPalette::WindowText), QColor(96, 96, 96));
        QCOMPARE(list()->toolTip(), QString("Click to select or unselect a track. Slowy double "
                                            "click (or press F2) to edit a track name."));
        QCOMPARE(control<QAbstractButton>(312)->text(), QString("Deselect all"));

        // A click toggles a track; a click on the data track does nothing.
        clickRow(1);
        QCOMPARE(imageOf(1), 0);
        QVERIFY(!wizard->trackPage().disc().tracks[1].selected);
        clickRow(6);
        QCOMPARE(imageOf(6), 4);
        QVERIFY(!wizard->trackPage().disc().tracks[6].selected);
        QCOMPARE(imageOf(3), 3); // pre-emphasis, selected

        // Select all / deselect all, and the check before the next page.
        clickRow(0);
        clickRow(2);
        QCOMPARE(control<QAbstractButton>(312)->text(), QString("Select all")); // 3 of 7
        control<QAbstractButton>(312)->click();
        QCOMPARE(control<QAbstractButton>(312)->text(), QString("Deselect all"));
        control<QAbstractButton>(312)->click();
        QStringList seen;
        answerBox("&OK", &seen);
        QVERIFY(!wizard->validateCurrentPage());
        QCOMPARE(seen, QStringList{"DskR v5.0|No audio tracks selected!"});

        // F2 edits the focused row's name; the edit goes into the record.
        list()->setFocus();
        list()->setCurrentItem(list()->topLevelItem(2), 0, QItemSelectionModel::NoUpdate);
        QTest::keyClick(list(), Qt::Key_F2);
        auto* editor = list()->viewport()->findChild<QLineEdit*>();
        QVERIFY(editor);
        editor->selectAll();
        QTest::keyClicks(editor, "Static Rain");
        QTest::keyClick(editor, Qt::Key_Return);
        QVERIFY(waitUntil(
            [this] { return wizard->trackPage().disc().tracks[2].name == "Static Rain"; }));

        // A double click leaves the selection as it was and opens the name for editing.
        const bool before = wizard->trackPage().disc().tracks[4].selected;
        doubleClickRow(4);
        QCOMPARE(wizard->trackPage().disc().tracks[4].selected, before);
        QVERIFY(
            waitUntil([this] { return list()->viewport()->findChild<QLineEdit*>() != nullptr; }));
        QTest::keyClick(list()->viewport()->findChild<QLineEdit*>(), Qt::Key_Escape);

        // The context menu: select through the menu, then a pattern rename of every row.
        list()->setCurrentItem(list()->topLevelItem(6), 0, QItemSelectionModel::NoUpdate);
        QStringList entries;
        pickMenu("Select track", &entries);
        emit list()->customContextMenuRequested(
            list()->visualItemRect(list()->topLevelItem(6)).center());
        QVERIFY(entries.contains("Play audio ..."));
        QVERIFY(entries.contains("Eject disc"));
        QVERIFY(wizard->trackPage().disc().tracks[6].selected);

        whenModal([](QWidget* w) {
            w->findChild<QLineEdit*>("matchPattern")->setText("* *");
            w->findChild<QLineEdit*>("outputPattern")->setText("*_*");
            QMetaObject::invokeMethod(w, "accept", Qt::QueuedConnection);
        });
        wizard->trackPageWidget()->command(kCmdPatternRename);
        QCOMPARE(list()->topLevelItem(0)->text(0), QString("Harbour_Lights"));
        QCOMPARE(list()->topLevelItem(2)->text(0), QString("Static_Rain"));
    }

    void virtualTracks() {
        open();
        const uint64_t leadOut = wizard->trackPage().leadOut();
        QString presetEnd;
        QStringList seen;
        auto fill = [](QWidget* w, const char* field, const QString& text) {
            w->findChild<QLineEdit*>(field)->setText(text);
        };
        // A bad start, then an end beyond the disc, then a good range.
        whenModal([&](QWidget* w) {
            presetEnd = w->findChild<QLineEdit*>("endMinutes")->text() + ":" +
                        w->findChild<QLineEdit*>("endSeconds")->text();
            fill(w, "startSeconds", "2x");
            QMetaObject::invokeMethod(w, "accept", Qt::QueuedConnection);
        });
        answerBox("&OK", &seen);
        whenModal([&](QWidget* w) {
            fill(w, "startSeconds", "10");
            fill(w, "endHours", "0");
            fill(w, "endMinutes", "0");
            fill(w, "endSeconds", "0");
            fill(w, "endFrames", QString::number(leadOut + 1));
            QMetaObject::invokeMethod(w, "accept", Qt::QueuedConnection);
        });
        answerBox("&OK", &seen);
        whenModal([&](QWidget* w) {
            fill(w, "endFrames", "");
            fill(w, "endSeconds", "20");
            QMetaObject::invokeMethod(w, "accept", Qt::QueuedConnection);
        });
        control<QAbstractButton>(313)->click();
        // The range offered first reaches to the end of the last row (the data track's).
        QCOMPARE(presetEnd, QString("5:%1").arg(uint64_t(leadOut / 75 % 60)));
        QCOMPARE(seen, (QStringList{"DskR v5.0|Invalid start time entry",
                                    "DskR v5.0|Invalid end time entry"}));
        const auto& rows = wizard->trackPage().disc().tracks;
        QCOMPARE(rows.size(), size_t(8));
        QCOMPARE(rows.back().name, std::string("From 0h0m10s to 0h0m20s"));
        QCOMPARE(rows.back().length, uint32_t((1500 - 750 + 1) * 588));
        QCOMPARE(list()->topLevelItem(7)->text(0), QString("From 0h0m10s to 0h0m20s"));
        // Delete removes a virtual track, and only a virtual track.
        list()->setFocus();
        QTest::keyClick(list(), Qt::Key_Delete);
        QCOMPARE(list()->topLevelItemCount(), 7);
        list()->setCurrentItem(list()->topLevelItem(0), 0, QItemSelectionModel::NoUpdate);
        QTest::keyClick(list(), Qt::Key_Delete);
        QCOMPARE(list()->topLevelItemCount(), 7);
    }

    void lookupWithSeveralMatches() {
        kytest::NoProxyEnvironment noProxy;
        kytest::FakeCddbServer cddb;
        cddb.delay = std::chrono::milliseconds(400);
        QTemporaryDir images;
        std::string error;
        const std::string cue = kyWriteTestImage(images.path().toStdString(), 5, error);
        QVERIFY2(!cue.empty(), error.c_str());
        std::string problem;
        auto image = std::shared_ptr<kyDiscImage>(kyDiscImage::LoadCue(cue, problem));
        char id[16];
        std::snprintf(id, sizeof id, "%08x", freedbDiscId(image->Toc()));
        cddb.queryAnswer = std::string("210 Found exact matches\r\nrock ") + id +
                           " Rock Band / Loud\r\njazz " + id + " Jazz Band / Smooth\r\n.\r\n";
        cddb.records[std::string("jazz ") + id] =
            "# xmcd\n# Revision: 1\nDTITLE=Jazz Band / Smooth\nDYEAR=1959\nTTITLE0=So What\n"
            "TTITLE1=Blue\n";
        settings.szDBServer = cddb.url();
        settings.szDBEmail = "ann@example.org";

        // The look-up runs while the window keeps working: a timer of the window fires
        // before the (slow) answer comes, and the choice dialog then offers both discs.
        open();
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(20);
        QStringList lines;
        whenModal([&](QWidget* w) {
            auto* matches = w->findChild<QListWidget*>("matchList");
            for (int i = 0; i < matches->count(); ++i) lines << matches->item(i)->text();
            matches->setCurrentRow(1);
            QMetaObject::invokeMethod(w, "accept", Qt::QueuedConnection);
        });
        QVERIFY(wizard->openImage(QString::fromStdString(cue)));
        QVERIFY(wizard->trackPageWidget()->lookupBusy());
        QVERIFY(!wizard->button(QWizard::NextButton)->isEnabled());
        QVERIFY(waitUntil([&] { return wizard->trackPage().disc().artist == "Jazz Band"; }));
        QVERIFY2(ticks >= 5, "the window kept working during the look-up");
        QCOMPARE(lines, (QStringList{"<rock> : Rock Band / Loud", "<jazz> : Jazz Band / Smooth"}));
        QCOMPARE(list()->topLevelItem(0)->text(0), QString("So What"));
        QCOMPARE(control<QLineEdit>(318)->text(), QString("1959"));
        QCOMPARE(control<QComboBox>(319)->currentText(), QString("Jazz"));
        QVERIFY(wizard->button(QWizard::NextButton)->isEnabled());

        // "Look up disc again" from the freedb menu; cancelling the choice reads nothing.
        pickMenu("Look up disc again");
        answerBox("Cancel");
        control<QAbstractButton>(311)->click();
        QVERIFY(waitUntil([&] {
            return !wizard->trackPageWidget()->lookupBusy() && kytest::pendingModalHandlers() == 0;
        }));
        QVERIFY(waitUntil([&] { return wizard->trackPage().disc().tracks[0].name == "Track 01"; }));

        // A database that cannot be reached: the verbose look-up says so.
        settings.szDBServer = "127.0.0.1:1";
        QStringList seen, entries;
        pickMenu("Look up disc again", &entries);
        answerBox("&OK", &seen);
        control<QAbstractButton>(311)->click();
        QVERIFY2(waitUntil([&] { return !seen.isEmpty(); }), qPrintable(entries.join(",")));
        QVERIFY(seen[0].startsWith(QString(kLookupCaption) + "|" + kLookupFailed));
        settings.szDBServer = cddb.url();

        // Submitting without an e-mail address first asks for one.
        settings.szDBEmail.clear();
        seen.clear();
        // After the failed look-up the disc is new to the database.
        pickMenu("Submit new disc...");
        answerBox("Cancel", &seen);
        control<QAbstractButton>(311)->click();
        QVERIFY(waitUntil([&] { return !seen.isEmpty(); }));
        QVERIFY(seen[0].contains("You must enter an email address"));
    }

    // MusicBrainz first, as on the command line: the choice names the database and tells
    // the releases apart; the chosen one names the disc.
    void lookupAsksMusicBrainzFirst() {
        kytest::NoProxyEnvironment noProxy;
        kytest::FakeMusicBrainzServer mb;
        QTemporaryDir images;
        settings.szMusicBrainzServer = mb.url();
        settings.szCoverArtServer = mb.url();
        settings.szLookupOrder = "musicbrainz,gnudb,local,cdtext";
        std::string error;
        const std::string cue = kyWriteTestImage(images.path().toStdString(), 1, error);
        QVERIFY2(!cue.empty(), error.c_str());
        std::string problem;
        auto image = std::shared_ptr<kyDiscImage>(kyDiscImage::LoadCue(cue, problem));
        QVERIFY2(image, problem.c_str());
        const kyDiscToc& toc = image->Toc();
        const std::string discId = musicBrainzDiscId(toc);
        auto release = [&](uint64_t n, const std::string& country) {
            return kytest::oneDiscRelease(n, country, discId, toc.firstTrack, toc.lastTrack,
                                          " " + country);
        };
        mb.discs[discId] = kytest::discAnswer(discId, {release(20, "DE"), release(21, "GB")});
        mb.covers[kytest::mbid(21)] = "\xFF\xD8\xFF\xE0 cover";
        open();
        QStringList lines;
        QString prompt;
        whenModal([&](QWidget* w) {
            auto* matches = w->findChild<QListWidget*>("matchList");
            for (auto* label : w->findChildren<QLabel*>()) prompt += label->text();
            for (int i = 0; i < matches->count(); ++i) lines << matches->item(i)->text();
            matches->setCurrentRow(1);
            QMetaObject::invokeMethod(w, "accept", Qt::QueuedConnection);
        });
        QVERIFY(wizard->openImage(QString::fromStdString(cue)));
        QVERIFY(waitUntil([&] { return wizard->trackPage().disc().artist == "Ann"; }));
        QCOMPARE(lines.size(), 2);
        QVERIFY2(prompt.contains("MusicBrainz"), qPrintable(prompt));
        for (const char* detail : {"GB", "2004-03-01", "Label CAT 21", "0123456789012"})
            QVERIFY2(lines[1].contains(detail), qPrintable(lines[1]));
        QVERIFY(lines[0].contains("DE"));
        QCOMPARE(list()->topLevelItem(0)->text(0), QString("Song 1 GB"));
        QCOMPARE(wizard->trackPage().disc().release.releaseId, kytest::mbid(21));
        QVERIFY(wizard->trackPage().disc().cover);
    }

    void optionsAreCheckedBeforeTheBatch() {
        open();
        selectOnly({1});
        toOptions();
        QCOMPARE(wizard->button(QWizard::NextButton)->text(), QString("Start >"));
        QCOMPARE(control<QLabel>(376)->palette().color(QPalette::WindowText), QColor(0, 70, 213));
        auto* rate = control<QComboBox>(351);
        auto* resample = control<QCheckBox>(350);
        QVERIFY(!rate->isEnabled());
        resample->setChecked(true);
        QVERIFY(rate->isEnabled());

        struct Refusal {
            std::function<void()> edit;
            const char* message;
        };
        auto* cut = control<QCheckBox>(348);
        auto* cutLength = control<QLineEdit>(349);
        auto* normalize = control<QCheckBox>(371);
        auto* target = control<QLineEdit>(373);
        const Refusal refusals[] = {
            {[&] { rate->setEditText("4000"); }, "sample rate"},
            {[&] { rate->setEditText("-44100"); }, "sample rate"},
            {[&] { rate->setEditText("384000"); }, "sample rate"},
            {[&] { rate->setEditText("44.1k"); }, "sample rate"},
            {[&] {
                 rate->setEditText("44100");
                 cut->setChecked(true);
                 cutLength->setText("0");
             },
             "cut-off"},
            {[&] { cutLength->setText("-30"); }, "cut-off"},
            {[&] {
                 cutLength->setText("30");
                 normalize->setChecked(true);
                 target->setText("500");
             },
             "Replay Gain"},
            {[&] {
                 target->setText("89");
                 control<QLineEdit>(330)->setText("");
             },
             "Please select an output directory first!"},
        };
        for (const Refusal& r : refusals) {
            r.edit();
            QStringList seen;
            answerBox("&OK", &seen);
            wizard->next();
            QCOMPARE(wizard->currentId(), int(kOptionsPageId));
            QCOMPARE(seen.size(), 1);
            QVERIFY2(seen[0].contains(r.message), qPrintable(seen[0]));
            if (rate->currentText() == "44.1k") QCOMPARE(settings.dwNewSampleRate, 44u);
        }
        rate->setEditText("48000");

        // A missing directory: No stays, Yes creates it and starts the batch.
        const QString missing = m_out->path() + "/new/rips";
        control<QLineEdit>(330)->setText(missing);
        QStringList seen;
        answerBox("&No", &seen);
        wizard->next();
        QCOMPARE(wizard->currentId(), int(kOptionsPageId));
        QCOMPARE(seen, QStringList{missing + "/|Output directory does not exist!\n\nCreate it?"});
        answerBox("&Yes");
        runBatch();
        QVERIFY(fs::is_directory(missing.toStdString()));
        QCOMPARE(settings.szOutDir, missing.toStdString() + "/");
        QCOMPARE(summaryRows(), QStringList{"Written"});
        QCOMPARE(settings.dwNewSampleRate, 48000u);
        QVERIFY(settings.bNormalize);
        QCOMPARE(settings.eNormalizeType, uint8_t(11));
    }

    void batchWritesWhatTheCommandLineWrites() {
        open();
        selectOnly({0, 3}); // one of them recorded with pre-emphasis
        toOptions();
        control<QCheckBox>(346)->setChecked(true); // playlist
        runBatch();
        QCOMPARE(wizard->windowTitle(), QString("Batch Completed! - DskR v5.0"));
        QVERIFY(control<QLabel>(407)->text().startsWith("Successfully completed 2 out of 2 files"));
        QCOMPARE(control<QProgressBar>(365)->value(), 100);
        QCOMPARE(wizard->button(QWizard::CancelButton)->text(), QString("Close"));
        QCOMPARE(wizard->button(QWizard::FinishButton)->text(), QString("New CD"));
        QVERIFY(wizard->button(QWizard::FinishButton)->isEnabled());
        QCOMPARE(summaryRows(), (QStringList{"Written", "Written", "Playlist"}));

        QTemporaryDir cliOut;
        const kytest::ProgramRun run =
            kytest::runProgram(DSKR_BINARY_DIR "/bin/dskr-cli",
                               {"rip", "--demo", "--out", cliOut.path().toStdString(), "--tracks",
                                "1,4", "--playlist"},
                               cliOut.path().toStdString());
        QVERIFY2(run.code == 0, run.err.c_str());
        const fs::path album = "The Velmora Ensemble/Signals from the Demo Disc";
        for (const char* name : {"01 - Harbour Lights.wav", "04 - Old Master Tape.wav"}) {
            const std::string ours = fileBytes(fs::path(settings.szOutDir) / album / name);
            QVERIFY2(ours.size() > 44, name);
            QVERIFY2(ours == fileBytes(fs::path(cliOut.path().toStdString()) / album / name), name);
        }
        QCOMPARE(fileBytes(fs::path(settings.szOutDir) /
                           "The Velmora Ensemble - Signals from the Demo Disc.m3u"),
                 fileBytes(fs::path(cliOut.path().toStdString()) /
                           "The Velmora Ensemble - Signals from the Demo Disc.m3u"));

        // The album-art button: the folder on the clipboard, the search in the browser.
        control<QAbstractButton>(408)->click();
        QCOMPARE(QApplication::clipboard()->text(), QString::fromStdString(settings.szOutDir) +
                                                        QString::fromStdString(album.string()));
        QCOMPARE(openedUrls.size(), 1);
        QVERIFY(openedUrls[0].toString().contains(
            "skey=The+Velmora+Ensemble+Signals+from+the+Demo+Disc"));

        // New CD: back to the track page; the second batch asks about the files it finds.
        wizard->button(QWizard::FinishButton)->click();
        QCOMPARE(wizard->currentId(), int(kTrackPageId));
        QVERIFY(waitUntil([this] { return !wizard->trackPageWidget()->lookupBusy(); }));
        QStringList seen;
        answerBox("Skip it", &seen);
        answerBox("Replace All", &seen);
        toOptions();
        runBatch();
        QCOMPARE(seen.size(), 2);
        QVERIFY(seen[0].startsWith("Replace existing file?|This output file aldready exists:"));
        QVERIFY(settings.bNoOverwritePrompt);
        QCOMPARE(summaryRows(), (QStringList{"Skipped", "Written", "Playlist"}));

        // The information button opens the program's page.
        wizard->restart();
        control<QAbstractButton>(315)->click();
        QCOMPARE(openedUrls.last(), QUrl(kInfoPageUrl));
    }

    void cancelRoutesWhileTheBatchRuns() {
        // A slow drive, so that the batch is still running while every route is tried.
        const int drive = addDrive(kyDiscImage::Demo(), "speed=1");
        QVERIFY(drive >= 0);
        open(drive);
        selectOnly({0, 1});
        toOptions();
        int lookups = 0;
        connect(wizard->trackPageWidget(), &TrackPageWidget::lookupFinished, [&] { ++lookups; });
        QStringList seen;
        const QString question = QString("DskR|") + kCancelQuestion;
        auto running = [&] { return wizard->session().running(); };
        int lookupsDuring = -1;
        bool stillRunning = false;
        auto ask = [&](std::function<void()> route) {
            return [&, route] {
                answerBox("&No", &seen);
                route();
                return true;
            };
        };
        Steps steps({
            [&] { return running() && control<QProgressBar>(364)->value() > 0; },
            ask([&] { wizard->button(QWizard::CancelButton)->click(); }),
            ask([&] { QTest::keyClick(wizard.get(), Qt::Key_Escape); }),
            ask([&] { wizard->close(); }),
            ask([&] { wizard->button(QWizard::BackButton)->click(); }),
            ask([&] { wizard->done(QDialog::Accepted); }),
            [&] {
                // A device notice waits for the end of the batch.
                emit wizard->trackPageWidget()->deviceMonitor()->deviceChanged();
                lookupsDuring = lookups;
                return true;
            },
            [&] {
                stillRunning =
                    running() && wizard->isVisible() && wizard->currentId() == kProgressPageId;
                answerBox("&Yes", &seen);
                wizard->button(QWizard::CancelButton)->click();
                return true;
            },
        });
        runBatch();
        QVERIFY(steps.done());
        QCOMPARE(lookupsDuring, 0);
        QVERIFY2(stillRunning, "No to every route left the batch running on its page");
        QCOMPARE(seen.size(), 6);
        for (const QString& s : seen) QCOMPARE(s, question);
        QVERIFY(control<QLabel>(407)->text().startsWith("Cancelled after 0 files"));
        QCOMPARE(summaryRows(), QStringList{"Cancelled"});
        const fs::path first = fs::path(settings.szOutDir) / "The Velmora Ensemble" /
                               "Signals from the Demo Disc" / "01 - Harbour Lights.wav";
        QVERIFY2(!fs::exists(first), "the cancelled file is removed");
        QVERIFY(waitUntil([&] { return lookups == 1; }));
        // With no batch running, Cancel closes the wizard.
        wizard->button(QWizard::CancelButton)->click();
        QVERIFY(!wizard->isVisible());
    }

    void quitRequestWaitsForTheBatch() {
        bool visibleAfterRequest = false;
        const int drive = addDrive(kyDiscImage::Demo(), "speed=1");
        open(drive);
        selectOnly({0});
        toOptions();
        Steps steps({
            [&] { return wizard->session().running() && control<QProgressBar>(364)->value() > 0; },
            [&] {
                wizard->requestQuit();
                visibleAfterRequest = wizard->isVisible(); // still running its batch
                return true;
            },
        });
        wizard->next();
        QVERIFY(waitUntil([&] { return !wizard->isVisible(); }, 60000));
        QVERIFY(steps.done());
        QVERIFY(visibleAfterRequest);
        QVERIFY(!wizard->session().running());
        QVERIFY(wizard->progressPageWidget()->runner()->result().cancelled);
    }

    void failedFileInTheSummary() {
        settings.bNoOverwritePrompt = true;
        open();
        selectOnly({0, 1});
        // A folder where the first file should go: its writer cannot create the file.
        fs::create_directories(fs::path(settings.szOutDir) / "The Velmora Ensemble" /
                               "Signals from the Demo Disc" / "01 - Harbour Lights.wav");
        toOptions();
        QStringList seen;
        answerBox("&OK", &seen);
        answerBox("&No", &seen);
        runBatch();
        QCOMPARE(seen.size(), 2);
        QVERIFY(seen[0].startsWith("Writing - DskR|"));
        QCOMPARE(seen[1], QString("DskR|Do you want to abort this job?"));
        const QStringList rows = summaryRows();
        QCOMPARE(rows.size(), 2);
        QVERIFY(rows[0].startsWith("Failed: "));
        QCOMPARE(rows[1], QString("Written"));
        QVERIFY(control<QLabel>(407)->text().startsWith("Successfully completed 1 out of 2 files"));
        // Eject when done: the virtual disc leaves the drive, and Back goes with it.
    }

    // A sector that never reads, filled with silence to go on: the file is kept as suspect,
    // its place on the disc listed under it, as the command line lists it.
    void suspectFileInTheSummary() {
        settings.bContinueOnReadError = true;
        settings.bNoOverwritePrompt = true;
        const int drive = addDrive(kyDiscImage::Demo(), "bad=3000:1000000");
        QVERIFY(drive >= 0);
        open(drive);
        selectOnly({0, 1});
        toOptions();
        runBatch();
        QCOMPARE(summaryRows(), (QStringList{"Written", "Suspect"}));
        auto* summary = wizard->findChild<QTreeWidget*>("summary");
        QTreeWidgetItem* suspect = summary->topLevelItem(1);
        QVERIFY(suspect->text(1).endsWith("02 - After the Silence.wav"));
        QCOMPARE(suspect->childCount(), 1);
        QCOMPARE(suspect->child(0)->text(1), QString("sector 3000 (track 2, 00:10.00)"));
        QVERIFY(suspect->isExpanded());
        QCOMPARE(summary->topLevelItem(0)->childCount(), 0);
        const auto& records = wizard->progressPageWidget()->runner()->result().records;
        QCOMPARE(records.size(), size_t(2));
        QCOMPARE(records[1].outcome, kyFileOutcome::Suspect);
    }

    void ejectAndCloseWhenDone() {
        settings.bEjectWhenDone = true;
        settings.bExitWhenDone = true;
        open();
        selectOnly({5});
        toOptions();
        QVERIFY(control<QCheckBox>(369)->isChecked());
        wizard->next();
        QVERIFY(waitUntil([&] { return !wizard->isVisible(); }, 60000));
        QVERIFY(wizard->progressPageWidget()->ejected());
        QVERIFY(!wizard->trackPage().driveReady());
        QCOMPARE(wizard->progressPageWidget()->runner()->result().successes, 1);
    }

    void taskBarProgressOnAPrivateBus() {
        QProcess bus;
        bus.start("dbus-daemon", {"--session", "--nofork", "--nopidfile", "--print-address=1"});
        if (!bus.waitForStarted(5000))
            QSKIP("dbus-daemon is not installed (Debian package dbus-daemon)");
        QVERIFY(bus.waitForReadyRead(5000));
        const QString address = QString::fromUtf8(bus.readLine()).trimmed();
        {
            QDBusConnection listener = QDBusConnection::connectToBus(address, "listener");
            QDBusConnection sender = QDBusConnection::connectToBus(address, "sender");
            QVERIFY(listener.isConnected() && sender.isConnected());
            QVERIFY(listener.connect(QString(), QString(), mdTaskBarProgress::kInterface, "Update",
                                     this, SLOT(launcherUpdate(QString, QVariantMap))));
            // The bus may take the match rule after the sender's first signal: one call
            // answered on the listener's connection makes sure it has it.
            QVERIFY(listener.interface()->isServiceRegistered("org.freedesktop.DBus").value());
            {
                auto bar = mdTaskBarProgress::create(sender);
                QVERIFY(bar);
                bar->SetValue(62, 100);
                bar->SetState(ImdTaskBarProgress::Error);
            }
            QVERIFY(waitUntil([this] { return launcherUpdates.size() >= 4; }, 30000));
            QCOMPARE(launcherUpdates[0]["progress-visible"].toBool(), true); // indeterminate
            QCOMPARE(launcherUpdates[1]["progress"].toDouble(), 0.62);
            QCOMPARE(launcherUpdates[2]["urgent"].toBool(), true);
            QCOMPARE(launcherUpdates[3]["progress-visible"].toBool(), false);
        }
        QDBusConnection::disconnectFromBus("listener");
        QDBusConnection::disconnectFromBus("sender");
        bus.kill();
        bus.waitForFinished();
        QVERIFY(!mdTaskBarProgress::create(QDBusConnection("nothing")));
    }

    void drivePollWithoutUdev() {
        bool ready = true;
        DeviceMonitor monitor([&] { return ready; }, false);
        QVERIFY(!monitor.usesUdev());
        int notices = 0;
        connect(&monitor, &DeviceMonitor::deviceChanged, [&] { ++notices; });
        QTest::qWait(DeviceMonitor::kPollMs + 300); // the first poll learns the state
        ready = false;
        QVERIFY(waitUntil([&] { return notices == 1; }, 3 * DeviceMonitor::kPollMs));
        monitor.setPaused(true);
        ready = true;
        QTest::qWait(DeviceMonitor::kPollMs + 300);
        QCOMPARE(notices, 1);
    }

    void helpWithoutAHelpFile() {
        open();
        QStringList seen;
        answerBox("&OK", &seen);
        wizard->button(QWizard::HelpButton)->click();
        QCOMPARE(seen.size(), 1);
        QVERIFY(seen[0].contains("Couldn't open the help file!"));
    }
};

QTEST_MAIN(WizardTest)
#include "wizard_test.moc"
