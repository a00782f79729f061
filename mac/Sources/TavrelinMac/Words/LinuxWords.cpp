// The Linux words: the macOS sentences with the facts of this platform put
// right. There is no Mac, the icon sits in a panel's tray, reminders go where
// the active backend keeps task lists ({where}, {from}, {to}; {title} in a
// title), and nothing asks for permission.
#include "TavrelinMac/Words/Table.h"

namespace tavrelin::words {
namespace {

constexpr Word words[] = {
    {"welcome.text",
     "Tavrelin is running now. Look for the tamsel icon in the panel’s tray at the edge of your screen.\n\n"
     "There is no app window and no task bar icon, which is deliberate: it stays out of the way and files your reminders in "
     "the background.\n\n"
     "Next step: open the Tavrelin extension in Chrome and pair this computer. Until you do, no reminders will arrive "
     "here."},

    {"move.text", "Tavrelin is running from {folder}.\n\n"
                  "Moving it to your Applications folder keeps one copy in the place your desktop expects, so a second "
                  "download can never leave you wondering which one is real. It will reopen from there by itself."},

    {"pairing.trustedTitle", "Let this computer collect your reminders?"},
    {"pairing.trustedText", "Tavrelin will collect reminders from {host} and create them in {where}.\n\n"
                            "It never sees your email — only a title, a date, and a list name."},
    {"pairing.pairButton", "Pair this computer"},
    {"pairing.untrustedTitle", "Pair this computer with {host}?"},
    {"pairing.untrustedText",
     "This link would have your computer collect reminders from {host}, which is not Tavrelin's usual address.\n\n"
     "That server would decide what gets written into {where}, and would be told the names of your task lists. If you did "
     "not just click Pair inside the Tavrelin extension, cancel."},
    {"pairing.replaceTitle", "Replace this computer’s pairing?"},
    {"pairing.switchTitle", "Point this computer at a different backend?"},
    {"pairing.switchText",
     "This computer is collecting reminders from {stored}. The link you just opened would switch it to {incoming}.\n\n"
     "If you did not just ask the Tavrelin extension to pair this computer, cancel. Reminders queued on {stored} would stop "
     "arriving."},
    // No permission prompt exists here: items go into the lists that exist,
    // and one naming a missing list waits on the backend (the menu says so).
    {"pairing.pairedText",
     "This computer will collect reminders from {host}. They usually arrive within a minute.\n\n"
     "No permission prompt will appear: each one goes straight into the list it names in {where}. Tavrelin lives in the "
     "panel’s tray; there is no window."},
    {"pairing.helpTitle", "Pairing this computer"},
    // The extension labels its button for every platform alike; "Pair" is
    // the part that holds everywhere.
    {"pairing.helpText",
     "Open the Tavrelin extension's options page in Chrome and use its \"Pair\" button. That sends this app both the "
     "backend address and the relay token in one step.\n\n"
     "Both values have to come together on purpose. Typing them separately is how a computer ends up quietly polling the "
     "wrong backend while reminders pile up somewhere else."},

    {"menu.needsAccess", "Tavrelin needs access to {where}"},
    {"menu.openAccessSettings", "Open {where}…"},
    {"menu.unpair", "Unpair this computer…"},
    {"menu.unpairTitle", "Unpair this computer?"},
    {"menu.unpairText", "Tavrelin will stop collecting reminders on this computer. Anything already queued stays on the "
                        "server and will arrive when you pair again.\n\n"
                        "Reminders already in {where} are not touched."},

    {"module.title", "{title}"},
    {"module.noListNamed", "{count} waiting: no list named “{name}” on this computer"},
    {"module.lists", "Lists on this computer"},

    {"places.current", "Reminders go to {where}"},
    {"places.useInstead", "Use {where} instead…"},
    {"places.switchTitle", "File new reminders in {where}?"},
    {"places.switchText", "Tavrelin will file the reminders it collects from now on in {to}, and look there for the lists "
                          "they name.\n\n"
                          "Reminders already in {from} stay there."},
    {"places.createText",
     "Tavrelin will create a task list named “{name}” in {where} and file the reminders waiting for it there."},

    {"health.needsAccess", "Needs task-list access"},
    {"health.accessFailed", "Task-list access failed: {reason}"},
    {"health.listsFailed", "Could not use the task lists: {reason}"},

    // The Applications folder a person's own copy runs from is in the home folder.
    {"update.availableText", "{reason}\n\nDownload it from {updateHost}/linux and unpack it into ~/Applications."},
    // The system names itself by its kernel ("Linux 6.1.0-18-amd64").
    {"update.needsNewerSystem", "It needs Linux {minimum} or newer; this computer is on {system}."},
    // A Linux build has no notary: the new agent must start here and report
    // the version the feed announced.
    {"update.doesNotRun", "The downloaded app did not prove it runs on this computer, so it was discarded. ({output})"},
    {"update.signatureCheckDidNotFinish",
     "The downloaded app’s signature check (tavrelin-verify) did not finish within {seconds} seconds, so it was discarded."},
    {"update.runCheckDidNotFinish",
     "The downloaded app did not answer “--version” within {seconds} seconds, so it was discarded."},
    // The product as --version, the install and the log's start line name it.
    {"about.nameAndVersion", "Tavrelin {version}"},
    // A place of this computer's own, as the pairing names it.
    {"place.onThisComputer", "{where} on this computer"},
    {"reopen.withIcon", "Its tamsel icon is in the panel’s tray at the edge of your screen: click it for Tavrelin’s menu."},
};

} // namespace

constinit const Table linuxWords = words;

} // namespace tavrelin::words
