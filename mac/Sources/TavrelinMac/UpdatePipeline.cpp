#include "TavrelinMac/UpdatePipeline.h"
#include "Platform/BundleLayout.h"

#include "Base/Text.h"
#include "TavrelinMac/BundleSwap.h"
#include "TavrelinMac/InstalledCopy.h"
#include "TavrelinMac/Logging.h"
#include "TavrelinMac/UpdateTools.h"
#include "TavrelinMac/Url.h"
#include "TavrelinMac/Words.h"

#include <exception>
#include <limits>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

namespace tavrelin {
namespace {

using Outcome = Updater::Outcome;
using Failed = Updater::Failed;

std::string hostForMessages(const std::string& url) {
    auto parsed = Url::parse(url);
    if (parsed && parsed->host && !parsed->host->empty())
        return *parsed->host;
    return words::update::someServer();
}

// Where a URL leads, for messages: its scheme, host and port, which decide
// whether it is the update host's; the whole text when it has no host.
std::string originForMessages(const std::string& url) {
    auto parsed = Url::parse(url);
    if (!parsed || !parsed->scheme || !parsed->host || parsed->host->empty())
        return url;
    return *parsed->scheme + "://" + *parsed->host + (parsed->port ? ":" + std::to_string(*parsed->port) : "");
}

// The update host split into its name and the port that demo and test builds
// may add to it.
struct UpdateAuthority {
    std::string host;
    std::optional<int> port;
};

UpdateAuthority updateAuthority() {
    std::string text(updateHost());
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return {text, std::nullopt};
    return {text.substr(0, colon), std::stoi(text.substr(colon + 1))};
}

bool fromUpdateHost(const std::string& address) {
    auto url = Url::parse(address);
    if (!url || url->scheme != "https" || !url->host || url->host->empty())
        return false;
    const UpdateAuthority expected = updateAuthority();
    if (*url->host != expected.host)
        return false;
    return !expected.port || url->port == expected.port;
}

std::string elsewhere() {
    return words::update::elsewhere(std::string(updateHost()));
}

// Removes what a failed run leaves; its own failure is logged, not reported,
// since the failure that ended the run is the one the user needs.
void removeLeftover(platform::Files& files, const std::string& path) {
    try {
        if (files.exists(path))
            files.remove(path);
    } catch (const std::exception& error) {
        Log::warn(std::string("update: could not remove a leftover: ") + error.what());
    }
}

// Why the new build did not show that it runs here, or none when it did:
// it ran, and answered `answer` where the system expects one.
std::optional<std::string> notShownToRun(const updatetools::ShellResult& result, const std::optional<std::string>& answer,
                                         const std::string& version) {
    if (const auto* failed = std::get_if<updatetools::ToolFailed>(&result))
        return failed->output.empty() && answer ? words::update::didNotStart() : failed->output;
    const std::string& output = std::get<updatetools::ToolSucceeded>(result).output;
    if (!answer || output == *answer)
        return std::nullopt;
    // Versions, not whole lines: the name is no news to the person.
    const std::string prefix = answer->substr(0, answer->size() - version.size());
    return words::update::reportsVersion(output.starts_with(prefix) ? output.substr(prefix.size()) : output, version);
}

bool hasAppExtension(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot != std::string::npos && dot > 0 && name.substr(dot + 1) == "app";
}

} // namespace

UpdatePipeline::UpdatePipeline(platform::Http& http, platform::Files& files, platform::Processes& processes,
                               const platform::Bundle& bundle, const platform::BundleInfoReader& bundleInfo,
                               platform::UpdateSystem& system)
    : http_(http), files_(files), processes_(processes), bundle_(bundle), bundleInfo_(bundleInfo), system_(system) {}

std::optional<std::int64_t> UpdatePipeline::buildNumber(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return std::nullopt;
    // Accumulated as a negative number so the smallest value fits too.
    std::int64_t value = 0;
    constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const int digit = c - '0';
        if (value < (min + digit) / 10)
            return std::nullopt;
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == min)
            return std::nullopt;
        value = -value;
    }
    return value;
}

