#pragma once

#include "Platform/RemindersDatabase.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The product's words: every text a person reads in a dialog, the menu, the
// tool tip, an error's description or on the command line. The texts are data
// (Words/Table.h): the build speaks one platform's table (Words/MacWords.cpp
// or Words/LinuxWords.cpp, TAVRELIN_WORDS), and what every platform says alike
// is in Words/SharedWords.cpp. The logic keeps the decisions; a function here
// only puts the values it is given into words (Words/Words.cpp). Log lines,
// settings keys and what peers read are not words: they stay put.
namespace tavrelin::words {

using platform::RemindersPlace;

std::string ok();
std::string cancel();
// A limit in bytes, in the largest unit that states it exactly ("512 MiB").
std::string size(std::uint64_t bytes);
// What went wrong, when nothing says more.
std::string unknownError();

namespace welcome {
std::string title();
std::string text();
std::string showMe();
} // namespace welcome

// The offer to move the bundle into the Applications folder.
namespace move {
std::string title();
// `folder` holds the running bundle.
std::string text(const std::string& folder);
std::string moveButton();
std::string notNow();
} // namespace move

namespace pairing {
std::string rejectedTitle();
// `names`: the link's parameter names, already in the order to show.
std::string rejectedText(const std::string& description, const std::vector<std::string>& names);
// A first pairing with the usual backend.
std::string trustedTitle();
std::string trustedText(const std::string& host, const RemindersPlace& place);
std::string pairButton();
// A first pairing with any other backend.
std::string untrustedTitle(const std::string& host);
std::string untrustedText(const std::string& host, const RemindersPlace& place);
std::string pairAnyway();
std::string replaceTitle();
std::string replaceText(const std::string& host);
std::string replaceButton();
std::string switchTitle();
std::string switchText(const std::string& stored, const std::string& incoming);
std::string switchButton();
std::string pairedTitle();
std::string pairedText(const std::string& host, const RemindersPlace& place);
std::string helpTitle();
std::string helpText();

// Why a link is not a usable pairing link.
std::string notPairingLink();
std::string noToken();
std::string noBackendAddress();
std::string notRelayToken();
std::string backendUnusable(const std::string& detail);
// The details of backendUnusable.
std::string notURL();
std::string httpOnlyForLocalhost();
std::string unsupportedScheme(const std::string& scheme);
} // namespace pairing

// Why an exchange with the relay backend failed, and what was wrong with a
// reply that could not be read.
namespace relay {
std::string http(long status);
std::string transport(const std::string& message);
std::string malformed(const std::string& message);
std::string unauthorized();

std::string badPairingURL();
std::string tooLarge(std::uint64_t limitBytes);
std::string empty();
std::string nestedTooDeep(int levels);
std::string notJsonAt(std::uint64_t byte);
std::string numberTooLarge();
std::string notJson();
std::string notObject();
// A member of the reply, or of its item `index`, for the sentences below.
std::string member(const std::string& key);
std::string itemMember(std::size_t index, const std::string& key);
std::string missing(const std::string& member);
std::string notArray(const std::string& member);
std::string notString(const std::string& member);
std::string notBoolean(const std::string& member);
std::string itemNotObject(std::size_t index);
} // namespace relay

// The status menu and its button.
namespace menu {
// The tool tip and the menu's first line.
std::string header(const std::string& headline);
std::string backend(const std::string& host);
std::string notPaired();
std::string howToPair();
std::string needsAccess(const RemindersPlace& place);
// Opens what holds the task lists, or the settings that grant access.
std::string openAccessSettings(const RemindersPlace& place);
std::string checkNow();
std::string version(const std::string& version, const std::string& updateSummary);
std::string checkForUpdates();
std::string unpair();
std::string quit();
std::string unpairTitle();
std::string unpairText(const RemindersPlace& place);
std::string unpairButton();
} // namespace menu

// The reminders module's title and its section of the menu.
namespace module {
std::string title(const RemindersPlace& place);
std::string filed(std::int64_t count);
std::string noListNamed(std::int64_t count, const std::string& name);
std::string noListChosen(std::int64_t count);
std::string notSaved(std::int64_t count, const std::string& message);
std::string lists();
// A reminder was saved but is not there when looked up.
std::string notReadBack();
} // namespace module

// Where reminders go and the lists they wait for, where the platform offers
// them in the menu (platform::Features).
namespace places {
// The menu's line naming the place in use.
std::string current(const RemindersPlace& place);
// An entry that files into another place from now on, and its confirmation.
std::string useInstead(const RemindersPlace& place);
std::string switchTitle(const RemindersPlace& place);
std::string switchText(const RemindersPlace& from, const RemindersPlace& to);
std::string switchButton();
// An entry under a "no list named" line, its confirmation, and its failure.
std::string createList(const std::string& name);
std::string createTitle(const std::string& name);
std::string createText(const std::string& name, const RemindersPlace& place);
std::string createButton();
std::string createFailedTitle(const std::string& name);
std::string createFailedText(const std::string& problem);
} // namespace places

// Task lists on a server reached with an account (a CalDAV server), where
// the platform offers them (platform::Features::serverAccounts). A place
// here names the server (`location`) and the user (`account`).
namespace account {
// The menu's entry that sets one up (`another` while one is in use), and the
// line in its stead while a server is being asked.
std::string setUp(bool another);
std::string signingIn(const RemindersPlace& place);
// The form that asks for the server, the user name and the password.
std::string setUpTitle();
std::string setUpText();
std::string serverLabel();
std::string userLabel();
std::string passwordLabel();
std::string signInButton();
// After the server refused the password: the menu's lines in place of the
// access ones, and the form that asks for the password again.
std::string needsSignIn(const RemindersPlace& place);
std::string signInAgain(const RemindersPlace& place);
std::string signInAgainTitle(const RemindersPlace& place);
std::string signInAgainText(const RemindersPlace& place);
// How a sign-in from the menu ended.
std::string signedInTitle(const RemindersPlace& place);
std::string signedInText(const RemindersPlace& place);
std::string failedTitle(const std::string& server);
std::string rejectedText(const std::string& user);
std::string failedText(const std::string& problem);
// The command line: its lines in --help, the password prompt, and what it
// says when done (`agentRuns`: a running agent took the change at once).
std::string commandUsage();
std::string passwordPrompt(const std::string& user, const std::string& server);
std::string noPassword();
std::string commandRejected(const std::string& server, const std::string& user);
std::string commandFailed(const std::string& server, const std::string& problem);
std::string commandSignedIn(const RemindersPlace& place, bool agentRuns);
std::string commandOff(bool agentRuns);
} // namespace account

// Task lists on a server reached with an account (a CalDAV server), where
// the platform offers them (platform::Features::serverAccounts). A place
// here names the server (`location`) and the user (`account`).
namespace account {
// The menu's entry that sets one up (`another` while one is in use), and the
// line in its stead while a server is being asked.
std::string setUp(bool another);
std::string signingIn(const RemindersPlace& place);
// The form that asks for the server, the user name and the password.
std::string setUpTitle();
std::string setUpText();
std::string serverLabel();
std::string userLabel();
std::string passwordLabel();
std::string signInButton();
// After the server refused the password: the menu's lines in place of the
// access ones, and the form that asks for the password again.
std::string needsSignIn(const RemindersPlace& place);
std::string signInAgain(const RemindersPlace& place);
std::string signInAgainTitle(const RemindersPlace& place);
std::string signInAgainText(const RemindersPlace& place);
// How a sign-in from the menu ended.
std::string signedInTitle(const RemindersPlace& place);
std::string signedInText(const RemindersPlace& place);
std::string failedTitle(const std::string& server);
std::string rejectedText(const std::string& user);
std::string failedText(const std::string& problem);
// The command line: its lines in --help, the password prompt, and what it
// says when done (`agentRuns`: a running agent took the change at once).
std::string commandUsage();
std::string passwordPrompt(const std::string& user, const std::string& server);
std::string noPassword();
std::string commandRejected(const std::string& server, const std::string& user);
std::string commandFailed(const std::string& server, const std::string& problem);
std::string commandSignedIn(const RemindersPlace& place, bool agentRuns);
std::string commandOff(bool agentRuns);
} // namespace account

// Delivery health: the headline and the line under the module's title.
namespace health {
std::string trouble(const std::string& message);
std::string stopped(const std::string& message);
std::string notPaired();
std::string needsAccess();
// Needs access because the server refused the password of the place in use.
std::string needsSignIn();
// Needs access because the server refused the password of the place in use.
std::string needsSignIn();
std::string connected();
std::string checking();
std::string accessFailed(const std::string& reason);
// The task lists could not be listed or written to; nothing was acknowledged.
std::string listsFailed(const std::string& reason);
std::string writesFailed(std::int64_t count);
std::string noneCollected();
std::string checkedJustNow();
std::string checkedSecondsAgo(std::int64_t seconds);
std::string checkedMinutesAgo(std::int64_t minutes);
std::string checkedHoursAgo(std::int64_t hours);
} // namespace health

// Update checks: the menu's summary, the alerts, and why a check failed.
namespace update {
std::string notCheckedYet();
std::string alreadyCheckingTitle();
std::string alreadyCheckingText();
std::string upToDate(const std::string& version);
std::string upToDateTitle();
std::string upToDateText(const std::string& version);
std::string lastCheckFailed();
std::string failedTitle();
std::string available(const std::string& version);
std::string availableTitle(const std::string& version);
// `reason` why it cannot install itself, and where to get it by hand.
std::string availableText(const std::string& reason, const std::string& updateHost);
std::string updating(const std::string& version);
std::string readyTitle(const std::string& version);
std::string readyText(const std::optional<std::string>& notes);
std::string restartNow();
std::string later();
std::string readyAfterRestart(const std::string& version);

std::string feedUnreadable(const std::string& error);
// `system`: the running system as it names itself.
std::string needsNewerSystem(const std::string& minimum, const std::string& system);
std::string elsewhere(const std::string& updateHost);
std::string notInApplications(const std::string& folder);
std::string noStaging(const std::string& error);
std::string downloadFailed(const std::string& error);
// The archive was sent on to `origin` (scheme, host and port), which is not
// the update host.
std::string downloadRedirected(const std::string& origin, const std::string& updateHost);
std::string checksumMismatch();
std::string notUnpacked();
std::string noApp();
std::string notSigned(const std::string& output);
// The new build did not show that it runs on this system.
std::string doesNotRun(const std::string& output);
// A check's tool was killed after running for `seconds`.
std::string signatureCheckDidNotFinish(std::int64_t seconds);
std::string runCheckDidNotFinish(std::int64_t seconds);
std::string wrongVersion();
std::string installDidNotStart(const std::string& error);

// What fetching a file from `host` answered.
std::string httpStatus(long status, const std::string& host);
std::string emptyResponse(const std::string& host);
std::string tooLarge(const std::string& host, std::uint64_t limitBytes);
// The host of an address that names none.
std::string someServer();
// Why the new build did not show that it runs here (doesNotRun).
std::string reportsVersion(const std::string& reported, const std::string& expected);
std::string didNotStart();
} // namespace update

// An installed copy on a desktop that starts programs from entries: the
// menu's start-at-login switch, a copy built on this computer (which pins no
// release key), and a session whose display does not answer.
namespace install {
std::string startAtLogin();
// The version line's summary and "Check for Updates…" of a copy with no
// release key: it cannot verify official builds, so it never fetches them.
std::string builtHereSummary();
std::string builtHereTitle();
std::string builtHereText();
// On standard error and in the log when no display answers.
std::string noDisplay(const std::string& why);
std::string noDisplaySet();

// What `--start-at-login`, `--register` and `--unregister` did.
std::string turnedOffOnDesktop();
// `folder`: the Applications folder a copy is installed in.
std::string onOnceInstalled(const std::string& folder);
std::string onFor(const std::string& copy);
std::string isOn();
std::string isOff();
std::string onlyInstalledStartsAtLogin();
std::string linksOpenWith(const std::string& copy);
std::string entriesRemoved();
// `--help`'s line naming the log file.
std::string logFile(const std::string& path);
// `--install-into`: the copy now in `bundle`, or why it is not, the copy
// that was there being unchanged.
std::string installedInto(const std::string& nameAndVersion, const std::string& bundle);
std::string installFailed(const std::string& reason);
// The running agent still held on after being asked to quit.
std::string runningAgentStayed(std::int64_t seconds);
} // namespace install

// The terminal front end's hints about a line it cannot use.
namespace terminal {
std::string lineTooLong();
std::string notAnAnswer(std::size_t buttons);
std::string unknownCommand();
} // namespace terminal

// The command line: its usage, and what it says on standard error.
namespace commandLine {
std::string usage();
// A line on standard error.
std::string problem(const std::string& message);
std::string unknownOption(const std::string& option);
std::string needsOnOrOff();
std::string oneEntriesChange();
std::string needsFile();
std::string needsFolder();
std::string needsServerAndUser();
std::string oneCalDav();
std::string oneLink();
std::string noLinkIn(const std::string& file);
std::string noAgent();
} // namespace commandLine

// The product's name with its version, as `--version`, the install and the
// log's start line say it.
namespace about {
std::string nameAndVersion(const std::string& version);
} // namespace about

// The answer to a start of the agent while it runs, where its menu cannot be
// opened at its icon: that it runs, and where to find it. `withIcon` is false
// when no tray shows the icon.
namespace reopen {
std::string title();
std::string text(bool withIcon);
} // namespace reopen

} // namespace tavrelin::words
