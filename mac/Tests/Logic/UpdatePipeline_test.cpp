#include "Support/FakePlatform.h"
#include "Support/UpdateFakes.h"
#include "TavrelinMac/UpdatePipeline.h"
#include "TavrelinMac/UpdateTools.h"

#include <gtest/gtest.h>

using namespace tavrelin;
using platform::HttpRequest;
using platform::HttpResponse;
using platform::ProcessResult;
using Strings = std::vector<std::string>;

namespace {

const std::string archiveURL = "https://tavrelin.app/downloads/Tavrelin-1.5.0.zip";
const std::string zipBytes = "PK-the-archive";
const std::string staging = "/home/user/.cache/Tavrelin/updates";
const std::string fresh = staging + "/unpacked/Tavrelin.app";
const std::string running = "/Applications/Tavrelin.app";
const std::string bsdtar = "/usr/bin/bsdtar", verifier = running + "/Contents/MacOS/tavrelin-verify", env = "/usr/bin/env";
const ProcessResult unsealed{1, "sealed resource missing\n"}, olderApp{0, "Tavrelin for Mac 1.4.9"};

std::string feedJson(const std::string& extra = "", const std::string& url = archiveURL, long long build = 43) {
    return R"({"version":"1.5.0","build":)" + std::to_string(build) + R"(,"url":")" + url + R"(","sha256":"9F2C")" + extra +
           "}";
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
    std::map<std::string, HttpResponse> responses{{feedURL(), {200, feedJson(), false}}, {archiveURL, {200, zipBytes, false}}};
    std::map<std::string, ProcessResult> tools{{env, {0, "Tavrelin for Mac 1.5.0\n"}}}; // by program

    Pipeline() {
        bundle.bundlePath = running;
        digest.table[zipBytes] = "9f2c"; // the feed's digest may be upper case
        bundleInfo.bundles[fresh] = {{"CFBundleIdentifier", "com.tavrelin.mac"}, {"CFBundleVersion", "43"}};
        http.responder = [this](const HttpRequest& request) {
            auto it = responses.find(request.url);
            return it == responses.end() ? HttpResponse{404, "", false} : it->second;
        };
        processes.responder = [this](const fake::FakeProcesses::Call& call) {
            if (call.program == bsdtar && tools.count(bsdtar) == 0)
                files.files[fresh + "/Contents/Info.plist"] = "<plist/>"; // unpacks one bundle
            if (call.detached && tools.count("/bin/sh"))
                throw platform::ProcessError("no shell");
            auto it = tools.find(call.program);
            return it == tools.end() || call.detached ? ProcessResult{} : it->second;
        };
    }
    Strings programs() const {
        Strings out;
        for (const auto& call : processes.calls)
            out.push_back(call.program);
        return out;
    }
    std::string result() {
        auto outcome = pipeline.run();
        if (auto* failed = std::get_if<Updater::Failed>(&outcome))
            return failed->message;
        if (auto* refused = std::get_if<Updater::NotInstallable>(&outcome))
            return "not installable: " + refused->reason;
        return std::holds_alternative<Updater::Installed>(outcome) ? "installed" : "up to date";
    }
};

} // namespace