bool UpdatePipeline::osSatisfies(std::string_view minimumOS, const platform::OperatingSystemVersion& system) {
    std::vector<std::int64_t> required;
    for (std::string_view piece : text::split(minimumOS, '.'))
        if (auto number = buildNumber(piece))
            required.push_back(*number);
    const std::int64_t running[] = {system.major, system.minor, system.patch};
    for (std::size_t i = 0; i < required.size(); ++i) {
        const std::int64_t have = i < 3 ? running[i] : 0;
        if (have != required[i])
            return have > required[i];
    }
    return true;
}

std::string UpdatePipeline::fetch(platform::HttpSession& session, const std::string& url) {
    platform::HttpRequest request;
    request.url = url;
    platform::HttpResponse response;
    try {
        response = session.perform(request);
    } catch (const platform::HttpBodyTooLarge& error) {
        throw UpdateError(words::update::tooLarge(hostForMessages(url), error.limit()));
    }
    if (response.status < 200 || response.status > 299)
        throw UpdateError(words::update::httpStatus(response.status, hostForMessages(url)));
    if (response.body.empty())
        throw UpdateError(words::update::emptyResponse(hostForMessages(url)));
    return std::move(response.body);
}

std::string UpdatePipeline::fetchToFile(platform::HttpSession& session, const std::string& url, const std::string& path) {
    platform::HttpRequest request;
    request.url = url;
    platform::HttpDownload download;
    try {
        download = session.download(request, path);
    } catch (const platform::HttpBodyTooLarge& error) {
        throw UpdateError(words::update::tooLarge(hostForMessages(url), error.limit()));
    }
    if (download.status < 200 || download.status > 299)
        throw UpdateError(words::update::httpStatus(download.status, hostForMessages(url)));
    if (download.bytes == 0)
        throw UpdateError(words::update::emptyResponse(hostForMessages(url)));
    return std::move(download.sha256);
}

std::string UpdatePipeline::stagingDirectory() const {
    const std::string folder = files_.cachesDirectory() + "/Tavrelin/updates";
    try {
        files_.remove(folder);
    } catch (const std::exception&) {
        // Missing is fine; anything else shows when creating it.
    }
    files_.createDirectories(folder);
    return folder;
}

Outcome UpdatePipeline::run() const {
    platform::HttpSessionConfig config;
    config.requestTimeout = requestTimeout;
    config.resourceTimeout = platform::HttpSessionConfig::noLimit;
    config.maxBodyBytes = maxDownloadBytes;
    config.lowSpeedBytesPerSecond = lowSpeedBytesPerSecond;
    config.lowSpeedTime = lowSpeedTime;
    // The feed and the archive come from the update host alone, redirects
    // included.
    config.allowRedirect = [](const std::string&, const std::string& to) { return fromUpdateHost(to); };
    std::unique_ptr<platform::HttpSession> session;
    Updater::Feed feed;
    try {
        session = http_.makeSession(config);
        feed = Updater::Feed::decode(fetch(*session, feedURL(system_.feedPath())));
    } catch (const std::exception& error) {
        return Failed{words::update::feedUnreadable(error.what())};
    }

    const auto current = bundle_.infoString("CFBundleVersion");
    const std::int64_t currentBuild = current ? buildNumber(*current).value_or(0) : 0;
    if (feed.build <= currentBuild)
        return Updater::UpToDate{};

    if (feed.minimumOS) {
        const platform::OperatingSystemVersion system = bundle_.operatingSystemVersion();
        if (!osSatisfies(*feed.minimumOS, system))
            return Updater::NotInstallable{feed, words::update::needsNewerSystem(*feed.minimumOS, system.text)};
    }

    if (!fromUpdateHost(feed.url))
        return Failed{elsewhere()};

    const std::string path = bundle_.path();
    if (!replacesItself(copyPlace(path, bundle_.homeDirectory())))
        return Updater::NotInstallable{feed, words::update::notInApplications(text::splitPath(path).folder)};

    return download(*session, feed);
}

