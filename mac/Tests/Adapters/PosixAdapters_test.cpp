#include "Platform/Posix/PosixBundle.h"
#include "Platform/Posix/PosixFiles.h"
#include "Platform/Posix/PosixProcesses.h"
#include "Platform/Posix/SystemClock.h"
#include "Support/DevRelayProcess.h"
#include "Support/SavedEnvironment.h"
#include "Support/VdirFixture.h"
#include "TavrelinMac/Logging.h"

#include <gmock/gmock.h>

#include <csignal>
#include <iomanip>
#include <map>
#include <pwd.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tavrelin;
using namespace tavrelin::testing;
using platform::FileError;

TEST(PosixFiles, AtomicWritesTakeTheAskedBitsElseTheUmasksAndFailedOnesKeepTheOldAndLeaveNothing) {
    TempFolder dir;
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
    writeText(dir / "busy/inside", "kept");
    EXPECT_THROW(files.writeAtomically(dir / "busy", "x", 0600), FileError);
    // A named pipe cannot be copied; what was copied before it goes again.
    writeText(dir / "tree/a/file", "x");
    ::mkfifo((dir / "tree/pipe").c_str(), 0600);
    EXPECT_THROW(files.copy(dir / "tree", dir / "copy"), FileError);
    EXPECT_EQ(files.list(dir.path()), (std::vector<std::string>{"busy", "file", "tree"}));
}

TEST(PosixFiles, CopiesRenamesAndRemovesFolderTreesWithoutFollowingLinks) {
    TempFolder dir, outside;
    posix::PosixFiles files;
    writeText(dir / "a/b/c/tool", "#!/bin/sh\n");
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
    EXPECT_EQ(files.list(dir.path()), std::vector<std::string>{"plain"});

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
    {
        const SavedEnvironment home("HOME", "/home/a");
        EXPECT_EQ(posix::PosixFiles().cachesDirectory() + posix::PosixFiles().applicationSupportDirectory(),
                  "/c/home/a/.local/share");
    }
    const SavedEnvironment home("HOME", "relative/home");
    EXPECT_EQ(posix::PosixFiles().applicationSupportDirectory(), ::getpwuid(::getuid())->pw_dir + std::string("/.local/share"));
}

TEST(PosixProcesses, RunMergesOutputAndDetachedChildrenAreNotOurs) {
    TempFolder dir;
    posix::PosixProcesses processes;
    // Arguments pass as they are; standard input is empty rather than the agent's.
    auto result = processes.run("/bin/sh", {"-c", "echo \"$0\"; head -c 300000 /dev/zero >&2; cat; kill $$", "'$q' a"});
    EXPECT_EQ(result.output, "'$q' a\n" + std::string(300000, '\0'));
    EXPECT_EQ(result.status, 128 + SIGTERM);
    EXPECT_THROW(processes.run("/nonexistent/tool", {}), platform::ProcessError);

    // A detached child inherits none of the agent's descriptors and lives in its own session.
    const int open = ::dup(STDIN_FILENO);
    const std::string script = "{ cut -d' ' -f6 /proc/$$/stat; test -e /proc/$$/fd/" + std::to_string(open) +
                               " && echo leaked; } > \"$0.tmp\"; mv \"$0.tmp\" \"$0\"";
    processes.launchDetached("/bin/sh", {"-c", script, dir / "report"});
    ::close(open);
    ASSERT_TRUE(eventually([&] { return ::access((dir / "report").c_str(), F_OK) == 0; }, std::chrono::seconds(20)))
        << "the detached child wrote no report";
    EXPECT_EQ(readFile(dir / "report").find("leaked"), std::string::npos);
    EXPECT_NE(std::stol(readFile(dir / "report")), ::getsid(0));
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "nothing left for us to reap";
}

TEST(PosixBundle, ReadsStringEntriesOfTheAppLayoutAndTheSystemVersion) {
    TempFolder dir;
    writeText(dir / "Tavrelin.app/Contents/Info.plist", R"(<?xml version="1.0"?><!DOCTYPE plist><plist version="1.0"><dict>
	<key>CFBundleIdentifier</key><string>com.tavrelin.mac</string> <!-- <string>ignored</string> -->
	<key>Types</key><array><dict><key>Nested</key><string>not top level</string></dict></array>
	<key>CFBundleVersion</key><integer>42</integer><key>LSUIElement</key><true/><key>Empty</key><string/>
	<key>Escaped</key><string>a &lt;b&gt; &amp; &#x2026;&#8212;</string>
</dict></plist>)");
    posix::PosixBundle bundle(dir / "Tavrelin.app/Contents/MacOS/tavrelin-agent");
    EXPECT_EQ(bundle.identifier(), "com.tavrelin.mac");
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

TEST(SystemClock, LocalDateUsesTheLocalZone) {
    posix::SystemClock clock;
    {
        // A zone with an offset, so a UTC reading would be caught.
        const SavedEnvironment zone("TZ", "Europe/Berlin");
        // 2025-01-15 09:30 in Berlin (UTC+1) is 08:30 UTC. (The round-trip test files a summer time.)
        EXPECT_EQ(clock.localDate({2025, 1, 15, 9, 30}), platform::Date::fromUnix(1736929800));
    }
    // Relayed numbers too large for the calendar fields.
    for (platform::DateComponents invalid :
         {platform::DateComponents{std::int64_t{1} << 40, 1, 1, {}, {}}, {2025, 1, std::int64_t{1} << 33, {}, {}}})
        EXPECT_EQ(clock.localDate(invalid), std::nullopt);
    EXPECT_NEAR(clock.now().unixSeconds(), static_cast<double>(std::time(nullptr)), 2);
}
