#pragma once

// An application delegate on the fake platform, with the pairing file kept in
// memory so it survives a relaunch within one test.

#include "Support/FakePlatform.h"
#include "TavrelinMac/AppDelegate.h"

namespace tavrelin::fake {

struct PairingFile {
    std::optional<Pairing> stored;
    std::optional<std::string> saveError;  // save throws FileError with this text
    std::optional<std::string> clearError; // clear throws FileError with this text
};

class MemoryPairingStore final : public PairingStore {
public:
    explicit MemoryPairingStore(PairingFile& file) : file_(file) {}
    std::optional<Pairing> load() const override { return file_.stored; }
    void save(const Pairing& pairing) override {
        if (file_.saveError)
            throw FileError(*file_.saveError);
        file_.stored = pairing;
    }
    void clear() override {
        if (file_.clearError)
            throw FileError(*file_.clearError);
        file_.stored.reset();
    }
    std::string location() const override { return "/home/user/.local/share/Tavrelin/pairing.json"; }

private:
    PairingFile& file_;
};

inline std::string pairLink(const std::string& api) {
    return "tavrelin://pair?token=rk_0123456789abcdef&api=" + api;
}

// Dialog titles, so behaviour tests can tell which dialog came; the whole
// texts are checked once, in Texts_test.
namespace title {
inline const std::string welcome = "Thanks for installing Tavrelin", move = "Move Tavrelin to Applications?";
inline const std::string trustedFirst = "Let this Mac collect your reminders?", paired = "Tavrelin is paired";
inline const std::string replace = "Replace this Mac’s pairing?", switchBackend = "Point this Mac at a different backend?";
inline const std::string rejected = "That pairing link did not work", help = "Pairing this Mac", unpair = "Unpair this Mac?";
inline std::string untrustedFirst(const std::string& host) {
    return "Pair this Mac with " + host + "?";
}
} // namespace title

// By default the bundle is already in /Applications and the welcome has been
// shown, so a launch goes straight to the pairing.
struct Shell {
    FakeClock clock;
    FakeMainLoop mainLoop{clock};
    FakeApplication application;
    FakeDialogs dialogs;
    FakeStatusBar statusBar;
    FakeWorkspace workspace;
    FakeUserDefaults defaults;
    FakeFiles files;
    FakeHttp http;
    FakeBundle bundle;
    FakeRemindersDatabase reminders;
    AppInfo appInfo{bundle};
    PairingFile file;
    std::shared_ptr<AppDelegate> delegate;
    Updater::Outcome updateOutcome = Updater::UpToDate{};

    explicit Shell(std::optional<std::string> pairedWith = std::nullopt) {
        bundle.bundlePath = "/Applications/Tavrelin.app";
        defaults.values[AppDelegate::hasShownWelcomeKey] = true;
        if (pairedWith)
            file.stored = Pairing{*pairedWith, "rk_storedtoken00", Date{1000}};
        relaunch();
    }
    // A new process: a new delegate over the same defaults, files and pairing.
    void relaunch() {
        delegate.reset();
        AppDelegate::Platform platform{mainLoop, clock, application, dialogs, statusBar, workspace,
                                       defaults, files, http,        bundle,  reminders, appInfo};
        delegate = std::make_shared<AppDelegate>(platform, std::make_unique<MemoryPairingStore>(file),
                                                 [this] { return updateOutcome; });
    }
    void launch() { application.run(*delegate); }
    void open(const std::string& link) { delegate->handleGetURL(link); }
    FakeStatusItem& item() { return *statusBar.last; }
    std::vector<std::string> titles() const {
        std::vector<std::string> result;
        for (const auto& alert : dialogs.shown)
            result.push_back(alert.title);
        return result;
    }
};

} // namespace tavrelin::fake
