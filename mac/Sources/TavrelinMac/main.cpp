// The process entry point: wires the objects. The command line's own work
// (its options, the control commands, handing a link to a running agent) is
// the client's; what is left picks the front end, builds the platform and
// runs the application.
//
// The desktop front end needs a display; without one that answers, or with
// --headless, the agent talks on its standard streams instead, or, when they
// are not a terminal (as at login), runs without a tray.

#include "Platform/BundleLayout.h"
#include "Platform/CalDav/CalDavRemindersDatabase.h"
#include "Platform/Curl/CurlHttp.h"
#include "Platform/Features.h"
#include "Platform/Linux/Desktop/DisplayProbe.h"
#include "Platform/Linux/Desktop/NoTrayNotice.h"
#include "Platform/Linux/Desktop/SessionBus.h"
#include "Platform/Linux/Eds/LinuxRemindersPlaces.h"
#include "Platform/Linux/Secret/LibsecretSecrets.h"
#include "Platform/Linux/Xdg/XdgLoginItems.h"
#include "Platform/Posix/LogFile.h"
#include "Platform/Posix/PosixBundle.h"
#include "Platform/Posix/PosixBundleInfo.h"
#include "Platform/Posix/PosixFiles.h"
#include "Platform/Posix/PosixProcesses.h"
#include "Platform/Posix/PosixUpdateSystem.h"
#include "Platform/Posix/ProcessArguments.h"
#include "Platform/Posix/SystemClock.h"
#include "Platform/Qt/QtDesktop.h"
#include "Platform/Qt/QtDialogs.h"
#include "Platform/Qt/QtStatusItem.h"
#include "Platform/QtCore/QtApplication.h"
#include "Platform/QtCore/QtMainLoop.h"
#include "Platform/QtCore/QtUserDefaults.h"
#include "Platform/QtCore/QtWorkspace.h"
#include "Platform/QtCore/SingleInstance.h"
#include "Platform/Terminal/TerminalConsole.h"
#include "Platform/Terminal/TerminalDialogs.h"
#include "Platform/Terminal/TerminalStatusItem.h"
#include "Platform/Vdir/VdirRemindersDatabase.h"
#include "TavrelinMac/AppDelegate.h"
#include "TavrelinMac/AppInfo.h"
#include "TavrelinMac/CalDavCommand.h"
#include "TavrelinMac/CommandLineClient.h"
#include "TavrelinMac/Logging.h"
#include "TavrelinMac/MenuBarIcon.h"
#include "TavrelinMac/Pairing.h"
#include "TavrelinMac/UpdatePipeline.h"
#include "TavrelinMac/Words.h"

#include <QApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <unistd.h>
#include <variant>

using namespace tavrelin;

namespace {

// How long a quitting agent waits for its background work, all of it together.
constexpr std::chrono::seconds quitDeadline{5};
static_assert(quitDeadline < CommandLineClient::lockPatience, "a later start waits out a quitting agent");

// Where the agent keeps its log besides standard error.
std::string logFilePath() {
    return posix::PosixFiles().cachesDirectory() + "/Tavrelin/agent.log";
}

} // namespace

