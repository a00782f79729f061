// Pairing links on the fake platform: queued until launch is done, confirmed,
// saved, rejected with what they carried. Dialogs are told apart by title.

#include "Support/ShellHarness.h"

using namespace tavrelin;
using namespace tavrelin::fake;

TEST(PairingLinks, ALaunchByLinkSkipsMoveAndWelcomeAndOnlyTheLastEarlyLinkCounts) {
    Downloaded s("https://relay.example");
    LogCapture log;
    s.open(pairLink("https://one.example"));
    s.open(pairLink("https://relay.example"));
    s.launch();
    EXPECT_EQ(s.titles(), Lines{words::pairing::replaceTitle()}); // against the restored pairing
    EXPECT_TRUE(s.defaults.boolForKey(AppDelegate::hasShownWelcomeKey));
    EXPECT_THAT(log.lines(), ::testing::Contains("info pairing link arrived before launch finished; queued").Times(2));
    EXPECT_EQ(log.lines().back(), "info pairing link declined; keeping relay.example");
}

// One shell meets the declined links, then an accepted one; opening that link
// again replaces its pairing.
TEST(PairingLinks, AFirstPairingTrustsOnlyTheUsualHostAndLocalAddressesAndOnlyAnAcceptedLinkIsSaved) {
    Shell s;
    s.launch();
    const std::pair<std::string, bool> cases[] = {
        {"localhost:8080", true}, {"127.0.0.1:9", true}, {"relay.tavrelin.app.evil.example", false}};
    for (const auto& [host, trusted] : cases) {
        LogCapture log;
        s.open(pairLink("https://" + host)); // the empty script cancels
        EXPECT_EQ(s.titles(), Lines{trusted ? words::pairing::trustedTitle() : words::pairing::untrustedTitle(host)}) << host;
        EXPECT_EQ(log.lines(), Lines{"info first pairing declined for " + hostOfPairing("https://" + host)});
        s.dialogs.shown.clear();
    }

    LogCapture log;
    s.dialogs.script = {0, 0, 0};
    s.open(pairLink("https://relay.example/"));
    EXPECT_EQ(s.stored(), (Pairing{"https://relay.example", "rk_0123456789abcdef", s.clock.current}));
    EXPECT_EQ(log.lines(), (Lines{"info paired with relay.example", "info module reminders started, backend relay.example"}));
    EXPECT_EQ(s.application.activations, 3 + 2); // before each dialog
    s.clock.current = s.clock.current + 5;
    s.open(pairLink("https://relay.example/"));
    EXPECT_EQ(s.stored()->pairedAt, s.clock.current);
    EXPECT_THAT(log.lines(), ::testing::Each(::testing::Not(::testing::HasSubstr("rk_"))));
}

TEST(PairingLinks, RejectionsNameTheCarriedParametersInCodePointOrder) {
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"tavrelin://pair?Token=rk_0123456789ab&api=https://r.example", "The pairing link had no token.", "Token, api"},
        {"https://example.com/pair?x=1&x=2&b", "That link was not a Tavrelin pairing link.", "b, x, x"},
        {pairLink("Z://x"), "The backend address is not usable: unsupported scheme z", "api, token"},
        {pairLink("http://127.0.0.1:9"), "disk full", "api, token"},
    };
    for (const auto& [link, description, carried] : cases) {
        Shell s;
        s.launch();
        // Saving fails; only the last link gets that far.
        s.files.beforeOperation = [](const std::string&) { throw FileError("disk full"); };
        s.dialogs.script = {0};
        LogCapture log;
        s.open(link);
        EXPECT_EQ(log.lines(), Lines{"warn pairing rejected: " + description});
        ASSERT_EQ(s.dialogs.shown.back().title, words::pairing::rejectedTitle()) << link;
        EXPECT_TRUE(s.dialogs.shown.back().text.starts_with(description + "\n\nThe link carried: " + carried + ".\n\n"));
    }
}

TEST(PairingLinks, LinksArrivingWhileADialogIsOpenWaitForItsAnswer) {
    Shell s("https://relay.example");
    s.launch();
    s.dialogs.script = {0, 0, 0, 1};
    s.dialogs.whileOpen = [&](const Alert& alert) {
        if (alert.title == words::menu::unpairTitle())
            s.open(pairLink("https://other.example"));
        if (alert.title == words::pairing::untrustedTitle("other.example"))
            s.open(pairLink("https://third.example"));
    };
    EXPECT_TRUE(s.item().choose(words::menu::unpair()));
    s.mainLoop.runPosted();
    // Each link is asked about once the one before is answered: the third as a
    // switch away from the second, which is declined.
    EXPECT_EQ(s.titles(), (Lines{words::menu::unpairTitle(), words::pairing::untrustedTitle("other.example"),
                                 words::pairing::pairedTitle(), words::pairing::switchTitle()}));
    EXPECT_EQ(s.stored()->apiBase, "https://other.example");
}