TEST(UpdateFeed, DecodesStrictly) {
    const std::string base = R"({"version":"1.5.0","url":"https://tavrelin.app/a.zip","sha256":"ab")";
    EXPECT_EQ(Updater::Feed::decode(base + R"(,"build":9223372036854775807,"extra":[1]})").build, INT64_MAX);
    auto feed = Updater::Feed::decode(base + R"(,"build":-3,"minimumOS":null,"notes":"Hi"})");
    EXPECT_EQ(feed.build, -3);
    EXPECT_EQ(feed.minimumOS, std::nullopt);
    EXPECT_EQ(feed.notes, "Hi");

    const std::pair<std::string, std::string> bad[] = {
        {base + R"(,"build":"42"})", "The feed’s “build” is not a whole number."},
        {base + R"(,"build":42.5})", "The feed’s “build” is not a whole number."},
        {base + R"(,"build":9223372036854775808})", "The feed’s “build” does not fit in 64 bits."},
        {R"({"version":"1","build":1,"url":"u"})", "The feed has no “sha256”."},
        {base + R"(,"build":1,"notes":5})", "The feed’s “notes” is not text."},
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

TEST(UpdateRules, BuildNumbersAndMinimumSystem) {
    EXPECT_EQ(UpdatePipeline::buildNumber("42"), 42);
    EXPECT_EQ(UpdatePipeline::buildNumber("+7"), 7);
    EXPECT_EQ(UpdatePipeline::buildNumber("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(UpdatePipeline::buildNumber("-9223372036854775808"), INT64_MIN);
    for (const char* bad : {"9223372036854775808", "", "+", " 4", "+-4", "1.0"})
        EXPECT_EQ(UpdatePipeline::buildNumber(bad), std::nullopt) << bad;

    const platform::OperatingSystemVersion system{14, 2, 1, "14.2.1"};
    for (const char* yes : {"14", "14.2.1", "13.9.9.9", "", "x.y", "14.beta.1"})
        EXPECT_TRUE(UpdatePipeline::osSatisfies(yes, system)) << yes;
    for (const char* no : {"14.3", "14.2.1.1", "15"})
        EXPECT_FALSE(UpdatePipeline::osSatisfies(no, system)) << no;
}

TEST(UpdatePipeline, InstallsAVerifiedNewerBuildInOrder) {
    Pipeline t;
    t.files.files[staging + "/unpacked/Old.app/Contents/Info.plist"] = "stale"; // left by an earlier run
    EXPECT_EQ(t.result(), "installed");
    ASSERT_EQ(t.http.sessions.size(), 1u);
    EXPECT_EQ(t.http.sessions[0].resourceTimeout, platform::HttpSessionConfig::noLimit);
    EXPECT_EQ(t.http.sessions[0].maxBodyBytes, 512u * 1024 * 1024);
    EXPECT_EQ(t.files.files[staging + "/update.zip"], zipBytes);
    EXPECT_FALSE(t.files.exists(staging + "/unpacked/Old.app"));

    // Unpack, signature, "will it run", then the install script; nothing else.
    ASSERT_EQ(t.programs(), (Strings{bsdtar, verifier, env, "/bin/sh"}));
    const auto& calls = t.processes.calls;
    EXPECT_EQ(calls[0].arguments,
              (Strings{"-x", "-p", "--no-same-owner", "-f", staging + "/update.zip", "-C", staging + "/unpacked"}));
    EXPECT_EQ(calls[1].arguments, (Strings{"--verify", "--trusted", running, fresh}));
    EXPECT_EQ(calls[2].arguments.back(), "--version");
    EXPECT_TRUE(calls[3].detached);
    EXPECT_EQ(calls[3].arguments, (Strings{"-c", updatetools::installScript(running, running + ".previous", fresh, staging)}));
    EXPECT_TRUE(t.files.exists(staging)); // the script removes it
}

TEST(UpdatePipeline, DecidesAndStopsAtTheFirstFailingStep) {
    struct Row {
        std::function<void(Pipeline&)> arrange;
        std::string result;
        std::size_t programs; // how many ran before it stopped
    };
    const std::string elsewhere = "The update feed points somewhere other than tavrelin.app, so it was ignored.";
    const std::string notTheVersion = "The downloaded app is not the version the feed announced";
    const Row rows[] = {
        {[](Pipeline& t) { t.http.responder = [](auto&) -> HttpResponse { throw platform::HttpTransportError("no DNS"); }; },
         "The update feed could not be read. no DNS", 0},
        {[](Pipeline& t) { t.responses[feedURL()].status = 500; },
         "The update feed could not be read. HTTP 500 from tavrelin.app", 0},
        {[](Pipeline& t) { t.responses[feedURL()].body = R"({"version":"1"})"; },
         "The update feed could not be read. The feed has", 0},
        {[](Pipeline& t) { t.responses[feedURL()].body = feedJson("", archiveURL, 42); }, "up to date", 0},
        {[](Pipeline& t) { t.responses[feedURL()].body = feedJson(R"(,"minimumOS":"99")"); },
         "not installable: It needs macOS 99 or newer; this Mac is on 14.2.1.", 0},
        {[](Pipeline& t) { t.responses[feedURL()].body = feedJson("", "http://tavrelin.app/a.zip"); }, elsewhere, 0},
        {[](Pipeline& t) { t.responses[feedURL()].body = feedJson("", "https://cdn.tavrelin.app/a.zip"); }, elsewhere, 0},
        {[](Pipeline& t) { t.bundle.bundlePath = "/home/user/Downloads/Tavrelin.app"; },
         "not installable: This copy is running from /home/user/Downloads, not from Applications", 0},
        {[](Pipeline& t) { t.bundle.bundlePath = "/Applications/../Tavrelin.app"; }, "not installable", 0},
        {[](Pipeline& t) { t.bundle.bundlePath = "/home/user/Applications/Tavrelin.app"; }, "installed", 4},
        {[](Pipeline& t) { t.bundle.bundlePath = running + "/"; }, "installed", 4},
        {[](Pipeline& t) { t.files.failing.insert(staging); }, "No writable place to stage the download.", 0},
        {[](Pipeline& t) { t.responses.erase(archiveURL); }, "The download failed. HTTP 404 from tavrelin.app", 0},
        {[](Pipeline& t) { t.responses[archiveURL].body.clear(); }, "The download failed. Empty response from tavrelin.app", 0},
        {[](Pipeline& t) { t.responses[archiveURL].bodyTooLarge = true; },
         "The download failed. The file from tavrelin.app is larger than 512 MiB.", 0},
        {[](Pipeline& t) { t.digest.table[zipBytes] = "9f2d"; }, "The downloaded file did not match its checksum", 0},
        {[](Pipeline& t) { t.tools[bsdtar].status = 1; }, "The downloaded archive could not be unpacked.", 1},
        {[](Pipeline& t) { t.tools[bsdtar].status = 0; }, "The downloaded archive did not contain an app.", 1},
        {[](Pipeline& t) { t.tools[verifier] = unsealed; },
         "The downloaded app is not signed by Tavrelin, so it was discarded. (sealed resource missing)", 2},
        {[](Pipeline& t) { t.tools[env] = olderApp; },
         "The downloaded app is not notarized, so it was discarded. (it reports “Tavrelin for Mac 1.4.9” instead of", 3},
        {[](Pipeline& t) { t.bundleInfo.bundles[fresh]["CFBundleVersion"] = "44"; }, notTheVersion, 3},
        {[](Pipeline& t) { t.bundleInfo.bundles[fresh]["CFBundleIdentifier"] = "com.example.other"; }, notTheVersion, 3},
        {[](Pipeline& t) { t.bundleInfo.bundles.clear(); }, notTheVersion, 3},
        {[](Pipeline& t) { t.tools["/bin/sh"]; }, "The update was verified but the install step could not start. no shell", 4}};
    for (const Row& row : rows) {
        Pipeline t;
        t.bundle.os = {14, 2, 1, "14.2.1"};
        row.arrange(t);
        const std::string result = t.result();
        SCOPED_TRACE(result);
        EXPECT_EQ(result.substr(0, row.result.size()), row.result);
        EXPECT_EQ(t.processes.calls.size(), row.programs);
        EXPECT_EQ(t.files.exists(staging), row.result == "installed") << "the staging folder is left behind";
    }
}

TEST(InstallScript, QuotesEveryPathForTheShell) {
    EXPECT_EQ(updatetools::quoted("It's \"c\" $HOME `x` \\n"), "'It'\\''s \"c\" $HOME `x` \\n'");
    EXPECT_EQ(updatetools::quoted(""), "''");
    EXPECT_EQ(updatetools::installScript("/A's", "/P", "/N", "/S"),
              "sleep 1\nrm -rf '/P'\nif mv '/A'\\''s' '/P' && mv '/N' '/A'\\''s'; then\n  rm -rf '/P'\nelse\n"
              "  [ -d '/A'\\''s' ] || mv '/P' '/A'\\''s'\nfi\nrm -rf '/S'\n"
              "/usr/bin/setsid -f '/A'\\''s/Contents/MacOS/tavrelin-agent'");
}

TEST(Shell, OutputIsTrimmedUtf8OrEmpty) {
    const std::pair<std::string, std::string> cases[] = {
        {"\n\tline one\nline two \r\n", "line one\nline two"},
        {"\xC2\xA0nbsp\xE2\x80\xA8", "nbsp"}, // Unicode spaces and line separators count too
        {"caf\xC3\xA9", "café"},
        {"bad \xC3\x28 byte", ""},
        {"\xED\xA0\x80", ""}, // an encoded surrogate is not UTF-8
        {" \n ", ""},
    };
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(updatetools::trimmedOutput(bytes), text) << bytes;

    fake::FakeProcesses processes;
    processes.responder = [](const fake::FakeProcesses::Call& call) -> ProcessResult {
        return call.program == "/missing" ? throw platform::ProcessError("Could not start") : ProcessResult{1, "\xFF"};
    };
    EXPECT_EQ(updatetools::shell(processes, "/tool", {}), (updatetools::ShellResult{false, ""}));
    EXPECT_EQ(updatetools::shell(processes, "/missing", {}), (updatetools::ShellResult{false, "Could not start"}));
}
