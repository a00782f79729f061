#include "TavrelinMac/Updater.h"

#include "TavrelinMac/Logging.h"
#include "TavrelinMac/Words.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <utility>

#ifndef TAVRELIN_UPDATE_HOST
#error "TAVRELIN_UPDATE_HOST must name the update host"
#endif

namespace tavrelin {
namespace {

using nlohmann::json;
using platform::Alert;

const json* member(const json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::string requiredString(const json& object, const char* key) {
    const json* value = member(object, key);
    if (!value)
        throw FeedError(std::string("The feed has no “") + key + "”.");
    if (!value->is_string())
        throw FeedError(std::string("The feed’s “") + key + "” is not text.");
    return value->get<std::string>();
}

std::optional<std::string> optionalString(const json& object, const char* key) {
    const json* value = member(object, key);
    if (!value || value->is_null())
        return std::nullopt;
    if (!value->is_string())
        throw FeedError(std::string("The feed’s “") + key + "” is not text.");
    return value->get<std::string>();
}

std::int64_t requiredBuild(const json& object) {
    const json* value = member(object, "build");
    if (!value)
        throw FeedError("The feed has no “build”.");
    // A number written as text, or with a fraction, is not a build number.
    if (value->is_number_unsigned()) {
        if (value->get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            throw FeedError("The feed’s “build” does not fit in 64 bits.");
        return static_cast<std::int64_t>(value->get<std::uint64_t>());
    }
    if (value->is_number_integer())
        return value->get<std::int64_t>();
    // A number is a number however it is written: 2.0 and 2e0 are 2.
    if (value->is_number_float()) {
        const double number = value->get<double>();
        if (!std::isfinite(number) || std::trunc(number) != number)
            throw FeedError("The feed’s “build” is not a whole number.");
        // 2^63 is the first double past the largest build.
        if (number < -0x1p63 || number >= 0x1p63)
            throw FeedError("The feed’s “build” does not fit in 64 bits.");
        return static_cast<std::int64_t>(number);
    }
    throw FeedError("The feed’s “build” is not a whole number.");
}

} // namespace

std::string_view updateHost() {
    return TAVRELIN_UPDATE_HOST;
}

std::string feedURL(std::string_view feedPath) {
    return "https://" + std::string(updateHost()) + std::string(feedPath);
}

Updater::Feed Updater::Feed::decode(std::string_view text) {
    json document = json::parse(text, nullptr, false);
    if (document.is_discarded())
        throw FeedError("The feed is not valid JSON.");
    if (!document.is_object())
        throw FeedError("The feed is not a JSON object.");
    Feed feed;
    feed.version = requiredString(document, "version");
    feed.build = requiredBuild(document);
    feed.url = requiredString(document, "url");
    feed.sha256 = requiredString(document, "sha256");
    feed.minimumOS = optionalString(document, "minimumOS");
    feed.notes = optionalString(document, "notes");
    return feed;
}

std::shared_ptr<Updater> Updater::create(platform::MainLoop& mainLoop, platform::Application& application,
                                         std::string appVersion, Run run, AlertRunner runAlert, Reopen reopen, Origin origin) {
    return std::shared_ptr<Updater>(new Updater(mainLoop, application, std::move(appVersion), std::move(run),
                                                std::move(runAlert), std::move(reopen), origin));
}

Updater::Updater(platform::MainLoop& mainLoop, platform::Application& application, std::string appVersion, Run run,
                 AlertRunner runAlert, Reopen reopen, Origin origin)
    : mainLoop_(mainLoop), application_(application), appVersion_(std::move(appVersion)), run_(std::move(run)),
      runAlert_(std::move(runAlert)), reopen_(std::move(reopen)), origin_(origin) {
    if (origin_ == Origin::builtHere)
        lastSummary_ = words::install::builtHereSummary();
}

void Updater::startAutomaticChecks() {
    if (origin_ == Origin::builtHere)
        return; // nothing it could verify, so nothing to check
    std::weak_ptr<Updater> weak = weak_from_this();
    timer_ = mainLoop_.repeating(checkInterval, [weak] {
        if (auto self = weak.lock())
            self->check(false);
    });
    mainLoop_.after(firstCheckDelay, [weak] {
        if (auto self = weak.lock())
            self->check(false);
    });
}

void Updater::check(bool interactive) {
    if (origin_ == Origin::builtHere) {
        if (interactive)
            alert(words::install::builtHereTitle(), words::install::builtHereText());
        return;
    }
    if (inFlight_) {
        if (interactive)
            alert(words::update::alreadyCheckingTitle(), words::update::alreadyCheckingText());
        return;
    }
    inFlight_ = true;
    Log::info(std::string("update check started (") + (interactive ? "manual" : "automatic") + ")");

    std::weak_ptr<Updater> weak = weak_from_this();
    platform::MainLoop& mainLoop = mainLoop_;
    // The run needs nothing of the updater but the step itself, so a copy of
    // it travels with the work and the updater is only held weakly.
    mainLoop_.background(platform::Priority::utility, [weak, run = run_, &mainLoop, interactive] {
        Outcome outcome = run();
        mainLoop.onMain([weak, outcome = std::move(outcome), interactive] {
            if (auto self = weak.lock()) {
                self->inFlight_ = false;
                self->finish(outcome, interactive);
            }
        });
    });
}

void Updater::finish(const Outcome& outcome, bool interactive) {
    if (std::holds_alternative<UpToDate>(outcome)) {
        lastSummary_ = words::update::upToDate(appVersion_);
        Log::info("update check: up to date");
        if (interactive)
            alert(words::update::upToDateTitle(), words::update::upToDateText(appVersion_));
    } else if (const auto* failed = std::get_if<Failed>(&outcome)) {
        lastSummary_ = words::update::lastCheckFailed();
        Log::warn("update check failed: " + failed->message);
        if (interactive)
            alert(words::update::failedTitle(), failed->message);
    } else if (const auto* notInstallable = std::get_if<NotInstallable>(&outcome)) {
        const std::string& version = notInstallable->feed.version;
        lastSummary_ = words::update::available(version);
        Log::warn("update check: " + version + " available but not installable here: " + notInstallable->reason);
        if (interactive)
            alert(words::update::availableTitle(version),
                  words::update::availableText(notInstallable->reason, std::string(updateHost())));
    } else if (const auto* installed = std::get_if<Installed>(&outcome)) {
        const std::string& version = installed->feed.version;
        lastSummary_ = words::update::updating(version);
        Log::info("update check: " + version + " verified and staged; relaunching");
        if (!interactive) {
            // The install script is already waiting for this process to end.
            application_.terminate();
            return;
        }
        const int answer = runAlert_(Alert{platform::AlertStyle::warning,
                                           words::update::readyTitle(version),
                                           words::update::readyText(installed->feed.notes),
                                           {words::update::restartNow(), words::update::later()}});
        if (answer == platform::firstButton) {
            // Quitting first: from here on a start waits for this process to
            // be gone instead of taking it for the running agent. The
            // script's own start may have come before that and given way to
            // this agent, which then starts the new version in its place.
            application_.terminate();
            reopen_(*installed);
        } else {
            // The script swaps the bundles on disk all the same; the next start
            // runs the new version.
            lastSummary_ = words::update::readyAfterRestart(version);
        }
    }
}

void Updater::alert(std::string title, std::string text) {
    runAlert_(Alert{platform::AlertStyle::warning, std::move(title), std::move(text), {words::ok()}});
}

} // namespace tavrelin
