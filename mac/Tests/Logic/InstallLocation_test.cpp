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

// By default the bundle runs from Downloads.
struct Downloaded : Shell {
    Downloaded() {
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
    Downloaded s;
    s.p.files.files[installed + "/Contents/Info.plist"] = "old";
    s.p.files.files[staging + "/Contents/Info.plist"] = "stale";
    s.p.workspace.openCommand = "/usr/libexec/tavrelin-open";
    // A relaunch that cannot start does not keep this copy running.
    s.p.processes.responder = [](const FakeProcesses::Call&) -> platform::ProcessResult {
        throw platform::ProcessError("cannot start");
    };
    s.p.dialogs.script = {0};
    LogCapture log;

    EXPECT_TRUE(s.delegate->offerMoveToApplicationsIfSensible());
    EXPECT_EQ(s.p.files.operations,
              (Lines{"remove " + staging, "copy " + downloads + " -> " + staging, "rename " + installed + " -> " + previous,
                     "rename " + staging + " -> " + installed, "remove " + previous}));
    EXPECT_EQ(s.p.files.files[installed + "/Contents/Info.plist"], "new");
    EXPECT_EQ(s.p.files.files[downloads + "/Contents/Info.plist"], "new"); // the running copy stays
    EXPECT_FALSE(s.p.files.exists(staging));
    ASSERT_EQ(s.p.processes.calls.size(), 1u);
    const auto& relaunch = s.p.processes.calls[0];
    EXPECT_TRUE(relaunch.detached);
    EXPECT_EQ(relaunch.program, "/bin/sh");
    EXPECT_EQ(relaunch.arguments, (Lines{"-c", "sleep 1; /usr/libexec/tavrelin-open \"/Applications/Tavrelin.app\""}));
    EXPECT_EQ(log.lines(), Lines{"info moved to /Applications; relaunching from there"});
    EXPECT_EQ(s.p.application.terminateRequests, 1);
    EXPECT_FALSE(s.p.defaults.values.count(AppDelegate::declinedMoveKey));
}

TEST(InstallLocation, TheRelaunchQuotesABundleNameWithASpace) {
    Shell s;
    s.p.bundle.bundlePath = "/home/user/Downloads/Tavrelin 2.app";
    s.p.files.files["/home/user/Downloads/Tavrelin 2.app/Contents/Info.plist"] = "new";
    s.p.dialogs.script = {0};
    EXPECT_TRUE(s.delegate->offerMoveToApplicationsIfSensible());
    ASSERT_EQ(s.p.processes.calls.size(), 1u);
    EXPECT_EQ(s.p.processes.calls[0].arguments[1], "sleep 1; /usr/bin/open \"/Applications/Tavrelin 2.app\"");
}

TEST(InstallLocation, AFailedMoveKeepsTheOldCopyRemovesThePartialOneAndContinuesInPlace) {
    auto failOn = [](std::string prefix, std::string message) {
        return [prefix, message](const std::string& operation) {
            if (operation.rfind(prefix, 0) == 0)
                throw platform::FileError(message);
        };
    };
    struct Case {
        const char* name;
        std::function<void(Downloaded&)> arrange;
        std::string description;
    };
    const Case cases[] = {
        {"copy stops halfway",
         [](Downloaded& m) {
             m.p.files.beforeOperation = [&m](const std::string& operation) {
                 if (operation.rfind("copy ", 0) == 0) {
                     m.p.files.files[staging + "/Contents/Info.plist"] = "partial";
                     throw platform::FileError("The disk is full.");
                 }
             };
         },
         "The disk is full."},
        {"old copy cannot be set aside", [](Downloaded& m) { m.p.files.failing.insert(installed); },
         "The operation couldn’t be completed for “/Applications/Tavrelin.app”."},
        {"rename refused",
         [&](Downloaded& m) { m.p.files.beforeOperation = failOn("rename ", "The file could not be renamed."); },
         "The file could not be renamed."},
        {"new copy cannot be put in place",
         [&](Downloaded& m) { m.p.files.beforeOperation = failOn("rename " + staging, "The file could not be put in place."); },
         "The file could not be put in place."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Downloaded m;
        m.p.files.files[installed + "/Contents/Info.plist"] = "old";
        c.arrange(m);
        m.p.dialogs.script = {0};
        LogCapture log;

        EXPECT_FALSE(m.delegate->offerMoveToApplicationsIfSensible());
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
    Downloaded s;
    s.p.defaults.values.clear();
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
    Downloaded s;
    s.p.defaults.values.clear();
    s.launch();
    ASSERT_EQ(s.p.dialogs.shown.size(), 2u);
    EXPECT_EQ(s.p.dialogs.shown[0].title, "Move Tavrelin to Applications?");
    EXPECT_EQ(s.p.dialogs.shown[1].title, "Thanks for installing Tavrelin");
    EXPECT_TRUE(s.delegate->isReady());

    s.relaunch();
    s.launch();
    EXPECT_EQ(s.p.dialogs.shown.size(), 2u);
}
