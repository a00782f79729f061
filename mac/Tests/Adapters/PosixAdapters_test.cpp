// The POSIX adapters on real folders and processes. The updater's part: zip
// archives crafted here (python3's zipfile) and unpacked, the new bundle placed
// beside the running one, and the install script as /bin/sh runs it, on a
// small tmpfs in a mount namespace of its own where the machine allows one;
// the bundle verifier as the built program, with signatures minisign makes here.
// And the vdir of task lists the agent files into; and the curl adapter
// against a cpp-httplib server on 127.0.0.1: the relay client over it, its
// redirect rule, low-speed limit and streamed downloads.

#include "Platform/Curl/CurlHttp.h"
#include "Platform/Files.h"
#include "Platform/Posix/DeliveryUid.h"
#include "Platform/Posix/PosixBundle.h"
#include "Platform/Posix/PosixFiles.h"
#include "Platform/Posix/PosixProcesses.h"
#include "Platform/Posix/PosixUpdateSystem.h"
#include "Platform/Posix/Sha256.h"
#include "Platform/Posix/SystemClock.h"
#include "Platform/Vdir/VdirRemindersDatabase.h"
#include "Support/DevRelayProcess.h"
#include "Support/FakePlatform.h"
#include "Support/LoopbackServer.h"
#include "Support/TempFolder.h"
#include "TavrelinMac/BundleSwap.h"
#include "TavrelinMac/RelayClient.h"
#include "TavrelinMac/UpdateTools.h"

#include <gmock/gmock.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

using namespace tavrelin;
using namespace tavrelin::testing;
using namespace std::chrono_literals;
using fake::errorOf;
using platform::DateComponents;
using platform::FileError;
using platform::HttpSessionConfig;
using platform::RemindersAuthorization;
using vdir::VdirRemindersDatabase;
using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
namespace fs = std::filesystem;

namespace {

posix::PosixProcesses processes;
posix::PosixUpdateSystem updateSystem(processes);
// Generous: the machine is shared and sanitizer builds are slow.
constexpr std::chrono::seconds toolDeadline{120};

unsigned modeOf(const std::string& path) {
    return static_cast<unsigned>(fs::symlink_status(path).permissions() & fs::perms::mask);
}

// Runs a tool that must succeed.
void must(const std::string& program, const std::vector<std::string>& arguments) {
    auto result = processes.run(program, arguments, toolDeadline);
    ASSERT_EQ(result.status, 0) << program << ": " << result.output;
}

// A zip of (name, type and mode, content) entries, as any zip tool could
// write it; an entry's content may be a byte count of zeros instead.
void makeZip(const std::string& path, const nlohmann::json& entries) {
    const char* script = R"(import json, sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    for name, mode, content in json.loads(sys.argv[2]):
        info = zipfile.ZipInfo(name)
        info.create_system = 3
        info.external_attr = mode << 16
        z.writestr(info, bytes(content) if isinstance(content, int) else content)
)";
    must("/usr/bin/python3", {"-c", script, path, entries.dump()});
}

// A bundle whose agent, when started, writes `name` into `marker`; `padding`
// bytes of filler make it as large as a test needs.
void makeBundle(const std::string& bundle, const std::string& name, const std::string& marker, std::size_t padding = 0) {
    writeProgram(bundle + "/Contents/MacOS/tavrelin-agent",
                 "#!/bin/sh\necho " + name + " > " + updatetools::quoted(marker) + "\n");
    writeFile(bundle + "/Contents/Resources/padding", std::string(padding, 'p'));
}

// Which bundle's agent a path holds: the name its agent writes, "" for none.
std::string bundleAt(const std::string& bundle) {
    if (!fs::exists(bundle + "/Contents/MacOS/tavrelin-agent"))
        return "";
    const std::string agent = readFile(bundle + "/Contents/MacOS/tavrelin-agent");
    const std::size_t from = agent.find("echo ") + 5;
    return agent.substr(from, agent.find(' ', from) - from);
}

// Runs the install script for `current`, the new bundle beside it and
// `staging`, and waits (bounded) for the agent it reopens to write `marker`.
std::string swap(const std::string& current, const std::string& incoming, const std::string& staging,
                 const std::string& marker) {
    const std::string folder = fs::path(current).parent_path().string();
    const std::string script =
        updatetools::installScript({current, current + ".previous", incoming, staging}, updateSystem.flushCommand(folder),
                                   updateSystem.reopenCommand(current));
    auto result = processes.run("/bin/sh", {"-c", script}, toolDeadline);
    if (result.status != 0)
        return "the script failed: " + result.output;
    if (!eventually([&] { return fs::exists(marker); }, std::chrono::seconds(10)))
        return "no agent was started within 10 s";
    return readFile(marker);
}

void mountTmpfs(const std::string& folder, const std::string& size) {
    fs::create_directories(folder);
    if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, ("size=" + size + ",mode=0755").c_str()) != 0)
        throw std::runtime_error("cannot mount a tmpfs at " + folder + ": " + std::strerror(errno));
}

// As an update stages the new bundle beside the running one.
void stageBeside(const std::string& running, const std::string& fresh) {
    posix::PosixFiles files;
    BundleSwap(files, running, "incoming").stage(fresh, BundleSwap::Take::move);
}

// Runs in a child of its own: what does not hold is printed, and ends it with 1.
[[noreturn]] void smallDisk(const TempFolder& root) {
    ::alarm(120); // a hung script ends the child, and the test says so
    int failures = 0;
    auto check = [&failures](bool held, const std::string& what) {
        if (!held)
            failures += std::fprintf(stderr, "%s\n", what.c_str()) > 0;
    };
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::fputs("no private mount namespace\n", stderr);
        ::_exit(1);
    }
    // Under folder names with every character the shell could misread.
    const std::string apps = root / "My Apps 'q' \"d\" $HOME `id` \\", app = apps + "/Tavrelin.app";
    const std::string incoming = apps + "/.Tavrelin.app.incoming", staging = root / "cache's/Tavrelin/updates";
    const std::string fresh = staging + "/unpacked/Tavrelin.app";
    mountTmpfs(apps, "2m");
    makeBundle(app, "old", root / "started", 100000);

    // Too large for what is left: refused before anything moved.
    makeBundle(fresh, "big", root / "started", 3 << 20);
    try {
        stageBeside(app, fresh);
        check(false, "a bundle larger than the disk was placed");
    } catch (const platform::FileError& error) {
        check(std::string(error.what()).find("No space left on device") != std::string::npos,
              std::string("placing failed otherwise: ") + error.what());
    }
    check(!fs::exists(incoming), "a partial bundle was left beside the running one");
    check(bundleAt(app) == "old" && fs::file_size(app + "/Contents/Resources/padding") == 100000, "the running bundle changed");

    // One that fits is copied across, then swapped in by renames.
    fs::remove_all(fresh);
    makeBundle(fresh, "new", root / "started", 500000);
    stageBeside(app, fresh);
    check(bundleAt(incoming) == "new" && modeOf(incoming + "/Contents/MacOS/tavrelin-agent") == 0755,
          "the placed bundle is not the new one, mode included");
    fs::create_directories(app + ".previous"); // left by an earlier attempt
    // The agent reopened at the running bundle's place is the new one.
    check(swap(app, incoming, staging, root / "started") == "new\n", "the new agent was not started");
    for (const std::string& path : {app + ".previous", incoming, staging})
        check(!fs::exists(fs::symlink_status(path)), "left behind: " + path);

    // The previous place cannot be freed (something is mounted there), and
    // the environment says "moved": nothing moves, the agent reopens.
    fs::remove(root / "started");
    makeBundle(incoming, "newer", root / "started");
    mountTmpfs(app + ".previous", "64k");
    writeFile(app + ".previous/busy", "x");
    ::setenv("moved", "yes", 1);
    check(swap(app, incoming, staging, root / "started") == "new\n", "the running bundle was not reopened");
    ::unsetenv("moved");
    check(!fs::exists(incoming), "the new bundle was left beside the running one");
    ::umount((app + ".previous").c_str());
    fs::remove_all(app + ".previous");

    // The new bundle arrives by a copy from another file system that
    // fills up (as a plain move from the cache would): the half-copied
    // folder goes and the old bundle comes back.
    fs::remove(root / "started");
    fs::remove_all(fresh);
    makeBundle(fresh, "huge", root / "started", 3 << 20);
    check(swap(app, fresh, staging, root / "started") == "new\n", "the old agent was not reopened after a failed copy");
    check(bundleAt(app) == "new" && fs::file_size(app + "/Contents/Resources/padding") == 500000,
          "a half-copied bundle stands at the running bundle's place");
    for (const std::string& path : {app + ".previous", staging})
        check(!fs::exists(fs::symlink_status(path)), "left behind after the failed copy: " + path);
    ::_exit(failures == 0 ? 0 : 1);
}

