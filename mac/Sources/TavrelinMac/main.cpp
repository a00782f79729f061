// The process entry point: picks the front end, builds the platform, runs the
// application.
//
//   tavrelin-agent [--headless] [tavrelin://pair?… | --link-from FILE]
//   tavrelin-agent --quit | --status | --version | --help
//   tavrelin-agent --start-at-login on|off | --register | --unregister
//   tavrelin-agent --caldav <server address> <user> | --caldav off
//
// The desktop front end needs a display; without one that answers, or with
// --headless, the agent talks on its standard streams instead, or, when they
// are not a terminal (as at login), runs without a tray.

#include "Base/Text.h"
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
#include "Platform/Terminal/HiddenInput.h"
#include "Platform/Terminal/TerminalConsole.h"
#include "Platform/Terminal/TerminalDialogs.h"
#include "Platform/Terminal/TerminalStatusItem.h"
#include "Platform/Vdir/VdirRemindersDatabase.h"
#include "TavrelinMac/AppDelegate.h"
#include "TavrelinMac/AppInfo.h"
#include "TavrelinMac/Logging.h"
#include "TavrelinMac/LoginItem.h"
#include "TavrelinMac/Pairing.h"
#include "TavrelinMac/UpdatePipeline.h"
#include "TavrelinMac/Words.h"

#include <QApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <unistd.h>

using namespace tavrelin;

namespace {

constexpr const char* usage = "usage: tavrelin-agent [--headless] [tavrelin://pair?… | --link-from FILE]\n"
                              "       tavrelin-agent --quit      ask the running agent to quit\n"
                              "       tavrelin-agent --status    print the running agent's status\n"
                              "       tavrelin-agent --version\n"
                              "       tavrelin-agent --start-at-login on|off\n"
                              "       tavrelin-agent --register     make this copy the tavrelin:// handler (and,\n"
                              "                                     installed, start it at login unless turned off)\n"
                              "       tavrelin-agent --unregister   remove both desktop entries\n";

struct Options {
    bool headless = false;
    bool version = false;
    bool help = false;
    bool quit = false;
    bool status = false;
    std::optional<LoginItem::Command> entries;
    std::optional<std::string> link;
    std::optional<std::string> linkFile; // holds the link on its first line
    std::vector<std::string> caldav;     // <server address> <user>, or off
};

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--headless")
            options.headless = true;
        else if (argument == "--version")
            options.version = true;
        else if (argument == "--help" || argument == "-h")
            options.help = true;
        else if (argument == "--quit")
            options.quit = true;
        else if (argument == "--status")
            options.status = true;
        else if (argument == "--start-at-login" && i + 1 < argc && !options.entries &&
                 (argv[i + 1] == std::string("on") || argv[i + 1] == std::string("off")))
            options.entries = argv[++i] == std::string("on") ? LoginItem::Command::on : LoginItem::Command::off;
        else if (argument == "--register" && !options.entries)
            options.entries = LoginItem::Command::registerCopy;
        else if (argument == "--unregister" && !options.entries)
            options.entries = LoginItem::Command::unregisterCopy;
        else if (argument == "--caldav" && platform::buildFeatures.serverAccounts && options.caldav.empty() && i + 1 < argc &&
                 argv[i + 1] == std::string("off"))
            options.caldav = {argv[++i]};
        else if (argument == "--caldav" && platform::buildFeatures.serverAccounts && options.caldav.empty() && i + 2 < argc) {
            options.caldav = {argv[i + 1], argv[i + 2]};
            i += 2;
        } else if (argument == "--link-from" && i + 1 < argc && !options.link && !options.linkFile)
            options.linkFile = argv[++i];
        else if (argument.rfind("-", 0) != 0 && !options.link && !options.linkFile)
            options.link = argument;
        else
            return std::nullopt;
    }
    return options;
}

// `--start-at-login`, `--register`, `--unregister`: the desktop entries
// alone, whether or not an agent runs (a running one sees the change).
int changeEntries(LoginItem::Command command, const platform::Bundle& bundle) {
    posix::PosixFiles files;
    qt::QtUserDefaults defaults;
    xdg::XdgLoginItems items(files);
    int status = 0;
    for (const std::string& line : LoginItem::command(command, bundle, defaults, items, files)) {
        const bool failed = line.starts_with("error: ");
        status |= failed;
        std::fprintf(failed ? stderr : stdout, "%s%s\n", failed ? "tavrelin-agent: " : "", line.c_str());
    }
    return status;
}

