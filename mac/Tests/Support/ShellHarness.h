#pragma once

// An application delegate on the fake platform. The pairing is kept by the
// real store in the fake files, so it survives a relaunch within one test.

#include "Platform/Features.h"
#include "Platform/RemindersPlaces.h"
#include "Support/FakePlatform.h"
#include "TavrelinMac/AppDelegate.h"
#include "TavrelinMac/Words.h"

namespace tavrelin::fake {

inline const std::string pairingPath = "/home/user/.local/share/Tavrelin/pairing.json";

inline std::string pairLink(const std::string& api) {
    return "tavrelin://pair?token=rk_0123456789abcdef&api=" + api;
}

// By default the bundle is already in /Applications and the welcome has been
// shown, so a launch goes straight to the pairing.
// It is its own set of places: the fake database `reminders` is the task-list
// folder, in use at first, and `edsReminders` Evolution Data Server's, there
// when `edsAvailable`. It notes whether each settling was asked on the main
// thread, and each choice.
struct Shell : FakeServices, RemindersPlaces {
    std::string backendDescription = "vdir /home/user/.local/share/calendars (auto: no session bus)";
    std::vector<bool> askedOnMainThread;
    std::shared_ptr<AppDelegate> delegate;
    Updater::Outcome updateOutcome = Updater::UpToDate{};
    // Set to keep the desktop's entries, as the Linux agent does.
    FakeLoginItems* loginItems = nullptr;
    // This build's, unless a test says otherwise before relaunch().
    Features features = buildFeatures;
    FakeRemindersDatabase edsReminders;
    bool edsAvailable = false;
    // The CalDAV server's task lists, there once `calDavAccount` is set up.
    FakeRemindersDatabase calDavReminders;
    std::optional<RemindersAccount> calDavAccount;
    // What the server says to each sign-in (default: it takes the password),
    // and every sign-in asked for: the account, the password, and whether
    // it was asked on the main thread.
    std::function<SignInAnswer(const RemindersAccount&, const std::string& password)> server;
    struct SignIn {
        RemindersAccount account;
        std::string password;
        bool onMainThread;
    };
    std::vector<SignIn> signIns;
    // Runs at every settle() after the first, as another process's change would be read.
    std::function<void()> onSettleAgain;
    int settles = 0;
    RemindersPlace::Kind chosenKind = RemindersPlace::Kind::taskListFolder;
    std::vector<RemindersPlace::Kind> choices;

    explicit Shell(std::optional<std::string> pairedWith = std::nullopt) {
        edsReminders.where = {RemindersPlace::Kind::evolutionDataServer, {}};
        calDavReminders.where = {RemindersPlace::Kind::calDavServer, {}, {}};
        bundle.bundlePath = "/Applications/Tavrelin.app";
        defaults.values[AppDelegate::hasShownWelcomeKey] = true;
        if (pairedWith)
            files.files[pairingPath] = FilePairingStore::encode({*pairedWith, "rk_storedtoken00", Date{1000}});
        relaunch();
    }
    // A new process: a new delegate over the same defaults and files.
    void relaunch() {
        delegate.reset();
        AppDelegate::Platform platform{mainLoop, clock, application, dialogs, statusBar, workspace,
                                       defaults, files, http,        bundle,  *this,     appInfo};
        platform.loginItems = loginItems;
        platform.features = features;
        delegate = std::make_shared<AppDelegate>(platform, std::make_unique<FilePairingStore>(files),
                                                 [this] { return updateOutcome; });
    }
    // Launches and lets the task lists be chosen; startLaunch() leaves the
    // choice waiting in the background queue.
    void launch() {
        startLaunch();
        finishChoice();
    }
    void startLaunch() { application.run(*delegate); }
    // Runs the choice, then launch's rest on the main thread.
    void finishChoice() {
        if (mainLoop.runOneBackground())
            mainLoop.runPosted();
    }
    std::string settle() override {
        askedOnMainThread.push_back(mainLoop.isMainThread());
        if (settles++ > 0 && onSettleAgain)
            onSettleAgain();
        return backendDescription;
    }
    std::vector<RemindersPlace> available() const override {
        std::vector<RemindersPlace> places{reminders.where};
        if (edsAvailable)
            places.push_back(edsReminders.where);
        if (calDavAccount)
            places.push_back(calDavReminders.where);
        return places;
    }
    RemindersPlace chosen() const override {
        if (chosenKind == RemindersPlace::Kind::evolutionDataServer)
            return edsReminders.where;
        if (chosenKind == RemindersPlace::Kind::calDavServer)
            return calDavReminders.where;
        return reminders.where;
    }
    RemindersDatabase& database() override {
        if (chosenKind == RemindersPlace::Kind::evolutionDataServer)
            return edsReminders;
        if (chosenKind == RemindersPlace::Kind::calDavServer)
            return calDavReminders;
        return reminders;
    }
    void choose(RemindersPlace::Kind kind) override {
        if (kind == RemindersPlace::Kind::calDavServer && !calDavAccount)
            return;
        chosenKind = kind;
        choices.push_back(kind);
    }
    std::vector<RemindersPlace::Kind> accountKinds() const override { return {RemindersPlace::Kind::calDavServer}; }
    std::optional<RemindersAccount> account(RemindersPlace::Kind kind) const override {
        return kind == RemindersPlace::Kind::calDavServer ? calDavAccount : std::nullopt;
    }
    SignInAnswer signIn(RemindersPlace::Kind, const RemindersAccount& account, const std::string& password) override {
        signIns.push_back({account, password, mainLoop.isMainThread()});
        return server ? server(account, password) : SignInAnswer{SignInAnswer::Kind::signedIn, {}};
    }
    void useAccount(RemindersPlace::Kind kind, const RemindersAccount& account) override {
        calDavAccount = account;
        calDavReminders.where = {RemindersPlace::Kind::calDavServer, account.server, account.user};
        chosenKind = kind;
        choices.push_back(kind);
    }
    // Sets up the account, as a sign-in from an earlier launch left it.
    void setUpCalDav(const std::string& server = "https://dav.example.com/", const std::string& user = "alice") {
        calDavAccount = RemindersAccount{server, user};
        calDavReminders.where = {RemindersPlace::Kind::calDavServer, server, user};
    }
    void open(const std::string& link) { delegate->handleGetURL(link); }
    // Chooses the menu entry, and lets what that starts run.
    bool chooseInMenu(const std::string& title) {
        const bool chosen = item().choose(title);
        mainLoop.drain();
        return chosen;
    }
    FakeStatusItem& item() { return *statusBar.last; }
    std::optional<Pairing> stored() { return FilePairingStore(files).load(); }
    // The menu's "Version …" line.
    std::string versionLine() {
        for (const auto& entry : item().provider())
            if (entry.title.starts_with("Version "))
                return entry.title;
        return "no version line";
    }
    // The titles of the dialogs shown, which tell them apart; their whole
    // texts are checked once, in Texts_test.
    Lines titles() const {
        Lines result(dialogs.shown.size());
        std::ranges::transform(dialogs.shown, result.begin(), &Alert::title);
        return result;
    }
};

// A first launch from the Downloads folder.
struct Downloaded : Shell {
    explicit Downloaded(std::optional<std::string> pairedWith = std::nullopt) : Shell(pairedWith) {
        defaults.values.clear();
        bundle.bundlePath = "/home/user/Downloads/Tavrelin.app";
        files.files[bundle.bundlePath + "/Contents/Info.plist"] = "new";
    }
};

} // namespace tavrelin::fake
