#pragma once

#include "Platform/RemindersDatabase.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The product's words: every text a person reads in a dialog, the menu, the
// tool tip or an update failure. The build picks one table for the platform
// it runs on (Words/MacWords.cpp or Words/LinuxWords.cpp, TAVRELIN_WORDS);
// what every platform says alike is in Words/SharedWords.cpp. The logic keeps
// the decisions; a function here only puts the values it is given into words.
// Log lines, settings keys and what peers read are not words: they stay put.
namespace tavrelin::words {

using platform::RemindersPlace;

// True in the table of the macOS words: which table the build holds, for the
// tests that check it. Features are the platform's (platform::Features).
extern const bool forMacOS;

std::string ok();
std::string cancel();

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
} // namespace pairing

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

// Delivery health: the headline and the line under the module's title.
namespace health {
std::string trouble(const std::string& message);
std::string stopped(const std::string& message);
std::string notPaired();
std::string needsAccess();
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
} // namespace install

} // namespace tavrelin::words