// The usage, with the lines of what this build offers beyond the product.
std::string usageText() {
    return std::string(usage) + (platform::buildFeatures.serverAccounts ? words::account::commandUsage() : "");
}

// How long `--caldav` waits for its password.
constexpr std::chrono::minutes passwordPatience{5};

// `--caldav <server address> <user>`: signs in with the password read from
// standard input (never the command line) and, once the server took it,
// makes that account's task lists the place for reminders. `--caldav off`:
// back to the automatic choice. Whether or not an agent runs; a running one
// follows at once.
int configureCalDav(const std::vector<std::string>& arguments) {
    qt::QtUserDefaults defaults;
    auto tellAgent = [] {
        try {
            return qt::SingleInstance(qt::InstancePaths::forThisUser()).announcePlaceChange();
        } catch (const qt::InstanceError&) {
            return false;
        }
    };
    if (arguments.size() == 1) {
        eds::LinuxRemindersPlaces::storeAutomatic(defaults);
        std::printf("%s\n", words::account::commandOff(tellAgent()).c_str());
        return 0;
    }
    curl::CurlHttp http;
    secret::LibsecretSecrets keyring;
    std::unique_ptr<caldav::CalDavRemindersDatabase> account;
    try {
        account = caldav::makeCalDavRemindersDatabase(arguments[0], arguments[1], http, keyring);
    } catch (const caldav::CalDavSetupError& error) {
        std::fprintf(stderr, "tavrelin-agent: %s\n", error.what());
        return 2;
    }
    terminal::HiddenRead password = terminal::readHiddenLine(
        STDIN_FILENO, STDERR_FILENO, words::account::passwordPrompt(account->user(), account->server()), passwordPatience);
    if (password.end != terminal::HiddenReadEnd::line) {
        std::fprintf(stderr, "tavrelin-agent: %s\n", words::account::noPassword().c_str());
        return 1;
    }
    const auto result = account->signIn(password.line);
    text::wipe(password.line);
    using Kind = caldav::CalDavRemindersDatabase::SignInResult::Kind;
    if (result.kind != Kind::signedIn) {
        const std::string said = result.kind == Kind::rejected
                                     ? words::account::commandRejected(account->server(), account->user())
                                     : words::account::commandFailed(account->server(), result.message);
        std::fprintf(stderr, "tavrelin-agent: %s\n", said.c_str());
        return 1;
    }
    eds::LinuxRemindersPlaces::storeCalDav(defaults, {account->server(), account->user()});
    std::printf("%s\n", words::account::commandSignedIn(account->place(), tellAgent()).c_str());
    return 0;
}

// How long a quitting agent waits for its background work, all of it together.
constexpr std::chrono::seconds quitDeadline{5};
// How long a start waits for an agent that holds the lock but no longer
// answers, as a quitting one does: well past the quit deadline.
constexpr std::chrono::seconds lockPatience{20};

