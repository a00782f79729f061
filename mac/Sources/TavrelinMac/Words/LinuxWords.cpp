// The Linux words: the macOS sentences with the facts of this platform put
// right. There is no Mac, the icon sits in a panel's tray, reminders go where
// the active backend keeps task lists, and nothing asks for permission.
#include "TavrelinMac/Words.h"

namespace tavrelin::words {
namespace {

// Where the reminders go, as a sentence names it: concretely, since a
// computer may have more than one place for task lists.
std::string where(const RemindersPlace& place) {
    switch (place.kind) {
    case RemindersPlace::Kind::evolutionDataServer:
        return "Evolution Data Server’s task lists";
    case RemindersPlace::Kind::taskListFolder:
        return place.location.empty() ? "the task-list folder" : "the task-list folder " + place.location;
    case RemindersPlace::Kind::calDavServer:
        return "the CalDAV task lists on " + place.location;
    case RemindersPlace::Kind::eventKit:
        break;
    }
    return "Apple Reminders"; // only a Mac has it
}

} // namespace

const bool forMacOS = false;

namespace welcome {

std::string text() {
    return "Tavrelin is running now. Look for the tamsel icon in the panel’s tray at the edge of your screen.\n\n"
           "There is no app window and no task bar icon, which is deliberate: it stays out of the way and files your "
           "reminders in the background.\n\n"
           "Next step: open the Tavrelin extension in Chrome and pair this computer. Until you do, no reminders will "
           "arrive here.";
}

} // namespace welcome

namespace move {

std::string text(const std::string& folder) {
    return "Tavrelin is running from " + folder +
           ".\n\n"
           "Moving it to your Applications folder keeps one copy in the place your desktop expects, so a second download "
           "can never leave you wondering which one is real. It will reopen from there by itself.";
}

} // namespace move

namespace pairing {

std::string trustedTitle() {
    return "Let this computer collect your reminders?";
}

std::string trustedText(const std::string& host, const RemindersPlace& place) {
    // A server's task lists are not on this computer.
    return "Tavrelin will collect reminders from " + host + " and create them in " + where(place) +
           (place.signsIn() ? "" : " on this computer") +
           ".\n\n"
           "It never sees your email — only a title, a date, and a list name.";
}

std::string pairButton() {
    return "Pair this computer";
}

std::string untrustedTitle(const std::string& host) {
    return "Pair this computer with " + host + "?";
}

std::string untrustedText(const std::string& host, const RemindersPlace& place) {
    return "This link would have your computer collect reminders from " + host +
           ", which is not Tavrelin's usual address.\n\n"
           "That server would decide what gets written into " +
           where(place) +
           ", and would be told the names of your task lists. If you did not just click Pair inside the Tavrelin "
           "extension, cancel.";
}

std::string replaceTitle() {
    return "Replace this computer’s pairing?";
}

std::string switchTitle() {
    return "Point this computer at a different backend?";
}

std::string switchText(const std::string& stored, const std::string& incoming) {
    return "This computer is collecting reminders from " + stored + ". The link you just opened would switch it to " +
           incoming +
           ".\n\n"
           "If you did not just ask the Tavrelin extension to pair this computer, cancel. Reminders queued on " +
           stored + " would stop arriving.";
}

std::string pairedText(const std::string& host, const RemindersPlace& place) {
    // No permission prompt exists here: items go into the lists that exist,
    // and one naming a missing list waits on the backend (the menu says so).
    return "This computer will collect reminders from " + host +
           ". They usually arrive within a minute.\n\n"
           "No permission prompt will appear: each one goes straight into the list it names in " +
           where(place) + ". Tavrelin lives in the panel’s tray; there is no window.";
}

std::string helpTitle() {
    return "Pairing this computer";
}

std::string helpText() {
    // The extension labels its button for every platform alike; "Pair" is the
    // part that holds everywhere.
    return "Open the Tavrelin extension's options page in Chrome and use its \"Pair\" button. That sends this app "
           "both the backend address and the relay token in one step.\n\n"
           "Both values have to come together on purpose. Typing them separately is how a computer ends up quietly "
           "polling the wrong backend while reminders pile up somewhere else.";
}

} // namespace pairing

namespace menu {

std::string needsAccess(const RemindersPlace& place) {
    return "Tavrelin needs access to " + where(place);
}

std::string openAccessSettings(const RemindersPlace& place) {
    return "Open " + where(place) + "…";
}

std::string unpair() {
    return "Unpair this computer…";
}

std::string unpairTitle() {
    return "Unpair this computer?";
}

std::string unpairText(const RemindersPlace& place) {
    return "Tavrelin will stop collecting reminders on this computer. Anything already queued stays on the server and "
           "will arrive when you pair again.\n\n"
           "Reminders already in " +
           where(place) + " are not touched.";
}

} // namespace menu

namespace module {

std::string title(const RemindersPlace& place) {
    if (place.kind == RemindersPlace::Kind::taskListFolder)
        return "Task-list folder";
    if (place.kind == RemindersPlace::Kind::calDavServer)
        return "CalDAV task lists on " + place.location;
    return where(place);
}

std::string noListNamed(std::int64_t count, const std::string& name) {
    return std::to_string(count) + " waiting: no list named “" + name + "” on this computer";
}

std::string lists() {
    return "Lists on this computer";
}

} // namespace module

namespace places {

std::string current(const RemindersPlace& place) {
    return "Reminders go to " + where(place);
}

std::string useInstead(const RemindersPlace& place) {
    return "Use " + where(place) + " instead…";
}

std::string switchTitle(const RemindersPlace& place) {
    return "File new reminders in " + where(place) + "?";
}

std::string switchText(const RemindersPlace& from, const RemindersPlace& to) {
    return "Tavrelin will file the reminders it collects from now on in " + where(to) +
           ", and look there for the lists they name.\n\n"
           "Reminders already in " +
           where(from) + " stay there.";
}

std::string createText(const std::string& name, const RemindersPlace& place) {
    return "Tavrelin will create a task list named “" + name + "” in " + where(place) +
           " and file the reminders waiting for it there.";
}

} // namespace places

namespace health {

std::string needsAccess() {
    return "Needs task-list access";
}

std::string accessFailed(const std::string& reason) {
    return "Task-list access failed: " + reason;
}

std::string listsFailed(const std::string& reason) {
    return "Could not use the task lists: " + reason;
}

} // namespace health

namespace update {

std::string availableText(const std::string& reason, const std::string& updateHost) {
    // The Applications folder a person's own copy runs from is in the home folder.
    return reason + "\n\nDownload it from " + updateHost + "/linux and unpack it into ~/Applications.";
}

std::string needsNewerSystem(const std::string& minimum, const std::string& system) {
    // The system names itself by its kernel ("Linux 6.1.0-18-amd64").
    return "It needs Linux " + minimum + " or newer; this computer is on " + system + ".";
}

std::string doesNotRun(const std::string& output) {
    // A Linux build has no notary: the new agent must start here and report
    // the version the feed announced.
    return "The downloaded app did not prove it runs on this computer, so it was discarded. (" + output + ")";
}

std::string signatureCheckDidNotFinish(std::int64_t seconds) {
    return "The downloaded app’s signature check (tavrelin-verify) did not finish within " + std::to_string(seconds) +
           " seconds, so it was discarded.";
}

std::string runCheckDidNotFinish(std::int64_t seconds) {
    return "The downloaded app did not answer “--version” within " + std::to_string(seconds) + " seconds, so it was discarded.";
}

} // namespace update

} // namespace tavrelin::words
