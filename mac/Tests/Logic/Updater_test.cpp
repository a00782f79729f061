#include "Support/FakePlatform.h"
#include "TavrelinMac/Updater.h"

#include <gtest/gtest.h>

using namespace tavrelin;
using fake::Alert;

namespace {

Updater::Feed feed(std::optional<std::string> notes = std::nullopt) {
    return {"1.5.0", 43, "https://tavrelin.app/downloads/Tavrelin-1.5.0.zip", "ab", std::nullopt, std::move(notes)};
}

struct UpdaterTest : ::testing::Test {
    fake::FakeClock clock;
    fake::FakeMainLoop mainLoop{clock};
    fake::FakeApplication application;
    fake::FakeDialogs dialogs;
    fake::LogCapture log;
    Updater::Outcome outcome = Updater::UpToDate{};
    int runs = 0;
    int reopens = 0;
    std::shared_ptr<Updater> updater = Updater::create(
        mainLoop, application, "1.4.2",
        [this] {
            ++runs;
            return outcome;
        },
        [this](const Alert& alert) {
            application.activate();
            return dialogs.runModal(alert);
        },
        [this] { ++reopens; });

    // One check, run to its end.
    void checkNow(bool interactive) {
        updater->check(interactive);
        mainLoop.drain();
    }
};

} // namespace

TEST_F(UpdaterTest, EachOutcomeSetsItsSummaryLogLineAndManualAlert) {
    struct Row {
        const char* name;
        Updater::Outcome outcome;
        std::string summary, logLine, title, text;
    };
    const std::string reason = "It needs macOS 99 or newer; this Mac is on 14.2.";
    const Row rows[] = {
        {"upToDate", Updater::UpToDate{}, "Up to date (1.4.2)", "info update check: up to date", "You’re up to date",
         "Tavrelin 1.4.2 is the newest version."},
        {"failed", Updater::Failed{"The download failed. HTTP 404 from tavrelin.app"}, "Last check failed",
         "warn update check failed: The download failed. HTTP 404 from tavrelin.app", "Couldn’t check for updates",
         "The download failed. HTTP 404 from tavrelin.app"},
        {"notInstallable", Updater::NotInstallable{feed(), reason}, "1.5.0 is available",
         "warn update check: 1.5.0 available but not installable here: " + reason, "Tavrelin 1.5.0 is available",
         reason + "\n\nDownload it from tavrelin.app/mac and drag it into Applications."},
    };
    for (const Row& row : rows) {
        for (bool interactive : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (interactive ? " manual" : " automatic"));
            dialogs.shown.clear();
            application.activations = 0;
            outcome = row.outcome;
            fake::LogCapture lines;
            checkNow(interactive);
            EXPECT_EQ(updater->lastSummary(), row.summary);
            EXPECT_EQ(lines.lines(), (std::vector<std::string>{std::string("info update check started (") +
                                                                   (interactive ? "manual" : "automatic") + ")",
                                                               row.logLine}));
            if (interactive) {
                ASSERT_EQ(dialogs.shown.size(), 1u);
                EXPECT_EQ(dialogs.shown[0].title, row.title);
                EXPECT_EQ(dialogs.shown[0].text, row.text);
                EXPECT_EQ(dialogs.shown[0].buttons, std::vector<std::string>{"OK"});
                EXPECT_EQ(application.activations, 1);
            } else {
                EXPECT_TRUE(dialogs.shown.empty());
            }
            EXPECT_EQ(application.terminateRequests, 0);
        }
    }
}

TEST_F(UpdaterTest, InstalledQuitsAtOnceWhenAutomatic) {
    outcome = Updater::Installed{feed("Faster syncing.")};
    checkNow(false);
    EXPECT_EQ(updater->lastSummary(), "Updating to 1.5.0…");
    EXPECT_EQ(log.lines().back(), "info update check: 1.5.0 verified and staged; relaunching");
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_EQ(application.terminateRequests, 1);
    EXPECT_EQ(reopens, 0); // the install script, still waiting, reopens it
}