// --quit and --status: talk to the running agent, never become one. An agent
// that holds the lock without answering is on its way out: waited for, so
// the answer is about the agent that runs once it is gone.
int control(qt::SingleInstance& instance, const Options& options) {
    std::optional<std::string> status;
    try {
        const auto claim = instance.claim(lockPatience, [&] {
            if (options.quit)
                return instance.requestQuit();
            return (status = instance.requestStatus()).has_value();
        });
        if (claim == qt::SingleInstance::Claim::holder) {
            std::fputs("tavrelin-agent: no agent is running\n", stderr);
            return 1;
        }
    } catch (const qt::InstanceError& error) {
        std::fprintf(stderr, "tavrelin-agent: %s\n", error.what());
        return 1;
    }
    if (status)
        std::printf("%s\n", status->c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // A pairing link holds the relay token: out of the command line, which
    // every user can read, before anything else runs.
    posix::ProcessArguments arguments(argc, argv);
    argv = arguments.argv();
    std::optional<Options> options = parse(argc, argv);
    if (!options) {
        std::fputs(usageText().c_str(), stderr);
        return 2;
    }
    if (options->linkFile && !(options->link = posix::firstLine(*options->linkFile))) {
        std::fprintf(stderr, "tavrelin-agent: no link could be read from %s\n", options->linkFile->c_str());
        return 2;
    }
    if (options->help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    posix::PosixBundle bundle;
    AppInfo appInfo(bundle);
    if (options->version) {
        std::printf("Tavrelin for Mac %s\n", appInfo.version().c_str());
        return 0;
    }
    if (options->entries)
        return changeEntries(*options->entries, bundle);
    if (!options->caldav.empty())
        return configureCalDav(options->caldav);
    // libedataserver loads every mail provider the first time it reads a
    // source: a megabyte resident for an agent that reads no mail. Pointed at
    // a folder without any, it loads none. Set before any thread starts.
    posix::PosixProcesses::setForAgentOnly(
        "EDS_CAMEL_PROVIDER_DIR",
        std::filesystem::path(tavrelin::bundle::inside(bundle.path(), tavrelin::bundle::edsModule)).parent_path());
    // One agent per user, decided by the lock before anything else.
    std::unique_ptr<qt::SingleInstance> instance;
    qt::SingleInstance::Claim claim = qt::SingleInstance::Claim::holder;
    try {
        instance = std::make_unique<qt::SingleInstance>(qt::InstancePaths::forThisUser());
        if (options->quit || options->status)
            return control(*instance, *options);
        // A link for an agent that already runs is handed over, as the system
        // hands a running application its URL events.
        claim = instance->claim(lockPatience,
                                [&] { return options->link ? instance->handOver(*options->link) : instance->ping(); });
    } catch (const qt::InstanceError& error) {
        std::fprintf(stderr, "tavrelin-agent: %s\n", error.what());
        return 1;
    }
    if (claim == qt::SingleInstance::Claim::answered && options->link) {
        Log::info("handed the link to the running agent");
        return 0;
    }

    // Without a display that answers, standard streams that are no terminal
    // (a login, a service) get no menu: the agent runs as on a desktop
    // without a tray.
    bool headless = options->headless;
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
            Log::warn(words::install::noDisplay(why.empty() ? "neither WAYLAND_DISPLAY nor DISPLAY is set" : why));
        }
    }
    // Only our own arguments: Qt's would be taken for a link above. The
    // display that answered is named, so Qt never tries one that does not.
    std::string platformOption = "-platform", platformName = displayPlatform.value_or("");
    char* qtArgv[] = {argv[0], platformOption.data(), platformName.data(), nullptr};
    int qtArgc = displayPlatform ? 3 : 1;
    std::unique_ptr<QCoreApplication> qtApp =
        headless ? std::make_unique<QCoreApplication>(qtArgc, qtArgv) : std::make_unique<QApplication>(qtArgc, qtArgv);
    probeConnection.reset(); // Qt holds its own now
    if (!headless)
        qt::prepareDesktopApplication(static_cast<QApplication&>(*qtApp));
    // Requests that come before the event loop runs wait in the socket's queue.
    if (claim == qt::SingleInstance::Claim::holder) {
        try {
            instance->listen();
        } catch (const qt::InstanceError& error) {
            std::fprintf(stderr, "tavrelin-agent: %s\n", error.what());
            return 1;
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
    posix::PosixFiles files;
    curl::CurlHttp http;
    posix::PosixProcesses processes;
    qt::QtUserDefaults defaults;

    // Without a tray nobody answers a dialog: it is printed and cancelled.
    terminal::TerminalConsole console(withoutTray ? ::open("/dev/null", O_RDONLY | O_CLOEXEC) : 0);
    std::unique_ptr<platform::Dialogs> dialogs;
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
                              [&defaults] {
                                  Log::warn("no system tray: running without an icon; `tavrelin-agent --quit` quits");
                                  qt::NoTrayNotice::showOnce(defaults);
                              },
                          .trayAppeared = [] { Log::info("a system tray appeared; showing the icon"); },
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
    xdg::XdgLoginItems loginItems(files);
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
    // `--caldav` changed the stored choice: read it again, and follow it.
    instance->onPlaceChange = [&defaults, &delegate] {
        defaults.reload();
        delegate->placeChangedElsewhere();
    };
    // The headline as the menu shows it.
    instance->status = [&delegate] { return words::menu::header(delegate->syncState().headline()); };
    if (options->link)
        application.openURL(*options->link);
    if (headless) {
        console.setRoutes({
            .showMenu = [terminalBar] { terminalBar->showMenu(); },
            .chooseMenuItem = [terminalBar](const std::string& line) { return terminalBar->activate(line); },
            .openURL = [&application](const std::string& url) { application.openURL(url); },
            .quit = [&application] { application.terminate(); },
            .menuReady = [terminalBar] { return terminalBar->item() != nullptr; },
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
