#pragma once
// The program's main window: a three-page wizard (tracks, output options, progress) with a
// File menu for disc images and the demo disc. The pages show what the toolkit-free page
// classes decide; every control carries its number as its object name ("c316").
#include "app/progress_page.h"
#include "app/rip_settings.h"
#include "app/track_page.h"

#include <QWizard>
#include <QWizardPage>
#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class BackgroundTasks;
class DeviceMonitor;
class ElidedLabel;
class kyBatchRunner;

enum WizardPageId { kTrackPageId = 0, kOptionsPageId = 1, kProgressPageId = 2 };

// The label text of a control ("c316").
QString controlName(int number);

class TrackPageWidget : public QWizardPage {
    Q_OBJECT
public:
    TrackPageWidget(TrackPage& page, BatchSession& session, QWidget* parent = nullptr);
    ~TrackPageWidget() override;

    void initializePage() override;
    bool isComplete() const override;
    bool validatePage() override;

    // Look-ups: `force` reads the disc anew even when it is the one listed; `verbose`
    // says what happened. The database part runs on another thread.
    void lookUp(bool force, bool verbose);
    bool lookupBusy() const;
    void command(int command);
    // The drive list made anew (after a virtual drive was added), with a forced look-up.
    void drivesChanged();
    // Device notices kept back while a batch ran.
    void runDeferred();
    void setBatchRunning(bool running);
    // The freedb options dialog after the server list has arrived; `then` learns whether
    // it ended with OK.
    void showFreedbOptions(std::function<void(bool)> then);
    BackgroundTasks& tasks() { return *m_tasks; }
    DeviceMonitor* deviceMonitor() { return m_monitor; }

signals:
    // A look-up (or a submission) has ended and its result is shown.
    void lookupFinished();
    void submitFinished(bool accepted);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void fillDrives();
    void fillFields();
    void fillList();
    void updateRow(int row);
    void updateSelectAll();
    void copyFields();
    void setLookupRunning(bool running);
    void lookupArrived(const TrackPage::LookupRequest& request, TrackPage::LookupAnswer answer);
    void contextMenu(const QPoint& pos);
    void freedbMenu();
    void addVirtualTrack();
    void patternRename();
    void editName(int row);
    void submit();
    int focusedRow() const;
    void playRow(int row);

    TrackPage& m_page;
    BatchSession& m_session;
    BackgroundTasks* m_tasks;
    DeviceMonitor* m_monitor = nullptr;
    QComboBox* m_drives;
    QLineEdit* m_artist;
    QLineEdit* m_year;
    QComboBox* m_category;
    QLineEdit* m_genre;
    QLineEdit* m_album;
    QTreeWidget* m_list;
    QPushButton* m_eject;
    QPushButton* m_refresh;
    QPushButton* m_freedb;
    QPushButton* m_selectAll;
    QPushButton* m_virtual;
    QPushButton* m_play;
    QPushButton* m_info;
    bool m_filling = false;
    bool m_lookupRunning = false;
    bool m_firstActivation = true;
};

class OptionsPageWidget : public QWizardPage {
    Q_OBJECT
public:
    OptionsPageWidget(RipSettings& settings, TrackPage& page, QWidget* parent = nullptr);
    void initializePage() override;
    void cleanupPage() override;
    bool validatePage() override;

    // Reads every control into the settings.
    void readAll();
    // The full example text (the label shows it shortened to its width).
    QString exampleText() const;

private:
    void fillAll();
    void formatChanged();
    void dataFormatChanged();
    void normalizeTypeChanged();
    void unitChanged();
    void fillUnits();
    void updateEnabled();
    void updateExample();
    void browse();

    RipSettings& m_settings;
    TrackPage& m_page;
    bool m_filling = false;
    QLineEdit* m_outDir;
    QComboBox* m_format;
    QComboBox* m_dataFormat;
    QComboBox* m_channels;
    QComboBox* m_name[10] = {}; // [0] space handling, then parts and separators by index
    QCheckBox* m_noPrompt;
    ElidedLabel* m_example;
    QCheckBox* m_merge;
    QCheckBox* m_playlist;
    QCheckBox* m_silence;
    QCheckBox* m_cutOff;
    QLineEdit* m_cutOffLength;
    QCheckBox* m_fade;
    QCheckBox* m_resample;
    QComboBox* m_rate;
    QComboBox* m_algorithm;
    QLabel* m_algorithmLabel;
    QComboBox* m_mode;
    QComboBox* m_speed;
    QCheckBox* m_normalize;
    QComboBox* m_normalizeType;
    QLineEdit* m_target;
    QComboBox* m_unit;
    QComboBox* m_meta;
    QCheckBox* m_album;
    QCheckBox* m_neverClip;
};

class GuiFrontend;

class ProgressPageWidget : public QWizardPage {
    Q_OBJECT
public:
    ProgressPageWidget(RipSettings& settings, TrackPage& page, BatchSession& session,
                       QWidget* parent = nullptr);
    ~ProgressPageWidget() override;
    void initializePage() override;
    void cleanupPage() override;
    bool isComplete() const override;

    // Asks before cancelling a running batch (Cancel, Back, the close box, Escape).
    void askToCancel();
    // Stops the batch without asking (the program is quitting).
    void cancelBatch();
    const kyBatchRunner* runner() const { return m_runner.get(); }
    bool ejected() const { return m_ejected; }
    // The batch asked to close the program when it is done.
    bool exitWhenDone() const { return m_exitWhenDone; }

signals:
    void batchStarted();
    void batchEnded();

private:
    friend class GuiFrontend;
    void runBatch();
    void showSummary();

    RipSettings& m_settings;
    TrackPage& m_page;
    BatchSession& m_session;
    std::unique_ptr<kyBatchRunner> m_runner;
    std::unique_ptr<GuiFrontend> m_frontend;
    bool m_done = false;
    bool m_ejected = false;
    bool m_exitWhenDone = false;
    QLabel* m_inputLabel;
    ElidedLabel* m_input;
    QLabel* m_outputLabel;
    ElidedLabel* m_output;
    QProgressBar* m_fileBar;
    QProgressBar* m_batchBar;
    QCheckBox* m_eject;
    QCheckBox* m_exit;
    QLabel* m_status;
    QPushButton* m_minimize;
    QPushButton* m_albumArt;
    QTreeWidget* m_summary;
};

class DskrWizard : public QWizard {
    Q_OBJECT
public:
    explicit DskrWizard(RipSettings& settings, QWidget* parent = nullptr);
    ~DskrWizard() override;

    // Makes the CD source; false with the message to show when there is no drive.
    bool createSource(std::string& message);
    TrackPage& trackPage() { return m_trackPage; }
    BatchSession& session() { return m_session; }
    TrackPageWidget* trackPageWidget() { return m_track; }
    OptionsPageWidget* optionsPageWidget() { return m_options; }
    ProgressPageWidget* progressPageWidget() { return m_progress; }

    // File menu: a CUE sheet or the demo disc as a virtual drive.
    bool openImage(const QString& cuePath);
    void openDemoDisc();
    // The program is asked to end: at once, or once the running batch has stopped.
    void requestQuit();
    // Ends the program (the batch's "close when done", the File menu's Quit).
    void closeProgram();

    void reject() override;
    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void pageChanged(int id);
    void backRequested();
    void batchEnded();

    RipSettings& m_settings;
    TrackPage m_trackPage;
    BatchSession m_session;
    TrackPageWidget* m_track;
    OptionsPageWidget* m_options;
    ProgressPageWidget* m_progress;
    bool m_closing = false;
    QWidget* m_menus = nullptr;
};
