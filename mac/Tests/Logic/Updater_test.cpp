#include "Support/ShellHarness.h"
#include "TavrelinMac/Updater.h"

using namespace tavrelin;
using Strings = std::vector<std::string>;

namespace {

const Updater::Feed feed{"1.5.0", 43, "https://tavrelin.app/a.zip", "ab", std::nullopt, "Faster syncing."};

struct UpdaterTest : ::testing::Test, fake::FakeServices {
    Updater::Outcome outcome = Updater::UpToDate{};
    // Each reopen: where the new bundle waited, and whether the agent was quitting by then.
    std::vector<std::pair<std::string, bool>> reopened;
    std::shared_ptr<Updater> updater = Updater::create(
        mainLoop, application, "1.4.2", [this] { return outcome; },
        [this](const fake::Alert& alert) { return dialogs.runModal(alert); },
        [this](const Updater::Installed& installed) {
            reopened.emplace_back(installed.incoming, application.isTerminating());
        });

    // Every check hands one run to the background.
    std::size_t runs() const { return mainLoop.backgroundPriorities.size(); }
    void checkNow(bool interactive) {
        updater->check(interactive);
        mainLoop.drain();
    }
};

} // namespace

// Only a manual check shows its outcome (whose words and summary Texts_test
// checks); both log it. An installed update quits at once when automatic (the
// install script, still waiting, reopens it) and asks when manual.
TEST_F(UpdaterTest, EachOutcomeSetsItsLogLineAndManualAlert) {
    const std::string started[] = {"info update check started (automatic)", "info update check started (manual)"};
    const std::pair<Updater::Outcome, std::string> rows[] = {
        {Updater::UpToDate{}, "info update check: up to date"},
        {Updater::Failed{"offline"}, "warn update check failed: offline"},
        {Updater::NotInstallable{feed, "Too old."}, "warn update check: 1.5.0 available but not installable here: Too old."},
        {Updater::Installed{feed}, "info update check: 1.5.0 verified and staged; relaunching"}};
    for (const auto& [result, logLine] : rows)
        for (bool interactive : {false, true}) {
            outcome = result;
            fake::LogCapture log;
            checkNow(interactive); // the empty script answers "Later"
            EXPECT_EQ(log.lines(), (Strings{started[interactive], logLine}));
            EXPECT_EQ(std::exchange(dialogs.shown, {}).size(), interactive ? 1u : 0u);
            const bool quits = !interactive && std::holds_alternative<Updater::Installed>(result);
            EXPECT_EQ(std::exchange(application.terminateRequests, 0), quits ? 1 : 0) << logLine;
        }
}

// "Restart now" quits before anything may start the new version: a start
// from then on waits for this agent to be gone. "Later" leaves it running.
// Never reopened after an automatic check: the install script starts it.
TEST_F(UpdaterTest, RestartNowQuitsFirstAndThenHandsOverLaterKeepsRunning) {
    outcome = Updater::Installed{feed, "/Applications/.Tavrelin.app.incoming"};
    checkNow(false);
    EXPECT_EQ(std::exchange(application.terminateRequests, 0), 1);
    EXPECT_TRUE(reopened.empty());

    dialogs.script = {1};
    checkNow(true);
    EXPECT_EQ(application.terminateRequests, 0);
    EXPECT_TRUE(reopened.empty());
    EXPECT_EQ(updater->lastSummary(), words::update::readyAfterRestart("1.5.0"));

    dialogs.script = {0};
    checkNow(true);
    EXPECT_EQ(application.terminateRequests, 1);
    EXPECT_EQ(reopened, (std::vector<std::pair<std::string, bool>>{{"/Applications/.Tavrelin.app.incoming", true}}));
}

TEST_F(UpdaterTest, FirstCheckAfterNinetySecondsThenEverySixHoursAndOneAtATime) {
    updater->startAutomaticChecks();
    mainLoop.advance(89.9);
    EXPECT_EQ(runs(), 0u);
    mainLoop.advance(21510);
    EXPECT_EQ(mainLoop.backgroundPriorities, std::vector<platform::Priority>{platform::Priority::utility});
    mainLoop.advance(0.1);
    EXPECT_EQ(runs(), 2u);

    mainLoop.autoRunBackground = false;
    updater->check(false);
    updater->check(false); // silently ignored; a manual one says so, as Texts_test shows
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_EQ(runs(), 3u);
    mainLoop.drain();

    updater->check(true); // runs: the flag is clear once the outcome is back
    updater.reset();      // its outcome is dropped
    mainLoop.drain();
    EXPECT_TRUE(dialogs.shown.empty());
}

// A copy built without a release key could verify no update: it fetches none
// and says how it is updated instead.
TEST_F(UpdaterTest, ACopyWithNoReleaseKeyNeverChecksAndSaysHowItUpdates) {
    updater = Updater::create(
        mainLoop, application, "0.1.0", [this] { return outcome; },
        [this](const fake::Alert& alert) { return dialogs.runModal(alert); }, [](const Updater::Installed&) {},
        Updater::Origin::builtHere);
    checkNow(true);
    EXPECT_TRUE(mainLoop.backgroundPriorities.empty());
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].title, words::install::builtHereTitle());

    // The shell tells such a copy by the empty key in its bundle, and its
    // automatic checks never start (with a key they do: the shell keeps the
    // updater's timer, as AppDelegate_test shows).
    fake::Shell s;
    s.bundle.info["TavrelinUpdatePublicKey"] = "";
    s.relaunch();
    s.launch();
    EXPECT_EQ(s.mainLoop.activeTimers(), 0u); // an unpaired copy has nothing else to repeat
    EXPECT_THAT(s.versionLine(), ::testing::HasSubstr("scripts/install"));
}
