#include "Support/ShellHarness.h"

#include <gtest/gtest.h>

using namespace tavrelin;
using namespace tavrelin::fake;
using Lines = std::vector<std::string>;

namespace {

const std::string downloads = "/home/user/Downloads/Tavrelin.app";
const std::string installed = "/Applications/Tavrelin.app";
const std::string staging = "/Applications/.Tavrelin.app.moving";
const std::string previous = "/Applications/.Tavrelin.app.previous";

// Fails the way a real disk does: a copy that stops halfway, or a rename
// refused after everything before it worked.
class FlakyFiles final : public platform::Files {
public:
    explicit FlakyFiles(FakeFiles& inner) : inner_(inner) {}
    bool copyStopsHalfway = false;
    bool renameFails = false;
    // Only the rename that would put the new copy in place fails.
    bool renameIntoPlaceFails = false;

    std::string applicationSupportDirectory() const override { return inner_.applicationSupportDirectory(); }
    std::string cachesDirectory() const override { return inner_.cachesDirectory(); }
    void createDirectories(const std::string& path) override { inner_.createDirectories(path); }
    void writeAtomically(const std::string& path, std::string_view bytes, unsigned mode) override {
        inner_.writeAtomically(path, bytes, mode);
    }
    void setPermissions(const std::string& path, unsigned mode) override { inner_.setPermissions(path, mode); }
    unsigned permissions(const std::string& path) const override { return inner_.permissions(path); }
    std::optional<std::string> readRegularFile(const std::string& path, std::size_t max) const override {
        return inner_.readRegularFile(path, max);
    }
    bool exists(const std::string& path) const override { return inner_.exists(path); }
    void remove(const std::string& path) override { inner_.remove(path); }
    void copy(const std::string& from, const std::string& to) override {
        if (copyStopsHalfway) {
            inner_.writeAtomically(to + "/Contents/Info.plist", "partial", 0644);
            throw platform::FileError("The disk is full.");
        }
        inner_.copy(from, to);
    }
    void rename(const std::string& from, const std::string& to) override {
        if (renameFails || (renameIntoPlaceFails && from == staging))
            throw platform::FileError("The file could not be renamed.");
        inner_.rename(from, to);
    }
    std::vector<std::string> list(const std::string& directory) const override { return inner_.list(directory); }

private:
    FakeFiles& inner_;
};

// A delegate whose file operations go through FlakyFiles.
struct Mover : Shell {
    FlakyFiles flaky{p.files};
    Services services{p.mainLoop, p.clock, p.application, p.dialogs, p.statusBar, p.workspace, p.defaults,
                      flaky,      p.http,  p.processes,   p.bundle,  p.digest,    p.reminders, p.appInfo};
    std::shared_ptr<AppDelegate> mover = std::make_shared<AppDelegate>(services, std::make_unique<MemoryPairingStore>(file));

    Mover() {
        p.bundle.bundlePath = downloads;
        p.files.files[downloads + "/Contents/Info.plist"] = "new";
    }
};

} // namespace

TEST(InstallLocation, NoOfferWhereTheBundleAlreadyBelongsOrAfterADecline) {
    const std::string paths[] = {installed, "/Applications/Tools/Tavrelin.app", "/home/user/Applications/Tavrelin.app",
                                 "/home/user/src/brannock/build/Tavrelin.app"};
    for (const auto& path : paths) {
        Shell s;
        s.p.bundle.bundlePath = path;
        EXPECT_FALSE(s.delegate->offerMoveToApplicationsIfSensible()) << path;
        EXPECT_TRUE(s.p.dialogs.shown.empty()) << path;
    }
    Shell s;
    s.p.bundle.bundlePath = downloads;
    s.p.defaults.values[AppDelegate::declinedMoveKey] = true;
    EXPECT_FALSE(s.delegate->offerMoveToApplicationsIfSensible());
    EXPECT_TRUE(s.p.dialogs.shown.empty());
}

