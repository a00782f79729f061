#include "TavrelinMac/AppDelegate.h"

#include "Base/Text.h"
#include "Platform/BundleLayout.h"
#include "TavrelinMac/Logging.h"
#include "TavrelinMac/Url.h"
#include "TavrelinMac/Words.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace tavrelin {
namespace {

// A copy built without a release key cannot verify any update.
bool builtHere(const platform::Bundle& bundle) {
    return bundle.infoString(std::string(bundle::updatePublicKeyEntry)).value_or("").empty();
}

// What a sign-in form gave when its first button was chosen with all
// `fields` filled in; otherwise none, and whatever was typed is wiped.
std::optional<std::vector<std::string>> signInValues(std::optional<platform::FormAnswer> answer, std::size_t fields) {
    if (!answer)
        return std::nullopt;
    if (answer->button != platform::firstButton || answer->values.size() != fields) {
        for (std::string& value : answer->values)
            text::wipe(value);
        return std::nullopt;
    }
    return std::move(answer->values);
}

} // namespace

AppDelegate::AppDelegate(Platform platform, std::unique_ptr<PairingStore> pairingStore, Updater::Run updateRun)
    : platform_(platform), state_(platform.clock), dialogs_(platform.application, platform.dialogs, platform.mainLoop),
      pairingStore_(std::move(pairingStore)), links_(
                                                  platform.clock, *pairingStore_, dialogs_,
                                                  [this](const Pairing& pairing) {
                                                      for (const auto& module : modules_)
                                                          module->start(pairing);
                                                  },
                                                  [this] { return remindersPlace(); }),
      installLocation_(platform.bundle, platform.defaults, platform.files, platform.workspace, platform.application, dialogs_),
      updater_(Updater::create(
          platform.mainLoop, platform.application, platform.appInfo.version(), std::move(updateRun),
          // Update alerts take their turn with every other dialog; one cut
          // short by quitting answers its cancelling button.
          [this](const platform::Alert& alert) {
              const int cancel = platform::firstButton + std::max(0, static_cast<int>(alert.buttons.size()) - 1);
              return dialogs_.run(alert).value_or(cancel);
          },
          [this](const Updater::Installed& installed) {
              // While the verified bundle still waits, the install script has
              // yet to swap it in and start it: that start finds this agent
              // quitting and waits for it to be gone. Starting anything here
              // meanwhile would start the old bundle.
              if (platform_.files.exists(installed.incoming))
                  return;
              try {
                  platform_.workspace.relaunch(platform_.bundle.path());
              } catch (const std::exception& error) {
                  // The swap is done on disk; the next start runs the new version.
                  Log::warn(std::string("could not reopen the new version: ") + error.what());
              }
          },
          builtHere(platform.bundle) ? Updater::Origin::builtHere : Updater::Origin::release)) {
    if (platform.loginItems)
        loginItem_ = LoginItem::create(platform.bundle, platform.defaults, *platform.loginItems, platform.mainLoop);
}

AppDelegate::~AppDelegate() = default;

// ---- launch and shutdown

void AppDelegate::applicationWillFinishLaunching() {
    // Nothing to register: the application adapter delivers URL events to
    // handleGetURL from its start, and the links flow queues them until ready.
}

void AppDelegate::applicationDidFinishLaunching() {
    if (anotherInstanceIsRunning()) {
        Log::info("another instance is already running; exiting");
        platform_.application.terminate();
        return;
    }

    // A launch caused by a pairing link goes straight to the link.
    if (!links_.hasQueuedLink() && installLocation_.offerMoveToApplicationsIfSensible())
        return;

    // The desktop's entries follow the copy that runs.
    if (loginItem_)
        loginItem_->keep();

    // Learning which task lists to use may wait on a slow server, so it is
    // asked off the main thread; the rest of launch follows its answer, and
    // links that arrive meanwhile stay queued until ready.
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    platform::MainLoop& mainLoop = platform_.mainLoop;
    platform::RemindersPlaces& places = platform_.reminders;
    mainLoop.background(platform::Priority::normal, [weak, &mainLoop, &places] {
        std::string backend = places.settle();
        mainLoop.post([weak, backend = std::move(backend)] {
            if (auto self = weak.lock())
                self->finishLaunching(backend);
        });
    });
}