const std::string verifier = buildDir() / "Tavrelin.app/Contents/MacOS/tavrelin-verify";

// A trusted bundle pinning a fresh key, and a new bundle sealed with it.
struct Bundles {
    TempFolder dir;
    std::string trusted = dir / "Applications/Tavrelin.app", fresh = dir / "unpacked/Tavrelin.app";
    std::string contents(const std::string& path) const { return fresh + "/Contents/" + path; }

    void seal(const std::string& key) {
        must(verifier, {"--seal", fresh});
        const std::string manifest = contents("_CodeSignature/manifest");
        must("/usr/bin/minisign", {"-S", "-s", dir / (key + ".key"), "-m", manifest, "-x", manifest + ".minisig"});
    }

    Bundles() {
        for (const std::string key : {"release", "other"})
            must("/usr/bin/minisign", {"-G", "-W", "-p", dir / (key + ".pub"), "-s", dir / (key + ".key")});
        const std::string pub = readFile(dir / "release.pub");
        writeFile(trusted + "/Contents/Info.plist", "<plist><dict><key>TavrelinUpdatePublicKey</key><string>" +
                                                        pub.substr(pub.find('\n') + 1, 56) + "</string></dict></plist>");
        writeFile(contents("MacOS/tavrelin-agent"), "#!/bin/sh\n");
        writeFile(contents("Resources/it's a file.txt"), "text");
        fs::create_symlink("it's a file.txt", contents("Resources/alias"));
        seal("release");
    }
};

// Every entry of a folder, hidden ones too, sorted.
std::vector<std::string> directoryNames(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::ranges::sort(names);
    return names;
}

class VdirTest : public ::testing::Test {
protected:
    fs::path root() const { return fs::path(temp.path()) / "calendars"; }
    std::string file(const std::string& list, const std::string& id) const { return (root() / list / (id + ".ics")).string(); }
    // The line of the reminder's file that starts with `name`.
    std::string line(const std::string& id, const std::string& name) const {
        const std::string text = readFile(file("home", id));
        auto start = text.find("\r\n" + name);
        return start == std::string::npos ? "" : text.substr(start + 2, text.find("\r\n", start + 2) - start - 2);
    }

    TempFolder temp;
    posix::PosixFiles files;
    VdirRemindersDatabase database{root().string(), files};
};

std::string calendar(const std::string& components) {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\n" + components + "END:VCALENDAR\r\n";
}
const std::string task = calendar("BEGIN:VTODO\r\nUID:t\r\nSUMMARY:Buy milk\r\nEND:VTODO\r\n");
const std::string event = calendar("BEGIN:VEVENT\r\nUID:e\r\nSUMMARY:Dentist\r\nEND:VEVENT\r\n");

std::vector<std::string> titles(const VdirRemindersDatabase& database) {
    std::vector<std::string> result;
    for (const auto& list : database.lists())
        result.push_back(list.title);
    return result;
}

const std::string token = "rk_curltest0123456";

Handler answer(int status, std::string body) {
    return [=](const httplib::Request&, httplib::Response& response) {
        response.set_content(body, "application/json");
        response.status = status;
    };
}

// Deterministic bytes, one block at a time and without allocating, so that
// neither end holds them whole: one pattern, each block numbered at its start.
constexpr std::size_t blockSize = 64 * 1024;
void fillBlock(std::size_t index, std::array<char, blockSize>& bytes) {
    for (std::size_t i = 0; i < blockSize; ++i)
        bytes[i] = static_cast<char>(i * 7 % 251);
    std::memcpy(bytes.data(), &index, sizeof index);
}

constexpr std::size_t blocks = 768; // 48 MiB

// A loopback server with a few fixed routes; every other request is recorded
// and answered with the handler.
struct CurlTest : ::testing::Test {
    ~CurlTest() override { silence.open(); } // before the server stops: it waits for its handlers
    std::vector<httplib::Request> requests() {
        std::lock_guard lock(mutex);
        return seen;
    }
    void handle(Handler next) {
        std::lock_guard lock(mutex);
        handler = std::move(next);
    }
    RelayClient client(platform::HttpSessionConfig config = {}, std::string apiBase = {}, std::string key = token) {
        return RelayClient(Pairing{apiBase.empty() ? server.url() : apiBase, key, {}}, http, appInfo, config);
    }
    // Starts a reply {"items":[ and then sends, every 10 ms, two more bytes:
    // `pairs` times before closing it with ]}, or without end (0) until the
    // client leaves; or (silent) nothing more until the test ends. Not as
    // JSON, so the server does not compress (and hold back) the chunks. The
    // pauses are far below any limit the tests set on silence.
    Handler stream(int pairs, bool silent = false) {
        return [=, this](const httplib::Request&, httplib::Response& response) {
            response.set_chunked_content_provider("application/octet-stream",
                                                  [=, this](std::size_t offset, httplib::DataSink& sink) {
                                                      if (offset == 0)
                                                          return sink.write("{\"items\":[", 10);
                                                      if (silent)
                                                          return silence.pass(), false;
                                                      std::this_thread::sleep_for(10ms);
                                                      if (pairs == 0 || (offset - 10) / 2 < static_cast<std::size_t>(pairs))
                                                          return sink.write("  ", 2);
                                                      sink.write("]}", 2);
                                                      sink.done();
                                                      return true;
                                                  });
        };
    }

    fake::FakeBundle bundle;
    AppInfo appInfo{bundle};
    curl::CurlHttp http;
    TempFolder dir;
    std::mutex mutex;
    std::vector<httplib::Request> seen;
    Handler handler = answer(200, R"({"items":[]})");
    Gate silence;
    LoopbackServer server{[this](httplib::Server& s) {
        s.Get("/same", [](const auto&, auto& response) { response.set_redirect("/file"); });
        // The same server under a name that is another host to a redirect rule.
        s.Get("/away", [](const auto& request, auto& response) {
            response.set_redirect("http://localhost:" + std::to_string(request.local_port) + "/file");
        });
        s.Get("/big", [](const auto&, auto& response) {
            response.set_content_provider(
                blocks * blockSize, "application/octet-stream", [](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                    static thread_local std::array<char, blockSize> bytes;
                    fillBlock(offset / blockSize, bytes);
                    return sink.write(bytes.data() + offset % blockSize, blockSize - offset % blockSize);
                });
        });
        auto route = [this](const httplib::Request& request, httplib::Response& response) {
            std::lock_guard lock(mutex);
            seen.push_back(request);
            handler(request, response); // quick: a slow body is sent after it returns
        };
        s.Get(".*", route).Post(".*", route);
    }};
};

} // namespace

