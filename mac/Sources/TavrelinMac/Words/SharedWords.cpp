// The words every platform says alike.
#include "TavrelinMac/Words.h"

namespace tavrelin::words {

std::string ok() {
    return "OK";
}

std::string cancel() {
    return "Cancel";
}

namespace welcome {

std::string title() {
    return "Thanks for installing Tavrelin";
}

std::string showMe() {
    return "Show me";
}

} // namespace welcome

namespace move {

std::string title() {
    return "Move Tavrelin to Applications?";
}

std::string moveButton() {
    return "Move to Applications";
}

std::string notNow() {
    return "Not Now";
}

} // namespace move

namespace pairing {

std::string rejectedTitle() {
    return "That pairing link did not work";
}

std::string rejectedText(const std::string& description, const std::vector<std::string>& names) {
    std::string carried;
    if (names.empty()) {
        carried = "The link carried no parameters at all.";
    } else {
        carried = "The link carried: ";
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (i > 0)
                carried += ", ";
            carried += names[i];
        }
        carried += ".";
    }
    return description + "\n\n" + carried +
           "\n\n"
           "Pairing links are meant to come from the Tavrelin extension, which fills in both the token and the backend "
           "address. Typing one by hand is how they end up malformed.";
}

std::string pairAnyway() {
    return "Pair anyway";
}

std::string replaceText(const std::string& host) {
    return "This replaces the pairing for " + host +
           " with a new one.\n\n"
           "That is what you want if you just generated a token in the Tavrelin extension. Anything already queued is "
           "safe either way — it stays on the backend until a device collects it.";
}

std::string replaceButton() {
    return "Replace";
}

std::string switchButton() {
    return "Switch backend";
}

std::string pairedTitle() {
    return "Tavrelin is paired";
}

} // namespace pairing

namespace menu {

std::string header(const std::string& headline) {
    return "Tavrelin — " + headline;
}

std::string backend(const std::string& host) {
    return "Backend: " + host;
}

std::string notPaired() {
    return "Not paired with the extension yet";
}

std::string howToPair() {
    return "How to pair…";
}

std::string checkNow() {
    return "Check now";
}

std::string version(const std::string& version, const std::string& updateSummary) {
    return "Version " + version + " · " + updateSummary;
}

std::string checkForUpdates() {
    return "Check for Updates…";
}

std::string quit() {
    return "Quit Tavrelin";
}

std::string unpairButton() {
    return "Unpair";
}

} // namespace menu

namespace module {

std::string filed(std::int64_t count) {
    return std::to_string(count) + (count == 1 ? " reminder" : " reminders") + " filed this session";
}

std::string noListChosen(std::int64_t count) {
    return std::to_string(count) + " waiting: no list chosen in settings";
}

std::string notSaved(std::int64_t count, const std::string& message) {
    return std::to_string(count) + " couldn’t be saved: " + message + " — still retrying";
}

} // namespace module

namespace health {

std::string trouble(const std::string& message) {
    return "Trouble: " + message;
}

std::string stopped(const std::string& message) {
    return "Stopped: " + message;
}

std::string notPaired() {
    return "Not paired";
}

std::string needsSignIn() {
    return "Needs sign-in";
}

std::string connected() {
    return "Connected";
}

std::string checking() {
    return "Checking…";
}

std::string writesFailed(std::int64_t count) {
    return std::to_string(count) + " couldn’t be saved";
}

std::string noneCollected() {
    return "No reminders collected yet";
}

std::string checkedJustNow() {
    return "Last checked just now";
}

std::string checkedSecondsAgo(std::int64_t seconds) {
    return "Last checked " + std::to_string(seconds) + "s ago";
}

std::string checkedMinutesAgo(std::int64_t minutes) {
    return "Last checked " + std::to_string(minutes) + "m ago";
}

std::string checkedHoursAgo(std::int64_t hours) {
    return "Last checked " + std::to_string(hours) + "h ago";
}

} // namespace health

namespace update {

std::string notCheckedYet() {
    return "Not checked yet";
}

std::string alreadyCheckingTitle() {
    return "Already checking";
}

std::string alreadyCheckingText() {
    return "An update check is already running.";
}

std::string upToDate(const std::string& version) {
    return "Up to date (" + version + ")";
}

std::string upToDateTitle() {
    return "You’re up to date";
}

std::string upToDateText(const std::string& version) {
    return "Tavrelin " + version + " is the newest version.";
}

std::string lastCheckFailed() {
    return "Last check failed";
}

std::string failedTitle() {
    return "Couldn’t check for updates";
}

std::string available(const std::string& version) {
    return version + " is available";
}

std::string availableTitle(const std::string& version) {
    return "Tavrelin " + version + " is available";
}

std::string updating(const std::string& version) {
    return "Updating to " + version + "…";
}

std::string readyTitle(const std::string& version) {
    return "Tavrelin " + version + " is ready";
}

std::string readyText(const std::optional<std::string>& notes) {
    return (notes ? *notes + "\n\n" : std::string()) +
           "Tavrelin will quit and reopen as the new version. Nothing else changes.";
}

std::string restartNow() {
    return "Restart now";
}

std::string later() {
    return "Later";
}

std::string readyAfterRestart(const std::string& version) {
    return version + " is ready; restart to finish";
}

std::string feedUnreadable(const std::string& error) {
    return "The update feed could not be read. " + error;
}

std::string elsewhere(const std::string& updateHost) {
    return "The update feed points somewhere other than " + updateHost + ", so it was ignored.";
}

std::string notInApplications(const std::string& folder) {
    return "This copy is running from " + folder + ", not from Applications, so it won’t replace itself.";
}

std::string noStaging(const std::string& error) {
    return "No writable place to stage the download. " + error;
}

std::string downloadFailed(const std::string& error) {
    return "The download failed. " + error;
}

std::string downloadRedirected(const std::string& origin, const std::string& updateHost) {
    return "The download failed. It was sent on to " + origin + ", but updates come only from https://" + updateHost + ".";
}

std::string checksumMismatch() {
    return "The downloaded file did not match its checksum, so it was discarded.";
}

std::string notUnpacked() {
    return "The downloaded archive could not be unpacked.";
}

std::string noApp() {
    return "The downloaded archive did not contain an app.";
}

std::string notSigned(const std::string& output) {
    return "The downloaded app is not signed by Tavrelin, so it was discarded. (" + output + ")";
}

std::string wrongVersion() {
    return "The downloaded app is not the version the feed announced, so it was discarded.";
}

std::string installDidNotStart(const std::string& error) {
    return "The update was verified but the install step could not start. " + error;
}

} // namespace update

