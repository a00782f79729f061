// Every dialog the agent shows, word for word, in one table. Behaviour tests
// elsewhere tell dialogs apart by their titles only.

#include "Support/ShellHarness.h"

#include <gtest/gtest.h>

using namespace tavrelin::fake;

TEST(Texts, EveryDialogWordForWord) {
    // An empty script answers the last (cancelling) button.
    Downloaded s;
    s.launch();
    s.item().choose("How to pair…");
    s.open(pairLink("https://relay.tavrelin.app"));
    s.dialogs.script = {0};
    s.open(pairLink("https://relay.example/a"));
    s.open(pairLink("https://relay.example/b"));
    s.open(pairLink("https://other.example"));
    s.open("tavrelin://pair");
    s.item().choose("Unpair this Mac…");

    using Head = std::tuple<AlertStyle, std::string, std::vector<std::string>>;
    const std::pair<Head, std::string> expected[] = {
        {{AlertStyle::warning, title::move, {"Move to Applications", "Not Now"}},
         "Tavrelin is running from /home/user/Downloads.\n\n"
         "Moving it to your Applications folder keeps one copy in the place macOS expects, so a second download can never "
         "leave you wondering which one is real. It will reopen from there by itself."},
        {{AlertStyle::informational, title::welcome, {"Show me"}},
         "Tavrelin is running now. Look for the tamsel icon in the menu bar at the top of your screen.\n\n"
         "There is no app window and no Dock icon, which is deliberate: it stays out of the way and files your reminders in "
         "the background.\n\n"
         "Next step: open the Tavrelin extension in Chrome and pair this Mac. Until you do, no reminders will arrive here."},
        {{AlertStyle::informational, title::help, {}},
         "Open the Tavrelin extension's options page in Chrome and use \"Pair Tavrelin for Mac\". That sends this app both "
         "the backend address and the relay token in one step.\n\n"
         "Both values have to come together on purpose. Typing them separately is how a Mac ends up quietly polling the "
         "wrong backend while reminders pile up somewhere else."},
        {{AlertStyle::informational, title::trustedFirst, {"Pair this Mac", "Cancel"}},
         "Tavrelin for Mac will collect reminders from relay.tavrelin.app and create them in Apple Reminders on this "
         "Mac.\n\n"
         "It never sees your email — only a title, a date, and a list name."},
        {{AlertStyle::critical, title::untrustedFirst("relay.example"), {"Pair anyway", "Cancel"}},
         "This link would have your Mac collect reminders from relay.example, which is not Tavrelin's usual address.\n\n"
         "That server would decide what gets written into your Reminders, and would be told the names of your Reminders "
         "lists. If you did not just click Pair inside the Tavrelin extension, cancel."},
        {{AlertStyle::informational, title::paired, {}},
         "This Mac will collect reminders from relay.example. They usually arrive within a minute.\n\n"
         "macOS will ask for permission to access Reminders the first time one arrives. Tavrelin lives in the menu bar; "
         "there is no window."},
        {{AlertStyle::warning, title::replace, {"Replace", "Cancel"}},
         "This replaces the pairing for relay.example with a new one.\n\n"
         "That is what you want if you just generated a token in the Tavrelin extension. Anything already queued is safe "
         "either way — it stays on the backend until a device collects it."},
        {{AlertStyle::critical, title::switchBackend, {"Switch backend", "Cancel"}},
         "This Mac is collecting reminders from relay.example. The link you just opened would switch it to "
         "other.example.\n\n"
         "If you did not just ask the Tavrelin extension to pair this Mac, cancel. Reminders queued on relay.example would "
         "stop arriving."},
        {{AlertStyle::warning, title::rejected, {}},
         "The pairing link had no token.\n\nThe link carried no parameters at all.\n\n"
         "Pairing links are meant to come from the Tavrelin extension, which fills in both the token and the backend "
         "address. Typing one by hand is how they end up malformed."},
        {{AlertStyle::warning, title::unpair, {"Unpair", "Cancel"}},
         "Tavrelin will stop collecting reminders on this Mac. Anything already queued stays on the server and will arrive "
         "when you pair again.\n\nReminders already in your Reminders app are not touched."},
    };
    auto shown = [](const Alert& a) { return std::pair(Head{a.style, a.title, a.buttons}, a.text); };
    ASSERT_EQ(s.dialogs.shown.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i)
        EXPECT_EQ(shown(s.dialogs.shown[i]), expected[i]);
}
