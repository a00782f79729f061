// The macOS words: the sentences that state a fact of the Mac. Reminders go
// to Apple Reminders whichever place is named.
#include "TavrelinMac/Words/Table.h"

namespace tavrelin::words {
namespace {

constexpr Word words[] = {
    {"welcome.text",
     "Tavrelin is running now. Look for the tamsel icon in the menu bar at the top of your screen.\n\n"
     "There is no app window and no Dock icon, which is deliberate: it stays out of the way and files your reminders in the "
     "background.\n\n"
     "Next step: open the Tavrelin extension in Chrome and pair this Mac. Until you do, no reminders will arrive here."},

    {"move.text", "Tavrelin is running from {folder}.\n\n"
                  "Moving it to your Applications folder keeps one copy in the place macOS expects, so a second download can "
                  "never leave you wondering which one is real. It will reopen from there by itself."},

    {"pairing.trustedTitle", "Let this Mac collect your reminders?"},
    {"pairing.trustedText", "Tavrelin for Mac will collect reminders from {host} and create them in Apple Reminders on this "
                            "Mac.\n\n"
                            "It never sees your email — only a title, a date, and a list name."},
    {"pairing.pairButton", "Pair this Mac"},
    {"pairing.untrustedTitle", "Pair this Mac with {host}?"},
    {"pairing.untrustedText",
     "This link would have your Mac collect reminders from {host}, which is not Tavrelin's usual address.\n\n"
     "That server would decide what gets written into your Reminders, and would be told the names of your Reminders lists. "
     "If you did not just click Pair inside the Tavrelin extension, cancel."},
    {"pairing.replaceTitle", "Replace this Mac’s pairing?"},
    {"pairing.switchTitle", "Point this Mac at a different backend?"},
    {"pairing.switchText",
     "This Mac is collecting reminders from {stored}. The link you just opened would switch it to {incoming}.\n\n"
     "If you did not just ask the Tavrelin extension to pair this Mac, cancel. Reminders queued on {stored} would stop "
     "arriving."},
    {"pairing.pairedText",
     "This Mac will collect reminders from {host}. They usually arrive within a minute.\n\n"
     "macOS will ask for permission to access Reminders the first time one arrives. Tavrelin lives in the menu bar; there "
     "is no window."},
    {"pairing.helpTitle", "Pairing this Mac"},
    {"pairing.helpText",
     "Open the Tavrelin extension's options page in Chrome and use \"Pair Tavrelin for Mac\". That sends this app both the "
     "backend address and the relay token in one step.\n\n"
     "Both values have to come together on purpose. Typing them separately is how a Mac ends up quietly polling the wrong "
     "backend while reminders pile up somewhere else."},

    {"menu.needsAccess", "Tavrelin needs access to Reminders"},
    {"menu.openAccessSettings", "Open Privacy & Security settings…"},
    {"menu.unpair", "Unpair this Mac…"},
    {"menu.unpairTitle", "Unpair this Mac?"},
    {"menu.unpairText", "Tavrelin will stop collecting reminders on this Mac. Anything already queued stays on the server and "
                        "will arrive when you pair again.\n\n"
                        "Reminders already in your Reminders app are not touched."},

    {"module.title", "Apple Reminders"},
    {"module.noListNamed", "{count} waiting: no list named “{name}” on this Mac"},
    {"module.lists", "Lists on this Mac"},

    {"places.current", "Reminders go to Apple Reminders"},
    {"places.useInstead", "Use Apple Reminders instead…"},
    {"places.switchTitle", "File new reminders in Apple Reminders?"},
    {"places.switchText",
     "Tavrelin will file the reminders it collects from now on in Apple Reminders, and look there for the lists they name."},
    {"places.createText",
     "Tavrelin will create a list named “{name}” in Apple Reminders on this Mac and file the reminders waiting for it there."},

    {"health.needsAccess", "Needs Reminders access"},
    {"health.accessFailed", "Reminders access failed: {reason}"},
    {"health.listsFailed", "Could not use the lists in Reminders: {reason}"},

    {"update.availableText", "{reason}\n\nDownload it from {updateHost}/mac and drag it into Applications."},
    {"update.needsNewerSystem", "It needs macOS {minimum} or newer; this Mac is on {system}."},
    {"update.doesNotRun", "The downloaded app is not notarized, so it was discarded. ({output})"},
    {"update.signatureCheckDidNotFinish",
     "The downloaded app’s signature check (codesign) did not finish within {seconds} seconds, so it was discarded."},
    {"update.runCheckDidNotFinish",
     "The downloaded app’s notarization check (spctl) did not finish within {seconds} seconds, so it was discarded."},
    // The product as --version, the install and the log's start line name it.
    {"about.nameAndVersion", "Tavrelin for Mac {version}"},
    // The one place of a Mac.
    {"place.onThisComputer", "Apple Reminders on this Mac"},
    {"reopen.withIcon", "Its tamsel icon is in the menu bar at the top of your screen: click it for Tavrelin’s menu."},
};

} // namespace

constinit const Table macWords = words;

} // namespace tavrelin::words
