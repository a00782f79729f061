#include "Support/FakePlatform.h"
#include "Support/UpdateFakes.h"
#include "TavrelinMac/UpdatePipeline.h"
#include "TavrelinMac/UpdateTools.h"

#include <gtest/gtest.h>

using namespace tavrelin;
using platform::HttpRequest;
using platform::HttpResponse;
using platform::ProcessResult;

namespace {

const std::string archiveURL = "https://tavrelin.app/downloads/Tavrelin-1.5.0.zip";
const std::string zipBytes = "PK-the-archive";
const std::string zipDigest = "9f2c0d7e5b8a4c3e1f6a7b8c9d0e1f2a3b4c5d6e7f8091a2b3c4d5e6f7a8b9c0";
const std::string staging = "/home/user/.cache/Tavrelin/updates";
const std::string fresh = staging + "/unpacked/Tavrelin.app";
const std::string running = "/Applications/Tavrelin.app";

std::string feedJson(const std::string& extra = "", const std::string& url = archiveURL, long long build = 43) {
    return R"({"version":"1.5.0","build":)" + std::to_string(build) + R"(,"url":")" + url + R"(","sha256":")" + zipDigest +
           "\"" + extra + "}";
}

// One run's world: every service faked, arranged for a successful update.
struct Pipeline {
    fake::FakeHttp http;
    fake::FakeFiles files;
    fake::FakeProcesses processes;
    fake::FakeBundle bundle;
    fake::FakeBundleInfo bundleInfo;
    fake::FakeDigest digest;
    UpdatePipeline pipeline{http, files, processes, bundle, bundleInfo, digest};

    std::map<std::string, HttpResponse> responses;
    std::map<std::string, ProcessResult> tools; // by program
    std::vector<std::string> launched;          // detached programs

    Pipeline() {
        bundle.bundlePath = running;
        responses[feedURL()] = {200, feedJson(), false};
        responses[archiveURL] = {200, zipBytes, false};
        digest.table[zipBytes] = zipDigest;
        bundleInfo.bundles[fresh] = {{"CFBundleIdentifier", "com.tavrelin.mac"}, {"CFBundleVersion", "43"}};
        http.responder = [this](const HttpRequest& request) {
            auto it = responses.find(request.url);
            return it == responses.end() ? HttpResponse{404, "", false} : it->second;
        };
        processes.responder = [this](const fake::FakeProcesses::Call& call) {
            if (call.detached)
                return ProcessResult{};
            if (call.program == "/usr/bin/bsdtar" && tools.count(call.program) == 0) {
                // Unpacks one bundle.
                files.files[fresh + "/Contents/Info.plist"] = "<plist/>";
                return ProcessResult{};
            }
            auto it = tools.find(call.program);
            if (it != tools.end())
                return it->second;
            if (call.program == "/usr/bin/env")
                return ProcessResult{0, "Tavrelin for Mac 1.5.0\n"};
            return ProcessResult{};
        };
    }

    std::vector<std::string> programs() const {
        std::vector<std::string> out;
        for (const auto& call : processes.calls)
            out.push_back(call.program);
        return out;
    }
    std::string failure() {
        auto outcome = pipeline.run();
        auto* failed = std::get_if<Updater::Failed>(&outcome);
        return failed ? failed->message : "(not failed)";
    }
};

struct PipelineTest : ::testing::Test, Pipeline {};

} // namespace

TEST(UpdateFeed, DecodesStrictly) {
    const std::string base = R"("version":"1.5.0","url":"https://tavrelin.app/a.zip","sha256":"ab")";
    auto feed = Updater::Feed::decode("{" + base + R"(,"build":9223372036854775807,"extra":[1]})");
    EXPECT_EQ(feed.build, INT64_MAX);
    EXPECT_EQ(feed.minimumOS, std::nullopt);
    EXPECT_EQ(feed.notes, std::nullopt);
    feed = Updater::Feed::decode("{" + base + R"(,"build":-3,"minimumOS":null,"notes":null})");
    EXPECT_EQ(feed.build, -3);
    EXPECT_EQ(feed.notes, std::nullopt);
    feed = Updater::Feed::decode("{" + base + R"(,"build":7,"minimumOS":"13.0","notes":"Hi"})");
    EXPECT_EQ(feed.minimumOS, "13.0");
    EXPECT_EQ(feed.notes, "Hi");

    const std::pair<std::string, std::string> bad[] = {
        {"{" + base + R"(,"build":"42"})", "The feed’s “build” is not a whole number."},
        {"{" + base + R"(,"build":42.5})", "The feed’s “build” is not a whole number."},
        {"{" + base + R"(,"build":9223372036854775808})", "The feed’s “build” does not fit in 64 bits."},
        {R"({"version":"1","build":1,"url":"u"})", "The feed has no “sha256”."},
        {"{" + base + R"(,"build":1,"notes":5})", "The feed’s “notes” is not text."},
        {R"({"version":1,"build":1,"url":"u","sha256":"x"})", "The feed’s “version” is not text."},
        {"[1]", "The feed is not a JSON object."},
        {"<html>", "The feed is not valid JSON."},
    };
    for (const auto& [json, message] : bad) {
        try {
            Updater::Feed::decode(json);
            ADD_FAILURE() << json;
        } catch (const FeedError& error) {
            EXPECT_EQ(error.what(), message) << json;
        }
    }
}

