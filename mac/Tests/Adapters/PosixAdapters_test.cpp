#include "Platform/Posix/PosixBundle.h"
#include "Platform/Posix/PosixDigest.h"
#include "Platform/Posix/PosixFiles.h"
#include "Platform/Posix/PosixProcesses.h"
#include "Platform/Posix/SystemClock.h"
#include "Support/VdirFixture.h"
#include "TavrelinMac/Logging.h"
#include "TavrelinMac/Pairing.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <pwd.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace tavrelin;
using namespace tavrelin::testing;
using platform::FileError;

TEST(PosixFiles, AtomicWriteReplacesContentWithTheAskedBitsElseTheUmasks) {
    TempFolder dir;
    posix::PosixFiles files;
    const std::string path = dir / "file";
    writeFile(path, "old content that is longer");
    struct Case {
        mode_t umask;
        std::optional<unsigned> asked;
        unsigned expected;
    } cases[] = {{0, 0600u, 0600}, {077, 0644u, 0644}, {027, std::nullopt, 0640}, {0, std::nullopt, 0666}};
    for (const auto& c : cases) {
        ScopedUmask umask(c.umask);
        files.writeAtomically(path, std::string("a\0b", 3), c.asked);
        EXPECT_EQ(modeOf(path), c.expected) << std::oct << c.umask << " " << c.asked.value_or(0);
    }
    EXPECT_EQ(readFile(path), std::string("a\0b", 3));
    EXPECT_EQ(files.list(dir.path()), std::vector<std::string>{"file"});
}