// Every refusal happens on the listing alone: nothing is written.
TEST(Unpack, RefusesWhatNoBundleHoldsBeforeWriting) {
    using nlohmann::json;
    const platform::UnpackLimits limits{1000, 3};
    const std::tuple<json, std::string> rows[] = {
        {json::array({{"/tmp/evil", 0100644, "x"}}), "“/tmp/evil” is an absolute path"},
        {json::array({{"Tavrelin.app/", 040755, ""}, {"Tavrelin.app/../../evil", 0100644, "x"}}), "steps out with “..”"},
        {json::array({{"Tavrelin.app/link", 0120777, "/etc/passwd"}}), "“Tavrelin.app/link” is a symbolic link"},
        // (A zip's FIFO mode reads as a plain file; a device comes through.)
        {json::array({{"device", 020644, ""}}), "“device” is neither a file nor a folder"},
        {json::array({{"a", 0100644, "1"}, {"b", 0100644, "2"}, {"c", 0100644, "3"}, {"d", 0100644, "4"}}),
         "more than 3 entries"},
        {json::array({{"ok", 0100644, 600}, {"more", 0100644, 401}}), "unpacks to more than 1000 bytes"},
    };
    for (const auto& [entries, refusal] : rows) {
        TempFolder dir;
        makeZip(dir / "update.zip", entries);
        EXPECT_THAT([&] { updateSystem.unpack(dir / "update.zip", dir / "unpacked", limits); },
                    ::testing::ThrowsMessage<platform::UnpackError>(::testing::HasSubstr(refusal)));
        EXPECT_FALSE(fs::exists(dir / "unpacked")) << entries.dump() << " wrote something";
    }

    TempFolder dir;
    writeFile(dir / "update.zip", "not a zip at all");
    EXPECT_THROW(updateSystem.unpack(dir / "update.zip", dir / "unpacked", limits), platform::UnpackError);
    // A name listed twice is only seen while writing; the caller removes the folder.
    makeZip(dir / "twice.zip", json::array({{"a", 0100644, "1"}, {"a", 0100644, "2"}}));
    EXPECT_THROW(updateSystem.unpack(dir / "twice.zip", dir / "twice", limits), platform::UnpackError);
}

// An entry whose headers give a size smaller than its data inflates to is
// stopped at the size given, whatever room the limits leave.
TEST(Unpack, AnEntryIsStoppedAtTheSizeItsListingGives) {
    constexpr int declared = 1 << 20, real = 64 << 20;
    TempFolder dir;
    // Both headers of the entry, the local one and the central one, understate it.
    must("/usr/bin/python3", {"-c", R"(import struct, sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("Tavrelin.app/Contents/big", bytes(int(sys.argv[3])))
data = bytearray(open(sys.argv[1], "rb").read())
for signature, at in ((b"PK\x03\x04", 22), (b"PK\x01\x02", 24)):
    start = data.find(signature)
    struct.pack_into("<I", data, start + at, int(sys.argv[2]))
open(sys.argv[1], "wb").write(data)
)",
                              dir / "update.zip", std::to_string(declared), std::to_string(real)});
    EXPECT_THAT(
        [&] {
            updateSystem.unpack(dir / "update.zip", dir / "unpacked", {std::uint64_t{1} << 30, 100});
        },
        ::testing::ThrowsMessage<platform::UnpackError>(
            ::testing::HasSubstr("big” holds more than the 1048576 bytes the archive lists for it")));
    const fs::path big = dir / "unpacked/Tavrelin.app/Contents/big";
    EXPECT_LE(fs::exists(big) ? fs::file_size(big) : 0, std::uintmax_t{declared}) << "written past the size given";
}

// Modes as the archive gives them, never setuid, setgid or sticky, whatever
// the umask; folders the archive only implies read as usual.
TEST(Unpack, KeepsModesWithoutSpecialBits) {
    // A name, its mode in the archive (none: only implied) and unpacked.
    const std::tuple<std::string, unsigned, unsigned> rows[] = {
        {"Tavrelin.app/Contents/MacOS/tavrelin-agent", 0104755, 0755},
        {"Tavrelin.app/Contents/Shared/", 041777, 0777},
        {"Tavrelin.app/Contents/Locked/file", 0102644, 0644},
        {"Tavrelin.app/Contents/Locked/", 040555, 0555},
        {"./Tavrelin.app//Contents/Resources/./icon", 0100600, 0600},
        {"Tavrelin.app/Contents/MacOS", 0, 0755},
        {".", 0, 0755},
    };
    TempFolder dir;
    nlohmann::json entries = nlohmann::json::array();
    for (const auto& [name, zipped, mode] : rows)
        if (zipped)
            entries.push_back({name, zipped, name.ends_with("icon") ? "icon" : ""});
    makeZip(dir / "update.zip", entries);
    const mode_t before = ::umask(077);
    updateSystem.unpack(dir / "update.zip", dir / "unpacked", {1 << 20, 100});
    ::umask(before);
    for (const auto& [name, zipped, mode] : rows)
        EXPECT_EQ(modeOf(dir / ("unpacked/" + name)), mode) << name;
    const std::string app = dir / "unpacked/Tavrelin.app/Contents";
    EXPECT_EQ(readFile(app + "/Resources/icon"), "icon");
    fs::permissions(app + "/Locked", fs::perms::owner_all); // so the folder can be removed
}

// On a small file system of its own, with the cache on another one, under folder
// names with every character the shell could misread (the steps are smallDisk's).
TEST(InstallScriptUnderSh, ASmallDiskNeverHoldsAHalfAgent) {
    if (::geteuid() != 0 || processes.run("/usr/bin/unshare", {"--mount", "true"}, toolDeadline).status != 0)
        GTEST_SKIP() << "needs root and a mount namespace of its own (unshare) to mount a small tmpfs";
    TempFolder dir;
    EXPECT_EXIT(smallDisk(dir), ::testing::ExitedWithCode(0), "");
}

TEST(Verifier, RefusesEveryChange) {
    // The whole output: "@" stands for the new bundle, "^" for the running one.
    // (The end-to-end update takes a good bundle and refuses a changed file.)
    const std::string sealed = "@: a sealed resource is missing or invalid\n";
    const std::pair<std::function<void(Bundles&)>, std::string> rows[] = {
        {[](Bundles& t) { writeFile(t.contents("_CodeSignature/extra"), "x"); },
         sealed + "file added: @/Contents/_CodeSignature/extra\n"},
        {[](Bundles& t) { fs::remove(t.contents("MacOS/tavrelin-agent")); },
         sealed + "file missing: @/Contents/MacOS/tavrelin-agent\n"},
        {[](Bundles& t) {
             fs::create_symlink("../../../../etc", t.contents("Resources/out"));
             t.seal("release");
         },
         sealed + "@/Contents/Resources/out: invalid destination for symbolic link in bundle\n"},
        {[](Bundles& t) { t.seal("other"); }, "@: code failed to satisfy specified code requirement(s)\n"},
        {[](Bundles& t) { writeFile(t.contents("_CodeSignature/manifest"), "file 0644 - x\n"); },
         "@: invalid signature (code or signature have been modified)\n"},
        {[](Bundles& t) { fs::remove_all(t.contents("_CodeSignature")); }, "@: code object is not signed at all\n"},
        {[](Bundles& t) { writeFile(t.trusted + "/Contents/Info.plist", "<plist><dict/></plist>"); },
         "^: no update signing key is set, so no update can be trusted\n"},
    };
    for (auto [change, expected] : rows) {
        Bundles t;
        change(t);
        for (auto at = expected.find_first_of("@^"); at != std::string::npos; at = expected.find_first_of("@^", at))
            expected.replace(at, 1, expected[at] == '@' ? t.fresh : t.trusted);
        auto result = processes.run(verifier, {"--verify", "--trusted", t.trusted, t.fresh}, toolDeadline);
        EXPECT_EQ(std::pair(result.status, result.output), std::pair(1, expected));
    }
}