TEST(InstallLocation, OfferIsMadeElsewhereAndADeclineIsRemembered) {
    const std::pair<std::string, std::string> cases[] = {
        {downloads, "/home/user/Downloads"},
        {"/applications/Tavrelin.app", "/applications"},
        {"/home/user/ApplicationsOld/Tavrelin.app", "/home/user/ApplicationsOld"},
    };
    for (const auto& [path, folder] : cases) {
        Shell s;
        s.p.bundle.bundlePath = path;
        EXPECT_FALSE(s.delegate->offerMoveToApplicationsIfSensible());
        ASSERT_EQ(s.p.dialogs.shown.size(), 1u) << path;
        const auto& offer = s.p.dialogs.shown[0];
        EXPECT_EQ(offer.style, platform::AlertStyle::warning);
        EXPECT_EQ(offer.title, "Move Tavrelin to Applications?");
        EXPECT_EQ(offer.text, "Tavrelin is running from " + folder +
                                  ".\n\n"
                                  "Moving it to your Applications folder keeps one copy in the place macOS expects, so "
                                  "a second download can never leave you wondering which one is real. It will reopen "
                                  "from there by itself.");
        EXPECT_EQ(offer.buttons, (Lines{"Move to Applications", "Not Now"}));
        EXPECT_EQ(s.p.application.activations, 1);
        EXPECT_TRUE(s.p.defaults.boolForKey(AppDelegate::declinedMoveKey));
        EXPECT_TRUE(s.p.files.operations.empty());
        EXPECT_TRUE(s.p.processes.calls.empty());
    }
}

TEST(InstallLocation, AcceptingCopiesAsideThenReplacesTheOldCopyAndRelaunches) {
    Shell s;
    s.p.bundle.bundlePath = downloads;
    s.p.files.files[downloads + "/Contents/Info.plist"] = "new";
    s.p.files.files[installed + "/Contents/Info.plist"] = "old";
    s.p.files.files[staging + "/Contents/Info.plist"] = "stale";
    s.p.dialogs.script = {0};
    LogCapture log;

    EXPECT_TRUE(s.delegate->offerMoveToApplicationsIfSensible());
    EXPECT_EQ(s.p.files.operations, (Lines{"remove " + staging, "copy " + downloads + " -> " + staging,
                                           "rename " + installed + " -> " + previous, "rename " + staging + " -> " + installed,
                                           "remove " + previous}));
    EXPECT_EQ(s.p.files.files[installed + "/Contents/Info.plist"], "new");
    EXPECT_EQ(s.p.files.files[downloads + "/Contents/Info.plist"], "new"); // the running copy stays
    EXPECT_FALSE(s.p.files.exists(staging));
    ASSERT_EQ(s.p.processes.calls.size(), 1u);
    const auto& relaunch = s.p.processes.calls[0];
    EXPECT_TRUE(relaunch.detached);
    EXPECT_EQ(relaunch.program, "/bin/sh");
    EXPECT_EQ(relaunch.arguments, (Lines{"-c", "sleep 1; /usr/bin/open \"/Applications/Tavrelin.app\""}));
    EXPECT_EQ(log.lines(), Lines{"info moved to /Applications; relaunching from there"});
    EXPECT_EQ(s.p.application.terminateRequests, 1);
    EXPECT_FALSE(s.p.defaults.values.count(AppDelegate::declinedMoveKey));
}

TEST(InstallLocation, RelaunchUsesThePlatformsOpenCommandAndIgnoresALaunchFailure) {
    Shell s;
    s.p.bundle.bundlePath = "/home/user/Downloads/Tavrelin 2.app";
    s.p.files.files["/home/user/Downloads/Tavrelin 2.app/Contents/Info.plist"] = "new";
    s.p.workspace.openCommand = "/usr/libexec/tavrelin-open";
    s.p.processes.responder = [](const FakeProcesses::Call&) -> platform::ProcessResult {
        throw platform::ProcessError("cannot start");
    };
    s.p.dialogs.script = {0};
    EXPECT_TRUE(s.delegate->offerMoveToApplicationsIfSensible());
    ASSERT_EQ(s.p.processes.calls.size(), 1u);
    EXPECT_EQ(s.p.processes.calls[0].arguments[1], "sleep 1; /usr/libexec/tavrelin-open \"/Applications/Tavrelin 2.app\"");
    EXPECT_EQ(s.p.application.terminateRequests, 1);
}