TEST(UpdateFeed, AddressIsFixedAtBuildTime) {
    EXPECT_EQ(feedURL(), "https://tavrelin.app/downloads/linux-version.json");
}

TEST(UpdateRules, BuildNumbersAndMinimumSystem) {
    const std::pair<const char*, std::optional<std::int64_t>> builds[] = {
        {"42", 42},
        {"+7", 7},
        {"-7", -7},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"9223372036854775808", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {" 4", std::nullopt},
        {"4 ", std::nullopt},
        {"+-4", std::nullopt},
        {"1.0", std::nullopt},
        {"x", std::nullopt},
    };
    for (const auto& [text, value] : builds)
        EXPECT_EQ(UpdatePipeline::buildNumber(text), value) << text;

    const platform::OperatingSystemVersion system{14, 2, 1, "14.2.1"};
    for (const char* yes : {"14", "14.2", "14.2.1", "13.9.9.9", "", "x.y", "14.beta.1", "14..2"})
        EXPECT_TRUE(UpdatePipeline::osSatisfies(yes, system)) << yes;
    for (const char* no : {"14.3", "14.2.1.1", "15", "99"})
        EXPECT_FALSE(UpdatePipeline::osSatisfies(no, system)) << no;
}

TEST_F(PipelineTest, InstallsAVerifiedNewerBuild) {
    auto outcome = pipeline.run();
    auto* installed = std::get_if<Updater::Installed>(&outcome);
    ASSERT_TRUE(installed);
    EXPECT_EQ(installed->feed.version, "1.5.0");

    ASSERT_EQ(http.sessions.size(), 1u);
    EXPECT_EQ(http.sessions[0].requestTimeout, 20);
    EXPECT_EQ(http.sessions[0].resourceTimeout, platform::HttpSessionConfig::noLimit);
    EXPECT_EQ(http.sessions[0].maxBodyBytes, 512u * 1024 * 1024);
    ASSERT_EQ(http.requests.size(), 2u);
    EXPECT_EQ(http.requests[1].url, archiveURL);
    EXPECT_EQ(http.requests[1].method, "GET");
    EXPECT_TRUE(http.requests[1].headers.empty());
    EXPECT_EQ(files.files[staging + "/update.zip"], zipBytes);

    // Unpack, signature, "will it run", then the install script; nothing else.
    ASSERT_EQ(processes.calls.size(), 4u);
    EXPECT_EQ(processes.calls[0].arguments, (std::vector<std::string>{"-x", "-p", "--no-same-owner", "-f",
                                                                      staging + "/update.zip", "-C", staging + "/unpacked"}));
    EXPECT_EQ(processes.calls[1].program, running + "/Contents/MacOS/tavrelin-verify");
    EXPECT_EQ(processes.calls[1].arguments, (std::vector<std::string>{"--verify", "--trusted", running, fresh}));
    EXPECT_EQ(processes.calls[2].program, "/usr/bin/env");
    EXPECT_EQ(processes.calls[2].arguments.front(), "-i");
    EXPECT_EQ(processes.calls[2].arguments.back(), "--version");
    EXPECT_TRUE(processes.calls[3].detached);
    EXPECT_EQ(processes.calls[3].program, "/bin/sh");
    EXPECT_EQ(processes.calls[3].arguments,
              (std::vector<std::string>{"-c", updatetools::installScript(running, running + ".previous", fresh, staging)}));
    EXPECT_TRUE(files.exists(staging)); // the script removes it
}

