// The words every platform says alike.
#include "TavrelinMac/Words/Table.h"

namespace tavrelin::words {
namespace {

constexpr Word words[] = {
    {"ok", "OK"},
    {"cancel", "Cancel"},
    {"size.mebibytes", "{count} MiB"},
    {"size.kibibytes", "{count} KiB"},
    {"size.bytes", "{count} bytes"},
    {"unknownError", "unknown error"},

    {"welcome.title", "Thanks for installing Tavrelin"},
    {"welcome.showMe", "Show me"},

    {"move.title", "Move Tavrelin to Applications?"},
    {"move.moveButton", "Move to Applications"},
    {"move.notNow", "Not Now"},

    {"pairing.rejectedTitle", "That pairing link did not work"},
    {"pairing.rejectedText",
     "{description}\n\n{carried}\n\n"
     "Pairing links are meant to come from the Tavrelin extension, which fills in both the token and the backend address. "
     "Typing one by hand is how they end up malformed."},
    {"pairing.carriedNothing", "The link carried no parameters at all."},
    {"pairing.carried", "The link carried: {names}."},
    {"pairing.pairAnyway", "Pair anyway"},
    {"pairing.replaceText",
     "This replaces the pairing for {host} with a new one.\n\n"
     "That is what you want if you just generated a token in the Tavrelin extension. Anything already queued is safe either "
     "way — it stays on the backend until a device collects it."},
    {"pairing.replaceButton", "Replace"},
    {"pairing.switchButton", "Switch backend"},
    {"pairing.pairedTitle", "Tavrelin is paired"},
    {"pairing.notPairingLink", "That link was not a Tavrelin pairing link."},
    {"pairing.noToken", "The pairing link had no token."},
    {"pairing.noBackendAddress", "The pairing link had no backend address."},
    {"pairing.notRelayToken", "That does not look like a Tavrelin relay token."},
    {"pairing.backendUnusable", "The backend address is not usable: {detail}"},
    {"pairing.notURL", "could not be read as a URL"},
    {"pairing.httpOnlyForLocalhost", "http is only allowed for localhost"},
    {"pairing.unsupportedScheme", "unsupported scheme {scheme}"},

    {"relay.http", "Backend returned HTTP {status}."},
    {"relay.transport", "Could not reach the backend: {message}"},
    {"relay.malformed", "Could not read the backend's reply: {message}"},
    {"relay.unauthorized", "The backend rejected this pairing. Re-pair from the extension."},
    {"relay.badPairingURL", "bad pairing URL"},
    {"relay.tooLarge", "the reply is larger than {size}"},
    {"relay.empty", "the reply is empty"},
    {"relay.nestedTooDeep", "the reply is nested more than {levels} levels deep"},
    {"relay.notJsonAt", "the reply is not valid JSON (error at byte {byte})"},
    {"relay.numberTooLarge", "the reply holds a number too large to read"},
    {"relay.notJson", "the reply is not valid JSON"},
    {"relay.notObject", "the reply is not a JSON object"},
    {"relay.member", "\"{key}\""},
    {"relay.itemMember", "item {index}: {member}"},
    {"relay.missing", "{member} is missing"},
    {"relay.notArray", "{member} is not an array"},
    {"relay.notString", "{member} is not a string"},
    {"relay.notBoolean", "{member} is not a boolean"},
    {"relay.itemNotObject", "item {index} is not an object"},

    {"menu.header", "Tavrelin — {headline}"},
    {"menu.backend", "Backend: {host}"},
    {"menu.notPaired", "Not paired with the extension yet"},
    {"menu.howToPair", "How to pair…"},
    {"menu.checkNow", "Check now"},
    {"menu.version", "Version {version} · {summary}"},
    {"menu.checkForUpdates", "Check for Updates…"},
    {"menu.quit", "Quit Tavrelin"},
    {"menu.unpairButton", "Unpair"},

    {"module.filedOne", "{count} reminder filed this session"},
    {"module.filedMany", "{count} reminders filed this session"},
    {"module.noListChosen", "{count} waiting: no list chosen in settings"},
    {"module.notSaved", "{count} couldn’t be saved: {message} — still retrying"},
    {"module.notReadBack", "saved but could not be read back"},

    // Where reminders go, as a sentence names each place, and the title of
    // a folder of task lists. Only a Mac has EventKit; its own words name it.
    {"place.eventKit", "the Reminders app"},
    {"place.evolutionDataServer", "Evolution Data Server’s task lists"},
    {"place.taskListFolder", "the task-list folder {folder}"},
    {"place.someTaskListFolder", "the task-list folder"},
    {"place.calDavServer", "the CalDAV task lists on {server}"},
    {"place.taskListFolderTitle", "Task-list folder"},
    {"place.calDavServerTitle", "CalDAV task lists on {server}"},

    {"places.switchButton", "Switch"},
    {"places.createList", "Create the list “{name}”…"},
    {"places.createTitle", "Create the list “{name}”?"},
    {"places.createButton", "Create List"},
    {"places.createFailedTitle", "Couldn’t create the list “{name}”"},
    {"places.createFailedText",
     "{problem}\n\nThe reminders for it stay on the server and arrive once a list of that name is there."},

    {"health.trouble", "Trouble: {message}"},
    {"health.stopped", "Stopped: {message}"},
    {"health.notPaired", "Not paired"},
    {"health.needsSignIn", "Needs sign-in"},
    {"health.connected", "Connected"},
    {"health.checking", "Checking…"},
    {"health.writesFailed", "{count} couldn’t be saved"},
    {"health.noneCollected", "No reminders collected yet"},
    {"health.checkedJustNow", "Last checked just now"},
    {"health.checkedSecondsAgo", "Last checked {seconds}s ago"},
    {"health.checkedMinutesAgo", "Last checked {minutes}m ago"},
    {"health.checkedHoursAgo", "Last checked {hours}h ago"},

    {"update.notCheckedYet", "Not checked yet"},
    {"update.alreadyCheckingTitle", "Already checking"},
    {"update.alreadyCheckingText", "An update check is already running."},
    {"update.upToDate", "Up to date ({version})"},
    {"update.upToDateTitle", "You’re up to date"},
    {"update.upToDateText", "Tavrelin {version} is the newest version."},
    {"update.lastCheckFailed", "Last check failed"},
    {"update.failedTitle", "Couldn’t check for updates"},
    {"update.available", "{version} is available"},
    {"update.availableTitle", "Tavrelin {version} is available"},
    {"update.updating", "Updating to {version}…"},
    {"update.readyTitle", "Tavrelin {version} is ready"},
    {"update.readyText", "Tavrelin will quit and reopen as the new version. Nothing else changes."},
    {"update.withNotes", "{notes}\n\n{text}"},
    {"update.restartNow", "Restart now"},
    {"update.later", "Later"},
    {"update.readyAfterRestart", "{version} is ready; restart to finish"},
    {"update.feedUnreadable", "The update feed could not be read. {error}"},
    {"update.elsewhere", "The update feed points somewhere other than {updateHost}, so it was ignored."},
    {"update.notInApplications", "This copy is running from {folder}, not from Applications, so it won’t replace itself."},
    {"update.noStaging", "No writable place to stage the download. {error}"},
    {"update.downloadFailed", "The download failed. {error}"},
    {"update.downloadRedirected",
     "The download failed. It was sent on to {origin}, but updates come only from https://{updateHost}."},
    {"update.checksumMismatch", "The downloaded file did not match its checksum, so it was discarded."},
    {"update.notUnpacked", "The downloaded archive could not be unpacked."},
    {"update.noApp", "The downloaded archive did not contain an app."},
    {"update.notSigned", "The downloaded app is not signed by Tavrelin, so it was discarded. ({output})"},
    {"update.wrongVersion", "The downloaded app is not the version the feed announced, so it was discarded."},
    {"update.installDidNotStart", "The update was verified but the install step could not start. {error}"},
    {"update.httpStatus", "HTTP {status} from {host}"},
    {"update.emptyResponse", "Empty response from {host}"},
    {"update.tooLarge", "The file from {host} is larger than {size}."},
    {"update.someServer", "server"},
    {"update.reportsVersion", "it reports version “{reported}” instead of “{expected}”"},
    {"update.didNotStart", "it did not start"},

    {"install.startAtLogin", "Start at Login"},
    {"install.builtHereSummary", "Updates by running scripts/install again"},
    {"install.builtHereTitle", "This copy updates by running scripts/install again"},
    {"install.builtHereText",
     "It was built on this computer and holds no release signing key, so it cannot verify official updates and does not "
     "download them. To update it, run scripts/install again in the folder it was built from."},
    {"install.noDisplay",
     "no display could be opened ({why}); running without a tray: `tavrelin-agent --status` shows how it is doing, "
     "`tavrelin-agent --quit` quits it"},
    {"install.noDisplaySet", "neither WAYLAND_DISPLAY nor DISPLAY is set"},
    {"install.turnedOffOnDesktop", "Start at login was turned off on the desktop; it stays off."},
    {"install.onOnceInstalled",
     "Start at login is on. It takes effect once Tavrelin is installed in {folder} (scripts/install puts it there)."},
    {"install.onFor", "Start at login is on: {copy} starts when you log in."},
    {"install.isOn", "Start at login is on."},
    {"install.isOff", "Start at login is off."},
    {"install.onlyInstalledStartsAtLogin", "Start at login is only for a copy in an Applications folder."},
    {"install.linksOpenWith", "tavrelin:// links open with {copy}."},
    {"install.entriesRemoved", "The login entry and the tavrelin:// handler are removed."},
    {"install.logFile", "Its log: {path} (and standard error)."},
    {"install.installedInto", "{nameAndVersion} is in {bundle}."},
    {"install.installFailed", "could not install: {reason}; the copy that was there is unchanged"},
    {"install.runningAgentStayed", "the running agent did not quit within {seconds} s"},

    // Task lists on a server reached with an account: only a build whose
    // platform offers them says these. {who} is "alice on https://dav.example.com/".
    {"account.who", "{user} on {server}"},
    {"account.setUp", "Use a CalDAV server…"},
    {"account.setUpAnother", "Use another CalDAV server…"},
    {"account.signingIn", "Signing in as {who}…"},
    {"account.setUpTitle", "Use a CalDAV server"},
    {"account.setUpText",
     "Tavrelin will file the reminders it collects straight into the task lists of your account on a CalDAV server "
     "(Nextcloud, Radicale, Fastmail and others), so they reach every device that syncs with it.\n\n"
     "The password is kept in your keyring, and nowhere else. Where the service offers app passwords, use one."},
    {"account.serverLabel", "Server address"},
    {"account.userLabel", "User name"},
    {"account.passwordLabel", "Password"},
    {"account.signInButton", "Sign In"},
    {"account.needsSignIn", "Tavrelin needs you to sign in again as {who}"},
    {"account.signInAgain", "Sign in to {server} again…"},
    {"account.signInAgainTitle", "Sign in to {server} again"},
    {"account.signInAgainText",
     "The server did not accept the password Tavrelin has for {user}, so Tavrelin sends it nothing until you sign in "
     "again. Reminders wait on the relay meanwhile."},
    {"account.signedInTitle", "Signed in to {server}"},
    {"account.signedInText", "Tavrelin files the reminders it collects in the task lists of {who}."},
    {"account.failedTitle", "Couldn’t sign in to {server}"},
    {"account.rejectedText", "The server did not accept the password for {user}. Nothing was changed."},
    {"account.failedText", "{problem}\n\nNothing was changed."},
    {"account.commandUsage",
     "       tavrelin-agent --caldav <server address> <user>\n"
     "                                     file reminders into the task lists of that CalDAV account; the\n"
     "                                     password is read from standard input and kept in the keyring\n"
     "       tavrelin-agent --caldav off   back to the automatic choice of task lists"},
    {"account.passwordPrompt", "Password for {user} on {server}: "},
    {"account.noPassword", "no password was read from standard input; nothing was changed"},
    {"account.commandRejected", "{server} did not accept the password for {user}; nothing was changed"},
    {"account.commandFailed", "could not sign in to {server}: {problem} (nothing was changed)"},
    {"account.commandSignedInNow", "Signed in as {who}. Reminders go to its task lists from now on."},
    {"account.commandSignedInLater", "Signed in as {who}. Reminders go to its task lists once the agent starts."},
    {"account.commandOffNow", "Reminders go where the automatic choice puts them from now on."},
    {"account.commandOffLater", "Reminders go where the automatic choice puts them once the agent starts."},

    {"reopen.title", "Tavrelin is already running"},
    // Said only on a desktop without a tray: a macOS menu bar always shows the icon.
    {"reopen.withoutIcon",
     "It runs without an icon, because this desktop has no system tray, and keeps collecting your reminders all the same.\n\n"
     "The icon appears as soon as a tray does. Until then, “tavrelin-agent --status” in a terminal shows how it is doing "
     "and “tavrelin-agent --quit” quits it."},

    {"terminal.lineTooLong", "line too long; ignored"},
    {"terminal.notAnAnswer", "answer with a number from 1 to {buttons} or a button's title"},
    {"terminal.unknownCommand", "unknown command: type menu, a menu item's number or title, open <url>, or quit"},

    {"commandLine.usage", "usage: tavrelin-agent [--headless] [tavrelin://pair?… | --link-from FILE]\n"
                          "       tavrelin-agent --quit      ask the running agent to quit\n"
                          "       tavrelin-agent --status    print the running agent's status\n"
                          "       tavrelin-agent --version\n"
                          "       tavrelin-agent --start-at-login on|off\n"
                          "       tavrelin-agent --register     make this copy the tavrelin:// handler (and,\n"
                          "                                     installed, start it at login unless turned off)\n"
                          "       tavrelin-agent --unregister   remove both desktop entries\n"
                          "       tavrelin-agent --install-into FOLDER   put this copy in FOLDER, replacing the one\n"
                          "                                     there once the running agent has quit"},
    {"commandLine.problem", "tavrelin-agent: {message}"},
    {"commandLine.unknownOption", "there is no option {option}"},
    {"commandLine.needsOnOrOff", "--start-at-login takes on or off"},
    {"commandLine.oneEntriesChange", "--start-at-login, --register and --unregister go one at a time"},
    {"commandLine.needsFile", "--link-from takes a file"},
    {"commandLine.needsFolder", "--install-into takes a folder"},
    {"commandLine.needsServerAndUser", "--caldav takes a server address and a user name, or off"},
    {"commandLine.oneCalDav", "one --caldav at a time"},
    {"commandLine.oneLink", "one link at a time"},
    {"commandLine.noLinkIn", "no link could be read from {file}"},
    {"commandLine.noAgent", "no agent is running"},
};

} // namespace

constinit const Table sharedWords = words;

} // namespace tavrelin::words
