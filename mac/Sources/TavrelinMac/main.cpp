// The process entry point: picks the front end, builds the platform, runs the
// application.
//
//   tavrelin-agent [--headless] [tavrelin://pair?…]
//   tavrelin-agent --version
//
// The desktop front end needs a display; without one (no DISPLAY and no
// WAYLAND_DISPLAY), or with --headless, the agent talks on its standard
// streams instead.

#include "Platform/Curl/CurlHttp.h"
#include "Platform/Posix/PosixBundle.h"
#include "Platform/Posix/PosixBundleInfo.h"
#include "Platform/Posix/PosixDigest.h"
#include "Platform/Posix/PosixFiles.h"
#include "Platform/Posix/PosixProcesses.h"
#include "Platform/Posix/SystemClock.h"
#include "Platform/Qt/QtApplication.h"
#include "Platform/Qt/QtDialogs.h"
#include "Platform/Qt/QtMainLoop.h"
#include "Platform/Qt/QtStatusItem.h"
#include "Platform/Qt/QtUserDefaults.h"
#include "Platform/Qt/QtWorkspace.h"
#include "Platform/Qt/SingleInstance.h"
#include "Platform/Terminal/TerminalConsole.h"
#include "Platform/Terminal/TerminalDialogs.h"
#include "Platform/Terminal/TerminalStatusItem.h"
#include "Platform/Vdir/VdirRemindersDatabase.h"
#include "TavrelinMac/AppDelegate.h"
#include "TavrelinMac/AppInfo.h"
#include "TavrelinMac/Logging.h"
#include "TavrelinMac/Pairing.h"
#include "TavrelinMac/UpdatePipeline.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

using namespace tavrelin;

namespace {

struct Options {
    bool headless = false;
    bool version = false;
    std::optional<std::string> link;
};

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--headless")
            options.headless = true;
        else if (argument == "--version")
            options.version = true;
        else if (argument.rfind("-", 0) != 0 && !options.link)
            options.link = argument;
        else
            return std::nullopt;
    }
    return options;
}

bool haveDisplay() {
    auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    return set("DISPLAY") || set("WAYLAND_DISPLAY");
}

} // namespace

int main(int argc, char** argv) {
    std::optional<Options> options = parse(argc, argv);
    if (!options) {
        std::fputs("usage: tavrelin-agent [--headless] [tavrelin://pair?…]\n       tavrelin-agent --version\n", stderr);
        return 2;
    }
    posix::PosixBundle bundle;
    AppInfo appInfo(bundle);
    if (options->version) {
        std::printf("Tavrelin for Mac %s\n", appInfo.version().c_str());
        return 0;
    }
    const bool headless = options->headless || !haveDisplay();
    // Only our own arguments: Qt's would be taken for a link above.
    int qtArgc = 1;
    std::unique_ptr<QCoreApplication> qtApp =
        headless ? std::make_unique<QCoreApplication>(qtArgc, argv) : std::make_unique<QApplication>(qtArgc, argv);

    // A link for an agent that already runs is handed over; this process ends.
    qt::SingleInstance instance;
    if (options->link && instance.handOver(*options->link)) {
        Log::info("handed the link to the running agent");
        return 0;
    }
    if (!instance.listen() && !instance.listenError().empty())
        Log::warn("single-instance socket unavailable: " + instance.listenError());

    posix::SystemClock clock;
    qt::QtMainLoop mainLoop;
    qt::QtApplication application(*qtApp);
    application.terminateOnSignals();
    posix::PosixFiles files;
    curl::CurlHttp http;
    posix::PosixProcesses processes;
    posix::PosixDigest digest;
    vdir::VdirRemindersDatabase reminders(vdir::VdirRemindersDatabase::defaultRoot());
    qt::QtUserDefaults defaults;

    terminal::TerminalConsole console;
    std::unique_ptr<platform::Dialogs> dialogs;
    std::unique_ptr<platform::StatusBar> statusBar;
    terminal::TerminalStatusBar* terminalBar = nullptr;
    if (headless) {
        dialogs = std::make_unique<terminal::TerminalDialogs>(console);
        statusBar = std::make_unique<terminal::TerminalStatusBar>(std::cout);
        terminalBar = static_cast<terminal::TerminalStatusBar*>(statusBar.get());
    } else {
        dialogs = std::make_unique<qt::QtDialogs>();
        statusBar = std::make_unique<qt::QtStatusBar>();
    }
    qt::QtWorkspace workspace(instance, vdir::VdirRemindersDatabase::defaultRoot(),
                              headless ? terminal::printOpenedURL : qt::QtWorkspace::desktopOpener(),
                              bundle.identifier().value_or("com.tavrelin.mac"));

    Services services{mainLoop, clock, application, *dialogs, *statusBar, workspace, defaults,
                      files,    http,  processes,   bundle,   digest,     reminders, appInfo};

    // The entry point's own steps: accessory, the delegate, run.
    application.setAccessory();
    posix::PosixBundleInfo bundleInfo;
    UpdatePipeline updatePipeline(http, files, processes, bundle, bundleInfo, digest);
    auto delegate = std::make_shared<AppDelegate>(services, std::make_unique<FilePairingStore>(files),
                                                  [&updatePipeline] { return updatePipeline.run(); });
    instance.onLink = [&application](const std::string& link) { application.openURL(link); };
    if (options->link)
        application.openURL(*options->link);
    if (headless) {
        console.setRoutes({
            .showMenu = [terminalBar] { terminalBar->showMenu(); },
            .chooseMenuItem = [terminalBar](const std::string& line) { return terminalBar->activate(line); },
            .openURL = [&application](const std::string& url) { application.openURL(url); },
            .quit = [&application] { application.terminate(); },
        });
        console.start();
    }
    int status = application.run(*delegate);

    // A poll caught in a slow exchange must not keep a quitting agent alive;
    // the pairing and the task lists are written atomically, so leaving now
    // loses nothing.
    if (!mainLoop.waitForBackground(5)) {
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