int main(int argc, char** argv) {
    // A pairing link holds the relay token: out of the command line, which
    // every user can read, before anything else runs.
    posix::ProcessArguments arguments(argc, argv);
    argv = arguments.argv();

    // Made once the display is known; declared first, so that it outlives
    // every object that uses it.
    std::unique_ptr<QCoreApplication> qtApp;
    posix::PosixBundle bundle;
    AppInfo appInfo(bundle);
    posix::PosixFiles files;
    qt::QtUserDefaults defaults;
    xdg::XdgLoginItems loginItems(files, MenuBarIcon::applicationIcon());
    CommandLineClient client({.bundle = bundle,
                              .appInfo = appInfo,
                              .defaults = defaults,
                              .loginItems = loginItems,
                              .files = files,
                              .logFile = logFilePath(),
                              .features = platform::buildFeatures,
                              .firstLine = posix::firstLine,
                              .out = std::cout,
                              .err = std::cerr});
    const auto started = client.start({argv + 1, argv + argc});
    if (const auto* exit = std::get_if<CommandLineClient::Exit>(&started))
        return exit->status;
    const CommandLine& line = std::get<CommandLine>(started);
    if (line.task == CommandLine::Task::useCalDav)
        return configureCalDav(line.calDav, std::cout, std::cerr);

    // libedataserver loads every mail provider the first time it reads a
    // source: a megabyte resident for an agent that reads no mail. Pointed at
    // a folder without any, it loads none. Set before any thread starts.
    posix::PosixProcesses::setForAgentOnly(
        "EDS_CAMEL_PROVIDER_DIR",
        std::filesystem::path(tavrelin::bundle::inside(bundle.path(), tavrelin::bundle::edsModule)).parent_path());
    // One agent per user, decided by the lock before anything else.
    std::unique_ptr<qt::SingleInstance> instance;
    try {
        instance = std::make_unique<qt::SingleInstance>(qt::InstancePaths::forThisUser());
    } catch (const platform::InstanceError& error) {
        return client.cannotStart(error).status;
    }
    if (const auto exit = client.reach(line, *instance))
        return exit->status;
    // The one agent keeps its log in a file as well, whoever started it: kept
    // for the life of the process, since threads may log while it exits.
    if (instance->holdsLock()) {
        auto* logFile = new posix::LogFile(logFilePath());
        Log::setTap([logFile](const std::string& line) { logFile->append(line); });
    }

    // Without a display that answers, standard streams that are no terminal
    // (a login, a service) get no menu: the agent runs as on a desktop
    // without a tray.
    bool headless = line.headless;
    bool withoutTray = false;
    std::optional<std::string> displayPlatform;
    std::shared_ptr<void> probeConnection;
    if (!headless) {
        qt::DisplayChoice display = qt::probeDisplay();
        displayPlatform = display.platform;
        probeConnection = std::move(display.held);
        headless = !display.platform;
        withoutTray = headless && !::isatty(0);
        if (headless && (withoutTray || !display.problems.empty())) {
            std::string why;
            for (const auto& problem : display.problems)
                why += (why.empty() ? "" : "; ") + problem;
            Log::warn(words::install::noDisplay(why.empty() ? words::install::noDisplaySet() : why));
        }
    }
    // Only our own arguments: Qt's would be taken for a link above. The
    // display that answered is named, so Qt never tries one that does not.
    std::string platformOption = "-platform", platformName = displayPlatform.value_or("");
    char* qtArgv[] = {argv[0], platformOption.data(), platformName.data(), nullptr};
    int qtArgc = displayPlatform ? 3 : 1;
    qtApp = headless ? std::make_unique<QCoreApplication>(qtArgc, qtArgv) : std::make_unique<QApplication>(qtArgc, qtArgv);
    probeConnection.reset(); // Qt holds its own now
    if (!headless)
        qt::prepareDesktopApplication(static_cast<QApplication&>(*qtApp));
    // Requests that come before the event loop runs wait in the socket's queue.
    if (instance->holdsLock()) {
        try {
            instance->listen();
        } catch (const platform::InstanceError& error) {
            return client.cannotStart(error).status;
        }
    }

    posix::SystemClock clock;
    qt::QtMainLoop mainLoop;
    qt::QtApplication application(*qtApp, headless ? std::function<void()>() : qt::activateWindows);
    try {
        application.terminateOnSignals();
    } catch (const qt::SignalError& error) {
        Log::error(error.what());
        return 1;
    }
    // A quitting agent stops answering at once: a start from now on waits
    // for the lock instead of taking this one for the running agent.
    application.onTerminate = [&instance] { instance->stopListening(); };
    curl::CurlHttp http;
    posix::PosixProcesses processes;

    // Without a tray nobody answers a dialog: it is printed and cancelled.
    terminal::TerminalConsole console(withoutTray ? ::open("/dev/null", O_RDONLY | O_CLOEXEC) : 0);
    std::unique_ptr<platform::Dialogs> dialogs;
    qt::NoTrayNotice noTrayNotice;
    std::unique_ptr<platform::StatusBar> statusBar;
    terminal::TerminalStatusBar* terminalBar = nullptr;
    if (headless) {
        dialogs = std::make_unique<terminal::TerminalDialogs>(console);
        statusBar = std::make_unique<terminal::TerminalStatusBar>(
            withoutTray ? terminal::TerminalStatusItem::Output([](std::string_view) {}) : terminal::printLines);
        terminalBar = static_cast<terminal::TerminalStatusBar*>(statusBar.get());
    } else {
        dialogs = std::make_unique<qt::QtDialogs>();
        statusBar = std::make_unique<qt::QtStatusBar>(
            mainLoop, qt::QtStatusItem::Callbacks{
                          .noTray =
                              [&defaults, &noTrayNotice] {
                                  Log::warn("no system tray: running without an icon; `tavrelin-agent --quit` quits");
                                  noTrayNotice.showOnce(defaults);
                              },
                          .trayAppeared =
                              [&noTrayNotice] {
                                  Log::info("a system tray appeared; showing the icon");
                                  noTrayNotice.close();
                              },
                      });
    }
    qt::QtWorkspace workspace(
        *instance, processes, bundle.homeDirectory(), vdir::VdirRemindersDatabase::defaultRoot(),
        headless ? qt::QtWorkspace::Opener(terminal::printOpenedURL)
                 : [&processes](const std::string& url) { return qt::openWithDesktop(processes, url); },
        bundle.identifier().value_or(std::string(tavrelin::bundle::identifier)));
    // The keyring (a thread and a bus connection) only once a CalDAV account asks for it.
    std::once_flag keyringMade;
    std::unique_ptr<secret::LibsecretSecrets> keyring;
    auto secrets = [&keyringMade, &keyring]() -> platform::Secrets& {
        std::call_once(keyringMade, [&keyring] { keyring = std::make_unique<secret::LibsecretSecrets>(); });
        return *keyring;
    };
    const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
    eds::LinuxRemindersPlaces reminders(
        defaults, files,
        {.folder = vdir::VdirRemindersDatabase::defaultRoot(),
         .currentDesktop = desktop ? desktop : "",
         .loadEds =
             [module = tavrelin::bundle::inside(bundle.path(), tavrelin::bundle::edsModule)] {
                 return eds::loadEdsTaskLists(module, [](const std::string& line) { Log::warn(line); });
             },
         .edsMissing = [] { return qt::sessionBusLacks(eds::registryBusName); },
         .makeCalDav = platform::buildFeatures.serverAccounts
                           ? eds::LinuxRemindersPlaces::Sources::CalDavMaker(
                                 [&http, secrets](const std::string& server, const std::string& user) {
                                     return caldav::makeCalDavRemindersDatabase(server, user, http, secrets());
                                 })
                           : nullptr});
    reminders.onChosen = [&workspace](platform::RemindersPlace::Kind kind) {
        workspace.setTaskLists(kind == platform::RemindersPlace::Kind::evolutionDataServer
                                   ? qt::QtWorkspace::TaskLists::evolutionDataServer
                                   : qt::QtWorkspace::TaskLists::vdir);
    };

    // The entry point's own steps: accessory, the delegate, run.
    application.setAccessory();
    posix::PosixBundleInfo bundleInfo;
    posix::PosixUpdateSystem updateSystem(processes);
    UpdatePipeline updatePipeline(http, files, processes, bundle, bundleInfo, updateSystem);
    auto delegate = std::make_shared<AppDelegate>(AppDelegate::Platform{.mainLoop = mainLoop,
                                                                        .clock = clock,
                                                                        .application = application,
                                                                        .dialogs = *dialogs,
                                                                        .statusBar = *statusBar,
                                                                        .workspace = workspace,
                                                                        .defaults = defaults,
                                                                        .files = files,
                                                                        .http = http,
                                                                        .bundle = bundle,
                                                                        .reminders = reminders,
                                                                        .appInfo = appInfo,
                                                                        .loginItems = &loginItems,
                                                                        .features = platform::buildFeatures},
                                                  std::make_unique<FilePairingStore>(files),
                                                  [&updatePipeline] { return updatePipeline.run(); });
    instance->onLink = [&application](const std::string& link) { application.openURL(link); };
    instance->onQuit = [&application] { application.terminate(); };
    instance->onReopen = [&application] { application.reopen(); };
    // `--caldav` changed the stored choice: read it again, and follow it.
    instance->onPlaceChange = [&defaults, &delegate] {
        defaults.reload();
        delegate->placeChangedElsewhere();
    };
    // The headline as the menu shows it.
    instance->status = [&delegate] { return words::menu::header(delegate->syncState().headline()); };
    if (line.link)
        application.openURL(*line.link);
    if (headless) {
        console.setRoutes({
            .showMenu = [terminalBar] { terminalBar->showMenu(); },
            .chooseMenuItem = [terminalBar](const std::string& line) { return terminalBar->activate(line); },
            .openURL = [&application](const std::string& url) { application.openURL(url); },
            .quit = [&application] { application.terminate(); },
            .menuReady = [terminalBar] { return terminalBar->item() != nullptr; },
            .lineTooLong = words::terminal::lineTooLong,
            .notAnAnswer = words::terminal::notAnAnswer,
            .unknownCommand = words::terminal::unknownCommand,
        });
        // The console goes on from the loop's next turn, once the menu is set up.
        terminalBar->onItem = [&console] { console.resume(); };
        console.start();
    }
    int status = application.run(*delegate);

    // A poll caught in a slow exchange must not keep a quitting agent alive;
    // the pairing and the task lists are written atomically, so leaving now
    // loses nothing.
    if (!mainLoop.waitForBackground(quitDeadline.count())) {
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
