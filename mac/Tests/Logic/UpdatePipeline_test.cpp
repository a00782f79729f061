#include "Support/FakePlatform.h"
#include "TavrelinMac/UpdatePipeline.h"
#include "TavrelinMac/UpdateTools.h"
#include "TavrelinMac/Words.h"

using namespace tavrelin;
using namespace tavrelin::platform;
using Strings = std::vector<std::string>;

namespace {

const std::string archiveURL = "https://tavrelin.app/downloads/Tavrelin-1.5.0.zip";
const std::string zipBytes = "PK-the-archive";
const std::string staging = "/home/user/.cache/Tavrelin/updates";
const std::string fresh = staging + "/unpacked/Tavrelin.app";
const std::string running = "/Applications/Tavrelin.app", incoming = "/Applications/.Tavrelin.app.incoming";
const std::string testFeedPath = "/downloads/test-version.json";

std::string feedJson(const std::string& extra = "", const std::string& url = archiveURL, long long build = 43) {
    return R"({"version":"1.5.0","build":)" + std::to_string(build) + R"(,"url":")" + url + R"(","sha256":"9F2C")" + extra +
           "}";
}

// One run's world: every service faked, arranged for a successful update. The
// system's tools are named by what they do.
struct Pipeline final : fake::FakeServices, Processes, BundleInfoReader, UpdateSystem {
    UpdatePipeline pipeline{http, files, *this, bundle, *this, *this};
    std::map<std::string, HttpResponse> responses{{feedURL(testFeedPath), {200, feedJson()}}, {archiveURL, {200, zipBytes}}};
    std::map<std::string, std::string> unreachable; // URL → why its requests fail in transport
    std::set<std::string> oversized;                // URLs whose bodies pass the session's cap
    // URL → where it redirects; followed as the session's rule allows, as the
    // HTTP layer does.
    std::map<std::string, std::string> redirects;
    std::map<std::string, ProcessResult> tools{{"probe", {0, words::about::nameAndVersion("1.5.0") + "\n"}}}; // by program
    std::set<std::string> hanging;                                                                            // by program
    std::optional<std::map<std::string, std::string>> freshInfo{
        {{"CFBundleIdentifier", "com.tavrelin.mac"}, {"CFBundleVersion", "43"}}};
    std::map<std::string, std::string> digests{{zipBytes, "9f2c"}}; // the feed's may be upper case
    std::optional<std::string> unpackRefusal, placeFailure, launchFailure;
    Strings calls; // every step the system was asked to take, in order

    Pipeline() {
        bundle.bundlePath = running;
        // Staging the new bundle beside the running one, as the system's steps.
        files.beforeOperation = [this](const std::string& operation) {
            if (operation.find(incoming) == std::string::npos || operation.starts_with("remove "))
                return;
            calls.push_back(operation);
            if (placeFailure && operation.starts_with("sync tree "))
                throw FileError(*placeFailure);
        };
        http.files = &files;
        http.digestOf = [this](const std::string& body) { return digests.count(body) ? digests.at(body) : "unknown"; };
        http.responder = [this](const HttpRequest& request) {
            std::string url = request.url;
            for (; redirects.count(url); url = redirects[url])
                if (!http.sessions.back().allowRedirect(url, redirects[url]))
                    throw HttpRedirectRefused(redirects[url]);
            if (unreachable.count(url))
                throw HttpTransportError(unreachable[url]);
            if (oversized.count(url))
                throw HttpBodyTooLarge(200, http.sessions.back().maxBodyBytes);
            auto it = responses.find(url);
            return it == responses.end() ? HttpResponse{404, ""} : it->second;
        };
    }

