#include "Support/FakePlatform.h"
#include "TavrelinMac/Updater.h"

#include <gtest/gtest.h>

using namespace tavrelin;
using Lines = std::vector<std::string>;

namespace {

const Updater::Feed feed{"1.5.0", 43, "https://tavrelin.app/a.zip", "ab", std::nullopt, "Faster syncing."};

struct UpdaterTest : ::testing::Test {
    fake::FakeClock clock;
    fake::FakeMainLoop mainLoop{clock};
    fake::FakeApplication application;
    fake::FakeDialogs dialogs;
    Updater::Outcome outcome = Updater::UpToDate{};
    int runs = 0;
    int reopens = 0;
    std::shared_ptr<Updater> updater = Updater::create(
        mainLoop, application, "1.4.2",
        [this] {
            ++runs;
            return outcome;
        },
        [this](const fake::Alert& alert) { return dialogs.runModal(alert); }, [this] { ++reopens; });

    void checkNow(bool interactive) {
        updater->check(interactive);
        mainLoop.drain();
    }
};

} // namespace

TEST_F(UpdaterTest, EachOutcomeSetsItsSummaryLogLineAndManualAlert) {
    const std::string reason = "It needs macOS 99 or newer; this Mac is on 14.2.";
    const std::tuple<Updater::Outcome, std::string, std::string, std::string> rows[] = {
        {Updater::UpToDate{}, "Up to date (1.4.2)", "info update check: up to date", "You’re up to date"},
        {Updater::Failed{"offline"}, "Last check failed", "warn update check failed: offline", "Couldn’t check for updates"},
        {Updater::NotInstallable{feed, reason}, "1.5.0 is available",
         "warn update check: 1.5.0 available but not installable here: " + reason, "Tavrelin 1.5.0 is available"},
    };
    for (const auto& [result, summary, logLine, title] : rows) {
        for (bool interactive : {false, true}) {
            SCOPED_TRACE(summary + (interactive ? " manual" : " automatic"));
            outcome = result;
            fake::LogCapture log;
            checkNow(interactive);
            EXPECT_EQ(updater->lastSummary(), summary);
            EXPECT_EQ(
                log.lines(),
                (Lines{std::string("info update check started (") + (interactive ? "manual" : "automatic") + ")", logLine}));
            std::string shown;
            for (const auto& alert : dialogs.shown)
                shown += alert.title + " " + alert.buttons.at(0);
            EXPECT_EQ(shown, interactive ? title + " OK" : "");
            dialogs.shown.clear();
        }
    }
    EXPECT_EQ(application.terminateRequests, 0);
}

TEST_F(UpdaterTest, AnInstalledUpdateQuitsAtOnceWhenAutomaticAndAsksWhenManual) {
    outcome = Updater::Installed{feed};
    checkNow(false);
    EXPECT_EQ(updater->lastSummary(), "Updating to 1.5.0…");
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_EQ(application.terminateRequests, 1);
    EXPECT_EQ(reopens, 0); // the install script, still waiting, reopens it

    dialogs.script = {1}; // Later
    checkNow(true);
    EXPECT_EQ(dialogs.shown.at(0).text,
              "Faster syncing.\n\nTavrelin will quit and reopen as the new version. Nothing else changes.");
    EXPECT_EQ(application.terminateRequests, 1);
    EXPECT_EQ(updater->lastSummary(), "1.5.0 is ready; restart to finish");

    EXPECT_EQ(dialogs.shown.at(0).buttons, (Lines{"Restart now", "Later"}));
    dialogs.script = {0};
    checkNow(true);
    EXPECT_EQ(reopens, 1); // the answer may come after the script reopened
}

TEST_F(UpdaterTest, FirstCheckAfterNinetySecondsThenEverySixHoursAndOneAtATime) {
    updater->startAutomaticChecks();
    mainLoop.advance(89.9);
    EXPECT_EQ(runs, 0);
    mainLoop.advance(21510);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(mainLoop.backgroundPriorities, std::vector<platform::Priority>{platform::Priority::utility});
    mainLoop.advance(0.1);
    EXPECT_EQ(runs, 2);

    mainLoop.autoRunBackground = false;
    updater->check(false);
    updater->check(false); // silently ignored
    EXPECT_TRUE(dialogs.shown.empty());
    updater->check(true);
    EXPECT_EQ(dialogs.shown.at(0).title, "Already checking");
    mainLoop.drain();
    EXPECT_EQ(runs, 3);
    checkNow(false); // the flag is clear once the outcome is back
    EXPECT_EQ(runs, 4);
}

TEST_F(UpdaterTest, AnOutcomeArrivingAfterTheUpdaterIsGoneIsDropped) {
    mainLoop.autoRunBackground = false;
    updater->check(true);
    updater.reset();
    mainLoop.drain();
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(UpdaterTest, AnAutomaticCheckDueWhileAnOutcomeAlertIsOpenRuns) {
    updater->startAutomaticChecks();
    int runsWhileOpen = -1;
    dialogs.whileOpen = [&](const fake::Alert&) {
        dialogs.whileOpen = nullptr;
        mainLoop.advance(Updater::firstCheckDelay);
        runsWhileOpen = runs;
    };
    checkNow(true);
    EXPECT_EQ(runsWhileOpen, 2);
}
