#include "Platform/Posix/PosixBundle.h"
#include "Platform/Posix/PosixDigest.h"
#include "Platform/Posix/PosixFiles.h"
#include "Platform/Posix/PosixProcesses.h"
#include "Platform/Posix/SystemClock.h"
#include "Support/TempFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace tavrelin;
using tavrelin::testing::modeOf;
using tavrelin::testing::readFile;
using tavrelin::testing::ScopedEnv;
using tavrelin::testing::ScopedUmask;
using tavrelin::testing::TempFolder;
using tavrelin::testing::writeFile;

TEST(PosixFiles, AtomicWriteReplacesContentWithExactlyTheAskedBits) {
    TempFolder dir;
    posix::PosixFiles files;
    const std::string path = dir / "pairing.json";
    writeFile(path, "old content that is longer");
    ::chmod(path.c_str(), 0644);

    {
        // A permissive umask must not widen a private file, nor a strict one narrow a shared one.
        ScopedUmask wide(0);
        files.writeAtomically(path, "new", 0600);
        EXPECT_EQ(modeOf(path), 0600u);
    }
    EXPECT_EQ(readFile(path), "new");
    {
        ScopedUmask strict(077);
        files.writeAtomically(path, std::string("a\0b", 3), 0644);
        EXPECT_EQ(modeOf(path), 0644u);
    }
    EXPECT_EQ(readFile(path), std::string("a\0b", 3));
    EXPECT_EQ(files.list(dir.path()), std::vector<std::string>{"pairing.json"});
}

TEST(PosixFiles, FailedWriteThrowsKeepsTheOldFileAndLeavesNoTemporary) {
    TempFolder dir;
    posix::PosixFiles files;
    const std::string path = dir / "pairing.json";
    writeFile(path, "old");

    // A file size limit makes the write itself fail, even for root.
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    auto* previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tight = saved;
    tight.rlim_cur = 8;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    try {
        files.writeAtomically(path, std::string(100, 'x'), 0600);
        ADD_FAILURE() << "write over the size limit succeeded";
    } catch (const platform::FileError& error) {
        EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find("too large"), std::string::npos) << error.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_EQ(readFile(path), "old");
    EXPECT_EQ(files.list(dir.path()), std::vector<std::string>{"pairing.json"});

    // A folder in the way: the rename fails after the temporary was written.
    ::mkdir((dir / "busy").c_str(), 0755);
    writeFile(dir / "busy/inside", "kept");
    EXPECT_THROW(files.writeAtomically(dir / "busy", "x", 0600), platform::FileError);
    EXPECT_EQ(readFile(dir / "busy/inside"), "kept");
    EXPECT_EQ(files.list(dir.path()), (std::vector<std::string>{"busy", "pairing.json"}));

    EXPECT_THROW(files.writeAtomically(dir / "missing/file", "x", 0600), platform::FileError);
}

