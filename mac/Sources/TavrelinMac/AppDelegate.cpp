#include "TavrelinMac/AppDelegate.h"

#include "TavrelinMac/AppInfo.h"
#include "TavrelinMac/Logging.h"
#include "TavrelinMac/Text.h"
#include "TavrelinMac/UpdateTools.h"

#include <algorithm>
#include <exception>
#include <utility>

#ifndef TAVRELIN_RELAY_HOST
#error "TAVRELIN_RELAY_HOST must name the usual relay backend host"
#endif

namespace tavrelin {
namespace {

using platform::Alert;
using platform::AlertStyle;

constexpr std::string_view usualRelayHost = TAVRELIN_RELAY_HOST;
constexpr std::string_view applicationsFolder = "/Applications/";

std::string hostOf(const Pairing& pairing) {
    return hostOfPairing(pairing.apiBase);
}

// The folder holding `path` (no trailing "/") and the last component.
std::pair<std::string, std::string> splitLastComponent(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {"", path};
    std::string folder = path.substr(0, slash);
    return {folder.empty() ? "/" : folder, path.substr(slash + 1)};
}

} // namespace

AppDelegate::AppDelegate(Services& services, std::unique_ptr<PairingStore> pairingStore, Updater::Run updateRun)
    : services_(services), state_(services.clock), pairingStore_(std::move(pairingStore)),
      // The delegate owns the updater, so the updater's alerts can reach it directly.
      updater_(Updater::create(
          services.mainLoop, services.application, services.appInfo.version(), std::move(updateRun),
          [this](const Alert& alert) { return runAlert(alert); },
          [&services] {
              try {
                  services.processes.launchDetached("/bin/sh",
                                                    {"-c", "sleep 1; " + updatetools::reopenCommand(services.bundle.path())});
              } catch (const std::exception&) {
                  // The swap is done on disk; the next start runs the new version.
              }
          })) {}

AppDelegate::~AppDelegate() = default;

// ---- launch and shutdown

void AppDelegate::applicationWillFinishLaunching() {
    // Nothing to register: the application adapter delivers URL events to
    // handleGetURL from its start, and handle() queues them until ready.
}

void AppDelegate::applicationDidFinishLaunching() {
    if (anotherInstanceIsRunning()) {
        Log::info("another instance is already running; exiting");
        services_.application.terminate();
        return;
    }

    // A launch caused by a pairing link goes straight to the link.
    if (!pendingPairURL_ && offerMoveToApplicationsIfSensible())
        return;

    reminders_ = std::make_shared<RemindersModule>(services_, state_);
    modules_ = {reminders_};

    menu_ = StatusMenu::create(services_, state_, modules_);
    installMenuCallbacks();

    updater_->startAutomaticChecks();

    Log::info("Tavrelin for Mac " + services_.appInfo.version() + " started");
    Log::info("pairing file: " + pairingStore_->location());

    if (auto pairing = pairingStore_->load()) {
        Log::info("restored pairing for " + hostOf(*pairing));
        for (const auto& module : modules_)
            module->start(*pairing);
    } else {
        state_.setPaired(std::nullopt);
    }

    isReady_ = true;

    if (pendingPairURL_) {
        Url link = std::move(*pendingPairURL_);
        pendingPairURL_.reset();
        services_.defaults.setBool(hasShownWelcomeKey, true);
        handle(link);
    } else if (!services_.defaults.boolForKey(hasShownWelcomeKey)) {
        // Set first, so a crash while the welcome is open does not repeat it.
        services_.defaults.setBool(hasShownWelcomeKey, true);
        showWelcome();
    }
}

void AppDelegate::installMenuCallbacks() {
    std::weak_ptr<AppDelegate> weak = weak_from_this();

    menu_->onSyncNow = [weak] {
        if (auto self = weak.lock())
            for (const auto& module : self->modules_)
                module->syncNow();
    };
    menu_->onUnpair = [weak] {
        if (auto self = weak.lock())
            self->unpair();
    };
    menu_->onPairingHelp = [weak] {
        if (auto self = weak.lock())
            self->showPairingHelp();
    };
    platform::Workspace& workspace = services_.workspace;
    menu_->onOpenRemindersSettings = [&workspace] { openRemindersPrivacySettings(workspace); };
    platform::Application& application = services_.application;
    menu_->onQuit = [&application] { application.terminate(); };
    menu_->onCheckForUpdates = [weak] {
        if (auto self = weak.lock())
            self->updater_->check(true);
    };
    menu_->updateSummary = [weak]() -> std::string {
        if (auto self = weak.lock())
            return self->updater_->lastSummary();
        return {};
    };
    state_.onChange = [weak] {
        if (auto self = weak.lock(); self && self->menu_)
            self->menu_->refreshButton();
    };
}

void AppDelegate::applicationWillTerminate() {
    // The pairing file stays, so the next launch restores it.
    for (const auto& module : modules_)
        module->stop();
}

bool AppDelegate::anotherInstanceIsRunning() const {
    const auto identifier = services_.bundle.identifier();
    if (!identifier)
        return false;
    const auto running = services_.workspace.runningApplications(*identifier);
    return std::any_of(running.begin(), running.end(), [](const platform::RunningApplication& app) { return !app.isCurrent; });
}

void AppDelegate::unpair() {
    for (const auto& module : modules_)
        module->stop();
    try {
        pairingStore_->clear();
    } catch (const std::exception&) {
        // The in-memory state is unpaired either way; a file left behind is
        // restored at the next launch.
    }
    Log::info("unpaired");
}

// ---- pairing links

void AppDelegate::handleGetURL(const std::optional<std::string>& directObject) {
    std::optional<Url> url;
    if (directObject && !directObject->empty())
        url = Url::parse(*directObject);
    if (!url) {
        Log::warn("received a URL event with no readable URL");
        return;
    }
    handle(*url);
}

void AppDelegate::handle(const Url& url) {
    if (!isReady_) {
        Log::info("pairing link arrived before launch finished; queued");
        pendingPairURL_ = url;
        return;
    }

    Pairing incoming;
    try {
        incoming = PairingParser::parse(url, services_.clock.now());
    } catch (const PairingError& error) {
        reject(error.what(), url);
        return;
    }

    // The file, not memory: it is what the next launch will restore.
    if (auto existing = pairingStore_->load()) {
        if (!confirmReplace(*existing, incoming)) {
            Log::info("pairing link declined; keeping " + hostOf(*existing));
            return;
        }
    } else if (!confirmFirstPair(incoming)) {
        Log::info("first pairing declined for " + hostOf(incoming));
        return;
    }

    try {
        pairingStore_->save(incoming);
    } catch (const std::exception& error) {
        reject(error.what(), url);
        return;
    }

    Log::info("paired with " + hostOf(incoming));
    for (const auto& module : modules_)
        module->start(incoming);
    notifyPaired(incoming);
}

void AppDelegate::reject(const std::string& description, const Url& link) {
    Log::warn("pairing rejected: " + description);

    std::vector<std::string> names;
    for (auto& item : link.queryItems())
        names.push_back(std::move(item.name));
    std::stable_sort(names.begin(), names.end(),
                     [](const std::string& a, const std::string& b) { return text::codePointLess(a, b); });

    std::string carried;
    if (names.empty()) {
        carried = "The link carried no parameters at all.";
    } else {
        carried = "The link carried: ";
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (i > 0)
                carried += ", ";
            carried += names[i];
        }
        carried += ".";
    }

