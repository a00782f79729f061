#include "Support/ShellHarness.h"

#include <gtest/gtest.h>

using namespace tavrelin;
using namespace tavrelin::fake;
using platform::AlertStyle;
using Lines = std::vector<std::string>;

namespace {

const std::string rejectionFooter =
    "Pairing links are meant to come from the Tavrelin extension, which fills in both the token and the backend "
    "address. Typing one by hand is how they end up malformed.";

void expectNoToken(const Shell& s, const LogCapture& log) {
    for (const auto& line : log.lines())
        EXPECT_EQ(line.find("rk_"), std::string::npos) << line;
    for (const auto& alert : s.p.dialogs.shown) {
        EXPECT_EQ(alert.title.find("rk_"), std::string::npos) << alert.title;
        EXPECT_EQ(alert.text.find("rk_"), std::string::npos) << alert.text;
    }
}

} // namespace

TEST(PairingLinks, EventsWithoutAReadableURLAreLoggedOnly) {
    Shell s;
    s.launch();
    LogCapture log;
    for (const auto& event : std::vector<std::optional<std::string>>{std::nullopt, "", "not a url"})
        s.delegate->handleGetURL(event);
    EXPECT_EQ(log.lines(), Lines(3, "warn received a URL event with no readable URL"));
    EXPECT_TRUE(s.p.dialogs.shown.empty());
}

TEST(PairingLinks, FirstPairingDialogTrustsOnlyTheUsualHostAndLocalAddresses) {
    struct Case {
        std::string api, host;
        bool trusted;
    };
    const Case cases[] = {
        {"https://relay.tavrelin.app", "relay.tavrelin.app", true},
        {"http://localhost:8080", "localhost", true},
        {"https://localhost.example", "localhost.example", true},
        {"https://relay.example", "relay.example", false},
        {"https://relay.tavrelin.app.evil.example", "relay.tavrelin.app.evil.example", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.api);
        Shell s;
        s.launch();
        LogCapture log;
        s.open(pairLink(c.api)); // declined: the script is empty

        ASSERT_EQ(s.p.dialogs.shown.size(), 1u);
        const auto& alert = s.p.dialogs.shown[0];
        if (c.trusted) {
            EXPECT_EQ(alert.style, AlertStyle::informational);
            EXPECT_EQ(alert.title, "Let this Mac collect your reminders?");
            EXPECT_EQ(alert.text, "Tavrelin for Mac will collect reminders from " + c.host +
                                      " and create them in Apple Reminders on this Mac.\n\n"
                                      "It never sees your email — only a title, a date, and a list name.");
            EXPECT_EQ(alert.buttons, (Lines{"Pair this Mac", "Cancel"}));
        } else {
            EXPECT_EQ(alert.style, AlertStyle::critical);
            EXPECT_EQ(alert.title, "Pair this Mac with " + c.host + "?");
            EXPECT_EQ(alert.text, "This link would have your Mac collect reminders from " + c.host +
                                      ", which is not Tavrelin's usual address.\n\n"
                                      "That server would decide what gets written into your Reminders, and would be "
                                      "told the names of your Reminders lists. If you did not just click Pair inside "
                                      "the Tavrelin extension, cancel.");
            EXPECT_EQ(alert.buttons, (Lines{"Pair anyway", "Cancel"}));
        }
        EXPECT_EQ(log.lines(), Lines{"info first pairing declined for " + c.host});
        EXPECT_FALSE(s.file.stored);
        EXPECT_FALSE(s.delegate->remindersModule()->hasClient());
        EXPECT_EQ(s.delegate->syncState().health, SyncState::Health::notPaired());
    }
}

TEST(PairingLinks, AcceptedFirstPairingSavesStartsDeliveryAndSaysSo) {
    Shell s;
    s.launch();
    s.p.clock.current = s.p.clock.current + 60;
    LogCapture log;
    s.p.dialogs.script = {0};
    s.open(pairLink("https://relay.tavrelin.app/"));

    const Pairing expected{"https://relay.tavrelin.app", token, s.p.clock.current};
    EXPECT_EQ(s.file.stored, expected);
    EXPECT_EQ(log.lines(),
              (Lines{"info paired with relay.tavrelin.app", "info module reminders started, backend relay.tavrelin.app"}));
    EXPECT_TRUE(s.delegate->remindersModule()->hasClient());
    EXPECT_EQ(s.delegate->syncState().pairedHost, "relay.tavrelin.app");

    ASSERT_EQ(s.p.dialogs.shown.size(), 2u);
    const auto& paired = s.p.dialogs.shown[1];
    EXPECT_EQ(paired.style, AlertStyle::informational);
    EXPECT_EQ(paired.title, "Tavrelin is paired");
    EXPECT_EQ(paired.text, "This Mac will collect reminders from relay.tavrelin.app. They usually arrive within a "
                           "minute.\n\n"
                           "macOS will ask for permission to access Reminders the first time one arrives. Tavrelin "
                           "lives in the menu bar; there is no window.");
    EXPECT_TRUE(paired.buttons.empty());
    EXPECT_EQ(s.p.application.activations, 2); // once before each dialog
    expectNoToken(s, log);
}