TEST(PosixFiles, FailedWritesAndCopiesKeepTheOldAndLeaveNoTemporaryOrHalfCopy) {
    TempFolder dir;
    posix::PosixFiles files;
    writeFile(dir / "file", "old");
    // A file size limit makes the write itself fail, even for root.
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    auto* previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tight = saved;
    tight.rlim_cur = 8;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    try {
        files.writeAtomically(dir / "file", std::string(100, 'x'), 0600);
        ADD_FAILURE() << "write over the size limit succeeded";
    } catch (const FileError& error) {
        EXPECT_NE(std::string(error.what()).find(dir / "file"), std::string::npos) << error.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(readFile(dir / "file"), "old");

    // A folder in the way: the rename fails after the temporary was written.
    writeText(dir / "busy/inside", "kept");
    EXPECT_THROW(files.writeAtomically(dir / "busy", "x", 0600), FileError);
    EXPECT_THROW(files.writeAtomically(dir / "missing/file", "x", 0600), FileError);

    // A named pipe cannot be copied; what was copied before it goes again.
    writeText(dir / "tree/a/file", "x");
    ::mkfifo((dir / "tree/pipe").c_str(), 0600);
    EXPECT_THROW(files.copy(dir / "tree", dir / "copy"), FileError);
    EXPECT_EQ(files.list(dir.path()), (std::vector<std::string>{"busy", "file", "tree"}));
}

TEST(PosixFiles, CopiesRenamesAndRemovesFolderTreesWithoutFollowingLinks) {
    TempFolder dir;
    TempFolder outside;
    posix::PosixFiles files;
    files.createDirectories(dir / "a/b/c");
    files.createDirectories(dir / "a/b/c");
    writeFile(dir / "a/b/c/tool", "#!/bin/sh\n");
    ::chmod((dir / "a/b/c/tool").c_str(), 0751);
    writeFile(outside / "precious", "keep me");
    ::symlink(outside.path().c_str(), (dir / "a/b/out").c_str());
    ::symlink("c/tool", (dir / "a/b/rel").c_str());
    files.setPermissions(dir / "a/b", 0750);

    files.copy(dir / "a", dir / "copy");
    EXPECT_EQ(readFile(dir / "copy/b/c/tool"), "#!/bin/sh\n");
    EXPECT_EQ(modeOf(dir / "copy/b/c/tool"), 0751u);
    EXPECT_EQ(files.permissions(dir / "copy/b"), 0750u);
    EXPECT_EQ(std::filesystem::read_symlink(dir / "copy/b/rel"), "c/tool");
    EXPECT_EQ(files.list(dir / "copy/b"), (std::vector<std::string>{"c", "out", "rel"}));
    EXPECT_THROW(files.copy(dir / "a", dir / "copy"), FileError);

    // A rename replaces a folder that is not empty.
    files.rename(dir / "copy/b", dir / "a");
    EXPECT_EQ(files.list(dir / "a"), (std::vector<std::string>{"c", "out", "rel"}));
    EXPECT_THROW(files.rename(dir / "copy/b", dir / "a"), FileError);
    files.remove(dir / "copy/");
    files.remove(dir / "a");
    EXPECT_EQ(readFile(outside / "precious"), "keep me");
    EXPECT_THROW(files.remove(dir / "a"), FileError);
    EXPECT_TRUE(files.list(dir.path()).empty());
    writeFile(dir / "plain", "");
    EXPECT_THROW(files.createDirectories(dir / "plain/sub"), FileError);
}

TEST(UserFolders, AnAbsoluteXdgVariableElseTheHomeElseTheUserDatabase) {
    const std::string database = ::getpwuid(::getuid())->pw_dir;
    struct Case {
        std::optional<std::string> data, cache, home;
        std::string expectedData, expectedCache;
    } cases[] = {
        {"/srv/data", "/var/cache/a", "/home/a", "/srv/data", "/var/cache/a"},
        {"relative/data", "", "/home/a", "/home/a/.local/share", "/home/a/.cache"},
        {std::nullopt, std::nullopt, "relative/home", database + "/.local/share", database + "/.cache"},
        {std::nullopt, std::nullopt, std::nullopt, database + "/.local/share", database + "/.cache"},
    };
    posix::PosixFiles files;
    for (const auto& c : cases) {
        ScopedEnv env{{"HOME", c.home}, {"XDG_DATA_HOME", c.data}, {"XDG_CACHE_HOME", c.cache}, {"XDG_CONFIG_HOME", "/etc/x"}};
        EXPECT_EQ(files.applicationSupportDirectory(), c.expectedData) << c.home.value_or("(unset)");
        EXPECT_EQ(files.cachesDirectory(), c.expectedCache);
        EXPECT_EQ(posix::userFolder(posix::UserFolder::config), "/etc/x");
    }
}

TEST(PosixProcesses, RunMergesOutputAndDetachedChildrenAreNotOurs) {
    TempFolder dir;
    posix::PosixProcesses processes;
    // Arguments pass as they are; standard input is empty rather than the agent's.
    auto result = processes.run("/bin/sh", {"-c", "echo \"$0\"; head -c 300000 /dev/zero >&2; cat; kill $$", "'$q' a"});
    EXPECT_EQ(result.output, "'$q' a\n" + std::string(300000, '\0'));
    EXPECT_EQ(result.status, 128 + SIGTERM);
    EXPECT_THROW(processes.run("/nonexistent/tool", {}), platform::ProcessError);

    // Neither a run nor a detached child inherits the agent's descriptors; the
    // detached one lives in its own session.
    const int open = ::dup(STDIN_FILENO);
    const std::string report = "{ cut -d' ' -f6 /proc/$$/stat; test -e /proc/$$/fd/" + std::to_string(open) +
                               " && echo leaked; } > \"$0.tmp\"; mv \"$0.tmp\" \"$0\"";
    EXPECT_EQ(processes.run("/bin/sh", {"-c", report, dir / "run"}).status, 0);
    processes.launchDetached("/bin/sh", {"-c", report, dir / "detached"});
    ::close(open);
    EXPECT_THROW(processes.launchDetached("/nonexistent/tool", {}), platform::ProcessError);
    for (int i = 0; i < 2000 && ::access((dir / "detached").c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(readFile(dir / "run").find("leaked"), std::string::npos);
    EXPECT_NE(std::stol(readFile(dir / "detached")), ::getsid(0));
    EXPECT_EQ(readFile(dir / "detached").find("leaked"), std::string::npos);
    // Neither the intermediate process nor the child is left for us to reap.
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
}

TEST(PosixBundle, ReadsStringEntriesOfTheAppLayoutAndTheSystemVersion) {
    TempFolder dir;
    writeText(dir / "Tavrelin.app/Contents/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
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
	<key>Escaped</key>
	<string>a &lt;b&gt; &amp; &#x2026;&#8212;</string>
	<key>Empty</key>
	<string/>
</dict>
</plist>
)");
    posix::PosixBundle bundle(dir / "Tavrelin.app/Contents/MacOS/tavrelin-agent");
    EXPECT_EQ(bundle.path(), dir / "Tavrelin.app");
    EXPECT_EQ(posix::PosixBundle::readInfoStrings(readFile(dir / "Tavrelin.app/Contents/Info.plist")),
              (std::map<std::string, std::string>{
                  {"CFBundleIdentifier", "com.tavrelin.mac"}, {"Escaped", "a <b> & \u2026\u2014"}, {"Empty", ""}}));
    EXPECT_EQ(bundle.identifier(), "com.tavrelin.mac");
    EXPECT_EQ(posix::PosixBundle(dir / "Tavrelin.app/Contents/bin/tool").path(), dir / "Tavrelin.app/Contents/bin");
    // A damaged list has no entries rather than some.
    for (const char* damaged : {"<plist><dict><key>A</key><string>x</string><key>B</key>",
                                "<plist><dict><key>A</key><string>x<b/></string></dict></plist>", ""})
        EXPECT_TRUE(posix::PosixBundle::readInfoStrings(damaged).empty()) << damaged;

    utsname names{};
    ::uname(&names);
    const auto version = bundle.operatingSystemVersion();
    EXPECT_EQ(version.text, std::string(names.sysname) + " " + names.release);
    int major = -1, minor = -1;
    std::sscanf(names.release, "%d.%d", &major, &minor);
    EXPECT_EQ(std::pair(version.major, version.minor), std::pair(major, minor));
}

TEST(SystemClock, LocalDateUsesTheLocalZoneAndCarriesOver) {
    // A zone with an offset, so a UTC reading would be caught.
    ScopedEnv zone{{"TZ", "Europe/Berlin"}};
    posix::SystemClock clock;
    // 2025-01-15 09:30 in Berlin (UTC+1) is 08:30 UTC; in summer 12:00 is 10:00 UTC.
    EXPECT_EQ(clock.localDate({2025, 1, 15, 9, 30}), platform::Date::fromUnix(1736929800));
    EXPECT_EQ(clock.localDate({2025, 7, 1, 12, 0}), platform::Date::fromUnix(1751364000));
    EXPECT_EQ(clock.localDate({2024, 13, 1, {}, {}}), clock.localDate({2025, 1, 1, 0, 0}));
    for (platform::DateComponents invalid : {platform::DateComponents{2025, {}, 1, {}, {}},
                                             {2025, 1, {}, {}, {}},
                                             {std::int64_t{1} << 40, 1, 1, {}, {}},
                                             {2025, 1, std::int64_t{1} << 33, {}, {}}})
        EXPECT_EQ(clock.localDate(invalid), std::nullopt);
    EXPECT_NEAR(clock.now().unixSeconds(), static_cast<double>(std::time(nullptr)), 2);
    EXPECT_EQ(posix::PosixDigest().sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// The pairing store on real files, with the per-user data folder inside a temp folder.
TEST(PairingFile, SavedOwnerOnlyAndEveryUnusableFileReadsAsUnpaired) {
    TempFolder data;
    ScopedEnv env{{"XDG_DATA_HOME", data.path()}};
    posix::PosixFiles files;
    FilePairingStore store{files};
    const std::string file = data / "Tavrelin/pairing.json";
    const Pairing pairing{"https://relay.example", "rk_0123456789abcdef", platform::Date{786543210.5}};
    writeText(file, "{}");
    ::chmod(file.c_str(), 0644);
    ScopedUmask umask(0);
    store.save(pairing);
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(store.load(), pairing);

    // Exactly at the size limit still loads; past it, or not a plain file, does not.
    const std::string valid = FilePairingStore::encode(pairing);
    writeFile(file, valid.substr(0, valid.size() - 1) + std::string(64 * 1024 - valid.size(), ' ') + "}");
    EXPECT_EQ(store.load(), pairing);
    writeFile(file, valid.substr(0, valid.size() - 1) + std::string(64 * 1024 - valid.size() + 1, ' ') + "}");
    EXPECT_EQ(store.load(), std::nullopt);
    writeFile(data / "elsewhere.json", valid);
    for (auto plant : {+[](const char*path, const char*valid) { return ::symlink(valid, path); },
                       +[](const char*path, const char*) { return ::mkfifo(path, 0600); }}) {
        ::unlink(file.c_str());
        ASSERT_EQ(plant(file.c_str(), (data / "elsewhere.json").c_str()), 0);
        EXPECT_EQ(store.load(), std::nullopt);
    }
    // The data folder cannot be made: the error names it, never the token.
    env.set("XDG_DATA_HOME", data / "elsewhere.json/sub");
    try {
        store.save(pairing);
        ADD_FAILURE() << "saved below a plain file";
    } catch (const FileError& error) {
        EXPECT_NE(std::string(error.what()).find(data / "elsewhere.json"), std::string::npos) << error.what();
        EXPECT_EQ(std::string(error.what()).find(pairing.token), std::string::npos) << "token leaked";
    }
}

// Log lines go to standard error, here a file: "HH:mm:ss level message", the
// time local, each line whole even when threads write at once.
TEST(Log, LinesAreLocalStampLevelAndMessageAndNeverInterleave) {
    TempFolder folder;
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    const int fd = ::open((folder / "stderr").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ASSERT_GE(::dup2(fd, STDERR_FILENO), 0);
    ::close(fd);
    std::time_t before = std::time(nullptr), after;
    {
        // Kathmandu is UTC+05:45 all year, so even the minutes differ from UTC.
        ScopedEnv zone{{"TZ", "Asia/Kathmandu"}};
        Log::error("first\nsecond");
        after = std::time(nullptr);
    }
    auto payload = [](int thread, int line) {
        return std::to_string(thread) + " " + std::to_string(line) + std::string(10 + (line * 37 + thread) % 300, 'x');
    };
    std::vector<std::thread> writers;
    for (int t = 0; t < 8; ++t)
        writers.emplace_back([t, &payload] {
            for (int i = 0; i < 3000; ++i)
                Log::write("info", payload(t, i));
        });
    for (auto& writer : writers)
        writer.join();
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);

    std::istringstream lines(readFile(folder / "stderr"));
    std::string line, second;
    std::getline(lines, line);
    std::getline(lines, second);
    EXPECT_EQ(line.substr(8) + "\n" + second, " error first\nsecond");
    bool local = false;
    for (std::time_t t = before + 5 * 3600 + 45 * 60; t <= after + 5 * 3600 + 45 * 60; ++t) {
        char stamp[16];
        std::strftime(stamp, sizeof stamp, "%T", std::gmtime(&t));
        local = local || line.substr(0, 8) == stamp;
    }
    EXPECT_TRUE(local) << line;
    std::map<int, int> next; // per writer, the next line expected
    int count = 0;
    for (int thread, index; std::getline(lines, line); ++next[thread], ++count) {
        ASSERT_EQ(std::sscanf(line.c_str() + 14, "%d %d", &thread, &index), 2) << line;
        ASSERT_EQ(line.substr(8), " info " + payload(thread, index));
        EXPECT_EQ(index, next[thread]);
    }
    EXPECT_EQ(count, 8 * 3000);
}