// Atomic writes take the asked bits, else the umask's, and failed ones keep the
// old file and leave nothing; folder trees are copied, renamed and removed
// without following links.
TEST(PosixFiles, WritesAtomicallyAndCopiesRenamesAndRemovesFolderTrees) {
    TempFolder dir, outside;
    posix::PosixFiles files;
    for (const auto& [umask, asked] : {std::pair<mode_t, std::optional<unsigned>>{077, 0640u}, {022, std::nullopt}}) {
        const mode_t old = ::umask(umask);
        files.writeAtomically(dir / "file", std::string("a\0b", 3), asked);
        ::umask(old);
        EXPECT_EQ(files.permissions(dir / "file"), asked.value_or(0644)) << std::oct << umask;
    }
    // A file size limit makes the write itself fail, even for root.
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit tight{8, saved.rlim_max};
    const auto disposition = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    EXPECT_THROW(files.writeAtomically(dir / "file", std::string(100, 'x'), 0600), FileError);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, disposition);
    EXPECT_EQ(readFile(dir / "file"), std::string("a\0b", 3));

    // A folder in the way: the rename fails after the temporary was written.
    writeFile(dir / "busy/inside", "kept");
    EXPECT_THROW(files.writeAtomically(dir / "busy", "x", 0600), FileError);
    // A named pipe cannot be copied; what was copied before it goes again.
    writeFile(dir / "tree/a/file", "x");
    ::mkfifo((dir / "tree/pipe").c_str(), 0600);
    EXPECT_THROW(files.copy(dir / "tree", dir / "copy"), FileError);
    EXPECT_EQ(files.list(dir.path()), (std::vector<std::string>{"busy", "file", "tree"}));

    writeFile(dir / "a/b/c/tool", "#!/bin/sh\n");
    files.setPermissions(dir / "a/b/c/tool", 0751);
    files.setPermissions(dir / "a/b", 0750);
    writeFile(outside / "precious", "keep me");
    ::symlink(outside.path().c_str(), (dir / "a/b/out").c_str());
    ::symlink("c/tool", (dir / "a/b/rel").c_str());

    files.copy(dir / "a", dir / "copy");
    EXPECT_EQ(readFile(dir / "copy/b/c/tool"), "#!/bin/sh\n");
    EXPECT_EQ(std::pair(files.permissions(dir / "copy/b/c/tool"), files.permissions(dir / "copy/b")), std::pair(0751u, 0750u));
    EXPECT_EQ(std::filesystem::read_symlink(dir / "copy/b/rel"), "c/tool");
    EXPECT_THROW(files.copy(dir / "a", dir / "copy"), FileError);

    // A rename replaces a folder that is not empty.
    files.rename(dir / "copy/b", dir / "a");
    EXPECT_EQ(files.list(dir / "a"), (std::vector<std::string>{"c", "out", "rel"}));
    EXPECT_THROW(files.rename(dir / "copy/b", dir / "a"), FileError);
    files.remove(dir / "copy/");
    files.remove(dir / "a");
    EXPECT_EQ(readFile(outside / "precious"), "keep me");
    EXPECT_THROW(files.remove(dir / "a"), FileError);
    writeFile(dir / "plain", "12345");
    EXPECT_THROW(files.createDirectories(dir / "plain/sub"), FileError);
    EXPECT_EQ(files.list(dir.path()), (std::vector<std::string>{"busy", "file", "plain", "tree"}));

    // Reads take a plain file up to the limit, nothing else (the pairing file, reminders).
    ::symlink("plain", (dir / "link").c_str());
    ::mkfifo((dir / "pipe").c_str(), 0600);
    EXPECT_EQ(files.readRegularFile(dir / "plain", 5), "12345");
    for (const char* unusable : {"plain", "link", "pipe", "missing", "."})
        EXPECT_EQ(files.readRegularFile(dir / unusable, 4), std::nullopt) << unusable;
}

// Absolute variables are what the end-to-end agents run with; a relative one is passed over.
TEST(UserFolders, ARelativeXdgVariableOrHomeIsPassedOver) {
    const SavedEnvironment cache("XDG_CACHE_HOME", "/c"), data("XDG_DATA_HOME", "relative/data");
    SavedEnvironment home("HOME", "/home/a");
    EXPECT_EQ(posix::PosixFiles().cachesDirectory() + posix::PosixFiles().applicationSupportDirectory(),
              "/c/home/a/.local/share");
    home.set("HOME", "relative/home");
    EXPECT_EQ(posix::PosixFiles().applicationSupportDirectory(), ::getpwuid(::getuid())->pw_dir + std::string("/.local/share"));
}

namespace {

// Ended and reaped: a zombie still has its entry.
bool gone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidField, name, state;
    return !(stat >> pidField >> name >> state) || state == "Z";
}

} // namespace

TEST(PosixProcesses, RunMergesOutputAndDetachedChildrenAreNotOurs) {
    TempFolder dir;
    // What the agent sets for itself reaches neither kind of child; the rest of its environment does.
    SavedEnvironment restored("TAVRELIN_AGENT_ONLY", std::nullopt);
    posix::PosixProcesses::setForAgentOnly("TAVRELIN_AGENT_ONLY", "1");
    ASSERT_STREQ(std::getenv("TAVRELIN_AGENT_ONLY"), "1");
    const std::string environment = " ${TAVRELIN_AGENT_ONLY-hidden} ${HOME+home}";
    // Arguments pass as they are; standard input is empty rather than the agent's.
    auto result =
        processes.run("/bin/sh", {"-c", "echo \"$0\"" + environment + "; head -c 300000 /dev/zero >&2; cat; kill $$", "'$q' a"},
                      toolDeadline);
    EXPECT_EQ(result.output, "'$q' a hidden home\n" + std::string(300000, '\0'));
    EXPECT_EQ(result.status, 128 + SIGTERM);
    EXPECT_THROW(processes.run("/nonexistent/tool", {}, toolDeadline), platform::ProcessError);

    // Neither kind of child gets a descriptor of the agent's beyond the
    // standard three, whatever its number; a detached one lives in its own
    // session and is reaped when it ends.
    const int open = ::dup(STDIN_FILENO);
    ASSERT_GE(open, 3);
    EXPECT_EQ(processes.run("/bin/ls", {"/proc/self/fd"}, toolDeadline).output, "0\n1\n2\n3\n"); // 3: ls's own
    const std::string script =
        "exec > \"$0.tmp\"; cut -d' ' -f6 /proc/$$/stat; echo" + environment + "; ls /proc/$$/fd; mv \"$0.tmp\" \"$0\"";
    processes.launchDetached("/bin/sh", {"-c", script, dir / "report"});
    ::close(open);
    ASSERT_TRUE(eventually([&] { return ::access((dir / "report").c_str(), F_OK) == 0; }, std::chrono::seconds(20)))
        << "the detached child wrote no report";
    EXPECT_TRUE(readFile(dir / "report").ends_with("\nhidden home\n0\n1\n2\n")) << readFile(dir / "report");
    const pid_t detached = std::stoi(readFile(dir / "report")); // the leader of its session
    EXPECT_NE(detached, ::getsid(0));
    EXPECT_TRUE(eventually([&] { return gone(detached); })) << "the detached child was left a zombie";
    EXPECT_THROW(processes.launchDetached("/nonexistent/tool", {}), platform::ProcessError);
}

// A tool that hangs however it hangs is killed at its deadline with what it
// started, and the next one runs as usual.
TEST(PosixProcesses, AToolPastItsDeadlineIsKilledWithItsWholeGroup) {
    const std::string hangs[] = {
        "sleep 600 & echo $! > \"$0\"; sleep 600",                                // it and a grandchild
        "sleep 600 & echo $! > \"$0\"; exit 0",                                   // a grandchild holds its output
        "sleep 600 >/dev/null 2>&1 & echo $! > \"$0\"; exec >&- 2>&-; sleep 600", // its output is closed, it goes on
    };
    for (const std::string& hang : hangs) {
        TempFolder dir;
        const auto before = std::chrono::steady_clock::now();
        EXPECT_THAT(
            [&] {
                processes.run("/bin/sh", {"-c", hang, dir / "grandchild"}, std::chrono::seconds(1));
            },
            ::testing::ThrowsMessage<platform::ProcessTimedOut>(::testing::EndsWith("did not finish within 1 s")))
            << hang;
        EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::seconds(1)) << hang;
        ASSERT_TRUE(fs::exists(dir / "grandchild")) << hang;
        const pid_t grandchild = std::stoi(readFile(dir / "grandchild"));
        EXPECT_TRUE(eventually([&] { return gone(grandchild); })) << hang << ": the grandchild outlived the deadline";
        EXPECT_EQ(processes.run("/bin/echo", {"next"}, toolDeadline).output, "next\n") << hang;
    }
}