void AppDelegate::finishLaunching(const std::string& backend) {
    // Quit while the choice was being made: nothing more of launch happens.
    if (platform_.application.isTerminating())
        return;

    reminders_ = std::make_shared<RemindersModule>(platform_.mainLoop, platform_.clock, platform_.http, platform_.appInfo,
                                                   platform_.reminders.database(), state_);
    modules_ = {reminders_};

    std::weak_ptr<AppDelegate> weak = weak_from_this();
    menu_ = StatusMenu::create(platform_.statusBar, platform_.mainLoop, platform_.appInfo, dialogs_, state_, modules_, [weak] {
        auto self = weak.lock();
        return self ? self->remindersPlace() : platform::RemindersPlace{};
    });
    installMenuCallbacks();

    updater_->startAutomaticChecks();

    Log::info(words::about::nameAndVersion(platform_.appInfo.version()) + " started");
    Log::info("pairing file: " + pairingStore_->location());
    Log::info("reminders backend: " + backend);

    if (auto pairing = pairingStore_->load()) {
        Log::info("restored pairing for " + hostOfPairing(pairing->apiBase));
        for (const auto& module : modules_)
            module->start(*pairing);
    } else {
        state_.setPaired(std::nullopt);
    }

    if (std::exchange(resettleAfterLaunch_, false))
        placeChangedElsewhere();

    if (auto link = links_.becomeReady()) {
        platform_.defaults.setBool(hasShownWelcomeKey, true);
        links_.handle(*link);
    } else if (!platform_.defaults.boolForKey(hasShownWelcomeKey)) {
        // Set first, so a crash while the welcome is open does not repeat it.
        platform_.defaults.setBool(hasShownWelcomeKey, true);
        showWelcome();
    } else if (std::exchange(reopenWaiting_, false)) {
        applicationShouldHandleReopen();
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
            self->links_.showPairingHelp();
    };
    platform::Workspace& workspace = platform_.workspace;
    menu_->onOpenRemindersSettings = [&workspace] { workspace.openRemindersPrivacySettings(); };
    platform::Application& application = platform_.application;
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
    if (platform_.features.remindersPlaceInMenu) {
        platform::RemindersPlaces& places = platform_.reminders;
        reminders_->availablePlaces = [&places] { return places.available(); };
        reminders_->onUsePlace = [weak](const platform::RemindersPlace& place) {
            if (auto self = weak.lock())
                self->usePlace(place);
        };
    }
    if (platform_.features.createListInMenu)
        reminders_->onCreateList = [weak](const std::string& name) {
            if (auto self = weak.lock())
                self->createList(name);
        };
    if (platform_.features.serverAccounts && !platform_.reminders.accountKinds().empty()) {
        auto signingIn = [weak]() -> std::optional<platform::RemindersPlace> {
            if (auto self = weak.lock())
                return self->signingIn_;
            return std::nullopt;
        };
        reminders_->onSetUpAccount = [weak] {
            if (auto self = weak.lock())
                self->setUpAccount();
        };
        reminders_->signingIn = signingIn;
        menu_->onSignInAgain = [weak] {
            if (auto self = weak.lock())
                self->signInAgain();
        };
        menu_->signingIn = signingIn;
    }
    if (loginItem_ && platform_.features.startAtLoginInMenu) {
        menu_->startsAtLogin = [weak]() -> std::optional<bool> {
            if (auto self = weak.lock(); self && self->loginItem_->offered())
                return self->loginItem_->startsAtLogin();
            return std::nullopt;
        };
        menu_->onStartAtLogin = [weak](bool on) {
            if (auto self = weak.lock())
                self->loginItem_->setStartsAtLogin(on);
        };
        loginItem_->onChange = [weak] {
            if (auto self = weak.lock(); self && self->menu_)
                self->menu_->refreshButton();
        };
    }
    state_.onChange = [weak] {
        if (auto self = weak.lock(); self && self->menu_)
            self->menu_->refreshButton();
    };
    // Links that arrived while a dialog was open are handled once it closes.
    dialogs_.onClosed = [weak] {
        if (auto self = weak.lock())
            self->links_.handleWaiting();
    };
}

void AppDelegate::applicationWillTerminate() {
    // The pairing file stays, so the next launch restores it.
    for (const auto& module : modules_)
        module->stop();
}

