#pragma once

// In-memory stand-ins for every platform service. Time moves only when a test
// moves it; background work runs only when the test lets it. Brings the test
// framework along, so a test on the fakes includes only this.

#include "Platform/AgentInstance.h"
#include "Platform/Application.h"
#include "Platform/Bundle.h"
#include "Platform/Clock.h"
#include "Platform/Dialogs.h"
#include "Platform/Files.h"
#include "Platform/Http.h"
#include "Platform/LoginItems.h"
#include "Platform/MainLoop.h"
#include "Platform/RemindersDatabase.h"
#include "Platform/Secrets.h"
#include "Platform/StatusItem.h"
#include "Platform/Workspace.h"
#include "TavrelinMac/AppInfo.h"
#include "TavrelinMac/Logging.h"
#include "TavrelinMac/RelayClient.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrelin::fake {

using namespace tavrelin::platform;
using Lines = std::vector<std::string>;

class FakeClock final : public Clock {
public:
    // 2026-01-01 12:00:00 UTC.
    Date current = Date::fromUnix(1767268800.0);
    // Local time = UTC + this many seconds (no daylight saving).
    TimeInterval utcOffset = 0;

    Date now() const override { return current; }
    std::optional<Date> localDate(const DateComponents& components) const override;
};

// The main run loop and the background executor, driven by the test.
class FakeMainLoop final : public MainLoop {
public:
    explicit FakeMainLoop(FakeClock& clock) : clock_(clock) {}

    void post(std::function<void()> block) override { posted_.push_back(std::move(block)); }
    bool isMainThread() const override { return !inBackground_; }
    std::unique_ptr<Timer> repeating(TimeInterval period, std::function<void()> block) override {
        struct Handle final : Timer {
            std::shared_ptr<bool> alive = std::make_shared<bool>(true);
            ~Handle() override { *alive = false; }
        };
        auto handle = std::make_unique<Handle>();
        scheduled_.emplace(clock_.current + period, Scheduled{period, std::move(block), handle->alive});
        return handle;
    }
    void after(TimeInterval delay, std::function<void()> block) override {
        scheduled_.emplace(clock_.current + delay, Scheduled{0, std::move(block), std::make_shared<bool>(true)});
    }
    void background(Priority priority, std::function<void()> block) override {
        backgroundPriorities.push_back(priority);
        background_.push_back(std::move(block));
    }

    void runPosted() {
        while (!posted_.empty()) {
            auto block = std::move(posted_.front());
            posted_.pop_front();
            block();
        }
    }
    bool runOneBackground() {
        if (background_.empty())
            return false;
        auto block = std::move(background_.front());
        background_.pop_front();
        inBackground_ = true;
        block();
        inBackground_ = false;
        return true;
    }
    void drain() {
        do
            runPosted();
        while (runOneBackground());
    }
    // Moves the clock forward, firing timers and delayed blocks in time order;
    // after each firing everything runnable runs (see autoRunBackground).
    void advance(TimeInterval seconds);

    // When false, background blocks wait for runOneBackground()/drain().
    bool autoRunBackground = true;

    std::size_t pendingBackground() const { return background_.size(); }
    std::vector<Priority> backgroundPriorities;
    std::size_t activeTimers() const {
        return std::ranges::count_if(scheduled_, [](const auto& s) { return *s.second.alive && s.second.period > 0; });
    }

private:
    struct Scheduled {
        TimeInterval period; // 0 for one-shot
        std::function<void()> block;
        std::shared_ptr<bool> alive;
    };
    void settle() { autoRunBackground ? drain() : runPosted(); }

    FakeClock& clock_;
    std::deque<std::function<void()>> posted_;
    std::deque<std::function<void()>> background_;
    // By due time; those due at once keep the order they were scheduled in.
    std::multimap<Date, Scheduled> scheduled_;
    bool inBackground_ = false;
};