TEST(PosixBundle, ReadsStringEntriesOfTheAppLayoutAndTheSystemVersion) {
    TempFolder dir;
    writeFile(dir / "Tavrelin.app/Contents/Info.plist", R"(<?xml version="1.0"?><!DOCTYPE plist><plist version="1.0"><dict>
	<key>CFBundleIdentifier</key><string>com.tavrelin.mac</string> <!-- <string>ignored</string> -->
	<key>Types</key><array><dict><key>Nested</key><string>not top level</string></dict></array>
	<key>CFBundleVersion</key><integer>42</integer><key>LSUIElement</key><true/><key>Empty</key><string/>
	<key>Escaped</key><string>a &lt;b&gt; &amp; &#x2026;&#8212;</string>
</dict></plist>)");
    // (Its identifier is the end-to-end agents' part: a later agent finds the running one by it.)
    posix::PosixBundle bundle(dir / "Tavrelin.app/Contents/MacOS/tavrelin-agent");
    EXPECT_EQ(posix::PosixBundle::readInfoStrings(readFile(dir / "Tavrelin.app/Contents/Info.plist")),
              (std::map<std::string, std::string>{
                  {"CFBundleIdentifier", "com.tavrelin.mac"}, {"Escaped", "a <b> & \u2026\u2014"}, {"Empty", ""}}));
    EXPECT_EQ(posix::PosixBundle(dir / "Tavrelin.app/Contents/bin/tool").path(), dir / "Tavrelin.app/Contents/bin");
    // A damaged list has no entries rather than some.
    for (const char* damaged : {"<plist><dict><key>A</key><string>x</string><key>B</key>",
                                "<plist><dict><key>A</key><string>x<b/></string></dict></plist>", ""})
        EXPECT_TRUE(posix::PosixBundle::readInfoStrings(damaged).empty()) << damaged;

    utsname names{};
    ::uname(&names);
    const auto version = bundle.operatingSystemVersion();
    EXPECT_EQ(version.text, std::string(names.sysname) + " " + names.release);
    EXPECT_THAT(names.release,
                ::testing::StartsWith(std::to_string(version.major) + "." + std::to_string(version.minor) + "."));
}

// This test program stands in for the agent: a link to it finds the same file.
TEST(PosixBundle, StandsAtItsPathOnlyWhileTheAgentThereIsThisVeryProgram) {
    TempFolder dir;
    const std::filesystem::path app = dir / "Tavrelin.app", agent = app / "Contents/MacOS/tavrelin-agent";
    std::filesystem::create_directories(agent.parent_path());
    std::filesystem::create_symlink(std::filesystem::read_symlink("/proc/self/exe"), agent);
    const posix::PosixBundle bundle(agent);
    EXPECT_TRUE(bundle.stillAtPath());
    // Swapped as the install script does: renamed away, then another agent in its place.
    std::filesystem::rename(app, dir / "Tavrelin.app.previous");
    EXPECT_FALSE(bundle.stillAtPath());
    writeFile(agent, "the new version");
    EXPECT_FALSE(bundle.stillAtPath());
    // A path read after the rename names no agent at all.
    EXPECT_FALSE(posix::PosixBundle(dir / "Tavrelin.app.previous/Contents/MacOS/tavrelin-agent").stillAtPath());
}

TEST(SystemClock, LocalDateUsesTheLocalZone) {
    posix::SystemClock clock;
    // A zone with an offset, so a UTC reading would be caught: 2025-01-15 09:30 in
    // Berlin (UTC+1) is 08:30 UTC. (The round-trip test files a summer time.)
    const SavedEnvironment zone("TZ", "Europe/Berlin");
    EXPECT_EQ(clock.localDate({2025, 1, 15, 9, 30}), platform::Date::fromUnix(1736929800));
    // Relayed numbers too large for the calendar fields.
    EXPECT_EQ(clock.localDate({std::int64_t{1} << 40, 1, 1, {}, {}}), std::nullopt);
    EXPECT_EQ(clock.localDate({2025, 1, std::int64_t{1} << 33, {}, {}}), std::nullopt);
}

TEST_F(VdirTest, AuthorizationFollowsTheRootFolderAndItsDefault) {
    EXPECT_EQ(database.authorizationStatus(), RemindersAuthorization::notDetermined);
    EXPECT_EQ(database.requestFullAccess(), platform::RemindersAccessAnswer::granted);
    EXPECT_TRUE(fs::is_empty(root())) << "the agent never creates lists";

    writeFile(temp / "plain-file", "x");
    EXPECT_EQ(VdirRemindersDatabase(temp / "plain-file", files).authorizationStatus(), RemindersAuthorization::denied);
    EXPECT_THAT([&] { VdirRemindersDatabase(temp / "plain-file/calendars", files).requestFullAccess(); },
                ::testing::ThrowsMessage<platform::RemindersError>(::testing::HasSubstr("plain-file/calendars")));

    // The end-to-end agents name an absolute folder; a relative one is passed over.
    const SavedEnvironment lists("TAVRELIN_REMINDERS_DIR", "relative/lists"), data("XDG_DATA_HOME", "/data");
    EXPECT_EQ(VdirRemindersDatabase::defaultRoot(), "/data/calendars");
}

// The first look removes what a crash left of our own writes (the crash-safety
// test plants one), and only that.
TEST_F(VdirTest, ListsAreSortedFoldersTitledByDisplayNameAndOwnLeftoversGoAtTheFirstLook) {
    makeList(root(), "work", "Work Stuff");
    makeList(root(), "Zeta");
    makeList(root(), ".hidden", "Hidden");
    writeFile(root() / "groceries" / "displayname", "Groceries \xE2\x80\x94 weekly\r\n\n");
    writeFile(root() / "stray.ics", "not a list");
    const std::vector<std::string> others{"work/.other.tmp", "work/x.tmp", "work/.tavrelin-notes.txt", "work/.tavrelin-.tmp",
                                          ".tavrelin-0123abcd.tmp"};
    for (const auto& name : others)
        writeFile(root() / name, "someone else's");
    std::vector<std::pair<std::string, std::string>> seen;
    for (const auto& list : database.lists())
        seen.emplace_back(list.identifier, list.title);
    EXPECT_EQ(seen, (decltype(seen){{"Zeta", "Zeta"}, {"groceries", "Groceries \xE2\x80\x94 weekly"}, {"work", "Work Stuff"}}));
    for (const auto& name : others)
        EXPECT_TRUE(fs::exists(root() / name)) << name;

    // Later looks leave the folders alone: a write may be running.
    writeFile(root() / "work/.tavrelin-later.tmp", "x");
    database.lists();
    EXPECT_TRUE(fs::exists(root() / "work/.tavrelin-later.tmp"));
}