Outcome UpdatePipeline::download(platform::HttpSession& session, const Updater::Feed& feed) const {
    std::string staging;
    try {
        staging = stagingDirectory();
    } catch (const std::exception& error) {
        return Failed{words::update::noStaging(error.what())};
    }
    // From here on every failure leaves nothing behind.
    auto discard = [this, &staging](std::string message) -> Outcome {
        removeLeftover(files_, staging);
        return Failed{std::move(message)};
    };

    // Written as it arrives and digested on the way; never whole in memory.
    const std::string archive = staging + "/update.zip";
    std::string digest;
    try {
        digest = fetchToFile(session, feed.url, archive);
    } catch (const platform::HttpRedirectRefused& error) {
        // The feed's address was the update host's; the host sent the archive on.
        Log::warn("update: " + std::string(error.what()));
        return discard(words::update::downloadRedirected(originForMessages(error.target()), std::string(updateHost())));
    } catch (const std::exception& error) {
        return discard(words::update::downloadFailed(error.what()));
    }

    if (digest != text::lowercasedAscii(feed.sha256))
        return discard(words::update::checksumMismatch());

    const std::string unpacked = staging + "/unpacked";
    try {
        system_.unpack(archive, unpacked, unpackLimits);
    } catch (const std::exception& error) {
        Log::warn("update: could not unpack: " + std::string(error.what()));
        return discard(words::update::notUnpacked());
    }

    std::string fresh;
    try {
        for (const std::string& name : files_.list(unpacked)) {
            if (hasAppExtension(name)) {
                fresh = unpacked + "/" + name;
                break;
            }
        }
    } catch (const std::exception& error) {
        Log::warn("update: " + std::string(error.what()));
    }
    if (fresh.empty())
        return discard(words::update::noApp());

    // Without a trailing "/", so the previous version's path stands beside it.
    const text::PathParts running = text::splitPath(bundle_.path());
    const std::string current = running.folder + "/" + running.name;
    updatetools::ShellResult signature;
    try {
        signature = updatetools::shell(processes_, system_.signatureCheck(current, fresh));
    } catch (const platform::ProcessTimedOut& error) {
        Log::warn("update: " + std::string(error.what()));
        return discard(words::update::signatureCheckDidNotFinish(error.deadline().count()));
    }
    if (const auto* failed = std::get_if<updatetools::ToolFailed>(&signature))
        return discard(words::update::notSigned(failed->output));

    updatetools::ShellResult assessment;
    try {
        assessment = updatetools::shell(processes_, system_.runCheck(fresh));
    } catch (const platform::ProcessTimedOut& error) {
        Log::warn("update: " + std::string(error.what()));
        return discard(words::update::runCheckDidNotFinish(error.deadline().count()));
    }
    // The new build speaks this build's words: the same name before the version.
    const auto answer =
        system_.runCheckPrintsVersion() ? std::optional(words::about::nameAndVersion(feed.version)) : std::nullopt;
    if (const auto problem = notShownToRun(assessment, answer, feed.version))
        return discard(words::update::doesNotRun(*problem));

    const auto info = bundleInfo_.infoStrings(fresh);
    auto entry = [&info](const char* key) -> std::optional<std::string> {
        if (!info)
            return std::nullopt;
        auto it = info->find(key);
        return it == info->end() ? std::nullopt : std::optional<std::string>(it->second);
    };
    const auto version = entry("CFBundleVersion");
    if (entry("CFBundleIdentifier") != bundle::identifier || !version || buildNumber(*version) != feed.build)
        return discard(words::update::wrongVersion());

    if (auto removal = system_.quarantineRemoval(fresh)) {
        try {
            updatetools::shell(processes_, *removal); // what it answers is not used
        } catch (const platform::ProcessTimedOut& error) {
            Log::warn("update: " + std::string(error.what()));
        }
    }

    return install(feed, staging, fresh);
}

Outcome UpdatePipeline::install(const Updater::Feed& feed, const std::string& staging, const std::string& fresh) const {
    const text::PathParts running = text::splitPath(bundle_.path());
    // Staged beside the running bundle, on its file system: the swap is then
    // two renames, and a full disk shows here, before anything has moved.
    BundleSwap swap(files_, running.folder + "/" + running.name, "incoming");
    updatetools::InstallPaths paths;
    paths.current = swap.destination();
    paths.previous = paths.current + ".previous";
    paths.incoming = swap.staged();
    paths.staging = staging;
    try {
        swap.stage(fresh, BundleSwap::Take::move);
        system_.launchScript(
            updatetools::installScript(paths, system_.flushCommand(running.folder), system_.reopenCommand(paths.current)));
    } catch (const std::exception& error) {
        removeLeftover(files_, paths.incoming);
        removeLeftover(files_, staging);
        return Failed{words::update::installDidNotStart(error.what())};
    }
    return Updater::Installed{feed, paths.incoming};
}

} // namespace tavrelin