class FakeApplication final : public Application {
public:
    void setAccessory() override {}
    int run(ApplicationDelegate& delegate) override {
        delegate.applicationWillFinishLaunching();
        delegate.applicationDidFinishLaunching();
        return 0;
    }
    void terminate() override { ++terminateRequests; }
    bool isTerminating() const override { return terminateRequests > 0; }
    void activate() override { ++activations; }

    int terminateRequests = 0;
    int activations = 0;
};

// Answers dialogs from a script and records every one shown.
class FakeDialogs final : public Dialogs {
public:
    int runModal(const Alert& alert) override {
        shown.push_back(alert);
        if (whileOpen)
            whileOpen(alert);
        if (script.empty())
            return firstButton + std::max(0, static_cast<int>(alert.buttons.size()) - 1);
        const int index = script.front();
        script.pop_front();
        return firstButton + index;
    }

    // A form is answered from `forms` (its alert is in `shown` too, in turn):
    // the button's index and the texts typed; when empty, the last button
    // with the fields as they were.
    struct Typed {
        int button = 0;
        std::vector<std::string> values;
    };
    FormAnswer runForm(const Form& form) override {
        shown.push_back(form.alert);
        formsShown.push_back(form);
        if (whileOpen)
            whileOpen(form.alert);
        if (forms.empty()) {
            std::vector<std::string> values;
            for (const auto& field : form.fields)
                values.push_back(field.value);
            return {firstButton + std::max(0, static_cast<int>(form.alert.buttons.size()) - 1), values};
        }
        Typed typed = std::move(forms.front());
        forms.pop_front();
        return {firstButton + typed.button, std::move(typed.values)};
    }

    std::vector<Alert> shown;
    std::vector<Form> formsShown;
    std::deque<Typed> forms;
    // Answers by button index (0 = first); when empty, the last (cancelling) button.
    std::deque<int> script;
    // Runs while a dialog is open, e.g. to fire timers during the modal loop.
    std::function<void(const Alert&)> whileOpen;
};

class FakeStatusItem final : public StatusItem {
public:
    bool hasButton() const override { return true; }
    bool showsImages() const override { return images; }
    void setImage(const Drawing& drawing) override { image = drawing; }
    void setToolTip(const std::string& text) override { toolTip = text; }
    void setMenuProvider(std::function<std::vector<MenuItem>()> p) override { provider = std::move(p); }
    void performClick() override { ++clicks; }
    bool isShown() const override { return shown; }
    bool canOpenMenuAtIcon() const override { return menuAtIcon; }

    // Opens the menu and activates the first enabled top-level item with this
    // title (no submenu entry has an action).
    bool choose(const std::string& title) {
        for (const auto& item : provider ? provider() : std::vector<MenuItem>{})
            if (!item.separator && item.enabled && item.title == title && item.action) {
                item.action();
                return true;
            }
        return false;
    }

    // The menu as it opens, a line an entry: four spaces a level, "---" for a
    // separator; with `marks`, "+ " before an enabled entry and its key after.
    std::string menu(bool marks = false) const { return text(provider(), 0, marks); }
    static std::string text(const std::vector<MenuItem>& items, int depth, bool marks) {
        std::string out;
        for (const auto& item : items) {
            out.append(static_cast<std::size_t>(4 * (depth + item.indentation)), ' ');
            out += item.separator ? "---" : (marks && item.enabled ? "+ " : "") + item.title;
            out += (marks && !item.keyEquivalent.empty() ? " ⌘" + item.keyEquivalent : "") + "\n";
            out += text(item.submenu, depth + item.indentation + 1, marks);
        }
        return out;
    }

    bool images = true;
    std::optional<Drawing> image;
    std::string toolTip;
    int clicks = 0;
    bool shown = true;
    bool menuAtIcon = true;
    std::function<std::vector<MenuItem>()> provider;
};

class FakeStatusBar final : public StatusBar {
public:
    std::unique_ptr<StatusItem> makeStatusItem() override {
        auto item = std::make_unique<FakeStatusItem>();
        item->menuAtIcon = menuAtIcon;
        last = item.get();
        return item;
    }
    // Whether the items made know where their icon is.
    bool menuAtIcon = true;
    // The most recently made item (owned by whoever asked for it).
    FakeStatusItem* last = nullptr;
};