TEST_F(PipelineTest, StopsAtTheFirstFailingStepWithItsText) {
    struct Row {
        const char* name;
        std::function<void(Pipeline&)> arrange;
        std::string message;
        std::vector<std::string> programs; // what ran before it stopped
    };
    const std::string bsdtar = "/usr/bin/bsdtar", verifier = running + "/Contents/MacOS/tavrelin-verify";
    const Row rows[] = {
        {"feed unreachable",
         [](Pipeline& t) {
             t.http.responder = [](const HttpRequest&) -> HttpResponse {
                 throw platform::HttpTransportError("Could not resolve host: tavrelin.app");
             };
         },
         "The update feed could not be read. Could not resolve host: tavrelin.app",
         {}},
        {"feed status",
         [](Pipeline& t) {
             t.responses[feedURL()] = {500, "oops", false};
         },
         "The update feed could not be read. HTTP 500 from tavrelin.app",
         {}},
        {"feed undecodable",
         [](Pipeline& t) { t.responses[feedURL()].body = R"({"version":"1"})"; },
         "The update feed could not be read. The feed has no “build”.",
         {}},
        {"http download address",
         [](Pipeline& t) { t.responses[feedURL()].body = feedJson("", "http://tavrelin.app/a.zip"); },
         "The update feed points somewhere other than tavrelin.app, so it was ignored.",
         {}},
        {"subdomain",
         [](Pipeline& t) { t.responses[feedURL()].body = feedJson("", "https://cdn.tavrelin.app/a.zip"); },
         "The update feed points somewhere other than tavrelin.app, so it was ignored.",
         {}},
        {"host case",
         [](Pipeline& t) { t.responses[feedURL()].body = feedJson("", "https://Tavrelin.app/a.zip"); },
         "The update feed points somewhere other than tavrelin.app, so it was ignored.",
         {}},
        {"no staging",
         [](Pipeline& t) { t.files.failing.insert(staging); },
         "No writable place to stage the download. The operation couldn’t be completed for “" + staging + "”.",
         {}},
        {"archive missing",
         [](Pipeline& t) { t.responses.erase(archiveURL); },
         "The download failed. HTTP 404 from tavrelin.app",
         {}},
        {"archive empty",
         [](Pipeline& t) { t.responses[archiveURL].body.clear(); },
         "The download failed. Empty response from tavrelin.app",
         {}},
        {"archive too large",
         [](Pipeline& t) {
             t.responses[archiveURL] = {200, "", true};
         },
         "The download failed. The file from tavrelin.app is larger than 512 MiB.",
         {}},
        {"archive not writable",
         [](Pipeline& t) { t.files.failing.insert(staging + "/update.zip"); },
         "The download failed. The operation couldn’t be completed for “" + staging + "/update.zip”.",
         {}},
        {"digest",
         [](Pipeline& t) { t.digest.table[zipBytes] = std::string(64, '0'); },
         "The downloaded file did not match its checksum, so it was discarded.",
         {}},
        {"unpack",
         [&](Pipeline& t) {
             t.tools[bsdtar] = {1, "bsdtar: Error"};
         },
         "The downloaded archive could not be unpacked.",
         {bsdtar}},
        {"no app",
         [&](Pipeline& t) {
             t.tools[bsdtar] = {0, ""};
         },
         "The downloaded archive did not contain an app.",
         {bsdtar}},
        {"signature",
         [&](Pipeline& t) {
             t.tools[verifier] = {1, fresh + ": a sealed resource is missing or invalid\nfile modified: x\n"};
         },
         "The downloaded app is not signed by Tavrelin, so it was discarded. (" + fresh +
             ": a sealed resource is missing or invalid\nfile modified: x)",
         {bsdtar, verifier}},
        {"will not run",
         [](Pipeline& t) {
             t.tools["/usr/bin/env"] = {127, "error while loading shared libraries: libx.so"};
         },
         "The downloaded app is not notarized, so it was discarded. (error while loading shared libraries: libx.so)",
         {bsdtar, verifier, "/usr/bin/env"}},
        {"reports another version",
         [](Pipeline& t) {
             t.tools["/usr/bin/env"] = {0, "Tavrelin for Mac 1.4.9"};
         },
         "The downloaded app is not notarized, so it was discarded. (it reports “Tavrelin for Mac 1.4.9” instead of "
         "“Tavrelin for Mac 1.5.0”)",
         {bsdtar, verifier, "/usr/bin/env"}},
        {"other build",
         [](Pipeline& t) { t.bundleInfo.bundles[fresh]["CFBundleVersion"] = "44"; },
         "The downloaded app is not the version the feed announced, so it was discarded.",
         {bsdtar, verifier, "/usr/bin/env"}},
        {"other identifier",
         [](Pipeline& t) { t.bundleInfo.bundles[fresh]["CFBundleIdentifier"] = "com.example.other"; },
         "The downloaded app is not the version the feed announced, so it was discarded.",
         {bsdtar, verifier, "/usr/bin/env"}},
        {"no information",
         [](Pipeline& t) { t.bundleInfo.bundles.clear(); },
         "The downloaded app is not the version the feed announced, so it was discarded.",
         {bsdtar, verifier, "/usr/bin/env"}},
        {"script cannot start",
         [](Pipeline& t) {
             t.processes.responder = [r = t.processes.responder](const fake::FakeProcesses::Call& call) {
                 if (call.detached)
                     throw platform::ProcessError("Could not start “/bin/sh”: No such file or directory");
                 return r(call);
             };
         },
         "The update was verified but the install step could not start. Could not start “/bin/sh”: No such file or "
         "directory",
         {bsdtar, verifier, "/usr/bin/env", "/bin/sh"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Pipeline t;
        row.arrange(t);
        EXPECT_EQ(t.failure(), row.message);
        EXPECT_EQ(t.programs(), row.programs);
        EXPECT_FALSE(t.files.exists(staging)) << "the staging folder is left behind";
    }
}

TEST_F(PipelineTest, DecidesWhetherToDownloadAtAll) {
    // Same build with another version text: up to date.
    responses[feedURL()].body = feedJson("", archiveURL, 42);
    EXPECT_TRUE(std::holds_alternative<Updater::UpToDate>(pipeline.run()));
    // A running build that is not a number counts as 0.
    bundleInfo.bundles[fresh]["CFBundleVersion"] = "1";
    for (const char* value : {"abc", ""}) {
        bundle.info["CFBundleVersion"] = value;
        responses[feedURL()].body = feedJson("", archiveURL, 1);
        EXPECT_TRUE(std::holds_alternative<Updater::Installed>(pipeline.run())) << value;
    }
    bundle.info.erase("CFBundleVersion");
    responses[feedURL()].body = feedJson("", archiveURL, 0);
    EXPECT_TRUE(std::holds_alternative<Updater::UpToDate>(pipeline.run()));
    EXPECT_EQ(http.requests.size(), 6u); // no archive fetched for the up-to-date answers
}

TEST_F(PipelineTest, NotInstallableHereForOldSystemsAndOtherFolders) {
    bundle.os = {14, 2, 1, "Linux 14.2.1"};
    responses[feedURL()].body = feedJson(R"(,"minimumOS":"99")");
    auto outcome = pipeline.run();
    auto* refused = std::get_if<Updater::NotInstallable>(&outcome);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->reason, "It needs macOS 99 or newer; this Mac is on Linux 14.2.1.");
    EXPECT_EQ(refused->feed.minimumOS, "99");

    responses[feedURL()].body = feedJson(R"(,"minimumOS":"14.2")");
    bundle.bundlePath = "/home/user/Downloads/Tavrelin.app";
    outcome = pipeline.run();
    refused = std::get_if<Updater::NotInstallable>(&outcome);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->reason,
              "This copy is running from /home/user/Downloads, not from Applications, so it won’t replace itself.");
    EXPECT_TRUE(processes.calls.empty());
    EXPECT_EQ(http.requests.size(), 2u);

    // The Applications folder in the home folder is accepted, as text.
    bundle.bundlePath = "/home/user/Applications/Tavrelin.app";
    bundleInfo.bundles[fresh] = {{"CFBundleIdentifier", "com.tavrelin.mac"}, {"CFBundleVersion", "43"}};
    EXPECT_TRUE(std::holds_alternative<Updater::Installed>(pipeline.run()));
    bundle.bundlePath = "/Applications/Tavrelin.app/"; // a folder path may end in "/"
    EXPECT_TRUE(std::holds_alternative<Updater::Installed>(pipeline.run()));
    EXPECT_EQ(processes.calls.back().arguments.at(1),
              updatetools::installScript(running, running + ".previous", fresh, staging));
    bundle.bundlePath = "/home/user/Applications/../Applications/Tavrelin.app";
    EXPECT_TRUE(std::holds_alternative<Updater::NotInstallable>(pipeline.run()));
}

TEST_F(PipelineTest, UpperCaseDigestMatchesAndAnEarlierRunLeavesNothingBehind) {
    responses[feedURL()].body = R"({"version":"1.5.0","build":43,"url":")" + archiveURL + R"(","sha256":")" +
                                "9F2C0D7E5B8A4C3E1F6A7B8C9D0E1F2A3B4C5D6E7F8091A2B3C4D5E6F7A8B9C0" + "\"}";
    files.files[staging + "/unpacked/Old.app/Contents/Info.plist"] = "stale";
    EXPECT_TRUE(std::holds_alternative<Updater::Installed>(pipeline.run()));
    EXPECT_FALSE(files.exists(staging + "/unpacked/Old.app"));
}