    ProcessResult run(const std::string& program, const Strings& arguments, std::chrono::seconds deadline) override {
        std::string call = program;
        for (const std::string& argument : arguments)
            call += " " + argument;
        calls.push_back(call + " within " + std::to_string(deadline.count()) + " s");
        if (hanging.count(program))
            throw ProcessTimedOut(program, deadline);
        if (tools.count(program) && tools[program].status < 0)
            throw ProcessError("Could not start");
        return tools.count(program) ? tools[program] : ProcessResult{};
    }
    void launchDetached(const std::string&, const Strings&) override { ADD_FAILURE() << "the system starts the script"; }
    std::optional<std::map<std::string, std::string>> infoStrings(const std::string& path) const override {
        return path == fresh ? freshInfo : std::nullopt;
    }

    std::string feedPath() const override { return testFeedPath; }
    void unpack(const std::string& archive, const std::string& folder, const UnpackLimits& limits) override {
        calls.push_back("unpack " + files.files.at(archive) + " into " + folder + " up to " + std::to_string(limits.maxBytes) +
                        " bytes in " + std::to_string(limits.maxEntries) + " entries");
        if (unpackRefusal)
            throw UnpackError(*unpackRefusal);
        files.files[fresh + "/Contents/Info.plist"] = "<plist/>";
    }
    ToolCommand signatureCheck(const std::string& trusted, const std::string& bundle) const override {
        return {"verify", {trusted, bundle}, std::chrono::seconds(60)};
    }
    ToolCommand runCheck(const std::string& bundle) const override { return {"probe", {bundle}, std::chrono::seconds(15)}; }
    bool runCheckPrintsVersion() const override { return true; }
    std::optional<ToolCommand> quarantineRemoval(const std::string& bundle) const override {
        return ToolCommand{"unmark", {bundle}, std::chrono::seconds(30)};
    }
    ToolCommand reopenCommand(const std::string& bundle) const override { return {"reopen", {bundle}}; }
    ToolCommand flushCommand(const std::string& folder) const override { return {"flush", {folder}}; }
    void launchScript(const std::string& script) override {
        calls.push_back("script");
        if (launchFailure)
            throw ProcessError(*launchFailure);
        EXPECT_EQ(script, updatetools::installScript({running, running + ".previous", incoming, staging},
                                                     {"flush", {"/Applications"}}, {"reopen", {running}}));
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

TEST(UpdateRules, FeedBuildNumbersAndMinimumSystem) {
    // A null minimum system and members the agent does not know are no reason to refuse.
    const std::string base =
        R"({"version":"1.5.0","url":"https://tavrelin.app/a.zip","sha256":"ab","minimumOS":null,"extra":[1])";
    // A number without a fraction is a build number however it is written.
    const std::pair<const char*, std::int64_t> accepted[] = {{"-3", -3},  {"9223372036854775807", INT64_MAX},
                                                             {"2.0", 2},  {"1.5e3", 1500},
                                                             {"-0.0", 0}, {"-9.223372036854775808e18", INT64_MIN}};
    for (const auto& [written, build] : accepted)
        EXPECT_EQ(Updater::Feed::decode(base + R"(,"build":)" + written + "}").build, build) << written;
    const std::pair<const char*, const char*> refused[] = {
        {"2.5", "is not a whole number"},
        {R"("2")", "is not a whole number"},
        {"9223372036854775808", "does not fit in 64 bits"},
        {"9.3e18", "does not fit in 64 bits"},
        {"-9.3e18", "does not fit in 64 bits"},
        {"1e400", "not valid JSON"}, // nlohmann refuses an infinite number outright
    };
    for (const auto& refusal : refused)
        EXPECT_THAT([&] { Updater::Feed::decode(base + R"(,"build":)" + refusal.first + "}"); },
                    ::testing::ThrowsMessage<FeedError>(::testing::HasSubstr(refusal.second)))
            << refusal.first;

    // The running bundle's plain "42" is read in every pipeline run below.
    EXPECT_EQ(UpdatePipeline::buildNumber("+7"), 7);
    EXPECT_EQ(UpdatePipeline::buildNumber("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(UpdatePipeline::buildNumber("-9223372036854775808"), INT64_MIN);
    for (const char* bad : {"9223372036854775808", "", "+", " 4", "+-4", "1.0"})
        EXPECT_EQ(UpdatePipeline::buildNumber(bad), std::nullopt) << bad;

    const OperatingSystemVersion system{14, 2, 1, "14.2.1"};
    for (const char* yes : {"14", "14.2.1", "13.9.9.9", "", "x.y", "14.beta.1"})
        EXPECT_TRUE(UpdatePipeline::osSatisfies(yes, system)) << yes;
    for (const char* no : {"14.3", "14.2.1.1", "15"})
        EXPECT_FALSE(UpdatePipeline::osSatisfies(no, system)) << no;
}

TEST(UpdatePipeline, InstallsAVerifiedNewerBuildInOrder) {
    Pipeline t;
    // Left by an earlier run; were it kept, it would be the app checked below.
    t.files.files[staging + "/unpacked/Old.app/Contents/Info.plist"] = "stale";
    EXPECT_EQ(t.result(), "installed");
    const HttpSessionConfig& session = t.http.sessions.at(0);
    EXPECT_EQ(session.resourceTimeout, HttpSessionConfig::noLimit);
    EXPECT_EQ(session.maxBodyBytes, 512u * 1024 * 1024);
    // A drip of bytes must not hold the check open for ever.
    EXPECT_EQ(std::pair(session.lowSpeedBytesPerSecond, session.lowSpeedTime), std::pair(std::size_t{1024}, 60.0));
    const Strings calls{"unpack PK-the-archive into " + staging + "/unpacked up to 2147483648 bytes in 100000 entries",
                        "verify " + running + " " + fresh + " within 60 s",
                        "probe " + fresh + " within 15 s",
                        "unmark " + fresh + " within 30 s",
                        "rename " + fresh + " -> " + incoming,
                        "sync tree " + incoming,
                        "script"};
    EXPECT_EQ(t.calls, calls);
}

TEST(UpdatePipeline, DecidesAndStopsAtTheFirstFailingStep) {
    const std::string unread = "The update feed could not be read. ", download = "The download failed. ";
    const std::string elsewhere = "The update feed points somewhere other than tavrelin.app, so it was ignored.";
    const std::string notSigned = "The downloaded app is not signed by Tavrelin, so it was discarded. (";
    const std::string notTheVersion = "The downloaded app is not the version the feed announced";
    const std::string noInstall = "The update was verified but the install step could not start. ";
    const std::string feedAt = feedURL(testFeedPath);
    // How the world differs, the result's beginning, how many steps the
    // system took (tools run, unpacking, placing, starting the script).
    auto feed = [=](std::string body) { return [=](Pipeline& t) { t.responses[feedAt].body = body; }; };
    auto at = [](std::string path) { return [path](Pipeline& t) { t.bundle.bundlePath = path; }; };
    auto archive = [](HttpResponse r) { return [r](Pipeline& t) { t.responses[archiveURL] = r; }; };
    auto redirect = [](std::string from, std::string to) { return [=](Pipeline& t) { t.redirects[from] = to; }; };
    auto tool = [](std::string program, ProcessResult r) { return [=](Pipeline& t) { t.tools[program] = r; }; };
    auto unreachable = [](std::string url, std::string why) { return [=](Pipeline& t) { t.unreachable[url] = why; }; };
    auto hangs = [](std::string program) { return [=](Pipeline& t) { t.hanging.insert(program); }; };
    auto oversized = [](std::string url) { return [=](Pipeline& t) { t.oversized.insert(url); }; };
    const std::tuple<std::function<void(Pipeline&)>, std::string, std::size_t> rows[] = {
        {unreachable(feedAt, "no DNS"), unread + "no DNS", 0},
        {[=](Pipeline& t) { t.responses[feedAt].status = 500; }, unread + "HTTP 500 from tavrelin.app", 0},
        {feed(R"({"version":"1","build":1,"url":"u"})"), unread + "The feed has no “sha256”.", 0},
        {feed(R"({"version":"1"})"), unread + "The feed has no “build”.", 0},
        // The feed comes from the update host, redirects included.
        {redirect(feedAt, "https://cdn.example/v.json"), unread + "refused a redirect to https://cdn.example/v.json", 0},
        {[=](Pipeline& t) {
             t.redirects[feedAt] = "https://tavrelin.app/moved.json";
             t.responses["https://tavrelin.app/moved.json"] = t.responses[feedAt];
         },
         "installed", 7},
        {feed(feedJson("", archiveURL, 42)), "up to date", 0},
        {feed(feedJson(R"(,"minimumOS":"99")")), "not installable: " + words::update::needsNewerSystem("99", "14.2"), 0},
        {feed(feedJson("", "http://tavrelin.app/a.zip")), elsewhere, 0},
        {feed(feedJson("", "https://cdn.tavrelin.app/a.zip")), elsewhere, 0},
        // The update host's own port spelled out is still the update host.
        {feed(feedJson("", "https://tavrelin.app:443/a.zip")), download + "HTTP 404 from tavrelin.app", 0},
        {at("/tmp/Tavrelin.app"), "not installable: This copy is running from /tmp, not from Applications", 0},
        {at(running + "/"), "installed", 7},
        // Only a copy directly in an Applications folder replaces itself.
        {at("/Applications/Tools/Tavrelin.app"),
         "not installable: This copy is running from /Applications/Tools, not from Applications", 0},
        {[](Pipeline& t) { t.files.failing.insert(staging); }, "No writable place to stage the download.", 0},
        {archive({200, ""}), download + "Empty response from tavrelin.app", 0},
        // The session's cap, named.
        {oversized(archiveURL), download + "The file from tavrelin.app is larger than 512 MiB.", 0},
        {oversized(feedAt), unread + "The file from tavrelin.app is larger than 512 MiB.", 0},
        // A transfer that crawls ends as any transport failure does.
        {unreachable(archiveURL, "Operation too slow. Less than 1024 bytes/sec"),
         download + "Operation too slow. Less than 1024 bytes/sec", 0},
        // The archive comes from the update host alone, however it is reached;
        // redirects are judged by the rule the feed's URLs are, and told as the
        // download's own failure.
        {redirect(archiveURL, "https://tavrelin.app.example/a.zip"),
         download + "It was sent on to https://tavrelin.app.example, but updates come only from https://tavrelin.app.", 0},
        {redirect(archiveURL, "http://tavrelin.app/a.zip"),
         download + "It was sent on to http://tavrelin.app, but updates come only from https://tavrelin.app.", 0},
        {[](Pipeline& t) { t.digests[zipBytes] = "9f2d"; }, "The downloaded file did not match its checksum", 0},
        {[](Pipeline& t) { t.unpackRefusal = "“../x” steps out"; }, "The downloaded archive could not be unpacked.", 1},
        {[](Pipeline& t) { t.files.failing.insert(staging + "/unpacked"); }, "The downloaded archive did not contain an app.",
         1},
        // Tool output is read as trimmed UTF-8, Unicode spaces included, or not at all.
        {tool("verify", {1, "bad \xC3\x28 byte"}), notSigned + ")", 2},
        {tool("verify", {-1, ""}), notSigned + "Could not start)", 2},
        {tool("verify", {1, "\xC2\xA0sealed resource missing\n\xE2\x80\xA8"}), notSigned + "sealed resource missing)", 2},
        {tool("probe", {0, words::about::nameAndVersion("1.4.9")}),
         words::update::doesNotRun("it reports version “1.4.9” instead of “1.5.0”"), 3},
        {tool("probe", {0, "garbage"}), words::update::doesNotRun("it reports version “garbage” instead of “1.5.0”"), 3},
        {tool("probe", {124, ""}), words::update::doesNotRun("it did not start"), 3},
        // A tool that does not finish is killed at the deadline its system gave it.
        {hangs("verify"), words::update::signatureCheckDidNotFinish(60), 2},
        {hangs("probe"), words::update::runCheckDidNotFinish(15), 3},
        {hangs("unmark"), "installed", 7},
        {[](Pipeline& t) { (*t.freshInfo)["CFBundleVersion"] = "44"; }, notTheVersion, 3},
        {[](Pipeline& t) { (*t.freshInfo)["CFBundleIdentifier"] = "com.example.other"; }, notTheVersion, 3},
        {[](Pipeline& t) { t.freshInfo.reset(); }, notTheVersion, 3},
        {tool("unmark", {1, "no such attribute"}), "installed", 7},
        {[](Pipeline& t) { t.placeFailure = "Could not write “x”: No space left on device"; },
         noInstall + "Could not write “x”: No space left on device", 6},
        {[](Pipeline& t) { t.launchFailure = "no shell"; }, noInstall + "no shell", 7},
    };
    for (const auto& [arrange, expected, steps] : rows) {
        fake::LogCapture log;
        Pipeline t;
        arrange(t);
        const std::string result = t.result();
        EXPECT_EQ(result.substr(0, expected.size()), expected);
        EXPECT_EQ(t.calls.size(), steps) << result;
        const bool installed = expected == "installed";
        EXPECT_EQ(t.files.exists(staging), installed) << result << ": only an install keeps the staging folder";
        EXPECT_EQ(t.files.exists(incoming), installed) << result << ": only an install leaves a bundle beside the running one";
        // Why an archive or a redirect was refused is told in the log; the
        // user reads the step's own text.
        Strings told;
        if (t.unpackRefusal)
            told.push_back("warn update: could not unpack: " + *t.unpackRefusal);
        if (t.redirects.count(archiveURL))
            told.push_back("warn update: refused a redirect to " + t.redirects[archiveURL]);
        for (const std::string& program : t.hanging)
            told.push_back("warn update: “" + program + "” did not finish within " +
                           (program == "verify"  ? "60"
                            : program == "probe" ? "15"
                                                 : "30") +
                           " s");
        EXPECT_THAT(log.lines(), ::testing::IsSupersetOf(told));
    }
}

// The script itself runs under sh in the adapter tests.
TEST(InstallScript, QuotesEveryPathForTheShell) {
    EXPECT_EQ(updatetools::quoted("It's \"c\" $HOME `x` \\n"), "'It'\\''s \"c\" $HOME `x` \\n'");
    EXPECT_EQ(updatetools::commandLine({"/usr/bin/open", {"/Applications/It's.app"}}),
              "/usr/bin/open '/Applications/It'\\''s.app'");
    EXPECT_EQ(updatetools::commandLine({"/opt/my tools/sync", {}}), "'/opt/my tools/sync'");
}

// A verifier that never ends is killed at its deadline, the check says so, and
// the next "Check for Updates…" runs rather than finding one still going.
TEST(UpdatePipeline, AVerifierThatHangsEndsItsCheckAndTheNextOneRuns) {
    Pipeline t;
    t.hanging.insert("verify");
    auto updater = Updater::create(
        t.mainLoop, t.application, "1.4.2", [&t] { return t.pipeline.run(); },
        [&t](const Alert& alert) { return t.dialogs.runModal(alert); }, [](const Updater::Installed&) {});
    updater->check(true);
    t.mainLoop.drain();
    t.hanging.clear();
    updater->check(true);
    t.mainLoop.drain();
    ASSERT_EQ(t.dialogs.shown.size(), 2u);
    EXPECT_EQ(std::pair(t.dialogs.shown[0].title, t.dialogs.shown[0].text),
              std::pair(words::update::failedTitle(), words::update::signatureCheckDidNotFinish(60)));
    EXPECT_EQ(t.dialogs.shown[1].title, words::update::readyTitle("1.5.0"));
}
