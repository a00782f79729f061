// Every dialog the agent shows, word for word, in one table. Behaviour tests
// elsewhere tell dialogs apart by their titles only.

#include "Support/ShellHarness.h"

#include <gtest/gtest.h>

using namespace tavrelin;
using namespace tavrelin::fake;
using platform::AlertStyle;

namespace {

struct Expected {
    std::function<void(Shell&)> show; // the dialog is among those shown
    AlertStyle style;
    std::string title, text;
    std::vector<std::string> buttons;
};

// Launches, paired with `paired` when given, then opens `link` or chooses `menu`,
// accepting every dialog.
std::function<void(Shell&)> after(std::optional<std::string> paired, std::string link, std::string menu = {}) {
    return [=](Shell& s) {
        if (paired)
            s.file.stored = Pairing{*paired, "rk_storedtoken00", Date{1000}};
        s.launch();
        s.dialogs.script = {0};
        if (menu.empty())
            s.open(link);
        else
            s.item().choose(menu);
    };
}

} // namespace

TEST(Texts, EveryDialogWordForWord) {
    const Expected dialogs[] = {
        {[](Shell& s) {
             s.defaults.values.clear();
             s.launch();
         },
         AlertStyle::informational,
         title::welcome,
         "Tavrelin is running now. Look for the tamsel icon in the menu bar at the top of your screen.\n\n"
         "There is no app window and no Dock icon, which is deliberate: it stays out of the way and files your reminders in "
         "the background.\n\n"
         "Next step: open the Tavrelin extension in Chrome and pair this Mac. Until you do, no reminders will arrive here.",
         {"Show me"}},
        {[](Shell& s) {
             s.bundle.bundlePath = "/home/user/Downloads/Tavrelin.app";
             s.launch();
         },
         AlertStyle::warning,
         title::move,
         "Tavrelin is running from /home/user/Downloads.\n\n"
         "Moving it to your Applications folder keeps one copy in the place macOS expects, so a second download can never "
         "leave you wondering which one is real. It will reopen from there by itself.",
         {"Move to Applications", "Not Now"}},
        {after({}, pairLink("https://relay.tavrelin.app")),
         AlertStyle::informational,
         title::trustedFirst,
         "Tavrelin for Mac will collect reminders from relay.tavrelin.app and create them in Apple Reminders on this Mac.\n\n"
         "It never sees your email — only a title, a date, and a list name.",
         {"Pair this Mac", "Cancel"}},
        {after({}, pairLink("https://relay.example")),
         AlertStyle::critical,
         title::untrustedFirst("relay.example"),
         "This link would have your Mac collect reminders from relay.example, which is not Tavrelin's usual address.\n\n"
         "That server would decide what gets written into your Reminders, and would be told the names of your Reminders "
         "lists. If you did not just click Pair inside the Tavrelin extension, cancel.",
         {"Pair anyway", "Cancel"}},
        {after("https://relay.example/a", pairLink("https://relay.example/b")),
         AlertStyle::warning,
         title::replace,
         "This replaces the pairing for relay.example with a new one.\n\n"
         "That is what you want if you just generated a token in the Tavrelin extension. Anything already queued is safe "
         "either way — it stays on the backend until a device collects it.",
         {"Replace", "Cancel"}},
        {after("https://relay.example", pairLink("https://other.example")),
         AlertStyle::critical,
         title::switchBackend,
         "This Mac is collecting reminders from relay.example. The link you just opened would switch it to other.example.\n\n"
         "If you did not just ask the Tavrelin extension to pair this Mac, cancel. Reminders queued on relay.example would "
         "stop arriving.",
         {"Switch backend", "Cancel"}},
        {after({}, pairLink("https://relay.example")),
         AlertStyle::informational,
         title::paired,
         "This Mac will collect reminders from relay.example. They usually arrive within a minute.\n\n"
         "macOS will ask for permission to access Reminders the first time one arrives. Tavrelin lives in the menu bar; "
         "there is no window.",
         {}},
        {after({}, "tavrelin://pair"),
         AlertStyle::warning,
         title::rejected,
         "The pairing link had no token.\n\nThe link carried no parameters at all.\n\n"
         "Pairing links are meant to come from the Tavrelin extension, which fills in both the token and the backend "
         "address. Typing one by hand is how they end up malformed.",
         {}},
        {after({}, {}, "How to pair…"),
         AlertStyle::informational,
         title::help,
         "Open the Tavrelin extension's options page in Chrome and use \"Pair Tavrelin for Mac\". That sends this app both "
         "the backend address and the relay token in one step.\n\n"
         "Both values have to come together on purpose. Typing them separately is how a Mac ends up quietly polling the "
         "wrong backend while reminders pile up somewhere else.",
         {}},
        {after("https://relay.example", {}, "Unpair this Mac…"),
         AlertStyle::warning,
         title::unpair,
         "Tavrelin will stop collecting reminders on this Mac. Anything already queued stays on the server and will arrive "
         "when you pair again.\n\nReminders already in your Reminders app are not touched.",
         {"Unpair", "Cancel"}},
    };
    for (const auto& d : dialogs) {
        SCOPED_TRACE(d.title);
        Shell s;
        d.show(s);
        const auto alert = std::find_if(s.dialogs.shown.begin(), s.dialogs.shown.end(),
                                        [&](const Alert& shown) { return shown.title == d.title; });
        ASSERT_NE(alert, s.dialogs.shown.end());
        EXPECT_EQ(alert->style, d.style);
        EXPECT_EQ(alert->text, d.text);
        EXPECT_EQ(alert->buttons, d.buttons);
    }
}