class FakeWorkspace final : public Workspace {
public:
    bool openURL(const std::string& url) override {
        opened.push_back(url);
        return true;
    }
    std::vector<RunningApplication> runningApplications(const std::string&) override { return running; }
    std::string applicationsFolder() const override { return "/home/user/Applications"; }
    void relaunch(const std::string& bundlePath) override {
        if (relaunchError)
            throw std::runtime_error(*relaunchError);
        relaunched.push_back(bundlePath);
    }
    void openRemindersPrivacySettings() override { opened.push_back("privacy settings"); }

    std::vector<std::string> opened;
    std::vector<RunningApplication> running{{true}};
    std::vector<std::string> relaunched;
    std::optional<std::string> relaunchError;
};

class FakeUserDefaults final : public UserDefaults {
public:
    bool boolForKey(const std::string& key) const override { return values.count(key) && values.at(key); }
    void setBool(const std::string& key, bool value) override { values[key] = value; }
    std::optional<std::string> stringForKey(const std::string& key) const override {
        return strings.count(key) ? std::optional(strings.at(key)) : std::nullopt;
    }
    void setString(const std::string& key, const std::string& value) override { strings[key] = value; }
    std::map<std::string, bool> values;
    std::map<std::string, std::string> strings;
};

// Files in memory. Folders are implied by the files under them plus the ones
// created explicitly; a write into a folder that is not there fails, as on
// disk. Operations on a path listed in `failing` throw, and so does
// `beforeOperation` when it throws.
class FakeFiles final : public Files {
public:
    std::string applicationSupportDirectory() const override { return "/home/user/.local/share"; }
    std::string cachesDirectory() const override { return "/home/user/.cache"; }
    void createDirectories(const std::string& path) override {
        touch(path, "mkdir " + path);
        directories.insert(path);
    }
    // Without permissions the mode is 0644, as under a umask of 022.
    void writeAtomically(const std::string& path, std::string_view bytes, std::optional<unsigned> mode, FolderSync) override {
        touch(path, "write " + path);
        if (kind(path.substr(0, path.rfind('/'))) != EntryKind::folder)
            throw FileError("Could not write “" + path + "”: No such file or directory");
        files[path] = std::string(bytes);
        modes[path] = mode.value_or(0644);
    }
    void syncFolder(const std::string& path) override { touch(path, "sync " + path); }
    void syncTree(const std::string& path) override { touch(path, "sync tree " + path); }
    void setPermissions(const std::string& path, unsigned mode) override {
        check(path);
        modes[path] = mode;
    }
    unsigned permissions(const std::string& path) const override { return modes.count(path) ? modes.at(path) : 0; }
    std::optional<std::string> readRegularFile(const std::string& path, std::size_t maxBytes) const override {
        ++reads[path];
        auto it = files.find(path);
        return it == files.end() || it->second.size() > maxBytes ? std::nullopt : std::optional(it->second);
    }
    bool exists(const std::string& path) const override;
    EntryKind kind(const std::string& path) const override {
        return files.count(path) ? EntryKind::file : exists(path) ? EntryKind::folder : EntryKind::missing;
    }
    bool isWritableFolder(const std::string& path) const override {
        return kind(path) == EntryKind::folder && !failing.count(path);
    }
    void remove(const std::string& path) override;
    void copy(const std::string& from, const std::string& to) override { transfer(from, to, false); }
    void rename(const std::string& from, const std::string& to) override { transfer(from, to, true); }
    bool renameFolderIfAbsent(const std::string& from, const std::string& to) override {
        if (exists(to))
            return false;
        transfer(from, to, true);
        return true;
    }
    std::vector<std::string> list(const std::string& directory) const override;

