// Writes a picture of every page, dialog, menu and prompt of the wizard into a folder, for
// looking over the layout at each scale (scripts/screenshots runs it under Xvfb at 100 %
// and 200 %). Usage: dskr_screenshots DIR SUFFIX
#include "app/rip_settings.h"
#include "app/shell.h"
#include "app/track_page.h"
#include "cd/dsk_reader.h"
#include "cd/virtual_drive.h"
#include "formats/format_catalog.h"
#include "gui/dialogs.h"
#include "gui/message_box.h"
#include "gui/playback_window.h"
#include "gui/wizard.h"
#include "gui_test_support.h"
#include "metadata/disc_lookup.h"
#include "metadata/freedb_submit.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>

namespace {

QString g_dir, g_suffix;
int g_count = 0;

void save(QWidget* w, const QString& name) {
    QApplication::processEvents();
    const QString path = QString("%1/%2-%3.png").arg(g_dir, name, g_suffix);
    if (!w->grab().save(path)) std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    ++g_count;
}

// Shows a dialog without its own event loop, takes its picture, and closes it.
void shoot(QWidget* w, const QString& name) {
    w->show();
    w->adjustSize();
    kytest::waitUntil([] { return false; }, 150);
    save(w, name);
    w->close();
}

void shootBox(QWidget* owner, const std::string& text, const std::string& caption,
              const std::vector<kyPromptButton>& buttons, const QString& name) {
    std::unique_ptr<QMessageBox> box(makeMessageBox(owner, text, caption, buttons));
    shoot(box.get(), name);
}

// The next modal box or menu is pictured and closed.
void shootNext(const QString& name) {
    kytest::whenModal([name](QWidget* w) {
        save(w, name);
        if (auto* d = qobject_cast<QDialog*>(w))
            QMetaObject::invokeMethod(d, &QDialog::reject, Qt::QueuedConnection);
        else
            QMetaObject::invokeMethod(w, &QWidget::close, Qt::QueuedConnection);
    });
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: dskr_screenshots DIR SUFFIX\n");
        return 2;
    }
    g_dir = argv[1];
    g_suffix = argv[2];
    QDir().mkpath(g_dir);
    QTemporaryDir out;

    RipSettings settings;
    loadSettings(settings);
    settings.szOutDir = (out.path() + "/").toStdString();
    settings.bEjectWhenDone = false;
    settings.bCreatePlaylist = true;
    // A sector of track 2 that never reads: the summary then shows a suspect file.
    settings.bContinueOnReadError = true;
    settings.szLookupOrder = "local";
    kyFormatCatalog::Instance();

    DskrWizard wizard(settings);
    std::string error;
    const int index = kyAddVirtualDrive(kyDiscImage::Demo(), "bad=3000:1000000", error);
    wizard.trackPage().createSource();
    for (int32_t n = 0; n < int32_t(wizard.trackPage().driveNames().size()); ++n)
        if (wizard.trackPage().source()->DriveRecord(uint32_t(n))->devicePath ==
            "virtual" + std::to_string(index))
            wizard.trackPage().selectDrive(n);
    wizard.resize(wizard.sizeHint().expandedTo(QSize(720, 560)));
    wizard.show();
    kytest::waitUntil([&] { return !wizard.trackPage().disc().tracks.empty(); });
    TrackPageWidget* track = wizard.trackPageWidget();
    auto* list = track->findChild<QTreeWidget*>("c322");
    list->setCurrentItem(list->topLevelItem(1));
    save(&wizard, "01-track-page");

    shootNext("02-track-context-menu");
    emit list->customContextMenuRequested(list->visualItemRect(list->topLevelItem(1)).center());
    shootNext("03-freedb-menu");
    track->command(kCmdFreedbMenu);

