// Every text of a whole session, word for word, in one table: the dialogs,
// the menu in each health (but "Checking…" and "Connected", whose words the
// menu, module and sync state tests hold), and every update outcome's summary and alert.
// The table holds the macOS words. The Linux words are the same sentences
// with the platform's facts put right, so they are checked as the table with
// those phrases replaced, and none may still speak of a Mac. Behaviour tests
// elsewhere tell dialogs apart by their titles only.

#include "Support/ShellHarness.h"

using namespace tavrelin;
using namespace tavrelin::fake;

namespace {

std::string dialogText(const Alert& alert) {
    const char* styles[] = {"warning", "informational", "critical"};
    std::string text = "[" + std::string(styles[static_cast<int>(alert.style)]) + "] " + alert.title + "\n" + alert.text + "\n";
    for (const auto& button : alert.buttons)
        text += "[" + button + "]";
    return text;
}

// A first launch from the Downloads folder that meets every text once, in order.
Lines session(const RemindersPlace& place) {
    Downloaded s;
    s.reminders.where = place;
    s.reminders.addList("Inbox");
    s.reminders.failingTitles["4"] = "Disk full";
    Lines seen;
    std::size_t dialogs = 0;
    auto see = [&](std::string text) {
        for (; dialogs < s.dialogs.shown.size(); ++dialogs)
            seen.push_back(dialogText(s.dialogs.shown[dialogs]));
        seen.push_back(std::move(text));
    };

    // An empty script answers the last (cancelling) button.
    s.launch();
    see(s.item().menu());
    EXPECT_TRUE(s.chooseInMenu(words::menu::howToPair()));
    s.open(pairLink("https://relay.tavrelin.app"));
    s.dialogs.script = {0};
    s.open(pairLink("https://relay.example/a"));

    s.http.responder = [](const auto&) { return relayReply({"1:Inbox", "2:Work", "3:", "4:Inbox"}); }; // an ack reads no body
    s.mainLoop.drain();
    see(s.item().menu());
    s.reminders.status = RemindersAuthorization::notDetermined;
    s.reminders.answer = {false, std::string("no database")};
    EXPECT_TRUE(s.chooseInMenu(words::menu::checkNow()));
    see(s.item().toolTip);
    s.reminders.status = RemindersAuthorization::denied;
    EXPECT_TRUE(s.chooseInMenu(words::menu::checkNow()));
    see(s.item().menu());

    s.open(pairLink("https://relay.example/b"));
    s.open(pairLink("https://other.example"));
    s.open("tavrelin://pair");
    EXPECT_TRUE(s.chooseInMenu(words::menu::unpair()));

    const Updater::Feed feed{"1.5.0", 43, "https://tavrelin.app/a.zip", "ab", std::nullopt, "Faster syncing."};
    const Updater::Outcome outcomes[] = {
        Updater::UpToDate{},
        Updater::Failed{words::update::doesNotRun("it did not start")},
        Updater::NotInstallable{feed, words::update::needsNewerSystem("99", "14.2.1")},
        Updater::Installed{feed},
    };
    // Each alert with the summary the menu shows while it is open.
    s.dialogs.whileOpen = [&](const Alert&) { see(s.versionLine()); };
    for (const auto& outcome : outcomes) {
        s.updateOutcome = outcome;
        s.dialogs.script = {1}; // "Later" where there is a choice
        EXPECT_TRUE(s.chooseInMenu(words::menu::checkForUpdates()));
    }
    s.dialogs.whileOpen = nullptr;
    s.updateOutcome = Updater::Installed{{"1.5.0", 43, "https://tavrelin.app/a.zip", "ab", std::nullopt, std::nullopt}};
    s.dialogs.script = {0, 1};
    s.mainLoop.autoRunBackground = false;
    EXPECT_TRUE(s.item().choose(words::menu::checkForUpdates()));
    EXPECT_TRUE(s.chooseInMenu(words::menu::checkForUpdates())); // a second one while the first runs
    see(s.versionLine());
    return seen;
}

// The spec's texts, in the order the session meets them.
Lines macTexts() {
    const std::string notPairedMenu = "Tavrelin — Not paired\n---\nNot paired with the extension yet\nHow to pair…\n---\n"
                                      "Version 1.4.2 · Not checked yet\nCheck for Updates…\n---\nQuit Tavrelin\n";
    const std::string menuEnd =
        "---\nVersion 1.4.2 · Not checked yet\nCheck for Updates…\n---\nUnpair this Mac…\nQuit Tavrelin\n";
    return {
        "[warning] Move Tavrelin to Applications?\n"
        "Tavrelin is running from /home/user/Downloads.\n\n"
        "Moving it to your Applications folder keeps one copy in the place macOS expects, so a second download can never "
        "leave you wondering which one is real. It will reopen from there by itself.\n"
        "[Move to Applications][Not Now]",
        "[informational] Thanks for installing Tavrelin\n"
        "Tavrelin is running now. Look for the tamsel icon in the menu bar at the top of your screen.\n\n"
        "There is no app window and no Dock icon, which is deliberate: it stays out of the way and files your reminders in "
        "the background.\n\n"
        "Next step: open the Tavrelin extension in Chrome and pair this Mac. Until you do, no reminders will arrive here.\n"
        "[Show me]",
        notPairedMenu,
        "[informational] Pairing this Mac\n"
        "Open the Tavrelin extension's options page in Chrome and use \"Pair Tavrelin for Mac\". That sends this app both "
        "the backend address and the relay token in one step.\n\n"
        "Both values have to come together on purpose. Typing them separately is how a Mac ends up quietly polling the "
        "wrong backend while reminders pile up somewhere else.\n",
        "[informational] Let this Mac collect your reminders?\n"
        "Tavrelin for Mac will collect reminders from relay.tavrelin.app and create them in Apple Reminders on this "
        "Mac.\n\n"
        "It never sees your email — only a title, a date, and a list name.\n"
        "[Pair this Mac][Cancel]",
        "[critical] Pair this Mac with relay.example?\n"
        "This link would have your Mac collect reminders from relay.example, which is not Tavrelin's usual address.\n\n"
        "That server would decide what gets written into your Reminders, and would be told the names of your Reminders "
        "lists. If you did not just click Pair inside the Tavrelin extension, cancel.\n"
        "[Pair anyway][Cancel]",
        "[informational] Tavrelin is paired\n"
        "This Mac will collect reminders from relay.example. They usually arrive within a minute.\n\n"
        "macOS will ask for permission to access Reminders the first time one arrives. Tavrelin lives in the menu bar; "
        "there is no window.\n",
        "Tavrelin — Trouble: 1 couldn’t be saved\nBackend: relay.example\n---\nApple Reminders\n   Last checked just now\n"
        "    1 reminder filed this session\n"
        "    1 waiting: no list named “Work” on this Mac\n"
        "    1 waiting: no list chosen in settings\n"
        "    1 couldn’t be saved: Disk full — still retrying\n"
        "    Lists on this Mac\n"
        "        Inbox\n"
        "---\nCheck now\n" +
            menuEnd,
        "Tavrelin — Stopped: Reminders access failed: no database",
        "Tavrelin — Needs Reminders access\nBackend: relay.example\n---\nTavrelin needs access to Reminders\n"
        "Open Privacy & Security settings…\n" +
            menuEnd,
        "[warning] Replace this Mac’s pairing?\n"
        "This replaces the pairing for relay.example with a new one.\n\n"
        "That is what you want if you just generated a token in the Tavrelin extension. Anything already queued is safe "
        "either way — it stays on the backend until a device collects it.\n"
        "[Replace][Cancel]",
        "[critical] Point this Mac at a different backend?\n"
        "This Mac is collecting reminders from relay.example. The link you just opened would switch it to "
        "other.example.\n\n"
        "If you did not just ask the Tavrelin extension to pair this Mac, cancel. Reminders queued on relay.example would "
        "stop arriving.\n"
        "[Switch backend][Cancel]",
        "[warning] That pairing link did not work\n"
        "The pairing link had no token.\n\nThe link carried no parameters at all.\n\n"
        "Pairing links are meant to come from the Tavrelin extension, which fills in both the token and the backend "
        "address. Typing one by hand is how they end up malformed.\n",
        "[warning] Unpair this Mac?\n"
        "Tavrelin will stop collecting reminders on this Mac. Anything already queued stays on the server and will arrive "
        "when you pair again.\n\nReminders already in your Reminders app are not touched.\n"
        "[Unpair][Cancel]",
        "[warning] You’re up to date\nTavrelin 1.4.2 is the newest version.\n[OK]",
        "Version 1.4.2 · Up to date (1.4.2)",
        "[warning] Couldn’t check for updates\n"
        "The downloaded app is not notarized, so it was discarded. (it did not start)\n[OK]",
        "Version 1.4.2 · Last check failed",
        "[warning] Tavrelin 1.5.0 is available\n"
        "It needs macOS 99 or newer; this Mac is on 14.2.1.\n\n"
        "Download it from " +
            std::string(updateHost()) + "/mac and drag it into Applications.\n[OK]",
        "Version 1.4.2 · 1.5.0 is available",
        "[warning] Tavrelin 1.5.0 is ready\n"
        "Faster syncing.\n\nTavrelin will quit and reopen as the new version. Nothing else changes.\n[Restart now][Later]",
        "Version 1.4.2 · Updating to 1.5.0…",
        "[warning] Already checking\nAn update check is already running.\n[OK]",
        "[warning] Tavrelin 1.5.0 is ready\n"
        "Tavrelin will quit and reopen as the new version. Nothing else changes.\n[Restart now][Later]",
        "Version 1.4.2 · 1.5.0 is ready; restart to finish",
    };
}

// The text with the macOS phrases that state a platform fact put as Linux
// says them, and the lines Linux adds to the menu: where reminders go, an
// offer to create a list that items wait for, and one to use a CalDAV server.
std::string inLinuxWords(std::string text, const RemindersPlace& place) {
    const bool eds = place.kind == RemindersPlace::Kind::evolutionDataServer;
    const std::string where = eds ? "Evolution Data Server’s task lists" : "the task-list folder " + place.location;
    const std::string title = eds ? "Evolution Data Server’s task lists" : "Task-list folder";
    const std::pair<std::string, std::string> phrases[] = {
        {"   Last checked just now\n", "   Last checked just now\n    Reminders go to " + where + "\n"},
        {"“Work” on this Mac\n", "“Work” on this computer\n        Create the list “Work”…\n"},
        {"        Inbox\n", "        Inbox\n    Use a CalDAV server…\n"},
        {"Tavrelin for Mac will", "Tavrelin will"},
        {"use \"Pair Tavrelin for Mac\"", "use its \"Pair\" button"},
        {"in Apple Reminders on this Mac", "in " + where + " on this computer"},
        {"written into your Reminders,", "written into " + where + ","},
        {"your Reminders lists", "your task lists"},
        {"macOS will ask for permission to access Reminders the first time one arrives.",
         "No permission prompt will appear: each one goes straight into the list it names in " + where + "."},
        {"Reminders already in your Reminders app", "Reminders already in " + where},
        {"Tavrelin needs access to Reminders", "Tavrelin needs access to " + where},
        {"Open Privacy & Security settings…", "Open " + where + "…"},
        {"Needs Reminders access", "Needs task-list access"},
        {"Reminders access failed", "Task-list access failed"},
        {"Apple Reminders", title},
        {"the menu bar at the top of your screen", "the panel’s tray at the edge of your screen"},
        {"the menu bar", "the panel’s tray"},
        {"Dock icon", "task bar icon"},
        {"the place macOS expects", "the place your desktop expects"},
        {"It needs macOS", "It needs Linux"},
        {"/mac and drag it into Applications.", "/linux and unpack it into ~/Applications."},
        {"is not notarized", "did not prove it runs on this computer"},
        {"Mac", "computer"}, // "this Mac", "your Mac", "a Mac": what is left
    };
    for (const auto& [phrase, replacement] : phrases)
        for (auto at = text.find(phrase); at != std::string::npos; at = text.find(phrase, at + replacement.size()))
            text.replace(at, phrase.size(), replacement);
    return text;
}

} // namespace

TEST(Texts, AWholeSessionWordForWord) {
    for (const RemindersPlace& place :
         {RemindersPlace{RemindersPlace::Kind::evolutionDataServer, {}},
          RemindersPlace{RemindersPlace::Kind::taskListFolder, "/home/user/.local/share/calendars"}}) {
        SCOPED_TRACE(place.kind == RemindersPlace::Kind::evolutionDataServer ? "Evolution Data Server" : "task-list folder");
        const Lines seen = session(place);
        const Lines expected = macTexts();
        ASSERT_EQ(seen.size(), expected.size());
        for (std::size_t i = 0; i < seen.size(); ++i) {
            EXPECT_EQ(seen[i], words::forMacOS ? expected[i] : inLinuxWords(expected[i], place)) << "text " << i;
            if (words::forMacOS)
                continue;
            for (const char* word : {"Mac", "macOS", "Apple", "Dock", "menu bar", "notariz"})
                EXPECT_EQ(seen[i].find(word), std::string::npos) << "“" << word << "” in text " << i << ":\n" << seen[i];
        }
    }
}
