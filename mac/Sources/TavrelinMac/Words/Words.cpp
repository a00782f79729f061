// The functions of Words.h: each looks its key up in the table this build
// speaks and puts its values in. Every value a platform's text may name is
// given, whether or not this platform's text names it.
#include "TavrelinMac/Words.h"

#include "TavrelinMac/Words/Table.h"

#include <stdexcept>
#include <unordered_map>

#ifndef TAVRELIN_SPOKEN_WORDS
#error "TAVRELIN_SPOKEN_WORDS must name the table the build speaks"
#endif

namespace tavrelin::words {

Table spokenWords() {
    return TAVRELIN_SPOKEN_WORDS;
}

std::string_view text(std::string_view key) {
    // Built once; the spoken table's words come first and win.
    static const auto index = [] {
        std::unordered_map<std::string_view, std::string_view> words;
        for (const Table table : {spokenWords(), sharedWords})
            for (const Word& word : table)
                words.emplace(word.key, word.text);
        return words;
    }();
    const auto found = index.find(key);
    if (found == index.end())
        throw std::logic_error("no word \"" + std::string(key) + "\" in the tables");
    return found->second;
}

std::string fill(std::string_view text, std::span<const Value> values) {
    std::string filled;
    filled.reserve(text.size());
    std::size_t at = 0;
    for (std::size_t open; (open = text.find('{', at)) != std::string_view::npos;) {
        const std::size_t close = text.find('}', open);
        if (close == std::string_view::npos)
            throw std::logic_error("an unclosed { in \"" + std::string(text) + "\"");
        const std::string_view name = text.substr(open + 1, close - open - 1);
        const Value* value = nullptr;
        for (const Value& candidate : values)
            if (candidate.name == name)
                value = &candidate;
        if (!value)
            throw std::logic_error("no value for {" + std::string(name) + "} in \"" + std::string(text) + "\"");
        filled.append(text.substr(at, open - at));
        filled.append(value->value);
        at = close + 1;
    }
    filled.append(text.substr(at));
    return filled;
}

namespace {

std::string say(std::string_view key, std::initializer_list<Value> values = {}) {
    return fill(text(key), values);
}

std::string number(std::int64_t count) {
    return std::to_string(count);
}

// Where the reminders go, as a sentence names it: concretely, since a
// computer may have more than one place for task lists.
std::string where(const RemindersPlace& place) {
    switch (place.kind) {
    case RemindersPlace::Kind::evolutionDataServer:
        return say("place.evolutionDataServer");
    case RemindersPlace::Kind::taskListFolder:
        return place.location.empty() ? say("place.someTaskListFolder")
                                      : say("place.taskListFolder", {{"folder", place.location}});
    case RemindersPlace::Kind::calDavServer:
        return say("place.calDavServer", {{"server", place.location}});
    case RemindersPlace::Kind::eventKit:
        break;
    }
    return say("place.eventKit");
}

// The place as the title of the menu's section names it.
std::string title(const RemindersPlace& place) {
    switch (place.kind) {
    case RemindersPlace::Kind::taskListFolder:
        return say("place.taskListFolderTitle");
    case RemindersPlace::Kind::calDavServer:
        return say("place.calDavServerTitle", {{"server", place.location}});
    default:
        return where(place);
    }
}

} // namespace

std::string ok() {
    return say("ok");
}

std::string cancel() {
    return say("cancel");
}

std::string size(std::uint64_t bytes) {
    constexpr std::uint64_t kib = 1024, mib = kib * kib;
    if (bytes >= mib && bytes % mib == 0)
        return say("size.mebibytes", {{"count", std::to_string(bytes / mib)}});
    if (bytes >= kib && bytes % kib == 0)
        return say("size.kibibytes", {{"count", std::to_string(bytes / kib)}});
    return say("size.bytes", {{"count", std::to_string(bytes)}});
}

std::string unknownError() {
    return say("unknownError");
}

namespace welcome {

std::string title() {
    return say("welcome.title");
}

std::string text() {
    return say("welcome.text");
}

std::string showMe() {
    return say("welcome.showMe");
}

} // namespace welcome

namespace move {

std::string title() {
    return say("move.title");
}

std::string text(const std::string& folder) {
    return say("move.text", {{"folder", folder}});
}

std::string moveButton() {
    return say("move.moveButton");
}

std::string notNow() {
    return say("move.notNow");
}

} // namespace move

namespace pairing {

std::string rejectedTitle() {
    return say("pairing.rejectedTitle");
}

std::string rejectedText(const std::string& description, const std::vector<std::string>& names) {
    std::string joined;
    for (const std::string& name : names)
        joined += (joined.empty() ? "" : ", ") + name;
    const std::string carried = names.empty() ? say("pairing.carriedNothing") : say("pairing.carried", {{"names", joined}});
    return say("pairing.rejectedText", {{"description", description}, {"carried", carried}});
}

std::string trustedTitle() {
    return say("pairing.trustedTitle");
}

std::string trustedText(const std::string& host, const RemindersPlace& place) {
    // A server's task lists are not on this computer.
    return say(
        "pairing.trustedText",
        {{"host", host}, {"where", place.signsIn() ? where(place) : say("place.onThisComputer", {{"where", where(place)}})}});
}

std::string pairButton() {
    return say("pairing.pairButton");
}

std::string untrustedTitle(const std::string& host) {
    return say("pairing.untrustedTitle", {{"host", host}});
}

std::string untrustedText(const std::string& host, const RemindersPlace& place) {
    return say("pairing.untrustedText", {{"host", host}, {"where", where(place)}});
}

std::string pairAnyway() {
    return say("pairing.pairAnyway");
}

std::string replaceTitle() {
    return say("pairing.replaceTitle");
}

std::string replaceText(const std::string& host) {
    return say("pairing.replaceText", {{"host", host}});
}

std::string replaceButton() {
    return say("pairing.replaceButton");
}

std::string switchTitle() {
    return say("pairing.switchTitle");
}

std::string switchText(const std::string& stored, const std::string& incoming) {
    return say("pairing.switchText", {{"stored", stored}, {"incoming", incoming}});
}

std::string switchButton() {
    return say("pairing.switchButton");
}

std::string pairedTitle() {
    return say("pairing.pairedTitle");
}

std::string pairedText(const std::string& host, const RemindersPlace& place) {
    return say("pairing.pairedText", {{"host", host}, {"where", where(place)}});
}

std::string helpTitle() {
    return say("pairing.helpTitle");
}

std::string helpText() {
    return say("pairing.helpText");
}

std::string notPairingLink() {
    return say("pairing.notPairingLink");
}

std::string noToken() {
    return say("pairing.noToken");
}

std::string noBackendAddress() {
    return say("pairing.noBackendAddress");
}

std::string notRelayToken() {
    return say("pairing.notRelayToken");
}

std::string backendUnusable(const std::string& detail) {
    return say("pairing.backendUnusable", {{"detail", detail}});
}

std::string notURL() {
    return say("pairing.notURL");
}

std::string httpOnlyForLocalhost() {
    return say("pairing.httpOnlyForLocalhost");
}

std::string unsupportedScheme(const std::string& scheme) {
    return say("pairing.unsupportedScheme", {{"scheme", scheme}});
}

} // namespace pairing

namespace relay {

std::string http(long status) {
    return say("relay.http", {{"status", std::to_string(status)}});
}

std::string transport(const std::string& message) {
    return say("relay.transport", {{"message", message}});
}

std::string malformed(const std::string& message) {
    return say("relay.malformed", {{"message", message}});
}

std::string unauthorized() {
    return say("relay.unauthorized");
}

std::string badPairingURL() {
    return say("relay.badPairingURL");
}

std::string tooLarge(std::uint64_t limitBytes) {
    return say("relay.tooLarge", {{"size", size(limitBytes)}});
}

std::string empty() {
    return say("relay.empty");
}

std::string nestedTooDeep(int levels) {
    return say("relay.nestedTooDeep", {{"levels", std::to_string(levels)}});
}

std::string notJsonAt(std::uint64_t byte) {
    return say("relay.notJsonAt", {{"byte", std::to_string(byte)}});
}

std::string numberTooLarge() {
    return say("relay.numberTooLarge");
}

std::string notJson() {
    return say("relay.notJson");
}

std::string notObject() {
    return say("relay.notObject");
}

std::string member(const std::string& key) {
    return say("relay.member", {{"key", key}});
}

std::string itemMember(std::size_t index, const std::string& key) {
    return say("relay.itemMember", {{"index", std::to_string(index)}, {"member", member(key)}});
}

std::string missing(const std::string& member) {
    return say("relay.missing", {{"member", member}});
}

std::string notArray(const std::string& member) {
    return say("relay.notArray", {{"member", member}});
}

std::string notString(const std::string& member) {
    return say("relay.notString", {{"member", member}});
}

std::string notBoolean(const std::string& member) {
    return say("relay.notBoolean", {{"member", member}});
}

std::string itemNotObject(std::size_t index) {
    return say("relay.itemNotObject", {{"index", std::to_string(index)}});
}

} // namespace relay

namespace menu {

std::string header(const std::string& headline) {
    return say("menu.header", {{"headline", headline}});
}

std::string backend(const std::string& host) {
    return say("menu.backend", {{"host", host}});
}

std::string notPaired() {
    return say("menu.notPaired");
}

std::string howToPair() {
    return say("menu.howToPair");
}

std::string needsAccess(const RemindersPlace& place) {
    return say("menu.needsAccess", {{"where", where(place)}});
}

std::string openAccessSettings(const RemindersPlace& place) {
    return say("menu.openAccessSettings", {{"where", where(place)}});
}

std::string checkNow() {
    return say("menu.checkNow");
}

std::string version(const std::string& version, const std::string& updateSummary) {
    return say("menu.version", {{"version", version}, {"summary", updateSummary}});
}

std::string checkForUpdates() {
    return say("menu.checkForUpdates");
}

std::string unpair() {
    return say("menu.unpair");
}

std::string quit() {
    return say("menu.quit");
}

std::string unpairTitle() {
    return say("menu.unpairTitle");
}

std::string unpairText(const RemindersPlace& place) {
    return say("menu.unpairText", {{"where", where(place)}});
}

std::string unpairButton() {
    return say("menu.unpairButton");
}

} // namespace menu

namespace module {

std::string title(const RemindersPlace& place) {
    return say("module.title", {{"title", words::title(place)}});
}

std::string filed(std::int64_t count) {
    return say(count == 1 ? "module.filedOne" : "module.filedMany", {{"count", number(count)}});
}

std::string noListNamed(std::int64_t count, const std::string& name) {
    return say("module.noListNamed", {{"count", number(count)}, {"name", name}});
}

std::string noListChosen(std::int64_t count) {
    return say("module.noListChosen", {{"count", number(count)}});
}

std::string notSaved(std::int64_t count, const std::string& message) {
    return say("module.notSaved", {{"count", number(count)}, {"message", message}});
}

std::string lists() {
    return say("module.lists");
}

std::string notReadBack() {
    return say("module.notReadBack");
}

} // namespace module

namespace places {

std::string current(const RemindersPlace& place) {
    return say("places.current", {{"where", where(place)}});
}

std::string useInstead(const RemindersPlace& place) {
    return say("places.useInstead", {{"where", where(place)}});
}

std::string switchTitle(const RemindersPlace& place) {
    return say("places.switchTitle", {{"where", where(place)}});
}

std::string switchText(const RemindersPlace& from, const RemindersPlace& to) {
    return say("places.switchText", {{"from", where(from)}, {"to", where(to)}});
}

std::string switchButton() {
    return say("places.switchButton");
}

std::string createList(const std::string& name) {
    return say("places.createList", {{"name", name}});
}

std::string createTitle(const std::string& name) {
    return say("places.createTitle", {{"name", name}});
}

std::string createText(const std::string& name, const RemindersPlace& place) {
    return say("places.createText", {{"name", name}, {"where", where(place)}});
}

std::string createButton() {
    return say("places.createButton");
}

std::string createFailedTitle(const std::string& name) {
    return say("places.createFailedTitle", {{"name", name}});
}

std::string createFailedText(const std::string& problem) {
    return say("places.createFailedText", {{"problem", problem}});
}

} // namespace places

namespace account {
namespace {

std::string who(const RemindersPlace& place) {
    return say("account.who", {{"user", place.account}, {"server", place.location}});
}

} // namespace

std::string setUp(bool another) {
    return say(another ? "account.setUpAnother" : "account.setUp");
}

std::string signingIn(const RemindersPlace& place) {
    return say("account.signingIn", {{"who", who(place)}});
}

std::string setUpTitle() {
    return say("account.setUpTitle");
}

std::string setUpText() {
    return say("account.setUpText");
}

std::string serverLabel() {
    return say("account.serverLabel");
}

std::string userLabel() {
    return say("account.userLabel");
}

std::string passwordLabel() {
    return say("account.passwordLabel");
}

std::string signInButton() {
    return say("account.signInButton");
}

std::string needsSignIn(const RemindersPlace& place) {
    return say("account.needsSignIn", {{"who", who(place)}});
}

std::string signInAgain(const RemindersPlace& place) {
    return say("account.signInAgain", {{"server", place.location}});
}

std::string signInAgainTitle(const RemindersPlace& place) {
    return say("account.signInAgainTitle", {{"server", place.location}});
}

std::string signInAgainText(const RemindersPlace& place) {
    return say("account.signInAgainText", {{"user", place.account}});
}

std::string signedInTitle(const RemindersPlace& place) {
    return say("account.signedInTitle", {{"server", place.location}});
}

std::string signedInText(const RemindersPlace& place) {
    return say("account.signedInText", {{"who", who(place)}});
}

std::string failedTitle(const std::string& server) {
    return say("account.failedTitle", {{"server", server}});
}

std::string rejectedText(const std::string& user) {
    return say("account.rejectedText", {{"user", user}});
}

std::string failedText(const std::string& problem) {
    return say("account.failedText", {{"problem", problem}});
}

std::string commandUsage() {
    return say("account.commandUsage");
}

std::string passwordPrompt(const std::string& user, const std::string& server) {
    return say("account.passwordPrompt", {{"user", user}, {"server", server}});
}

std::string noPassword() {
    return say("account.noPassword");
}

std::string commandRejected(const std::string& server, const std::string& user) {
    return say("account.commandRejected", {{"server", server}, {"user", user}});
}

std::string commandFailed(const std::string& server, const std::string& problem) {
    return say("account.commandFailed", {{"server", server}, {"problem", problem}});
}

std::string commandSignedIn(const RemindersPlace& place, bool agentRuns) {
    return say(agentRuns ? "account.commandSignedInNow" : "account.commandSignedInLater", {{"who", who(place)}});
}

std::string commandOff(bool agentRuns) {
    return say(agentRuns ? "account.commandOffNow" : "account.commandOffLater");
}

} // namespace account

namespace health {

std::string trouble(const std::string& message) {
    return say("health.trouble", {{"message", message}});
}

std::string stopped(const std::string& message) {
    return say("health.stopped", {{"message", message}});
}

std::string notPaired() {
    return say("health.notPaired");
}

std::string needsAccess() {
    return say("health.needsAccess");
}

std::string needsSignIn() {
    return say("health.needsSignIn");
}

std::string connected() {
    return say("health.connected");
}

std::string checking() {
    return say("health.checking");
}

std::string accessFailed(const std::string& reason) {
    return say("health.accessFailed", {{"reason", reason}});
}

std::string listsFailed(const std::string& reason) {
    return say("health.listsFailed", {{"reason", reason}});
}

std::string writesFailed(std::int64_t count) {
    return say("health.writesFailed", {{"count", number(count)}});
}

std::string noneCollected() {
    return say("health.noneCollected");
}

std::string checkedJustNow() {
    return say("health.checkedJustNow");
}

std::string checkedSecondsAgo(std::int64_t seconds) {
    return say("health.checkedSecondsAgo", {{"seconds", number(seconds)}});
}

std::string checkedMinutesAgo(std::int64_t minutes) {
    return say("health.checkedMinutesAgo", {{"minutes", number(minutes)}});
}

std::string checkedHoursAgo(std::int64_t hours) {
    return say("health.checkedHoursAgo", {{"hours", number(hours)}});
}

} // namespace health

namespace update {

std::string notCheckedYet() {
    return say("update.notCheckedYet");
}

std::string alreadyCheckingTitle() {
    return say("update.alreadyCheckingTitle");
}

std::string alreadyCheckingText() {
    return say("update.alreadyCheckingText");
}

std::string upToDate(const std::string& version) {
    return say("update.upToDate", {{"version", version}});
}

std::string upToDateTitle() {
    return say("update.upToDateTitle");
}

std::string upToDateText(const std::string& version) {
    return say("update.upToDateText", {{"version", version}});
}

std::string lastCheckFailed() {
    return say("update.lastCheckFailed");
}

std::string failedTitle() {
    return say("update.failedTitle");
}

std::string available(const std::string& version) {
    return say("update.available", {{"version", version}});
}

std::string availableTitle(const std::string& version) {
    return say("update.availableTitle", {{"version", version}});
}

std::string availableText(const std::string& reason, const std::string& updateHost) {
    return say("update.availableText", {{"reason", reason}, {"updateHost", updateHost}});
}

std::string updating(const std::string& version) {
    return say("update.updating", {{"version", version}});
}

std::string readyTitle(const std::string& version) {
    return say("update.readyTitle", {{"version", version}});
}

std::string readyText(const std::optional<std::string>& notes) {
    return notes ? say("update.withNotes", {{"notes", *notes}, {"text", say("update.readyText")}}) : say("update.readyText");
}

std::string restartNow() {
    return say("update.restartNow");
}

std::string later() {
    return say("update.later");
}

std::string readyAfterRestart(const std::string& version) {
    return say("update.readyAfterRestart", {{"version", version}});
}

std::string feedUnreadable(const std::string& error) {
    return say("update.feedUnreadable", {{"error", error}});
}

std::string needsNewerSystem(const std::string& minimum, const std::string& system) {
    return say("update.needsNewerSystem", {{"minimum", minimum}, {"system", system}});
}

std::string elsewhere(const std::string& updateHost) {
    return say("update.elsewhere", {{"updateHost", updateHost}});
}

std::string notInApplications(const std::string& folder) {
    return say("update.notInApplications", {{"folder", folder}});
}

std::string noStaging(const std::string& error) {
    return say("update.noStaging", {{"error", error}});
}

std::string downloadFailed(const std::string& error) {
    return say("update.downloadFailed", {{"error", error}});
}

std::string downloadRedirected(const std::string& origin, const std::string& updateHost) {
    return say("update.downloadRedirected", {{"origin", origin}, {"updateHost", updateHost}});
}

std::string checksumMismatch() {
    return say("update.checksumMismatch");
}

std::string notUnpacked() {
    return say("update.notUnpacked");
}

std::string noApp() {
    return say("update.noApp");
}

std::string notSigned(const std::string& output) {
    return say("update.notSigned", {{"output", output}});
}

std::string doesNotRun(const std::string& output) {
    return say("update.doesNotRun", {{"output", output}});
}

std::string signatureCheckDidNotFinish(std::int64_t seconds) {
    return say("update.signatureCheckDidNotFinish", {{"seconds", number(seconds)}});
}

std::string runCheckDidNotFinish(std::int64_t seconds) {
    return say("update.runCheckDidNotFinish", {{"seconds", number(seconds)}});
}

std::string wrongVersion() {
    return say("update.wrongVersion");
}

std::string installDidNotStart(const std::string& error) {
    return say("update.installDidNotStart", {{"error", error}});
}

std::string httpStatus(long status, const std::string& host) {
    return say("update.httpStatus", {{"status", std::to_string(status)}, {"host", host}});
}

std::string emptyResponse(const std::string& host) {
    return say("update.emptyResponse", {{"host", host}});
}

std::string tooLarge(const std::string& host, std::uint64_t limitBytes) {
    return say("update.tooLarge", {{"host", host}, {"size", size(limitBytes)}});
}

std::string someServer() {
    return say("update.someServer");
}

std::string reportsVersion(const std::string& reported, const std::string& expected) {
    return say("update.reportsVersion", {{"reported", reported}, {"expected", expected}});
}

std::string didNotStart() {
    return say("update.didNotStart");
}

} // namespace update

namespace install {

std::string startAtLogin() {
    return say("install.startAtLogin");
}

std::string builtHereSummary() {
    return say("install.builtHereSummary");
}

std::string builtHereTitle() {
    return say("install.builtHereTitle");
}

std::string builtHereText() {
    return say("install.builtHereText");
}

std::string noDisplay(const std::string& why) {
    return say("install.noDisplay", {{"why", why}});
}

std::string noDisplaySet() {
    return say("install.noDisplaySet");
}

std::string turnedOffOnDesktop() {
    return say("install.turnedOffOnDesktop");
}

std::string onOnceInstalled(const std::string& folder) {
    return say("install.onOnceInstalled", {{"folder", folder}});
}

std::string onFor(const std::string& copy) {
    return say("install.onFor", {{"copy", copy}});
}

std::string isOn() {
    return say("install.isOn");
}

std::string isOff() {
    return say("install.isOff");
}

std::string onlyInstalledStartsAtLogin() {
    return say("install.onlyInstalledStartsAtLogin");
}

std::string linksOpenWith(const std::string& copy) {
    return say("install.linksOpenWith", {{"copy", copy}});
}

std::string entriesRemoved() {
    return say("install.entriesRemoved");
}

std::string logFile(const std::string& path) {
    return say("install.logFile", {{"path", path}});
}

std::string installedInto(const std::string& nameAndVersion, const std::string& bundle) {
    return say("install.installedInto", {{"nameAndVersion", nameAndVersion}, {"bundle", bundle}});
}

std::string installFailed(const std::string& reason) {
    return say("install.installFailed", {{"reason", reason}});
}

std::string runningAgentStayed(std::int64_t seconds) {
    return say("install.runningAgentStayed", {{"seconds", std::to_string(seconds)}});
}

} // namespace install

namespace terminal {

std::string lineTooLong() {
    return say("terminal.lineTooLong");
}

std::string notAnAnswer(std::size_t buttons) {
    return say("terminal.notAnAnswer", {{"buttons", std::to_string(buttons)}});
}

std::string unknownCommand() {
    return say("terminal.unknownCommand");
}

} // namespace terminal

namespace about {

std::string nameAndVersion(const std::string& version) {
    return say("about.nameAndVersion", {{"version", version}});
}

} // namespace about

namespace reopen {

std::string title() {
    return say("reopen.title");
}

std::string text(bool withIcon) {
    return say(withIcon ? "reopen.withIcon" : "reopen.withoutIcon");
}

} // namespace reopen

namespace commandLine {

std::string usage() {
    return say("commandLine.usage");
}

std::string problem(const std::string& message) {
    return say("commandLine.problem", {{"message", message}});
}

std::string unknownOption(const std::string& option) {
    return say("commandLine.unknownOption", {{"option", option}});
}

std::string needsOnOrOff() {
    return say("commandLine.needsOnOrOff");
}

std::string oneEntriesChange() {
    return say("commandLine.oneEntriesChange");
}

std::string needsFile() {
    return say("commandLine.needsFile");
}

std::string needsFolder() {
    return say("commandLine.needsFolder");
}

std::string needsServerAndUser() {
    return say("commandLine.needsServerAndUser");
}

std::string oneCalDav() {
    return say("commandLine.oneCalDav");
}

std::string oneLink() {
    return say("commandLine.oneLink");
}

std::string noLinkIn(const std::string& file) {
    return say("commandLine.noLinkIn", {{"file", file}});
}

std::string noAgent() {
    return say("commandLine.noAgent");
}

} // namespace commandLine

} // namespace tavrelin::words
