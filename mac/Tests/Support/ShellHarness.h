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
    RemindersPlace::Kind chosenKind = RemindersPlace::Kind::taskListFolder;
    std::vector<RemindersPlace::Kind> choices;

    explicit Shell(std::optional<std::string> pairedWith = std::nullopt) {
        edsReminders.where = {RemindersPlace::Kind::evolutionDataServer, {}};
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
        return backendDescription;
    }
    std::vector<RemindersPlace> available() const override {
        if (edsAvailable)
            return {reminders.where, edsReminders.where};
        return {reminders.where};
    }
    RemindersPlace chosen() const override {
        return chosenKind == RemindersPlace::Kind::evolutionDataServer ? edsReminders.where : reminders.where;
    }
    RemindersDatabase& database() override {
        if (chosenKind == RemindersPlace::Kind::evolutionDataServer)
            return edsReminders;
        return reminders;
    }
    void choose(RemindersPlace::Kind kind) override {
        chosenKind = kind;
        choices.push_back(kind);
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