    runAlert({AlertStyle::warning,
              "That pairing link did not work",
              description + "\n\n" + carried + "\n\n" +
                  "Pairing links are meant to come from the Tavrelin extension, which fills in both the token and the "
                  "backend address. Typing one by hand is how they end up malformed.",
              {}});
}

bool AppDelegate::confirmFirstPair(const Pairing& incoming) {
    const std::string host = hostOf(incoming);
    const bool trusted = host == usualRelayHost || host.starts_with("localhost") || host.starts_with("127.0.0.1");
    Alert alert;
    if (trusted) {
        alert = {AlertStyle::informational,
                 "Let this Mac collect your reminders?",
                 "Tavrelin for Mac will collect reminders from " + host +
                     " and create them in Apple Reminders on this Mac.\n\n"
                     "It never sees your email — only a title, a date, and a list name.",
                 {"Pair this Mac", "Cancel"}};
    } else {
        alert = {AlertStyle::critical,
                 "Pair this Mac with " + host + "?",
                 "This link would have your Mac collect reminders from " + host +
                     ", which is not Tavrelin's usual address.\n\n"
                     "That server would decide what gets written into your Reminders, and would be told the names of "
                     "your Reminders lists. If you did not just click Pair inside the Tavrelin extension, cancel.",
                 {"Pair anyway", "Cancel"}};
    }
    return runAlert(alert) == platform::firstButton;
}

bool AppDelegate::confirmReplace(const Pairing& existing, const Pairing& incoming) {
    const std::string stored = hostOf(existing);
    const std::string arriving = hostOf(incoming);
    Alert alert;
    if (stored == arriving) {
        alert = {AlertStyle::warning,
                 "Replace this Mac’s pairing?",
                 "This replaces the pairing for " + stored +
                     " with a new one.\n\n"
                     "That is what you want if you just generated a token in the Tavrelin extension. Anything already "
                     "queued is safe either way — it stays on the backend until a device collects it.",
                 {"Replace", "Cancel"}};
    } else {
        alert = {AlertStyle::critical,
                 "Point this Mac at a different backend?",
                 "This Mac is collecting reminders from " + stored + ". The link you just opened would switch it to " +
                     arriving +
                     ".\n\n"
                     "If you did not just ask the Tavrelin extension to pair this Mac, cancel. Reminders queued on " +
                     stored + " would stop arriving.",
                 {"Switch backend", "Cancel"}};
    }
    return runAlert(alert) == platform::firstButton;
}