TEST(InstallLocation, AFailedMoveKeepsTheOldCopyRemovesThePartialOneAndContinuesInPlace) {
    struct Case {
        const char* name;
        std::function<void(Mover&)> arrange;
        std::string description;
    };
    const Case cases[] = {
        {"copy stops halfway", [](Mover& m) { m.flaky.copyStopsHalfway = true; }, "The disk is full."},
        {"old copy cannot be set aside", [](Mover& m) { m.p.files.failing.insert(installed); },
         "The operation couldn’t be completed for “/Applications/Tavrelin.app”."},
        {"rename refused", [](Mover& m) { m.flaky.renameFails = true; }, "The file could not be renamed."},
        {"new copy cannot be put in place", [](Mover& m) { m.flaky.renameIntoPlaceFails = true; },
         "The file could not be renamed."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Mover m;
        m.p.files.files[installed + "/Contents/Info.plist"] = "old";
        c.arrange(m);
        m.p.dialogs.script = {0};
        LogCapture log;

        EXPECT_FALSE(m.mover->offerMoveToApplicationsIfSensible());
        EXPECT_EQ(log.lines(), Lines{"warn could not move to /Applications: " + c.description + "; continuing in place"});
        EXPECT_FALSE(m.p.files.exists(staging));
        EXPECT_FALSE(m.p.files.exists(previous));
        EXPECT_EQ(m.p.files.files[installed + "/Contents/Info.plist"], "old");
        EXPECT_EQ(m.p.files.files[downloads + "/Contents/Info.plist"], "new");
        EXPECT_FALSE(m.p.defaults.values.count(AppDelegate::declinedMoveKey));
        EXPECT_TRUE(m.p.processes.calls.empty());
        EXPECT_EQ(m.p.application.terminateRequests, 0);
    }
}

TEST(InstallLocation, LaunchStopsAfterAnAcceptedMoveAndALinkQueuedMeanwhileIsDropped) {
    Shell s;
    s.p.defaults.values.clear();
    s.p.bundle.bundlePath = downloads;
    s.p.files.files[downloads + "/Contents/Info.plist"] = "new";
    s.p.dialogs.script = {0};
    s.p.dialogs.whileOpen = [&](const platform::Alert&) { s.open(pairLink("https://relay.example")); };
    LogCapture log;
    s.launch();

    EXPECT_EQ(log.lines(), (Lines{"info pairing link arrived before launch finished; queued",
                                  "info moved to /Applications; relaunching from there"}));
    EXPECT_EQ(s.p.dialogs.shown.size(), 1u);
    EXPECT_EQ(s.p.statusBar.last, nullptr);
    EXPECT_TRUE(s.delegate->modules().empty());
    EXPECT_FALSE(s.delegate->isReady());
    EXPECT_FALSE(s.p.defaults.boolForKey(AppDelegate::hasShownWelcomeKey));
}

TEST(InstallLocation, LaunchContinuesAfterADeclinedMoveAndWelcomes) {
    Shell s;
    s.p.defaults.values.clear();
    s.p.bundle.bundlePath = downloads;
    s.launch();
    ASSERT_EQ(s.p.dialogs.shown.size(), 2u);
    EXPECT_EQ(s.p.dialogs.shown[0].title, "Move Tavrelin to Applications?");
    EXPECT_EQ(s.p.dialogs.shown[1].title, "Thanks for installing Tavrelin");
    EXPECT_TRUE(s.delegate->isReady());

    s.relaunch();
    s.launch();
    EXPECT_EQ(s.p.dialogs.shown.size(), 2u);
}