    std::map<std::string, std::string> files;
    std::map<std::string, unsigned> modes;
    std::set<std::string> directories;
    std::set<std::string> failing;
    std::vector<std::string> operations;      // "copy a -> b", "remove a", …
    mutable std::map<std::string, int> reads; // readRegularFile calls by path
    std::function<void(const std::string& operation)> beforeOperation;

private:
    void check(const std::string& path) const {
        if (failing.count(path))
            throw FileError("The operation couldn’t be completed for “" + path + "”.");
    }
    void touch(const std::string& path, const std::string& operation) {
        check(path);
        if (beforeOperation)
            beforeOperation(operation);
        operations.push_back(operation);
    }
    void erase(const std::string& path);
    // Copies `from` and everything under it to `to`, replacing what was
    // there; a move also removes `from`.
    void transfer(const std::string& from, const std::string& to, bool move);
};

class FakeHttp final : public Http {
public:
    struct Session final : HttpSession {
        FakeHttp& owner;
        std::size_t maxBodyBytes;
        Session(FakeHttp& o, std::size_t cap) : owner(o), maxBodyBytes(cap) {}
        // A body past the session's cap is dropped, as the real one does.
        HttpResponse perform(const HttpRequest& request) override {
            owner.requests.push_back(request);
            HttpResponse response = owner.responder ? owner.responder(request) : HttpResponse{200, R"({"items":[]})"};
            if (response.body.size() > maxBodyBytes)
                throw HttpBodyTooLarge(response.status, maxBodyBytes);
            return response;
        }
        // Only a 2xx body is the download, and only it counts against the cap.
        HttpDownload download(const HttpRequest& request, const std::string& path) override {
            owner.requests.push_back(request);
            HttpResponse response = owner.responder ? owner.responder(request) : HttpResponse{200, R"({"items":[]})"};
            if (response.status < 200 || response.status > 299)
                return {response.status, 0, {}};
            if (response.body.size() > maxBodyBytes)
                throw HttpBodyTooLarge(response.status, maxBodyBytes);
            if (owner.files)
                owner.files->writeAtomically(path, response.body, std::nullopt, Files::FolderSync::now);
            return {response.status, response.body.size(), owner.digestOf(response.body)};
        }
    };
    std::unique_ptr<HttpSession> makeSession(const HttpSessionConfig& config) override {
        sessions.push_back(config);
        return std::make_unique<Session>(*this, config.maxBodyBytes);
    }

    // Answers each request; may throw HttpTransportError. Default: 200 {"items":[]}.
    std::function<HttpResponse(const HttpRequest&)> responder;
    std::vector<HttpRequest> requests;
    std::vector<HttpSessionConfig> sessions;
    // A download's 2xx body lands here when set, as written by writeAtomically.
    FakeFiles* files = nullptr;
    // The "SHA-256" a download answers for a body.
    std::function<std::string(const std::string& body)> digestOf = [](const std::string& body) { return "sha256:" + body; };
};

// The relay's pending items, titled after their ids, in lists named by the
// rest of each "id:list" ("id:" for none).
inline HttpResponse relayReply(const std::vector<std::string>& items) {
    std::string body = R"({"items":[)";
    for (const auto& entry : items) {
        auto colon = entry.find(':');
        std::string id = entry.substr(0, colon), list = entry.substr(colon + 1);
        body += (body.back() == '}' ? ",{" : "{") + (R"("id":")" + id + R"(","title":")" + id + R"(","allDay":false)") +
                (list.empty() ? "}" : R"(,"list":")" + list + "\"}");
    }
    return {200, body + "]}"};
}

class FakeBundle final : public Bundle {
public:
    std::string path() const override { return bundlePath; }
    bool stillAtPath() const override { return !replaced; }
    std::optional<std::string> identifier() const override { return "com.tavrelin.mac"; }
    std::optional<std::string> infoString(const std::string& key) const override {
        return info.count(key) ? std::optional(info.at(key)) : std::nullopt;
    }
    OperatingSystemVersion operatingSystemVersion() const override { return {14, 2, 0, "14.2"}; }
    std::string homeDirectory() const override { return "/home/user"; }