    VirtualTrackDialog virtualTrack(&wizard, 150, 20000, wizard.trackPage().leadOut());
    shoot(&virtualTrack, "04-virtual-track-dialog");
    PatternRenameDialog rename(&wizard, wizard.trackPage().rename);
    shoot(&rename, "05-pattern-rename-dialog");
    std::vector<DiscMatch> matches;
    for (const FreedbMatch& m : std::vector<FreedbMatch>{
             {"a50b2c07", 8, "Velmora Ensemble / Demo Disc"},
             {"a50b2c07", 10, "Velmora Ensemble / Demo Disc (Remastered Anniversary Edition)"},
             {"a50b2c07", 4, "Various Artists / Songs From The Virtual Drive"}}) {
        DiscMatch match;
        match.freedb = m;
        matches.push_back(match);
    }
    ChoiceDialog choice(&wizard, matches, true);
    shoot(&choice, "06-choice-dialog");
    ChoiceDialog nearChoice(&wizard, matches, false);
    shoot(&nearChoice, "07-choice-dialog-near-matches");
    // Releases of one disc, told apart by country, date, label, barcode and medium.
    std::vector<DiscMatch> releases;
    for (const char* country : {"GB", "DE", "US"}) {
        auto r = std::make_shared<MusicBrainzRelease>();
        r->title = "Signals from the Demo Disc";
        r->artist.text = "The Velmora Ensemble";
        r->country = country;
        r->date = std::string(country) == "US" ? "2003-02-11" : "2002-10-07";
        r->barcode = std::string("50123456789") + (country[0] == 'G' ? "12" : "29");
        r->labels.push_back({"Velmora Records", std::string("VEL ") + country + " 7"});
        MusicBrainzMedium m;
        m.position = 1;
        m.format = "CD";
        r->media.push_back(m);
        DiscMatch match;
        match.source = LookupSource::MusicBrainz;
        match.release = r;
        match.medium = 0;
        releases.push_back(match);
    }
    ChoiceDialog releaseChoice(&wizard, releases, true);
    shoot(&releaseChoice, "07b-choice-dialog-musicbrainz");
    std::vector<FreedbSite> sites(2);
    sites[0] = {"gnudb.gnudb.org",    true, 80, "/~cddb/cddb.cgi", "N000.00", "W000.00",
                "Random gnudb server"};
    sites[1] = {
        "freedb.example.org", true, 80, "/~cddb/cddb.cgi", "N000.00", "W000.00", "A mirror"};
    FreedbOptionsDialog options(&wizard, settings, sites);
    shoot(&options, "08-freedb-options-dialog");
    {
        // The playback window on the demo disc's second track, into ALSA's null device.
        const TrackEntry& t = wizard.trackPage().disc().tracks[1];
        wizard.trackPage().source()->SetRange(t.start / 588, (t.start + t.length) / 588);
        PlaybackWindow playback(&wizard, wizard.trackPage().source(), "alsa:null", t.name);
        shoot(&playback, "08b-playback-window");
    }

    shootBox(&wizard, "No audio tracks selected!", kProgramCaption, {{"&OK", kyAnswerOk}},
             "09-message-no-tracks");
    shootBox(&wizard,
             "This output file aldready exists:\n        \n" + settings.szOutDir +
                 "Velmora Ensemble/Demo Disc/01 - Overture.wav\n        \nWhat would you like to "
                 "do with it?",
             "Replace existing file?",
             {{"Replace it", 1}, {"Skip it", 2}, {"Rename it", 3}, {"Replace All", 4}},
             "10-message-overwrite");
    shootBox(&wizard, "Are you sure you want to cancel the ongoing batch?", kShortCaption,
             {{"&Yes", kyAnswerYes}, {"&No", kyAnswerNo}}, "11-message-cancel");
    shootBox(&wizard, kSubmitNeedsEmail, kSubmitCaption,
             {{"Enter it now", kyAnswerOk}, {"Cancel", kyAnswerCancel}}, "12-message-submit-email");
    shootBox(&wizard, kLookupFailed, kLookupCaption, {{"&OK", kyAnswerOk}}, "13-message-lookup");
    shootBox(&wizard, "Output directory does not exist!\n\nCreate it?", "/home/ann/Music/Rips/",
             {{"&Yes", kyAnswerYes}, {"&No", kyAnswerNo}}, "14-message-create-directory");
    shootBox(&wizard, writerErrorText(KYERR_MISSING_COMPONENT), "Writing - DskR",
             {{"&OK", kyAnswerOk}}, "15-message-writer-error");

    wizard.next();
    kytest::waitUntil([&] { return wizard.currentId() == kOptionsPageId; });
    save(&wizard, "16-options-page");

    // The progress page while the batch runs, and its summary afterwards.
    bool shotDuring = false;
    QTimer during;
    during.setInterval(50);
    QObject::connect(&during, &QTimer::timeout, [&] {
        auto* bar = wizard.findChild<QWidget*>("c365");
        if (!shotDuring && bar && bar->property("value").toInt() >= 30) {
            shotDuring = true;
            save(&wizard, "17-progress-page-running");
        }
    });
    during.start();
    wizard.next();
    kytest::waitUntil([&] {
        return wizard.currentId() == kProgressPageId && !wizard.session().running() &&
               wizard.progressPageWidget()->isComplete();
    });
    during.stop();
    save(&wizard, "18-progress-page-summary");

    std::printf("%d pictures in %s\n", g_count, qPrintable(g_dir));
    kytest::clearModalHandlers();
    return 0;
}
