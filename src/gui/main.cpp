// dskr: the desktop wizard. Loads the settings, shows the wizard, saves the settings when it
// closes. "dskr --demo" and "dskr --image FILE.cue" start with a virtual drive.
#include "app/rip_settings.h"
#include "app/shell.h"
#include "formats/format_catalog.h"
#include "gui/message_box.h"
#include "gui/wizard.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QStringList>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] auto n = ::write(g_signalPipe[1], &c, 1);
}

void usage() {
    std::printf("Usage: dskr [--demo | --image FILE.cue]\n\n"
                "The DskR wizard: pick tracks, name them, choose a format and rip.\n"
                "  --demo         start with the built-in demo disc in a virtual drive\n"
                "  --image FILE   start with a CUE/BIN disc image in a virtual drive\n"
                "The command line front end is dskr-cli.\n");
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("DskR");
    QApplication::setApplicationVersion("5.0");
    QGuiApplication::setDesktopFileName("dskr");
    QApplication::setWindowIcon(QIcon(":/dskr.svg"));

    const QStringList args = QApplication::arguments();
    bool demo = false;
    QString image;
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--demo") {
            demo = true;
        } else if (args[i] == "--image" && i + 1 < args.size()) {
            image = args[++i];
        } else if (args[i] == "--help" || args[i] == "-h") {
            usage();
            return 0;
        } else if (args[i] == "--version") {
            std::printf("dskr 5.0\n");
            return 0;
        } else {
            std::fprintf(stderr, "dskr: unknown option '%s'\n", args[i].toLocal8Bit().constData());
            usage();
            return 2;
        }
    }

    RipSettings settings;
    SettingsLoadReport report;
    loadSettings(settings, &report);
    kyFormatCatalog::Instance();

    DskrWizard wizard(settings);
    std::string error;
    if (!image.isEmpty() && !wizard.trackPage().addImageDrive(us(image), error)) {
        std::fprintf(stderr, "dskr: %s\n", error.c_str());
        return 1;
    }
    if (demo) wizard.trackPage().addDemoDrive();
    if (image.isEmpty() && !demo && !wizard.createSource(error)) {
        // No drive: a disc image or the demo disc still gives the wizard something to read.
        const int answer = customMessageBox(nullptr, error + "\n\nYou can still open a disc image "
                                                             "(CUE sheet) or the demo disc.",
                                            kProgramCaption,
                                            {{"Open disc image...", 1}, {"Demo disc", 2},
                                             {"&OK", kyAnswerNo}});
        if (answer == 2) {
            wizard.openDemoDisc();
        } else if (answer == 1) {
            wizard.show();
            QMetaObject::invokeMethod(&wizard, [&wizard] {
                wizard.findChild<QAction*>("openImage")->trigger();
            }, Qt::QueuedConnection);
        } else {
            return 1;
        }
    }

    // A signal to end (a logout, kill) stops a running batch first.
    if (::pipe(g_signalPipe) == 0) {
        auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &wizard);
        QObject::connect(notifier, &QSocketNotifier::activated, &wizard, [&wizard] {
            char c;
            [[maybe_unused]] auto n = ::read(g_signalPipe[0], &c, 1);
            wizard.requestQuit();
        });
        std::signal(SIGTERM, onSignal);
        std::signal(SIGINT, onSignal);
        std::signal(SIGHUP, onSignal);
    }
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &wizard,
                     [&wizard](QSessionManager&) { wizard.requestQuit(); });

    wizard.show();
    if (!report.message.empty()) notify(&wizard, report.message);
    if (report.openHelp) openHelp();
    app.exec();

    settings.iDevice = wizard.trackPage().driveToStore();
    if (!saveSettings(settings))
        std::fprintf(stderr, "dskr: the settings could not be saved\n");
    return 0;
}