// Control characters never reach the file: line breaks become line feeds, the others go.
TEST_F(VdirTest, RemindersAreWrittenCleanAndReadBack) {
    makeList(root(), "home", "Home");
    const DateComponents day{2024, 5, 1, {}, {}};
    const char title[] = "bell\x07 null\0 del\x7f tab\tend";
    auto allDay = database.save({"home", std::string(title, sizeof title - 1), "one\r\ntwo\rthree\nfour", day, {}, {}});
    auto back = database.reminder(allDay).value();
    EXPECT_EQ(std::tie(back.identifier, back.listTitle, back.title, back.notes, back.due),
              std::make_tuple(allDay, "Home", "bell null del tab\tend", "one\ntwo\nthree\nfour", day));

    // How a due time and an alarm are written is the round-trip test's; here they are read back.
    const auto alarm = platform::Date::fromUnix(1714566600);
    auto timed = database.save({"home", "Call", std::nullopt, DateComponents{2024, 5, 1, 14, 30}, alarm, {}});
    back = database.reminder(timed).value();
    EXPECT_EQ(std::tie(back.due, back.alarm), std::make_tuple(DateComponents{2024, 5, 1, 14, 30}, alarm));

    // An alarm after the year 3000 would be written as a zero date; notes that
    // clean to nothing as an empty DESCRIPTION, which readers drop.
    auto late = database.save({"home", "t", std::string("\x01\x7f"), {}, platform::Date::fromUnix(32535216000.0), {}});
    EXPECT_EQ(line(late, "BEGIN:VALARM") + line(late, "DESCRIPTION"), "");

    // Out-of-range components carry over like a calendar.
    const std::pair<DateComponents, std::string> cases[] = {
        {{2024, 13, 45, {}, {}}, "DUE;VALUE=DATE:20250214"},
        {{3000, 12, 31, 23, 59}, "DUE:30001231T235900"},
        // No DUE at all: beyond what iCalendar writes, or overflowing.
        {{0, 1, 1, {}, {}}, ""},
        {{3000, 12, 31, 23, 60}, ""},
        {{9223372036854775807LL, 1, 1, {}, {}}, ""},
        {{2024, 1, -9223372036854775807LL, {}, {}}, ""},
    };
    for (const auto& [due, expected] : cases) {
        auto id = database.save({"home", "t", {}, due, {}, {}});
        EXPECT_EQ(line(id, "DUE"), expected);
    }
}

