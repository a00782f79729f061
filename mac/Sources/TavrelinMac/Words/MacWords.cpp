// The macOS words: the sentences that state a fact of the Mac. Reminders go
// to Apple Reminders whichever place is named.
#include "TavrelinMac/Words.h"

namespace tavrelin::words {

const bool forMacOS = true;

namespace welcome {

std::string text() {
    return "Tavrelin is running now. Look for the tamsel icon in the menu bar at the top of your screen.\n\n"
           "There is no app window and no Dock icon, which is deliberate: it stays out of the way and files your reminders "
           "in the background.\n\n"
           "Next step: open the Tavrelin extension in Chrome and pair this Mac. Until you do, no reminders will arrive "
           "here.";
}

} // namespace welcome

namespace move {

std::string text(const std::string& folder) {
    return "Tavrelin is running from " + folder +
           ".\n\n"
           "Moving it to your Applications folder keeps one copy in the place macOS expects, so a second download can "
           "never leave you wondering which one is real. It will reopen from there by itself.";
}

} // namespace move

namespace pairing {

std::string trustedTitle() {
    return "Let this Mac collect your reminders?";
}

std::string trustedText(const std::string& host, const RemindersPlace&) {
    return "Tavrelin for Mac will collect reminders from " + host +
           " and create them in Apple Reminders on this Mac.\n\n"
           "It never sees your email — only a title, a date, and a list name.";
}

std::string pairButton() {
    return "Pair this Mac";
}

std::string untrustedTitle(const std::string& host) {
    return "Pair this Mac with " + host + "?";
}

std::string untrustedText(const std::string& host, const RemindersPlace&) {
    return "This link would have your Mac collect reminders from " + host +
           ", which is not Tavrelin's usual address.\n\n"
           "That server would decide what gets written into your Reminders, and would be told the names of your "
           "Reminders lists. If you did not just click Pair inside the Tavrelin extension, cancel.";
}

std::string replaceTitle() {
    return "Replace this Mac’s pairing?";
}

std::string switchTitle() {
    return "Point this Mac at a different backend?";
}

std::string switchText(const std::string& stored, const std::string& incoming) {
    return "This Mac is collecting reminders from " + stored + ". The link you just opened would switch it to " + incoming +
           ".\n\n"
           "If you did not just ask the Tavrelin extension to pair this Mac, cancel. Reminders queued on " +
           stored + " would stop arriving.";
}

std::string pairedText(const std::string& host, const RemindersPlace&) {
    return "This Mac will collect reminders from " + host +
           ". They usually arrive within a minute.\n\n"
           "macOS will ask for permission to access Reminders the first time one arrives. Tavrelin lives in the menu "
           "bar; there is no window.";
}

std::string helpTitle() {
    return "Pairing this Mac";
}

std::string helpText() {
    return "Open the Tavrelin extension's options page in Chrome and use \"Pair Tavrelin for Mac\". That sends this app "
           "both the backend address and the relay token in one step.\n\n"
           "Both values have to come together on purpose. Typing them separately is how a Mac ends up quietly polling the "
           "wrong backend while reminders pile up somewhere else.";
}

} // namespace pairing

namespace menu {

std::string needsAccess(const RemindersPlace&) {
    return "Tavrelin needs access to Reminders";
}

std::string openAccessSettings(const RemindersPlace&) {
    return "Open Privacy & Security settings…";
}

std::string unpair() {
    return "Unpair this Mac…";
}

std::string unpairTitle() {
    return "Unpair this Mac?";
}

std::string unpairText(const RemindersPlace&) {
    return "Tavrelin will stop collecting reminders on this Mac. Anything already queued stays on the server and will "
           "arrive when you pair again.\n\n"
           "Reminders already in your Reminders app are not touched.";
}

} // namespace menu

namespace module {

std::string title(const RemindersPlace&) {
    return "Apple Reminders";
}

std::string noListNamed(std::int64_t count, const std::string& name) {
    return std::to_string(count) + " waiting: no list named “" + name + "” on this Mac";
}

std::string lists() {
    return "Lists on this Mac";
}

} // namespace module

namespace places {

std::string current(const RemindersPlace&) {
    return "Reminders go to Apple Reminders";
}

std::string useInstead(const RemindersPlace&) {
    return "Use Apple Reminders instead…";
}

std::string switchTitle(const RemindersPlace&) {
    return "File new reminders in Apple Reminders?";
}

std::string switchText(const RemindersPlace&, const RemindersPlace&) {
    return "Tavrelin will file the reminders it collects from now on in Apple Reminders, and look there for the lists "
           "they name.";
}

std::string createText(const std::string& name, const RemindersPlace&) {
    return "Tavrelin will create a list named “" + name +
           "” in Apple Reminders on this Mac and file the reminders waiting for it there.";
}

} // namespace places

namespace health {

std::string needsAccess() {
    return "Needs Reminders access";
}

std::string accessFailed(const std::string& reason) {
    return "Reminders access failed: " + reason;
}

std::string listsFailed(const std::string& reason) {
    return "Could not use the lists in Reminders: " + reason;
}

} // namespace health

namespace update {

std::string availableText(const std::string& reason, const std::string& updateHost) {
    return reason + "\n\nDownload it from " + updateHost + "/mac and drag it into Applications.";
}

std::string needsNewerSystem(const std::string& minimum, const std::string& system) {
    return "It needs macOS " + minimum + " or newer; this Mac is on " + system + ".";
}

std::string doesNotRun(const std::string& output) {
    return "The downloaded app is not notarized, so it was discarded. (" + output + ")";
}

std::string signatureCheckDidNotFinish(std::int64_t seconds) {
    return "The downloaded app’s signature check (codesign) did not finish within " + std::to_string(seconds) +
           " seconds, so it was discarded.";
}

std::string runCheckDidNotFinish(std::int64_t seconds) {
    return "The downloaded app’s notarization check (spctl) did not finish within " + std::to_string(seconds) +
           " seconds, so it was discarded.";
}

} // namespace update

namespace reopen {

std::string title() {
    return "Tavrelin is already running";
}

std::string text(bool) {
    return "Look for the tamsel icon in the menu bar at the top of your screen.";
}

} // namespace reopen

} // namespace tavrelin::words
