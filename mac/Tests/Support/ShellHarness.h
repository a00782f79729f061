#pragma once

// An application delegate on the fake platform. The pairing is kept by the
// real store in the fake files, so it survives a relaunch within one test.

#include "Platform/RemindersChooser.h"
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
// It is its own task-list chooser, answering the fake database and noting
// whether each choice was asked on the main thread.
struct Shell : FakeServices, RemindersChooser {
    std::string backendDescription = "vdir /home/user/.local/share/calendars (auto: no session bus)";
    std::vector<bool> askedOnMainThread;
    std::shared_ptr<AppDelegate> delegate;
    Updater::Outcome updateOutcome = Updater::UpToDate{};
    // Set to keep the desktop's entries, as the Linux agent does.
    FakeLoginItems* loginItems = nullptr;
    bool startAtLoginInMenu = true; // with loginItems: false as in the macOS words

    explicit Shell(std::optional<std::string> pairedWith = std::nullopt) {
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
        platform.startAtLoginInMenu = loginItems != nullptr && startAtLoginInMenu;
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
    RemindersChoice choose() override {
        askedOnMainThread.push_back(mainLoop.isMainThread());
        return {reminders, backendDescription};
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