TEST_F(VdirTest, IdentifiersAreSafeAndOnlyListFoldersAreWrittenOrRead) {
    makeList(root(), "home");
    makeList(root(), ".hidden");
    writeFile(root() / "stray", "x");
    // Without a delivery key (the agent always has one) a fresh identifier.
    const std::string id = database.save({"home", "item", {}, {}, {}, {}});
    EXPECT_EQ(id.size(), 32u);
    for (std::string list : {"nope", "", ".", "..", ".hidden", "stray", "../home", "home/..", "/tmp"})
        EXPECT_THROW(database.save({list, "t", {}, {}, {}, {}}), platform::RemindersError) << list;
    // One reminder, no temporary files, nothing anywhere else.
    EXPECT_EQ(files.list(root() / "home").size(), 1u);
    EXPECT_EQ(files.list(root()), (std::vector<std::string>{".hidden", "home", "stray"}));

    EXPECT_TRUE(VdirRemindersDatabase::isValidIdentifier("AZaz09_.+-" + std::string(190, 'z')));
    EXPECT_FALSE(VdirRemindersDatabase::isValidIdentifier(std::string(201, 'a')));

    // Lookups ignore missing, unparsable and path-like identifiers.
    writeFile(root() / "home" / "garbage.ics", "this is not iCalendar\n");
    writeFile(root() / "home" / "event.ics", "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nUID:event\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
    // A valid reminder outside the list folders must stay out of reach.
    writeFile(root() / ".hidden" / "secret.ics", readFile(file("home", id)));
    fs::create_directories(root() / "home" / "dir.ics");
    EXPECT_TRUE(database.reminder(id));
    for (std::string bad : {"missing", "garbage", "event", "dir", "", "..", "secret", "../.hidden/secret", "a b"})
        EXPECT_FALSE(database.reminder(bad)) << bad;
}

TEST_F(VdirTest, ADeliveryIsFiledOnceWhereverTheUserMovedOrEditedIt) {
    makeList(root(), "home", "Home");
    makeList(root(), "work", "Work");
    const std::string key = "relay.example\nitem-1", uid = posix::deliveryUid(key);
    EXPECT_EQ(database.save({"home", "Call", {}, {}, {}, key}), uid);
    EXPECT_EQ(database.save({"work", "Call", {}, {}, {}, key}), uid);

    // Completed and moved to another list, then delivered again after a restart.
    std::string edited = readFile(file("home", uid));
    edited.insert(edited.find("END:VTODO"), "STATUS:COMPLETED\r\n");
    writeFile(file("work", uid), edited);
    fs::remove(file("home", uid));
    VdirRemindersDatabase restarted(root().string(), files);
    EXPECT_EQ(restarted.save({"home", "Call", {}, {}, {}, key}), uid);
    EXPECT_EQ(readFile(file("work", uid)), edited);
    // Moved after the database last looked: still found, under its new list.
    fs::rename(file("work", uid), file("home", uid));
    EXPECT_EQ(restarted.reminder(uid)->listTitle, "Home");
    EXPECT_EQ(files.list(root() / "home").size() + files.list(root() / "work").size(), 3u) << "two displaynames";
}

// A reminder filed under the earlier host-and-id key is this delivery only
// while it holds what this save would write, in this list; any other item
// under that id is filed under its own key.
TEST_F(VdirTest, AReminderFiledUnderTheEarlierKeyCountsOnlyAsTheSameFiling) {
    makeList(root(), "home", "Home");
    makeList(root(), "work", "Work");
    const std::string earlierKey = "relay.example\nitem-1";
    // Escaped and cleaned when written: compared as read back.
    const platform::NewReminder filed{"home",
                                      "Water, the plants; \\ twice\r\nmore\x07",
                                      "by the window",
                                      DateComponents{2030, 5, 4, 9, 30},
                                      platform::Date::fromUnix(1904117400),
                                      earlierKey};
    const std::string earlierUid = database.save(filed); // as the earlier version filed it
    ASSERT_EQ(earlierUid, posix::deliveryUid(earlierKey));
    const std::string earlierText = readFile(file("home", earlierUid));

    auto delivered = [&](const std::string& key, const std::function<void(platform::NewReminder&)>& change) {
        platform::NewReminder reminder = filed;
        reminder.deliveryKey = key;
        reminder.earlierDeliveryKey = earlierKey;
        change(reminder);
        return reminder;
    };
    VdirRemindersDatabase restarted(root().string(), files);
    EXPECT_EQ(restarted.save(delivered("same", [](auto&) {})), earlierUid);
    EXPECT_EQ(files.list(root() / "home").size(), 2u) << "nothing written";

    const std::pair<std::string, std::function<void(platform::NewReminder&)>> others[] = {
        {"title", [](auto& r) { r.title = "Water, the plants; \\ twice"; }},
        {"notes", [](auto& r) { r.notes.reset(); }},
        {"all day",
         [](auto& r) {
             r.due = DateComponents{2030, 5, 4, {}, {}}, r.alarm.reset();
         }},
        {"alarm", [](auto& r) { r.alarm = platform::Date::fromUnix(1904117400 + 3600); }},
        {"list", [](auto& r) { r.listIdentifier = "work"; }},
    };
    for (const auto& [key, change] : others) {
        const platform::NewReminder other = delivered(key, change);
        EXPECT_EQ(restarted.save(other), posix::deliveryUid(key)) << key;
        EXPECT_TRUE(fs::exists(file(other.listIdentifier, posix::deliveryUid(key)))) << key;
    }
    EXPECT_EQ(readFile(file("home", earlierUid)), earlierText);

    // Moved by the user: no longer where this delivery would file it.
    fs::rename(file("home", earlierUid), file("work", earlierUid));
    VdirRemindersDatabase again(root().string(), files);
    EXPECT_EQ(again.save(delivered("after the move", [](auto&) {})), posix::deliveryUid("after the move"));
}

// Event calendars share the root with task lists; only folders that can hold
// tasks are lists, and only lists take a reminder.
TEST_F(VdirTest, FoldersOfEventsAreNotListsButEmptyOnesAre) {
    using Files = std::vector<std::pair<std::string, std::string>>;
    // vdirsyncer's metadata: all it keeps beside a collection's items.
    const Files synced{{"color", "#3a7f2b"}, {"description", "shared"}, {"order", "2"}};
    const std::tuple<std::string, Files, bool> folders[] = {
        {"tasks", {{"t.ics", task}}, true},
        {"events", {{"a.ics", event}, {"b.ics", event}}, false},
        {"empty", {}, true},
        {"synced-events", {{"e.ics", event}}, false},
        {"mixed", {{"a.ics", event}, {"b.ics", task}, {"c.ics", event}}, true},
        {"both-in-one", {{"x.ics", calendar("BEGIN:VEVENT\r\nEND:VEVENT\r\nBEGIN:VTODO\r\nEND:VTODO\r\n")}}, true},
        {"lower-case-event", {{"e.ics", "begin:vcalendar\nbegin:vevent\nend:vevent\nend:vcalendar\n"}}, false},
        {"event-and-junk", {{"e.ics", event}, {"junk.ics", "not iCalendar"}}, false},
        {"journal", {{"j.ics", calendar("BEGIN:VJOURNAL\r\nEND:VJOURNAL\r\n")}}, true},
        {"event-in-non-items", {{"e.ics.tmp", event}, {"e.txt", event}}, true},
    };
    std::vector<std::string> expected;
    for (const auto& [name, files, isList] : folders) {
        makeList(root(), name, "“" + name + "”");
        if (name.starts_with("synced-"))
            for (const auto& [file, text] : synced)
                writeFile(root() / name / file, text);
        for (const auto& [file, text] : files)
            writeFile(root() / name / file, text);
        if (isList)
            expected.push_back("“" + name + "”");
    }
    std::ranges::sort(expected); // the folders' order, as the titles follow their names
    EXPECT_EQ(titles(database), expected);

    EXPECT_THROW(database.save({"events", "x", {}, {}, {}, {}}), platform::RemindersError);
    EXPECT_NO_THROW(database.save({"empty", "x", {}, {}, {}, {}}));

    // A task added to a calendar makes it a list; without it, it is a calendar again.
    writeFile(root() / "events" / "t.ics", task);
    EXPECT_THAT(titles(database), ::testing::Contains("“events”"));
    fs::remove(root() / "events" / "t.ics");
    EXPECT_THAT(titles(database), ::testing::Not(::testing::Contains("“events”")));
    // Emptied, it can take tasks again.
    fs::remove(root() / "events" / "a.ics");
    fs::remove(root() / "events" / "b.ics");
    EXPECT_THAT(titles(database), ::testing::Contains("“events”"));
}

// A list made on request lands as one folder inside the root whatever its
// title holds, reads back under that title, and is made once.
TEST_F(VdirTest, AListIsMadeOnceInsideTheRootWhateverItsTitle) {
    // Left by a crash while a list was put together: not a list, and gone at the first look.
    writeFile(root() / ".tavrelin-00ff00ff.tmp/displayname", "Half made");
    const std::pair<std::string, std::string> made[] = {
        {"Groceries", "groceries"},
        {"groceries", "groceries-2"}, // another title, same name: numbered
        {"../../escape", "escape"},
        {"a/b", "a-b"},
        {"..", "list"},
        {"/", "list-2"},
        {".hidden", "hidden"},
        {"Weekly!", "weekly"},
        {std::string(4096, 'l'), std::string(60, 'l')}, // the longest title
        {"\xE6\x97\xA5\xE6\x9C\xAC Liste", "\xE6\x97\xA5\xE6\x9C\xAC-liste"},
        {std::string(40, 'X') + std::string(20, ' ') + "\xC3\xA9t\xC3\xA9", std::string(40, 'x') + "-\xC3\xA9t\xC3\xA9"},
        {std::string(59, 'y') + "\xC3\xA9" + std::string(10, 'z'), std::string(59, 'y')}, // never half a character
    };
    for (const auto& [title, folder] : made) {
        const auto list = database.createList(title);
        EXPECT_EQ(std::pair(list.identifier, list.title), std::pair(folder, title));
        EXPECT_EQ(readFile(root() / folder / "displayname"), title);
    }
    // Nothing outside the root, nothing hidden or half made in it.
    EXPECT_EQ(directoryNames(temp.path()), std::vector<std::string>{"calendars"});
    std::vector<std::string> folders;
    for (const auto& list : database.lists()) {
        EXPECT_EQ(list.title, std::ranges::find(made, list.identifier, &std::pair<std::string, std::string>::second)->first);
        folders.push_back(list.identifier);
    }
    std::ranges::sort(folders);
    EXPECT_EQ(directoryNames(root()), folders);
    for (const auto& name : folders)
        EXPECT_LE(name.size(), 60u) << name;

    // Asked again, also in another Unicode form: the same list, no second folder.
    EXPECT_EQ(database.createList("Groceries").identifier, "groceries");
    EXPECT_EQ(database.createList("\xE6\x97\xA5\xE6\x9C\xAC Liste").identifier, "\xE6\x97\xA5\xE6\x9C\xAC-liste");
    EXPECT_EQ(database.createList("e\xCC\x81t\xC3\xA9").identifier, database.createList("\xC3\xA9t\xC3\xA9").identifier);
    EXPECT_EQ(directoryNames(root()).size(), folders.size() + 1);

    // A made list takes reminders at once.
    const std::string id = database.save({"groceries", "Milk", {}, {}, {}, "relay.example\nmilk"});
    EXPECT_EQ(database.reminder(id).value().listTitle, "Groceries");

    // Titles that would not read back as given are refused, and leave nothing behind.
    for (const std::string& title :
         {std::string(), std::string("Work\n"), std::string("Tab\there"), std::string("Nul\0", 4), std::string(4097, 'w')})
        EXPECT_THROW(database.createList(title), platform::RemindersError) << title;
    EXPECT_EQ(directoryNames(root()).size(), folders.size() + 1);
}

// On files the test watches. A look first flushes, once, each folder written
// since the last one; it reads an item once under its name, and a list only up
// to its first task, so a large calendar or list costs a folder listing per poll.
TEST(VdirOnWatchedFiles, ALookFlushesEachWrittenFolderOnceAndReadsOnlyItemsItHasNotSeen) {
    fake::FakeFiles files;
    files.directories = {"/cal/home"};
    for (int i = 0; i < 50; ++i) {
        files.files["/cal/calendar/e" + std::to_string(i) + ".ics"] = event;
        files.files["/cal/list/t" + std::to_string(i) + ".ics"] = task;
    }
    VdirRemindersDatabase database("/cal", files);
    // The lists a look answers, the folders it flushed, and how many items were read since the last one.
    auto look = [&] {
        std::string seen;
        for (const auto& list : database.lists())
            seen += list.title + " ";
        seen += "| flushed";
        for (const auto& operation : std::exchange(files.operations, {}))
            if (operation.starts_with("sync "))
                seen += operation.substr(4);
        int reads = 0;
        for (const auto& [path, count] : std::exchange(files.reads, {}))
            reads += path.ends_with(".ics") ? count : 0;
        return seen + " | read " + std::to_string(reads);
    };
    EXPECT_EQ(look(), "home list | flushed /cal/home /cal/list | read 51")
        << "what an earlier run left unflushed; every event, and the list's first task";
    EXPECT_EQ(look(), "home list | flushed | read 0");
    files.files["/cal/calendar/new.ics"] = event;
    files.files.erase("/cal/list/t0.ics"); // the task the list was known by
    EXPECT_EQ(look(), "home list | flushed | read 2") << "the new event, and the list's next task";

    for (const auto& [list, item] : {std::pair{"home", "1"}, {"list", "2"}, {"home", "3"}})
        database.save({list, "t", {}, {}, {}, std::string("relay.example\nitem-") + item});
    EXPECT_FALSE(std::ranges::any_of(files.operations, [](const std::string& op) { return op.starts_with("sync "); }));
    EXPECT_EQ(look(), "home list | flushed /cal/home /cal/list | read 0");

    // A flush that fails fails the look, and is tried again at the next one.
    database.save({"home", "t", {}, {}, {}, {}});
    files.failing.insert("/cal/home");
    EXPECT_THROW(database.lists(), platform::RemindersError);
    files.failing.clear();
    EXPECT_EQ(look(), "home list | flushed /cal/home | read 0");
}

// Refused requests fail as transport, the others share one connection, and failures are
// classified. (The end-to-end relay test reads the method, path, token and body.)
TEST_F(CurlTest, RequestsAndFailures) {
    using Kind = RelayError::Kind;
    // Nothing listens there; a token with a line break would smuggle a header in.
    EXPECT_EQ(errorOf([&] { client({}, "http://127.0.0.1:1").fetchPending(); }).kind(), Kind::transport);
    EXPECT_EQ(errorOf([&] { client({}, {}, token + "\r\nX-Evil: 1").fetchPending(); }).kind(), Kind::transport);

    auto c = client();
    c.fetchPending();
    c.ack({"a", "b"}, {"Work", "Zoë"});
    const auto seen = requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].remote_port, seen[0].remote_port) << "one connection serves every exchange";
    EXPECT_EQ(seen[1].get_header_value("Content-Type"), "application/json");

    const std::string json = R"({"items":[]})";
    const platform::HttpSessionConfig capped{20, 30, 64};
    constexpr auto none = platform::HttpSessionConfig::noLimit;
    // No kind: what comes within the limits is read. Each limit that should
    // not end an exchange is at least a hundred times the server's pauses.
    const std::tuple<Handler, platform::HttpSessionConfig, std::optional<Kind>, std::string> rows[] = {
        {stream(0, true), {0.3, none}, Kind::transport, "The request timed out (no data for 0.3 s)"},
        // Steady bytes faster than the low-speed limit keep it and the request
        // time-out from firing, not the whole-exchange one.
        {stream(0), {30, 2, 1 << 20, 10, 1}, Kind::transport, "the exchange took longer than 2 s"},
        // Bytes for longer than the request time-out, never silent as long.
        {stream(150), {1, none}, {}, ""},
        // A few bytes now and then, below the low-speed limit.
        {stream(0), {5, 15, 1 << 20, 1000, 1}, Kind::transport, "too slow"},
        {answer(200, json + std::string(64 - json.size() + 1, ' ')), capped, Kind::malformed, "larger than"},
        {answer(200, json + std::string(64 - json.size(), ' ')), capped, {}, ""},
        // A failed reply is judged by its status, however large its body.
        {answer(503, std::string(65, ' ')), capped, Kind::http, "HTTP 503"},
        {[](const auto&, auto& response) { response.set_redirect("/again"); }, {}, Kind::transport, "too many redirects"},
    };
    for (const auto& [handler, config, kind, text] : rows) {
        handle(handler);
        RelayError error = errorOf([&, &session = config] { client(session).fetchPending(); });
        EXPECT_EQ(error.message() == "none" ? std::nullopt : std::optional(error.kind()), kind) << error.what();
        EXPECT_THAT(error.what(), ::testing::HasSubstr(text));
    }
    EXPECT_EQ(std::ranges::count(requests(), "/again", &httplib::Request::path), curl::maxRedirects);
}