void AppDelegate::notifyPaired(const Pairing& pairing) {
    runAlert({AlertStyle::informational,
              "Tavrelin is paired",
              "This Mac will collect reminders from " + hostOf(pairing) +
                  ". They usually arrive within a minute.\n\n"
                  "macOS will ask for permission to access Reminders the first time one arrives. Tavrelin lives in "
                  "the menu bar; there is no window.",
              {}});
}

void AppDelegate::showPairingHelp() {
    runAlert({AlertStyle::informational,
              "Pairing this Mac",
              "Open the Tavrelin extension's options page in Chrome and use \"Pair Tavrelin for Mac\". That sends this "
              "app both the backend address and the relay token in one step.\n\n"
              "Both values have to come together on purpose. Typing them separately is how a Mac ends up quietly "
              "polling the wrong backend while reminders pile up somewhere else.",
              {}});
}

void AppDelegate::openRemindersPrivacySettings(platform::Workspace& workspace) {
    const std::string address = "x-apple.systempreferences:com.apple.preference.security?Privacy_Reminders";
    if (Url::parse(address))
        workspace.openURL(address); // whether it opened is not reported
}

int AppDelegate::runAlert(const Alert& alert) {
    services_.application.activate();
    return services_.dialogs.runModal(alert);
}

// ---- install location and welcome

bool AppDelegate::offerMoveToApplicationsIfSensible() {
    const std::string path = services_.bundle.path();
    if (path.starts_with(applicationsFolder))
        return false;
    if (path.starts_with(services_.bundle.homeDirectory() + "/Applications/"))
        return false;
    if (path.find("/brannock/") != std::string::npos)
        return false; // a development build inside the project folder
    if (services_.defaults.boolForKey(declinedMoveKey))
        return false;

    const auto [folder, bundleName] = splitLastComponent(path);
    const int answer =
        runAlert({AlertStyle::warning,
                  "Move Tavrelin to Applications?",
                  "Tavrelin is running from " + folder +
                      ".\n\n"
                      "Moving it to your Applications folder keeps one copy in the place macOS expects, so a second download "
                      "can never leave you wondering which one is real. It will reopen from there by itself.",
                  {"Move to Applications", "Not Now"}});
    if (answer != platform::firstButton) {
        services_.defaults.setBool(declinedMoveKey, true);
        return false;
    }

    const std::string destination = std::string(applicationsFolder) + bundleName;
    try {
        copyBundleInto(path, destination);
    } catch (const std::exception& error) {
        Log::warn(std::string("could not move to /Applications: ") + error.what() + "; continuing in place");
        return false;
    }

    try {
        services_.processes.launchDetached(
            "/bin/sh", {"-c", "sleep 1; " + services_.workspace.openApplicationCommand() + " \"" + destination + "\""});
    } catch (const std::exception&) {
        // The copy is in place; the user can open it by hand.
    }
    Log::info("moved to /Applications; relaunching from there");
    services_.application.terminate();
    return true;
}

void AppDelegate::copyBundleInto(const std::string& source, const std::string& destination) {
    platform::Files& files = services_.files;
    const auto [folder, name] = splitLastComponent(destination);
    // Hidden names beside the destination, so every rename stays within one
    // file system: the copy goes in only once complete, and the old copy is set
    // aside rather than deleted until the new one is in place.
    const std::string staging = folder + "/." + name + ".moving";
    const std::string previous = folder + "/." + name + ".previous";
    auto removeQuietly = [&files](const std::string& path) {
        try {
            if (files.exists(path))
                files.remove(path);
        } catch (const std::exception&) {
            // A leftover is harmless; the next move removes it.
        }
    };
    try {
        if (files.exists(staging))
            files.remove(staging); // left over from an interrupted move
        files.copy(source, staging);
    } catch (...) {
        removeQuietly(staging);
        throw;
    }
    const bool hadOldCopy = files.exists(destination);
    try {
        if (hadOldCopy) {
            if (files.exists(previous))
                files.remove(previous);
            files.rename(destination, previous);
        }
        files.rename(staging, destination);
    } catch (...) {
        if (hadOldCopy && !files.exists(destination) && files.exists(previous)) {
            try {
                files.rename(previous, destination);
            } catch (const std::exception&) {
                // The original failure is the one worth reporting.
            }
        }
        removeQuietly(staging);
        throw;
    }
    removeQuietly(previous);
}

// ---- welcome

void AppDelegate::showWelcome() {
    runAlert({AlertStyle::informational,
              "Thanks for installing Tavrelin",
              "Tavrelin is running now. Look for the tamsel icon in the menu bar at the top of your screen.\n\n"
              "There is no app window and no Dock icon, which is deliberate: it stays out of the way and files your "
              "reminders in the background.\n\n"
              "Next step: open the Tavrelin extension in Chrome and pair this Mac. Until you do, no reminders will "
              "arrive here.",
              {"Show me"}});
    if (menu_ && menu_->statusItem().hasButton())
        menu_->statusItem().performClick();
}

} // namespace tavrelin
