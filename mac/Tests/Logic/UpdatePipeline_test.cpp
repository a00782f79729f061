#include "Support/FakePlatform.h"
#include "TavrelinMac/UpdatePipeline.h"
#include "TavrelinMac/UpdateTools.h"
#include "TavrelinMac/Words.h"

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

std::string feedJson(const std::string& extra = "", const std::string& url = archiveURL, long long build = 43) {
    return R"({"version":"1.5.0","build":)" + std::to_string(build) + R"(,"url":")" + url + R"(","sha256":"9F2C")" + extra +
           "}";
}

// One run's world: every service faked, arranged for a successful update.
struct Pipeline final : platform::Processes, platform::BundleInfoReader, platform::Digest {
    fake::FakeHttp http;
    fake::FakeFiles files;
    fake::FakeBundle bundle;
    UpdatePipeline pipeline{http, files, *this, bundle, *this, *this};
    std::map<std::string, HttpResponse> responses{{feedURL(), {200, feedJson(), false}}, {archiveURL, {200, zipBytes, false}}};
    std::map<std::string, ProcessResult> tools{{env, {0, "Tavrelin for Mac 1.5.0\n"}}}; // by program
    std::optional<std::map<std::string, std::string>> freshInfo{
        {{"CFBundleIdentifier", "com.tavrelin.mac"}, {"CFBundleVersion", "43"}}};
    std::map<std::string, std::string> digests{{zipBytes, "9f2c"}}; // the feed's may be upper case
    std::vector<std::pair<std::string, Strings>> calls;             // programs run, then the one started detached

