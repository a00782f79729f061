#pragma once

#include "Platform/Bundle.h"
#include "Platform/BundleInfo.h"
#include "Platform/Files.h"
#include "Platform/Http.h"
#include "Platform/Processes.h"
#include "Platform/UpdateSystem.h"
#include "TavrelinMac/Updater.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tavrelin {

// A failed step of the pipeline; what() is a finished user-facing text.
class UpdateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One update run: feed, build comparison, minimum system, download host and
// running location rules, staging, download, digest, unpacking, signature,
// "will it run here", identity, placing the new bundle beside the running
// one, and the start of the install script. Blocks for the whole run, so it
// runs off the main thread; it touches nothing but the services it was given,
// the staging folder and the new bundle's place beside the running one.
class UpdatePipeline {
public:
    UpdatePipeline(platform::Http& http, platform::Files& files, platform::Processes& processes, const platform::Bundle& bundle,
                   const platform::BundleInfoReader& bundleInfo, platform::UpdateSystem& system);

    // Never throws: every failure is folded into `Failed` or `NotInstallable`.
    Updater::Outcome run() const;

    // The body of a plain GET; throws UpdateError or HttpTransportError.
    static std::string fetch(platform::HttpSession& session, const std::string& url);
    // A plain GET into the file at `path`; answers the body's SHA-256. Throws
    // UpdateError, HttpTransportError (HttpRedirectRefused for a redirect
    // away from the update host) or the file system's error.
    static std::string fetchToFile(platform::HttpSession& session, const std::string& url, const std::string& path);
    // A fresh, empty staging folder; throws the file system's error.
    std::string stagingDirectory() const;
    // Whether `system` is at least the dotted `minimumOS`.
    static bool osSatisfies(std::string_view minimumOS, const platform::OperatingSystemVersion& system);
    // A decimal integer: optional sign, then digits only, within 64 bits.
    static std::optional<std::int64_t> buildNumber(std::string_view text);

    // The session of one run: silence for this long fails an exchange; the
    // whole exchange has no limit, so a slow but steady download completes,
    // but one slower than lowSpeedBytesPerSecond for lowSpeedTime fails.
    static constexpr double requestTimeout = 20;
    static constexpr std::size_t lowSpeedBytesPerSecond = 1024;
    static constexpr double lowSpeedTime = 60;
    // Larger archives fail instead of filling the disk.
    static constexpr std::size_t maxDownloadBytes = std::size_t{512} * 1024 * 1024;
    // What unpacking may write: an archive that expands beyond this is not a
    // bundle of ours.
    static constexpr platform::UnpackLimits unpackLimits{4 * std::uint64_t{maxDownloadBytes}, 100000};

private:
    Updater::Outcome download(platform::HttpSession& session, const Updater::Feed& feed) const;
    Updater::Outcome install(const Updater::Feed& feed, const std::string& staging, const std::string& fresh) const;

    platform::Http& http_;
    platform::Files& files_;
    platform::Processes& processes_;
    const platform::Bundle& bundle_;
    const platform::BundleInfoReader& bundleInfo_;
    platform::UpdateSystem& system_;
};

} // namespace tavrelin