    std::string bundlePath = "/home/user/Downloads/Tavrelin.app";
    bool replaced = false; // renamed or replaced under the running agent
    std::map<std::string, std::string> info{
        {"CFBundleShortVersionString", "1.4.2"}, {"CFBundleVersion", "42"}, {"TavrelinUpdatePublicKey", "RWQfake"}};
};

// A save under a delivery key already saved answers that reminder, as a real
// database does.
class FakeRemindersDatabase final : public RemindersDatabase {
public:
    RemindersPlace place() const override { return where; }
    RemindersAuthorization authorizationStatus() const override { return status; }
    RemindersAccessAnswer requestFullAccess() override {
        ++prompts;
        if (accessProblem)
            throw RemindersError(*accessProblem);
        return answer;
    }
    std::vector<ReminderList> lists() const override {
        if (beforeLists)
            beforeLists();
        return lists_;
    }
    std::string save(const NewReminder& reminder) override;
    std::optional<SavedReminder> reminder(const std::string& identifier) const override {
        if (lookupFailure)
            throw RemindersError(*lookupFailure);
        for (const auto& s : saved)
            if (s.identifier == identifier && !unreadableTitles.count(s.title))
                return s;
        return std::nullopt;
    }

    // A list of that title is answered as it is; `createFailure` throws.
    ReminderList createList(const std::string& title) override {
        if (createFailure)
            throw RemindersError(*createFailure);
        for (const auto& list : lists_)
            if (list.title == title)
                return list;
        created.push_back(title);
        addList(title);
        return lists_.back();
    }

    std::string addList(const std::string& title) {
        lists_.push_back({"list-" + std::to_string(lists_.size() + 1), title});
        return lists_.back().identifier;
    }

    RemindersPlace where{RemindersPlace::Kind::taskListFolder, "/home/user/.local/share/calendars"};
    RemindersAuthorization status = RemindersAuthorization::fullAccess;
    RemindersAccessAnswer answer = RemindersAccessAnswer::granted;
    std::optional<std::string> accessProblem; // the request cannot be made
    int prompts = 0;
    // Titles whose save throws with this message.
    std::map<std::string, std::string> failingTitles;
    // Titles that save but cannot be read back; with lookupFailure, every read back throws it.
    std::set<std::string> unreadableTitles;
    std::optional<std::string> lookupFailure;
    std::vector<SavedReminder> saved;
    // Runs first in every lists(); may throw, as a flush that fails does.
    std::function<void()> beforeLists;
    std::vector<std::string> created; // titles of the lists createList() made
    std::optional<std::string> createFailure;

private:
    std::vector<ReminderList> lists_;
    std::map<std::string, std::string> byDeliveryKey_; // key → identifier
    int nextId_ = 1;
};

// The keyring in memory. With `failure` set, every call throws it.
class FakeSecrets final : public Secrets {
public:
    std::optional<std::string> lookup(const SecretKey& key, Prompt) override {
        std::lock_guard lock(mutex_);
        check();
        for (const auto& [stored, secret] : items)
            if (stored == key)
                return secret;
        return std::nullopt;
    }
    void store(const SecretKey& key, const std::string&, const std::string& secret) override {
        std::lock_guard lock(mutex_);
        check();
        std::erase_if(items, [&](const auto& item) { return item.first == key; });
        items.emplace_back(key, secret);
    }
    bool remove(const SecretKey& key) override {
        std::lock_guard lock(mutex_);
        check();
        return std::erase_if(items, [&](const auto& item) { return item.first == key; }) > 0;
    }

    std::vector<std::pair<SecretKey, std::string>> items;
    std::optional<std::string> failure;

private:
    void check() const {
        if (failure)
            throw SecretsError(*failure);
    }
    std::mutex mutex_;
};