TEST(PairingLinks, TheSameLinkTwiceAsksToReplace) {
    Shell s;
    s.launch();
    const std::string link = pairLink("https://relay.example");
    s.p.dialogs.script = {0};
    s.open(link);
    const Pairing first = *s.file.stored;

    s.p.clock.current = s.p.clock.current + 5;
    s.p.dialogs.script = {0};
    LogCapture log;
    s.open(link);

    ASSERT_EQ(s.p.dialogs.shown.size(), 4u);
    const auto& replace = s.p.dialogs.shown[2];
    EXPECT_EQ(replace.style, AlertStyle::warning);
    EXPECT_EQ(replace.title, "Replace this Mac’s pairing?");
    EXPECT_EQ(replace.text, "This replaces the pairing for relay.example with a new one.\n\n"
                            "That is what you want if you just generated a token in the Tavrelin extension. Anything "
                            "already queued is safe either way — it stays on the backend until a device collects it.");
    EXPECT_EQ(replace.buttons, (Lines{"Replace", "Cancel"}));
    EXPECT_EQ(s.p.dialogs.shown[3].title, "Tavrelin is paired");
    EXPECT_EQ(s.file.stored->pairedAt, first.pairedAt + 5);
    EXPECT_EQ(log.lines(), (Lines{"info paired with relay.example", "info module reminders started, backend relay.example"}));
}

TEST(PairingLinks, DecliningASwitchOfBackendChangesNothing) {
    Shell s;
    s.file.stored = storedPairing("https://relay.example/base");
    s.launch();
    const auto healthBefore = s.delegate->syncState().health;
    LogCapture log;
    s.open(pairLink("https://other.example"));

    ASSERT_EQ(s.p.dialogs.shown.size(), 1u);
    const auto& alert = s.p.dialogs.shown[0];
    EXPECT_EQ(alert.style, AlertStyle::critical);
    EXPECT_EQ(alert.title, "Point this Mac at a different backend?");
    EXPECT_EQ(alert.text, "This Mac is collecting reminders from relay.example. The link you just opened would switch "
                          "it to other.example.\n\n"
                          "If you did not just ask the Tavrelin extension to pair this Mac, cancel. Reminders queued "
                          "on relay.example would stop arriving.");
    EXPECT_EQ(alert.buttons, (Lines{"Switch backend", "Cancel"}));
    EXPECT_EQ(log.lines(), Lines{"info pairing link declined; keeping relay.example"});
    EXPECT_EQ(s.file.stored, storedPairing("https://relay.example/base"));
    EXPECT_EQ(s.file.saves, 0);
    EXPECT_TRUE(s.delegate->remindersModule()->hasClient());
    EXPECT_EQ(s.delegate->syncState().pairedHost, "relay.example");
    EXPECT_EQ(s.delegate->syncState().health, healthBefore);
}

TEST(PairingLinks, ASaveFailureIsShownAsARejectionAndChangesNothing) {
    Shell s;
    s.launch();
    s.file.saveError = "You don’t have permission to save the file “pairing.json”.";
    s.p.dialogs.script = {0};
    LogCapture log;
    s.open(pairLink("https://relay.example"));

    EXPECT_EQ(log.lines(), Lines{"warn pairing rejected: " + *s.file.saveError});
    ASSERT_EQ(s.p.dialogs.shown.size(), 2u);
    const auto& alert = s.p.dialogs.shown[1];
    EXPECT_EQ(alert.style, AlertStyle::warning);
    EXPECT_EQ(alert.title, "That pairing link did not work");
    EXPECT_EQ(alert.text, *s.file.saveError + "\n\nThe link carried: api, token.\n\n" + rejectionFooter);
    EXPECT_TRUE(alert.buttons.empty());
    EXPECT_FALSE(s.file.stored);
    EXPECT_FALSE(s.delegate->remindersModule()->hasClient());
    EXPECT_EQ(s.delegate->syncState().health, SyncState::Health::notPaired());
    expectNoToken(s, log);
}

TEST(PairingLinks, RejectionListsTheCarriedParameterNamesInCodePointOrder) {
    struct Case {
        std::string link, description, carried;
    };
    const Case cases[] = {
        {"tavrelin://pair?token=abc&api=https://relay.example", "That does not look like a Tavrelin relay token.",
         "The link carried: api, token."},
        {"tavrelin://pair?Token=rk_0123456789ab&api=https://relay.example", "The pairing link had no token.",
         "The link carried: Token, api."},
        {"tavrelin://pair", "The pairing link had no token.", "The link carried no parameters at all."},
        {"tavrelin://pair?%74oken=rk_0123456789ab", "The pairing link had no backend address.", "The link carried: token."},
        {"https://example.com/pair?x=1&x=2&b", "That link was not a Tavrelin pairing link.", "The link carried: b, x, x."},
        {"tavrelin://pair?token=rk_0123456789ab&api=http://192.168.1.5",
         "The backend address is not usable: http is only allowed for localhost", "The link carried: api, token."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.link);
        Shell s;
        s.launch();
        LogCapture log;
        s.open(c.link);
        EXPECT_EQ(log.lines(), Lines{"warn pairing rejected: " + c.description});
        ASSERT_EQ(s.p.dialogs.shown.size(), 1u);
        EXPECT_EQ(s.p.dialogs.shown[0].title, "That pairing link did not work");
        EXPECT_EQ(s.p.dialogs.shown[0].text, c.description + "\n\n" + c.carried + "\n\n" + rejectionFooter);
        EXPECT_EQ(s.p.application.activations, 1);
        EXPECT_EQ(s.file.saves, 0);
    }
}