bool AppDelegate::anotherInstanceIsRunning() const {
    const auto identifier = platform_.bundle.identifier();
    if (!identifier)
        return false;
    const auto running = platform_.workspace.runningApplications(*identifier);
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

void AppDelegate::handleGetURL(const std::optional<std::string>& directObject) {
    std::optional<Url> url;
    if (directObject && !directObject->empty())
        url = Url::parse(*directObject);
    if (!url) {
        Log::warn("received a URL event with no readable URL");
        return;
    }
    links_.receive(*url);
}

// ---- where reminders go

void AppDelegate::usePlace(const platform::RemindersPlace& place) {
    const platform::RemindersPlace current = remindersPlace();
    const auto answer = dialogs_.run({platform::AlertStyle::informational,
                                      words::places::switchTitle(place),
                                      words::places::switchText(current, place),
                                      {words::places::switchButton(), words::cancel()}});
    if (answer != platform::firstButton || !reminders_)
        return;
    platform::RemindersPlaces& places = platform_.reminders;
    places.choose(place.kind);
    // A poll under way ends where it began; the module switches after it.
    reminders_->usePlace(places.database());
}

void AppDelegate::createList(const std::string& name) {
    const auto answer = dialogs_.run({platform::AlertStyle::informational,
                                      words::places::createTitle(name),
                                      words::places::createText(name, remindersPlace()),
                                      {words::places::createButton(), words::cancel()}});
    if (answer != platform::firstButton || !reminders_)
        return;
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    reminders_->createList(name, [weak, name](const std::optional<std::string>& problem) {
        auto self = weak.lock();
        if (!self || !problem)
            return;
        self->dialogs_.run({platform::AlertStyle::warning,
                            words::places::createFailedTitle(name),
                            words::places::createFailedText(*problem),
                            {}});
    });
}

// ---- places reached with an account

void AppDelegate::setUpAccount() {
    const auto kinds = platform_.reminders.accountKinds();
    if (kinds.empty() || signingIn_)
        return;
    const platform::RemindersPlace::Kind kind = kinds.front();
    const auto known = platform_.reminders.account(kind);
    auto answer = dialogs_.runForm(platform::Form{{platform::AlertStyle::informational,
                                                   words::account::setUpTitle(),
                                                   words::account::setUpText(),
                                                   {words::account::signInButton(), words::cancel()}},
                                                  {{words::account::serverLabel(), known ? known->server : std::string()},
                                                   {words::account::userLabel(), known ? known->user : std::string()},
                                                   {words::account::passwordLabel(), {}, true}}});
    auto values = signInValues(std::move(answer), 3);
    if (!values)
        return;
    const platform::RemindersAccount account{std::string(text::trimmed((*values)[0])),
                                             std::string(text::trimmed((*values)[1]))};
    signIn(kind, account, std::move((*values)[2]));
    text::wipe((*values)[2]);
}

void AppDelegate::signInAgain() {
    const platform::RemindersPlace place = remindersPlace();
    if (!place.signsIn() || signingIn_)
        return;
    auto answer = dialogs_.runForm(platform::Form{{platform::AlertStyle::warning,
                                                   words::account::signInAgainTitle(place),
                                                   words::account::signInAgainText(place),
                                                   {words::account::signInButton(), words::cancel()}},
                                                  {{words::account::passwordLabel(), {}, true}}});
    auto values = signInValues(std::move(answer), 1);
    if (!values)
        return;
    signIn(place.kind, {place.location, place.account}, std::move((*values)[0]));
    text::wipe((*values)[0]);
}

void AppDelegate::signIn(platform::RemindersPlace::Kind kind, const platform::RemindersAccount& account, std::string password) {
    if (signingIn_) {
        text::wipe(password);
        return;
    }
    signingIn_ = platform::RemindersPlace{kind, account.server, account.user};
    refreshMenu();
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    platform::MainLoop& mainLoop = platform_.mainLoop;
    platform::RemindersPlaces& places = platform_.reminders;
    // The password moves into the task, which wipes it once tried.
    auto secret = std::make_shared<std::string>(std::move(password));
    text::wipe(password);
    mainLoop.background(platform::Priority::normal, [weak, &mainLoop, &places, kind, account, secret] {
        platform::SignInAnswer answer = places.signIn(kind, account, *secret);
        text::wipe(*secret);
        mainLoop.post([weak, kind, account, answer = std::move(answer)] {
            if (auto self = weak.lock())
                self->finishSignIn(kind, account, answer);
        });
    });
}

void AppDelegate::finishSignIn(platform::RemindersPlace::Kind kind, const platform::RemindersAccount& account,
                               const platform::SignInAnswer& answer) {
    const platform::RemindersPlace asked = signingIn_.value_or(platform::RemindersPlace{kind, account.server, account.user});
    signingIn_.reset();
    refreshMenu();
    using Kind = platform::SignInAnswer::Kind;
    if (answer.kind == Kind::signedIn && reminders_) {
        platform::RemindersPlaces& places = platform_.reminders;
        places.useAccount(kind, account);
        Log::info("signed in to " + asked.location + " as " + asked.account);
        // Files there from the next poll on, which starts at once (also when
        // it was the place in use, which waited for this sign-in).
        reminders_->usePlace(places.database());
        const platform::RemindersPlace place = places.chosen();
        dialogs_.run({platform::AlertStyle::informational,
                      words::account::signedInTitle(place),
                      words::account::signedInText(place),
                      {}});
        return;
    }
    if (answer.kind == Kind::rejected)
        Log::warn("sign-in to " + asked.location + " as " + asked.account + ": the server refused the password");
    else
        Log::warn("sign-in to " + asked.location + " as " + asked.account + " failed: " + answer.message);
    dialogs_.run({platform::AlertStyle::warning,
                  words::account::failedTitle(asked.location),
                  answer.kind == Kind::rejected ? words::account::rejectedText(asked.account)
                                                : words::account::failedText(answer.message),
                  {}});
}

void AppDelegate::placeChangedElsewhere() {
    if (!reminders_) {
        // Launch has yet to settle (or is settling) the places: once more after it.
        resettleAfterLaunch_ = true;
        return;
    }
    if (resettling_) {
        resettleAgain_ = true;
        return;
    }
    resettling_ = true;
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    platform::MainLoop& mainLoop = platform_.mainLoop;
    platform::RemindersPlaces& places = platform_.reminders;
    mainLoop.background(platform::Priority::normal, [weak, &mainLoop, &places] {
        std::string backend = places.settle();
        mainLoop.post([weak, backend = std::move(backend)] {
            auto self = weak.lock();
            if (!self)
                return;
            self->resettling_ = false;
            Log::info("reminders backend: chosen elsewhere: " + backend);
            // A poll under way ends where it began; the module switches after it.
            self->reminders_->usePlace(self->platform_.reminders.database());
            if (std::exchange(self->resettleAgain_, false))
                self->placeChangedElsewhere();
        });
    });
}

void AppDelegate::refreshMenu() {
    if (menu_)
        menu_->refreshButton();
}

// ---- welcome

void AppDelegate::showWelcome() {
    const auto answer = dialogs_.run(
        {platform::AlertStyle::informational, words::welcome::title(), words::welcome::text(), {words::welcome::showMe()}});
    if (!answer) {
        // Quit while it was open: nobody read it, so the next launch shows it.
        platform_.defaults.setBool(hasShownWelcomeKey, false);
        return;
    }
    // Only where the icon is: a menu anywhere else points at nothing.
    if (menu_ && menu_->statusItem().canOpenMenuAtIcon())
        menu_->statusItem().performClick();
}

// ---- started again

void AppDelegate::applicationShouldHandleReopen() {
    if (!platform_.features.showOnReopen || platform_.application.isTerminating())
        return;
    if (!menu_) {
        reopenWaiting_ = true;
        return;
    }
    // A dialog already says something: it comes to the front instead.
    if (dialogs_.isOpen()) {
        platform_.application.activate();
        return;
    }
    platform::StatusItem& item = menu_->statusItem();
    if (item.canOpenMenuAtIcon()) {
        Log::info("started again while running; opening the menu");
        item.performClick();
        return;
    }
    Log::info("started again while running; saying where it is");
    dialogs_.run(
        {platform::AlertStyle::informational, words::reopen::title(), words::reopen::text(item.isShown()), {words::ok()}});
}

} // namespace tavrelin