// The https side is not served here: the decision is checked directly.
TEST(CurlRedirect, Decisions) {
    const platform::HttpRequest post{
        "POST", "https://relay.example/ack", {{"Authorization", "Bearer x"}, {"Content-Type", "application/json"}}, "{}"};
    auto headers = [&](long status, const std::string& target) {
        auto next = curl::redirectedRequest(post, status, target);
        std::string names = next ? next->method : "none";
        for (const auto& h : next ? next->headers : decltype(post.headers){})
            names += " " + h.first;
        return names;
    };
    EXPECT_EQ(headers(304, "https://relay.example/x"), "none");
    EXPECT_EQ(headers(308, "https://RELAY.example:443/y"), "POST Authorization Content-Type");
    EXPECT_EQ(headers(302, "https://relay.example/y"), "GET Authorization");
    // Elsewhere without the token; only other schemes are refused here.
    for (const char* target : {"https://cdn.example/y", "http://localhost:8080/y", "http://relay.example/y"})
        EXPECT_EQ(headers(307, target), "POST Content-Type") << target;
    for (const char* target : {"ftp://relay.example/y", "file:///etc/passwd"})
        EXPECT_THROW(curl::redirectedRequest(post, 302, target), platform::HttpTransportError) << target;

    // Whether plain http is followed is the session's rule: never down from https by default.
    const std::tuple<const char*, const char*, bool> rows[] = {
        {"https://relay.example/a", "http://relay.example/b", false},
        {"HTTPS://relay.example/a", "HTTP://127.0.0.1/b", false},
        {"https://relay.example/a", "https://cdn.example/b", true},
        {"http://localhost:8080/a", "http://localhost:8081/b", true},
    };
    for (const auto& [from, to, followed] : rows)
        EXPECT_EQ(HttpSessionConfig{}.allowRedirect(from, to), followed) << from << " -> " << to;
}

// The logic decides whether a redirect is followed; curl asks before every hop.
TEST_F(CurlTest, FollowsOnlyTheRedirectsTheRuleAllows) {
    HttpSessionConfig config;
    config.allowRedirect = [this](const std::string& from, const std::string& to) {
        return from.starts_with(server.url()) && to.starts_with(server.url());
    };
    auto session = http.makeSession(config);
    handle(answer(200, "the file"));
    // (A plain request follows one too: the redirect loop in RequestsAndFailures.)
    session->download({"GET", server.url() + "/same", {}, {}}, dir / "same");
    EXPECT_EQ(readFile(dir / "same"), "the file");

    const platform::HttpRequest away{"GET", server.url() + "/away", {}, {}};
    const auto refused = ::testing::Throws<platform::HttpRedirectRefused>(
        ::testing::Property(&platform::HttpRedirectRefused::target,
                            "http://localhost:" + server.url().substr(server.url().rfind(':') + 1) + "/file"));
    EXPECT_THAT([&] { session->perform(away); }, refused);
    EXPECT_THAT([&] { session->download(away, dir / "away"); }, refused);
    EXPECT_EQ(std::ranges::count(requests(), "/file", &httplib::Request::path), 1) << "the refused target must never be asked";
    EXPECT_FALSE(fs::exists(dir / "away")) << "a refused download leaves no file";
}

// The whole body reaches the file and its digest, while the process's peak
// memory grows far less than the body.
TEST_F(CurlTest, DownloadsStreamToTheFile) {
    posix::Sha256 expected;
    for (std::size_t i = 0; i < blocks; ++i) {
        std::array<char, blockSize> bytes;
        fillBlock(i, bytes);
        expected.update(std::string_view(bytes.data(), bytes.size()));
    }

    // The process's resident memory now ("VmRSS:") or at its peak ("VmHWM:"), in KiB.
    auto memoryKiB = [](const std::string& field) {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);)
            if (line.starts_with(field))
                return std::stol(line.substr(field.size()));
        return 0L;
    };
    // Start the peak afresh from here.
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = memoryKiB("VmRSS:");

    auto session = http.makeSession({20, 60, blocks * blockSize});
    auto got = session->download({"GET", server.url() + "/big", {}, {}}, dir / "big");
    EXPECT_EQ(std::tuple(got.status, got.bytes, fs::file_size(dir / "big"), got.sha256),
              std::tuple(200L, std::uint64_t{blocks * blockSize}, std::uintmax_t{blocks * blockSize}, expected.hexDigest()));
    EXPECT_LT(memoryKiB("VmHWM:") - before, 16 * 1024)
        << "the download grew the process by about its size (peak " << memoryKiB("VmHWM:") << " KiB from " << before << " KiB)";

    // A body over the cap, and one that is not the download, leave no file.
    try {
        http.makeSession({20, 60, 10 * blockSize})->download({"GET", server.url() + "/big", {}, {}}, dir / "capped");
        ADD_FAILURE() << "a download past the cap";
    } catch (const platform::HttpBodyTooLarge& error) {
        EXPECT_EQ(std::pair(error.status(), error.limit()), std::pair(200L, 10 * blockSize));
    }
    handle(answer(404, "not here"));
    auto missing = session->download({"GET", server.url() + "/missing", {}, {}}, dir / "missing");
    EXPECT_EQ(std::pair(missing.status, missing.bytes), std::pair(404L, std::uint64_t{0}));
    EXPECT_FALSE(fs::exists(dir / "capped") || fs::exists(dir / "missing"));
    // A file that cannot be made is a file error, not a transport one.
    EXPECT_THROW(session->download({"GET", server.url() + "/big", {}, {}}, dir / "no/such/folder"), platform::FileError);
}