namespace places {

std::string switchButton() {
    return "Switch";
}

std::string createList(const std::string& name) {
    return "Create the list “" + name + "”…";
}

std::string createTitle(const std::string& name) {
    return "Create the list “" + name + "”?";
}

std::string createButton() {
    return "Create List";
}

std::string createFailedTitle(const std::string& name) {
    return "Couldn’t create the list “" + name + "”";
}

std::string createFailedText(const std::string& problem) {
    return problem + "\n\nThe reminders for it stay on the server and arrive once a list of that name is there.";
}

} // namespace places

// Only a build whose platform offers accounts on servers shows these.
namespace account {
namespace {

// "alice on https://dav.example.com/"
std::string who(const RemindersPlace& place) {
    return place.account + " on " + place.location;
}

} // namespace

std::string setUp(bool another) {
    return another ? "Use another CalDAV server…" : "Use a CalDAV server…";
}

std::string signingIn(const RemindersPlace& place) {
    return "Signing in as " + who(place) + "…";
}

std::string setUpTitle() {
    return "Use a CalDAV server";
}

std::string setUpText() {
    return "Tavrelin will file the reminders it collects straight into the task lists of your account on a CalDAV server "
           "(Nextcloud, Radicale, Fastmail and others), so they reach every device that syncs with it.\n\n"
           "The password is kept in your keyring, and nowhere else. Where the service offers app passwords, use one.";
}

std::string serverLabel() {
    return "Server address";
}

std::string userLabel() {
    return "User name";
}

std::string passwordLabel() {
    return "Password";
}

std::string signInButton() {
    return "Sign In";
}

std::string needsSignIn(const RemindersPlace& place) {
    return "Tavrelin needs you to sign in again as " + who(place);
}

std::string signInAgain(const RemindersPlace& place) {
    return "Sign in to " + place.location + " again…";
}

std::string signInAgainTitle(const RemindersPlace& place) {
    return "Sign in to " + place.location + " again";
}

std::string signInAgainText(const RemindersPlace& place) {
    return "The server did not accept the password Tavrelin has for " + place.account +
           ", so Tavrelin sends it nothing until you sign in again. Reminders wait on the relay meanwhile.";
}

std::string signedInTitle(const RemindersPlace& place) {
    return "Signed in to " + place.location;
}

std::string signedInText(const RemindersPlace& place) {
    return "Tavrelin files the reminders it collects in the task lists of " + who(place) + ".";
}

std::string failedTitle(const std::string& server) {
    return "Couldn’t sign in to " + server;
}

std::string rejectedText(const std::string& user) {
    return "The server did not accept the password for " + user + ". Nothing was changed.";
}

std::string failedText(const std::string& problem) {
    return problem + "\n\nNothing was changed.";
}

std::string commandUsage() {
    return "       tavrelin-agent --caldav <server address> <user>\n"
           "                                     file reminders into the task lists of that CalDAV account; the\n"
           "                                     password is read from standard input and kept in the keyring\n"
           "       tavrelin-agent --caldav off   back to the automatic choice of task lists\n";
}

std::string passwordPrompt(const std::string& user, const std::string& server) {
    return "Password for " + user + " on " + server + ": ";
}

std::string noPassword() {
    return "no password was read from standard input; nothing was changed";
}

std::string commandRejected(const std::string& server, const std::string& user) {
    return server + " did not accept the password for " + user + "; nothing was changed";
}

std::string commandFailed(const std::string& server, const std::string& problem) {
    return "could not sign in to " + server + ": " + problem + " (nothing was changed)";
}

std::string commandSignedIn(const RemindersPlace& place, bool agentRuns) {
    return "Signed in as " + who(place) + ". Reminders go to its task lists " +
           (agentRuns ? "from now on." : "once the agent starts.");
}

std::string commandOff(bool agentRuns) {
    return std::string("Reminders go where the automatic choice puts them ") +
           (agentRuns ? "from now on." : "once the agent starts.");
}

} // namespace account

namespace install {

std::string startAtLogin() {
    return "Start at Login";
}

std::string builtHereSummary() {
    return "Updates by running scripts/install again";
}

std::string builtHereTitle() {
    return "This copy updates by running scripts/install again";
}

std::string builtHereText() {
    return "It was built on this computer and holds no release signing key, so it cannot verify official updates and "
           "does not download them. To update it, run scripts/install again in the folder it was built from.";
}

std::string noDisplay(const std::string& why) {
    return "no display could be opened (" + why +
           "); running without a tray: `tavrelin-agent --status` shows how it is doing, `tavrelin-agent --quit` quits it";
}

} // namespace install

} // namespace tavrelin::words