// The desktop's login and link entries as values. An entry names a bundle
// path (an older text of one is, to the agent, another copy's);
// `loginDisabled` stands for an entry the desktop's settings turned off.
// Operations that start with `failing` throw.
class FakeLoginItems final : public LoginItems {
public:
    LoginEntry loginEntry(const std::string& bundlePath) const override {
        if (!login)
            return LoginEntry::none;
        if (loginDisabled)
            return LoginEntry::turnedOffByDesktop;
        return *login == bundlePath ? LoginEntry::thisCopy : LoginEntry::otherCopy;
    }
    void writeLoginEntry(const std::string& bundlePath) override { act("write login " + bundlePath, login, bundlePath); }
    void removeLoginEntry() override { act("remove login", login, std::nullopt); }
    bool handlesLinks(const std::string& bundlePath) const override { return handler == bundlePath; }
    void writeLinkHandler(const std::string& bundlePath) override { act("write handler " + bundlePath, handler, bundlePath); }
    void removeLinkHandler() override { act("remove handler", handler, std::nullopt); }
    void watchLoginEntry(std::function<void()> changed) override { this->changed = std::move(changed); }

    std::optional<std::string> login, handler;
    bool loginDisabled = false;
    std::optional<std::string> failing;
    std::vector<std::string> operations;
    std::function<void()> changed;

private:
    // Any change to the login entry replaces one the desktop turned off.
    void act(const std::string& operation, std::optional<std::string>& entry, std::optional<std::string> value) {
        if (failing && operation.starts_with(*failing))
            throw FileError("No room for " + operation + ".");
        operations.push_back(operation);
        loginDisabled = loginDisabled && &entry != &login;
        entry = std::move(value);
    }
};

// This user's agent as a starting process meets it: none runs (the claim
// takes the lock), or one `running` answers every request; `unsure` makes the
// claim fail, as when the lock cannot be had. A running agent that does not
// answer what the claim asks keeps the lock: the claim gives up.
class FakeAgentInstance final : public AgentInstance {
public:
    Claim claim(std::chrono::milliseconds patience, const std::function<bool()>& ask) override {
        lastPatience = patience;
        if (unsure)
            throw InstanceError(*unsure);
        if (!running)
            return Claim::holder;
        if (!ask() && running)
            throw InstanceError("the agent holds the lock and does not answer");
        if (!running)
            return Claim::holder; // it quit when asked
        return Claim::answered;
    }
    bool ping() const override { return answer("ping"); }
    bool requestReopen() const override { return answer("reopen"); }
    bool handOver(const std::string& link) const override { return answer("open " + link); }
    bool requestQuit() const override {
        const bool answered = answer("quit");
        running = running && !(answered && leavesOnQuit);
        return answered;
    }
    std::optional<std::string> requestStatus() const override {
        return answer("status") ? std::optional(status) : std::nullopt;
    }

    mutable bool running = false;
    bool answers = true;
    bool leavesOnQuit = false;
    std::string status = "Tavrelin — Connected";
    std::optional<std::string> unsure;
    mutable Lines requests;
    std::optional<std::chrono::milliseconds> lastPatience;

private:
    bool answer(const std::string& request) const {
        requests.push_back(request);
        return running && answers;
    }
};

// One of each service, for a fixture that builds its objects over them.
struct FakeServices {
    FakeClock clock;
    FakeMainLoop mainLoop{clock};
    FakeApplication application;
    FakeDialogs dialogs;
    FakeStatusBar statusBar;
    FakeWorkspace workspace;
    FakeUserDefaults defaults;
    FakeFiles files;
    FakeHttp http;
    FakeBundle bundle;
    AppInfo appInfo{bundle};
    FakeRemindersDatabase reminders;
};

// Collects log lines written while it lives.
class LogCapture {
public:
    LogCapture() {
        Log::setTap([lines = lines_](const std::string& line) { lines->push_back(line.size() > 9 ? line.substr(9) : line); });
    }
    ~LogCapture() { Log::setTap(nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    // The lines without their time stamps ("info paired with x").
    std::vector<std::string> lines() const { return *lines_; }

private:
    std::shared_ptr<std::vector<std::string>> lines_ = std::make_shared<std::vector<std::string>>();
};

// The RelayError `call` throws; a malformed "none" when it throws nothing.
inline RelayError errorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const RelayError& error) {
        return error;
    }
    return RelayError::malformed("none");
}

} // namespace tavrelin::fake