TEST(PosixFiles, CopiesAndRemovesFolderTreesWithoutFollowingLinks) {
    TempFolder dir;
    TempFolder outside;
    posix::PosixFiles files;
    files.createDirectories(dir / "a/b/c");
    files.createDirectories(dir / "a/b/c"); // again: fine
    writeFile(dir / "a/b/c/tool", "#!/bin/sh\n");
    ::chmod((dir / "a/b/c/tool").c_str(), 0751);
    writeFile(dir / "a/top", "top");
    writeFile(outside / "precious", "keep me");
    ::symlink((outside.path()).c_str(), (dir / "a/b/out").c_str());
    ::symlink("c/tool", (dir / "a/b/rel").c_str());
    ::chmod((dir / "a/b").c_str(), 0750);

    files.copy(dir / "a", dir / "copy");
    EXPECT_EQ(readFile(dir / "copy/b/c/tool"), "#!/bin/sh\n");
    EXPECT_EQ(modeOf(dir / "copy/b/c/tool"), 0751u);
    EXPECT_EQ(modeOf(dir / "copy/b"), 0750u);
    EXPECT_EQ(readFile(dir / "copy/top"), "top");
    char target[256] = {};
    ASSERT_GT(::readlink((dir / "copy/b/rel").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "c/tool");
    EXPECT_EQ(files.list(dir / "copy/b"), (std::vector<std::string>{"c", "out", "rel"}));
    EXPECT_THROW(files.copy(dir / "a", dir / "copy"), platform::FileError);

    files.remove(dir / "copy");
    files.remove(dir / "a/");
    EXPECT_FALSE(files.exists(dir / "copy"));
    EXPECT_FALSE(files.exists(dir / "a"));
    EXPECT_EQ(readFile(outside / "precious"), "keep me");
    EXPECT_THROW(files.remove(dir / "a"), platform::FileError);
    EXPECT_TRUE(files.list(dir.path()).empty());
}

TEST(PosixFiles, RenameReplacesAndFoldersFollowTheBaseDirectoryRules) {
    TempFolder dir;
    posix::PosixFiles files;
    files.createDirectories(dir / "new/x");
    files.createDirectories(dir / "old/y");
    files.rename(dir / "new", dir / "old");
    EXPECT_EQ(files.list(dir / "old"), std::vector<std::string>{"x"});
    EXPECT_THROW(files.rename(dir / "new", dir / "old"), platform::FileError);
    writeFile(dir / "plain", "");
    EXPECT_THROW(files.createDirectories(dir / "plain/sub"), platform::FileError);
    files.setPermissions(dir / "plain", 0604);
    EXPECT_EQ(files.permissions(dir / "plain"), 0604u);
}

TEST(UserFolders, AnAbsoluteXdgVariableElseTheHomeElseTheUserDatabase) {
    using posix::UserFolder;
    const passwd* user = ::getpwuid(::getuid());
    ASSERT_TRUE(user && user->pw_dir);
    const std::string database = user->pw_dir;
    struct Case {
        UserFolder folder;
        std::optional<std::string> xdg, home;
        std::string expected;
    } cases[] = {
        {UserFolder::data, "/srv/data", "/home/a", "/srv/data"},
        {UserFolder::data, "relative/data", "/home/a", "/home/a/.local/share"},
        {UserFolder::data, std::nullopt, "/home/a", "/home/a/.local/share"},
        {UserFolder::config, "/etc/xdg-user", "/home/a", "/etc/xdg-user"},
        {UserFolder::config, "", "/home/a", "/home/a/.config"},
        {UserFolder::cache, "/var/cache/a", "/home/a", "/var/cache/a"},
        {UserFolder::cache, "cache", std::nullopt, database + "/.cache"},
        {UserFolder::cache, std::nullopt, "relative/home", database + "/.cache"},
        {UserFolder::data, std::nullopt, "", database + "/.local/share"},
    };
    const char* variables[] = {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"};
    for (const auto& c : cases) {
        ScopedEnv env{
            {"HOME", c.home}, {"XDG_DATA_HOME", "/wrong"}, {"XDG_CONFIG_HOME", "/wrong"}, {"XDG_CACHE_HOME", "/wrong"}};
        env.set(variables[static_cast<int>(c.folder)], c.xdg);
        EXPECT_EQ(posix::userFolder(c.folder), c.expected) << c.xdg.value_or("(unset)") << " " << c.home.value_or("(unset)");
    }
    ScopedEnv env{{"XDG_DATA_HOME", "/srv/data"}, {"XDG_CACHE_HOME", "/srv/cache"}};
    posix::PosixFiles files;
    EXPECT_EQ(files.applicationSupportDirectory(), "/srv/data");
    EXPECT_EQ(files.cachesDirectory(), "/srv/cache");
}

TEST(PosixFiles, NewFilesFollowTheUmaskUnlessBitsAreAsked) {
    TempFolder dir;
    posix::PosixFiles files;
    struct Case {
        mode_t umask;
        std::optional<unsigned> asked;
        unsigned expected;
    } cases[] = {
        {027, std::nullopt, 0640}, {0, std::nullopt, 0666}, {002, 0600u, 0600}, // the pairing file
    };
    for (const auto& c : cases) {
        ScopedUmask umask(c.umask);
        files.writeAtomically(dir / "file", "x", c.asked);
        EXPECT_EQ(modeOf(dir / "file"), c.expected) << std::oct << c.umask << " " << c.asked.value_or(0);
    }
    EXPECT_EQ(files.list(dir.path()), std::vector<std::string>{"file"});
}

TEST(PosixProcesses, RunMergesOutputAndReportsTheStatus) {
    posix::PosixProcesses processes;
    auto result = processes.run("/bin/sh", {"-c", "echo out; echo err >&2; exit 3"});
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.output, "out\nerr\n");

    // Arguments pass as they are: no shell reads them.
    result = processes.run("/bin/echo", {"$HOME", "a b", "'q'"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "$HOME a b 'q'\n");

    // More than a pipe holds, and standard input is empty rather than the agent's.
    result = processes.run("/bin/sh", {"-c", "head -c 300000 /dev/zero; cat; kill -TERM $$"});
    EXPECT_EQ(result.output.size(), 300000u);
    EXPECT_EQ(result.status, 128 + SIGTERM);

    // A descriptor the agent left inheritable does not reach the tool.
    const int open = ::dup(STDIN_FILENO);
    result = processes.run("/bin/sh", {"-c", "test -e /proc/$$/fd/" + std::to_string(open) + " && echo leaked; true"});
    ::close(open);
    EXPECT_EQ(result.output, "");

    try {
        processes.run("/nonexistent/tool", {});
        ADD_FAILURE() << "ran a missing program";
    } catch (const platform::ProcessError& error) {
        EXPECT_NE(std::string(error.what()).find("/nonexistent/tool"), std::string::npos) << error.what();
    }
}

TEST(PosixProcesses, DetachedChildRunsInItsOwnSessionAndIsNotOurs) {
    TempFolder dir;
    posix::PosixProcesses processes;
    const std::string done = dir / "done";
    // Field 6 of /proc/<pid>/stat is the session id.
    const int open = ::dup(STDIN_FILENO);
    processes.launchDetached("/bin/sh", {"-c",
                                         "{ cut -d' ' -f6 /proc/$$/stat; test -e /proc/$$/fd/" + std::to_string(open) +
                                             " && echo leaked; } > \"$0.tmp\"; mv \"$0.tmp\" \"$0\"",
                                         done});
    ::close(open);
    EXPECT_THROW(processes.launchDetached("/nonexistent/tool", {}), platform::ProcessError);

    // The child is independent, so its result can only be awaited on disk.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (::access(done.c_str(), F_OK) != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(::access(done.c_str(), F_OK), 0) << "the detached child never ran";
    const std::string report = readFile(done);
    EXPECT_NE(std::stol(report), static_cast<long>(::getsid(0)));
    EXPECT_EQ(report.find("leaked"), std::string::npos);
    // Neither the intermediate process nor the child is left for us to reap.
    const pid_t reaped = ::waitpid(-1, nullptr, WNOHANG);
    const int error = errno;
    EXPECT_EQ(reaped, -1);
    EXPECT_EQ(error, ECHILD);
}

TEST(PosixBundle, ReadsStringEntriesOfTheAppLayout) {
    TempFolder dir;
    posix::PosixFiles files;
    files.createDirectories(dir / "Tavrelin.app/Contents/MacOS");
    writeFile(dir / "Tavrelin.app/Contents/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key>
	<string>com.tavrelin.mac</string>
	<!-- a comment <string>ignored</string> -->
	<key>LSUIElement</key>
	<true/>
	<key>CFBundleURLTypes</key>
	<array><dict><key>Nested</key><string>not top level</string></dict></array>
	<key>CFBundleVersion</key>
	<integer>42</integer>
	<key>CFBundleShortVersionString</key>
	<string>1.4.2</string>
	<key>Escaped</key>
	<string>a &lt;b&gt; &amp; &#x2026;&#8212;</string>
	<key>Empty</key>
	<string/>
</dict>
</plist>
)");
    posix::PosixBundle bundle(dir / "Tavrelin.app/Contents/MacOS/tavrelin-agent");
    EXPECT_EQ(bundle.path(), dir / "Tavrelin.app");
    EXPECT_EQ(bundle.identifier(), "com.tavrelin.mac");
    EXPECT_EQ(bundle.infoString("CFBundleShortVersionString"), "1.4.2");
    EXPECT_EQ(bundle.infoString("CFBundleVersion"), std::nullopt); // not a string
    EXPECT_EQ(bundle.infoString("LSUIElement"), std::nullopt);
    EXPECT_EQ(bundle.infoString("Nested"), std::nullopt);
    EXPECT_EQ(bundle.infoString("Escaped"), "a <b> & \u2026\u2014");
    EXPECT_EQ(bundle.infoString("Empty"), "");

    posix::PosixBundle loose(dir / "bin/tool");
    EXPECT_EQ(loose.path(), dir / "bin");
    EXPECT_EQ(loose.identifier(), std::nullopt);

    // A damaged list has no entries rather than some.
    EXPECT_TRUE(posix::PosixBundle::readInfoStrings("<plist><dict><key>A</key><string>x</string><key>B</key>").empty());
    EXPECT_TRUE(posix::PosixBundle::readInfoStrings("<plist><dict><key>A</key><string>x<b/></string></dict></plist>").empty());
    EXPECT_TRUE(posix::PosixBundle::readInfoStrings("").empty());
}

TEST(SystemClock, LocalDateUsesTheLocalZoneAndCarriesOver) {
    // A zone with an offset, so a UTC reading would be caught.
    ScopedEnv zone{{"TZ", "Europe/Berlin"}};
    posix::SystemClock clock;
    using platform::Date;
    // 2025-01-15 09:30 in Berlin (UTC+1) is 08:30 UTC.
    EXPECT_EQ(clock.localDate({2025, 1, 15, 9, 30}), Date::fromUnix(1736929800));
    EXPECT_EQ(clock.localDate({2024, 13, 1, {}, {}}), clock.localDate({2025, 1, 1, 0, 0}));
    EXPECT_EQ(clock.localDate({2025, 2, 30, {}, {}}), clock.localDate({2025, 3, 2, {}, {}}));
    // Summer time: 2025-07-01 12:00 is 10:00 UTC.
    EXPECT_EQ(clock.localDate({2025, 7, 1, 12, 0}), Date::fromUnix(1751364000));
    EXPECT_EQ(clock.localDate({2025, {}, 1, {}, {}}), std::nullopt);
    EXPECT_EQ(clock.localDate({2025, 1, {}, {}, {}}), std::nullopt);
    EXPECT_EQ(clock.localDate({std::int64_t{1} << 40, 1, 1, {}, {}}), std::nullopt);
    EXPECT_EQ(clock.localDate({2025, 1, std::int64_t{1} << 33, {}, {}}), std::nullopt);

    const double before = static_cast<double>(std::time(nullptr));
    const double now = clock.now().unixSeconds();
    EXPECT_GE(now, before);
    EXPECT_LT(now, before + 60);
}

TEST(PosixDigest, Sha256) {
    posix::PosixDigest digest;
    EXPECT_EQ(digest.sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digest.sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}