    Pipeline() {
        bundle.bundlePath = running;
        bundle.os = {14, 2, 1, "14.2.1"};
        http.responder = [this](const HttpRequest& request) {
            auto it = responses.find(request.url);
            return it == responses.end() ? HttpResponse{404, "", false} : it->second;
        };
    }
    ProcessResult run(const std::string& program, const Strings& arguments) override {
        calls.emplace_back(program, arguments);
        if (tools.count(program) && tools[program].status < 0)
            throw platform::ProcessError("Could not start");
        if (program == bsdtar && tools.count(bsdtar) == 0)
            files.files[fresh + "/Contents/Info.plist"] = "<plist/>"; // unpacks one bundle
        return tools.count(program) ? tools[program] : ProcessResult{};
    }
    void launchDetached(const std::string& program, const Strings& arguments) override {
        calls.emplace_back(program, arguments);
        if (tools.count(program))
            throw platform::ProcessError("no shell");
    }
    std::optional<std::map<std::string, std::string>> infoStrings(const std::string& path) const override {
        return path == fresh ? freshInfo : std::nullopt;
    }
    std::string sha256Hex(const std::string& bytes) const override { return digests.at(bytes); }

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

TEST(UpdateRules, FeedBuildNumbersAndMinimumSystem) {
    const std::string base = R"({"version":"1.5.0","url":"https://tavrelin.app/a.zip","sha256":"ab")";
    auto feed = Updater::Feed::decode(base + R"(,"build":-3,"minimumOS":null,"extra":[1]})");
    EXPECT_EQ(feed.build, -3);
    EXPECT_EQ(feed.minimumOS, std::nullopt);

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
    EXPECT_EQ(t.http.sessions[0].resourceTimeout, platform::HttpSessionConfig::noLimit);
    EXPECT_EQ(t.http.sessions[0].maxBodyBytes, 512u * 1024 * 1024);
    EXPECT_EQ(t.files.files[staging + "/update.zip"], zipBytes);
    EXPECT_FALSE(t.files.exists(staging + "/unpacked/Old.app"));
    // Unpack, signature, "will it run", then the install script; nothing else.
    const std::vector<std::pair<std::string, Strings>> calls{
        {bsdtar, {"-x", "-p", "--no-same-owner", "-f", staging + "/update.zip", "-C", staging + "/unpacked"}},
        {verifier, {"--verify", "--trusted", running, fresh}},
        {env,
         {"-i", "PATH=/usr/local/bin:/usr/bin:/bin", "/usr/bin/timeout", "-k", "2", "15",
          fresh + "/Contents/MacOS/tavrelin-agent", "--version"}},
        {"/bin/sh", {"-c", updatetools::installScript(running, running + ".previous", fresh, staging)}}};
    EXPECT_EQ(t.calls, calls);
}

TEST(UpdatePipeline, DecidesAndStopsAtTheFirstFailingStep) {
    const std::string unread = "The update feed could not be read. ", download = "The download failed. ";
    const std::string elsewhere = "The update feed points somewhere other than tavrelin.app, so it was ignored.";
    const std::string notSigned = "The downloaded app is not signed by Tavrelin, so it was discarded. (";
    const std::string notTheVersion = "The downloaded app is not the version the feed announced";
    // How the world differs, the result's beginning, how many programs ran.
    auto feed = [](std::string body) { return [body](Pipeline& t) { t.responses[feedURL()].body = body; }; };
    auto at = [](std::string path) { return [path](Pipeline& t) { t.bundle.bundlePath = path; }; };
    auto archive = [](HttpResponse r) { return [r](Pipeline& t) { t.responses[archiveURL] = r; }; };
    auto tool = [](std::string program, ProcessResult r) { return [=](Pipeline& t) { t.tools[program] = r; }; };
    const std::string base = R"({"version":"1.5.0","url":")" + archiveURL + R"(","sha256":"ab")";
    const std::tuple<std::function<void(Pipeline&)>, std::string, std::size_t> rows[] = {
        {[](Pipeline& t) { t.http.responder = [](auto&) -> HttpResponse { throw platform::HttpTransportError("no DNS"); }; },
         unread + "no DNS", 0},
        {[](Pipeline& t) { t.responses[feedURL()].status = 500; }, unread + "HTTP 500 from tavrelin.app", 0},
        {feed(base + R"(,"build":9223372036854775808})"), unread + "The feed’s “build” does not fit in 64 bits.", 0},
        {feed(R"({"version":"1","build":1,"url":"u"})"), unread + "The feed has no “sha256”.", 0},
        {feed(R"({"version":"1"})"), unread + "The feed has no “build”.", 0},
        {feed(feedJson("", archiveURL, 42)), "up to date", 0},
        {feed(feedJson(R"(,"minimumOS":"99")")), "not installable: " + words::update::needsNewerSystem("99", "14.2.1"), 0},
        {feed(feedJson("", "http://tavrelin.app/a.zip")), elsewhere, 0},
        {feed(feedJson("", "https://cdn.tavrelin.app/a.zip")), elsewhere, 0},
        {at("/tmp/Tavrelin.app"), "not installable: This copy is running from /tmp, not from Applications", 0},
        {at("/Applications/../Tavrelin.app"), "not installable", 0},
        {at(running + "/"), "installed", 4},
        {[](Pipeline& t) { t.files.failing.insert(staging); }, "No writable place to stage the download.", 0},
        {archive({404, "", false}), download + "HTTP 404 from tavrelin.app", 0},
        {archive({200, "", false}), download + "Empty response from tavrelin.app", 0},
        {archive({200, zipBytes, true}), download + "The file from tavrelin.app is larger than 512 MiB.", 0},
        {[](Pipeline& t) { t.digests[zipBytes] = "9f2d"; }, "The downloaded file did not match its checksum", 0},
        {tool(bsdtar, {1, ""}), "The downloaded archive could not be unpacked.", 1},
        {tool(bsdtar, {0, ""}), "The downloaded archive did not contain an app.", 1},
        // Tool output is read as trimmed UTF-8, Unicode spaces included, or not at all.
        {tool(verifier, {1, "bad \xC3\x28 byte"}), notSigned + ")", 2},
        {tool(verifier, {-1, ""}), notSigned + "Could not start)", 2},
        {tool(verifier, {1, "\xC2\xA0sealed resource missing\n\xE2\x80\xA8"}), notSigned + "sealed resource missing)", 2},
        {tool(env, {0, "Tavrelin for Mac 1.4.9"}),
         words::update::doesNotRun("it reports “Tavrelin for Mac 1.4.9” instead of “Tavrelin for Mac 1.5.0”"), 3},
        {[](Pipeline& t) { (*t.freshInfo)["CFBundleVersion"] = "44"; }, notTheVersion, 3},
        {[](Pipeline& t) { (*t.freshInfo)["CFBundleIdentifier"] = "com.example.other"; }, notTheVersion, 3},
        {[](Pipeline& t) { t.freshInfo.reset(); }, notTheVersion, 3},
        {[](Pipeline& t) { t.tools["/bin/sh"]; }, "The update was verified but the install step could not start. no shell", 4}};
    for (const auto& [arrange, expected, programs] : rows) {
        Pipeline t;
        arrange(t);
        const std::string result = t.result();
        EXPECT_EQ(result.substr(0, expected.size()), expected);
        EXPECT_EQ(t.calls.size(), programs) << result;
        EXPECT_EQ(t.files.exists(staging), expected == "installed") << "only an install keeps the staging folder";
    }
}

// The script itself runs under sh in the adapter tests.
TEST(InstallScript, QuotesEveryPathForTheShell) {
    EXPECT_EQ(updatetools::quoted("It's \"c\" $HOME `x` \\n"), "'It'\\''s \"c\" $HOME `x` \\n'");
}
