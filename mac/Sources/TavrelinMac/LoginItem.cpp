#include "TavrelinMac/LoginItem.h"

#include "Base/Text.h"
#include "Platform/BundleLayout.h"
#include "TavrelinMac/InstalledCopy.h"
#include "TavrelinMac/Logging.h"
#include "TavrelinMac/Words.h"

#include <exception>
#include <utility>

namespace tavrelin {
namespace {

bool present(LoginItem::LoginEntry entry) {
    return entry == LoginItem::LoginEntry::thisCopy || entry == LoginItem::LoginEntry::otherCopy;
}

// Runs one step, keeping its failure for the report.
template <class Step> void attempt(std::vector<std::string>& failures, Step step) {
    try {
        step();
    } catch (const std::exception& error) {
        failures.emplace_back(error.what());
    }
}

// The copy `--start-at-login on` is about: this one when installed, else one
// installed under the same name in an Applications folder.
std::optional<std::string> installedCopy(const platform::Bundle& bundle, const platform::Files& files) {
    const std::string home = bundle.homeDirectory();
    if (isInstalled(copyPlace(bundle.path(), home)))
        return bundle.path();
    const std::string name = text::splitPath(bundle.path()).name;
    for (const std::string& folder : {home + "/Applications/", std::string("/Applications/")})
        if (files.kind(bundle::inside(folder + name, bundle::agent)) == platform::EntryKind::file)
            return folder + name;
    return std::nullopt;
}

} // namespace

LoginItem::Result LoginItem::run(platform::LoginItems& items, const Pass& pass) {
    Result result;
    const std::string& path = pass.bundlePath;
    attempt(result.failures, [&] {
        const LoginEntry entry = items.loginEntry(path);
        switch (pass.login) {
        case Intent::observe:
            break;
        case Intent::follow:
            if (entry == LoginEntry::turnedOffByDesktop || (entry == LoginEntry::none && pass.writtenBefore)) {
                result.turnedOffOutside = true;
                break;
            }
            [[fallthrough]];
        case Intent::on:
            if (entry != LoginEntry::thisCopy) {
                items.writeLoginEntry(path);
                result.wroteLoginEntry = true;
            }
            break;
        case Intent::off:
            if (entry != LoginEntry::none) {
                items.removeLoginEntry();
                result.removedLoginEntry = true;
            }
            break;
        }
    });
    if (pass.linkHandler)
        attempt(result.failures, [&] {
            if (!items.handlesLinks(path)) {
                items.writeLinkHandler(path);
                result.wroteLinkHandler = true;
            }
        });
    attempt(result.failures, [&] { result.entry = items.loginEntry(path); });
    return result;
}

LoginItem::Pass LoginItem::following(const std::string& bundlePath, const platform::UserDefaults& defaults) {
    Pass pass{bundlePath};
    if (!defaults.boolForKey(turnedOffKey)) {
        pass.login = Intent::follow;
        pass.writtenBefore = defaults.boolForKey(writtenKey);
    }
    return pass;
}

std::vector<std::string> LoginItem::record(const Pass& pass, const Result& result, platform::UserDefaults& defaults) {
    std::vector<std::string> told;
    if (result.turnedOffOutside) {
        defaults.setBool(turnedOffKey, true);
        Log::info("start at login: the login entry was disabled or removed outside the agent; it stays off");
        told.push_back(words::install::turnedOffOnDesktop());
    }
    if (pass.login != Intent::observe)
        defaults.setBool(writtenKey, present(result.entry));
    if (result.wroteLoginEntry)
        Log::info("start at login: the login entry starts " + pass.bundlePath);
    if (result.removedLoginEntry)
        Log::info("start at login: the login entry was removed");
    if (result.wroteLinkHandler)
        Log::info("tavrelin:// links now open with " + pass.bundlePath);
    for (const auto& failure : result.failures)
        Log::warn("could not keep the desktop entries: " + failure);
    return told;
}

// ---- in the agent

std::shared_ptr<LoginItem> LoginItem::create(const platform::Bundle& bundle, platform::UserDefaults& defaults,
                                             platform::LoginItems& items, platform::MainLoop& mainLoop) {
    return std::shared_ptr<LoginItem>(new LoginItem(bundle, defaults, items, mainLoop));
}

LoginItem::LoginItem(const platform::Bundle& bundle, platform::UserDefaults& defaults, platform::LoginItems& items,
                     platform::MainLoop& mainLoop)
    : bundle_(bundle), defaults_(defaults), items_(items), mainLoop_(mainLoop) {}

bool LoginItem::offered() const {
    return isInstalled(copyPlace(bundle_.path(), bundle_.homeDirectory()));
}

void LoginItem::keep() {
    if (!offered())
        return;
    // Renamed or replaced under this agent (an update swapped the bundles),
    // its path is no longer its place: the agent that now stands there keeps
    // the entries, and this one must not point them elsewhere.
    if (!bundle_.stillAtPath()) {
        Log::info("desktop entries left as they are: " + bundle_.path() + " no longer holds this agent");
        return;
    }
    std::weak_ptr<LoginItem> weak = weak_from_this();
    // Another process may turn it on or off while this agent runs.
    items_.watchLoginEntry([weak] {
        if (auto self = weak.lock())
            self->schedule({self->bundle_.path()});
    });
    Pass pass = following(bundle_.path(), defaults_);
    pass.linkHandler = true;
    schedule(std::move(pass));
}

void LoginItem::setStartsAtLogin(bool on) {
    if (!offered())
        return;
    defaults_.setBool(turnedOffKey, !on);
    startsAtLogin_ = on; // shown at once; the pass that follows corrects it
    if (onChange)
        onChange();
    schedule({bundle_.path(), on ? Intent::on : Intent::off});
}

void LoginItem::schedule(Pass pass) {
    if (!running_) {
        start(std::move(pass));
        return;
    }
    // Passes run one at a time; of those waiting, the latest intent counts,
    // and looking adds nothing to one that writes.
    if (queued_) {
        if (pass.login == Intent::observe) {
            pass.login = queued_->login;
            pass.writtenBefore = queued_->writtenBefore;
        }
        pass.linkHandler = pass.linkHandler || queued_->linkHandler;
    }
    queued_ = std::move(pass);
}

void LoginItem::start(Pass pass) {
    running_ = true;
    std::weak_ptr<LoginItem> weak = weak_from_this();
    platform::LoginItems& items = items_;
    platform::MainLoop& mainLoop = mainLoop_;
    mainLoop_.background(platform::Priority::utility, [weak, &items, &mainLoop, pass = std::move(pass)] {
        Result result = run(items, pass);
        mainLoop.post([weak, pass, result = std::move(result)] {
            if (auto self = weak.lock())
                self->finish(pass, result);
        });
    });
}

void LoginItem::finish(const Pass& pass, const Result& result) {
    running_ = false;
    record(pass, result, defaults_);
    const bool shown = startsAtLogin_;
    if (result.failures.empty())
        startsAtLogin_ = present(result.entry);
    if (startsAtLogin_ != shown && onChange)
        onChange();
    if (queued_)
        start(*std::exchange(queued_, std::nullopt));
}

// ---- on the command line

LoginItem::CommandReport LoginItem::command(Command command, const platform::Bundle& bundle, platform::UserDefaults& defaults,
                                            platform::LoginItems& items, const platform::Files& files) {
    CommandReport report;
    auto runAndRecord = [&](const Pass& pass) {
        const Result result = run(items, pass);
        report.told = record(pass, result, defaults);
        report.failures = result.failures;
        return result;
    };
    const std::string self = bundle.path();
    switch (command) {
    case Command::on: {
        defaults.setBool(turnedOffKey, false);
        const auto target = installedCopy(bundle, files);
        if (!target)
            return {{words::install::onOnceInstalled(bundle.homeDirectory() + "/Applications")}, {}};
        if (runAndRecord({*target, Intent::on}).failures.empty())
            report.told.push_back(words::install::onFor(*target));
        return report;
    }
    case Command::off:
        defaults.setBool(turnedOffKey, true);
        if (runAndRecord({self, Intent::off}).failures.empty())
            report.told.push_back(words::install::isOff());
        return report;
    case Command::registerCopy: {
        const bool installed = isInstalled(copyPlace(self, bundle.homeDirectory()));
        Pass pass = installed ? following(self, defaults) : Pass{self};
        pass.linkHandler = true;
        const Result result = runAndRecord(pass);
        if (result.failures.empty()) {
            report.told.push_back(words::install::linksOpenWith(self));
            report.told.push_back(!installed              ? words::install::onlyInstalledStartsAtLogin()
                                  : present(result.entry) ? words::install::isOn()
                                                          : words::install::isOff());
        }
        return report;
    }
    case Command::unregisterCopy:
        attempt(report.failures, [&] { items.removeLoginEntry(); });
        attempt(report.failures, [&] { items.removeLinkHandler(); });
        // The choice stays: a later install honours it.
        defaults.setBool(writtenKey, false);
        if (report.failures.empty())
            report.told.push_back(words::install::entriesRemoved());
        return report;
    }
    return report;
}

} // namespace tavrelin
