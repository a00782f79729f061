#pragma once

// An application delegate on the fake platform, with the pairing file kept in
// memory so it survives a relaunch within one test.

#include "Support/FakePlatform.h"
#include "TavrelinMac/AppDelegate.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavrelin::fake {

struct PairingFile {
    std::optional<Pairing> stored;
    std::optional<std::string> saveError;  // save throws FileError with this text
    std::optional<std::string> clearError; // clear throws FileError with this text
    int saves = 0;
};

class MemoryPairingStore final : public PairingStore {
public:
    explicit MemoryPairingStore(PairingFile& file) : file_(file) {}
    std::optional<Pairing> load() const override { return file_.stored; }
    void save(const Pairing& pairing) override {
        if (file_.saveError)
            throw FileError(*file_.saveError);
        ++file_.saves;
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

inline const std::string token = "rk_0123456789abcdef";

inline std::string pairLink(const std::string& api, const std::string& relayToken = token) {
    return "tavrelin://pair?token=" + relayToken + "&api=" + api;
}

// Dialog titles, so behaviour tests can tell which dialog came; the whole
// texts are checked once, in Texts_test.
namespace title {
inline const std::string welcome = "Thanks for installing Tavrelin";
inline const std::string move = "Move Tavrelin to Applications?";
inline const std::string trustedFirst = "Let this Mac collect your reminders?";
inline std::string untrustedFirst(const std::string& host) {
    return "Pair this Mac with " + host + "?";
}
inline const std::string replace = "Replace this Mac’s pairing?";
inline const std::string switchBackend = "Point this Mac at a different backend?";
inline const std::string paired = "Tavrelin is paired";
inline const std::string rejected = "That pairing link did not work";
inline const std::string help = "Pairing this Mac";
inline const std::string unpair = "Unpair this Mac?";
} // namespace title

inline Pairing storedPairing(const std::string& apiBase) {
    return {apiBase, "rk_storedtoken00", Date{1000}};
}

// By default the bundle is already in /Applications and the welcome has been
// shown, so a launch goes straight to the pairing.
struct Shell {
    FakePlatform p;
    PairingFile file;
    std::shared_ptr<AppDelegate> delegate;
    // What an update check answers.
    Updater::Outcome updateOutcome = Updater::UpToDate{};

    Shell() {
        p.bundle.bundlePath = "/Applications/Tavrelin.app";
        p.defaults.values[AppDelegate::hasShownWelcomeKey] = true;
        relaunch();
    }
    // A new process: a new delegate over the same defaults, files and pairing.
    void relaunch() {
        delegate.reset();
        AppDelegate::Platform platform{p.mainLoop, p.clock, p.application, p.dialogs, p.statusBar, p.workspace,
                                       p.defaults, p.files, p.http,        p.bundle,  p.reminders, p.appInfo};
        delegate = std::make_shared<AppDelegate>(platform, std::make_unique<MemoryPairingStore>(file),
                                                 [this] { return updateOutcome; });
    }
    void launch() { p.application.run(*delegate); }
    void open(const std::string& link) { delegate->handleGetURL(link); }
    FakeStatusItem& item() { return *p.statusBar.last; }
    std::vector<std::string> titles() const {
        std::vector<std::string> result;
        for (const auto& alert : p.dialogs.shown)
            result.push_back(alert.title);
        return result;
    }
};

} // namespace tavrelin::fake