TEST_F(UpdaterTest, InstalledAsksWhenManual) {
    outcome = Updater::Installed{feed("Faster syncing.")};
    dialogs.script = {0}; // Restart now
    checkNow(true);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].title, "Tavrelin 1.5.0 is ready");
    EXPECT_EQ(dialogs.shown[0].text,
              "Faster syncing.\n\nTavrelin will quit and reopen as the new version. Nothing else changes.");
    EXPECT_EQ(dialogs.shown[0].buttons, (std::vector<std::string>{"Restart now", "Later"}));
    EXPECT_EQ(application.terminateRequests, 1);
    EXPECT_EQ(reopens, 1); // the answer may come after the script reopened
    EXPECT_EQ(updater->lastSummary(), "Updating to 1.5.0…");
}

TEST_F(UpdaterTest, LaterKeepsRunningWithTheRestartSummary) {
    outcome = Updater::Installed{feed()};
    dialogs.script = {1}; // Later
    checkNow(true);
    EXPECT_EQ(dialogs.shown.at(0).text, "Tavrelin will quit and reopen as the new version. Nothing else changes.");
    EXPECT_EQ(application.terminateRequests, 0);
    EXPECT_EQ(reopens, 0);
    EXPECT_EQ(updater->lastSummary(), "1.5.0 is ready; restart to finish");
    // Later checks run as usual and overwrite the summary.
    outcome = Updater::UpToDate{};
    checkNow(false);
    EXPECT_EQ(updater->lastSummary(), "Up to date (1.4.2)");
}

TEST_F(UpdaterTest, FirstCheckAfterNinetySecondsThenEverySixHours) {
    EXPECT_EQ(updater->lastSummary(), "Not checked yet");
    updater->startAutomaticChecks();
    mainLoop.advance(89.9);
    EXPECT_EQ(runs, 0);
    mainLoop.advance(0.1);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(mainLoop.backgroundPriorities, std::vector<platform::Priority>{platform::Priority::utility});
    mainLoop.advance(21600 - 90 - 0.1);
    EXPECT_EQ(runs, 1);
    mainLoop.advance(0.1);
    EXPECT_EQ(runs, 2);
    mainLoop.advance(21600);
    EXPECT_EQ(runs, 3);
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(UpdaterTest, AlreadyCheckingOnlyForManualChecks) {
    mainLoop.autoRunBackground = false;
    updater->check(false);
    const auto linesBefore = log.lines().size();

    updater->check(false); // silently ignored
    EXPECT_TRUE(dialogs.shown.empty());
    updater->check(true);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].title, "Already checking");
    EXPECT_EQ(dialogs.shown[0].text, "An update check is already running.");
    EXPECT_EQ(dialogs.shown[0].buttons, std::vector<std::string>{"OK"});
    EXPECT_EQ(log.lines().size(), linesBefore);
    EXPECT_EQ(mainLoop.pendingBackground(), 1u);

    mainLoop.drain();
    EXPECT_EQ(runs, 1);
    // The flag is clear once the outcome is back: the next check runs.
    checkNow(false);
    EXPECT_EQ(runs, 2);
}

TEST_F(UpdaterTest, AnAutomaticCheckDueWhileAnOutcomeAlertIsOpenRuns) {
    outcome = Updater::Failed{"offline"};
    updater->startAutomaticChecks();
    int runsWhileOpen = -1;
    dialogs.whileOpen = [&](const Alert&) {
        dialogs.whileOpen = nullptr;
        mainLoop.advance(Updater::firstCheckDelay);
        runsWhileOpen = runs;
    };
    checkNow(true);
    EXPECT_EQ(runsWhileOpen, 2);
    EXPECT_EQ(dialogs.shown.size(), 1u); // the automatic one shows nothing
}

TEST_F(UpdaterTest, AnOutcomeArrivingAfterTheUpdaterIsGoneIsDropped) {
    mainLoop.autoRunBackground = false;
    updater->check(true);
    updater.reset();
    mainLoop.drain();
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(dialogs.shown.empty());
}
