// Replacing a bundle in real folders, and the log file beside standard error.

#include "Platform/Posix/LogFile.h"
#include "Platform/Posix/PosixFiles.h"
#include "Support/TempFolder.h"
#include "TavrelinMac/BundleSwap.h"

#include <gmock/gmock.h>

#include <sys/stat.h>
#include <thread>

using namespace tavrelin;
using namespace tavrelin::testing;
namespace fs = std::filesystem;

namespace {

using Names = std::vector<std::string>;

// A bundle whose every file says which copy it is.
void makeBundle(const fs::path& bundle, const std::string& which) {
    writeFile(bundle / "Contents/Info.plist", which);
    writeFile(bundle / "Contents/MacOS/tavrelin-agent", which);
    fs::permissions(bundle / "Contents/MacOS/tavrelin-agent", fs::perms::owner_all | fs::perms::group_read |
                                                                  fs::perms::group_exec | fs::perms::others_read |
                                                                  fs::perms::others_exec);
}

// "old", "new", or what is wrong with the bundle there.
std::string copyAt(const fs::path& bundle) {
    if (!fs::exists(bundle))
        return "missing";
    const std::string info = readFile(bundle / "Contents/Info.plist"),
                      agent = readFile(bundle / "Contents/MacOS/tavrelin-agent");
    return info == agent ? info : "mixed";
}

Names entries(const fs::path& folder) {
    Names names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename());
    std::ranges::sort(names);
    return names;
}

unsigned modeOf(const fs::path& path) {
    return static_cast<unsigned>(fs::status(path).permissions() & fs::perms::mask);
}

// The real files, with one step made to fail.
class FailingFiles final : public platform::Files {
public:
    std::string failOn; // "rename <to's name>", "copy", "sync"
    std::string applicationSupportDirectory() const override { return real.applicationSupportDirectory(); }
    std::string cachesDirectory() const override { return real.cachesDirectory(); }
    void createDirectories(const std::string& path) override { real.createDirectories(path); }
    void writeAtomically(const std::string& path, std::string_view bytes, std::optional<unsigned> mode,
                         FolderSync sync) override {
        real.writeAtomically(path, bytes, mode, sync);
    }
    void syncFolder(const std::string& path) override { real.syncFolder(path); }
    void syncTree(const std::string& path) override {
        fail("sync");
        real.syncTree(path);
    }
    void setPermissions(const std::string& path, unsigned mode) override { real.setPermissions(path, mode); }
    unsigned permissions(const std::string& path) const override { return real.permissions(path); }
    std::optional<std::string> readRegularFile(const std::string& path, std::size_t max) const override {
        return real.readRegularFile(path, max);
    }
    bool exists(const std::string& path) const override { return real.exists(path); }
    platform::EntryKind kind(const std::string& path) const override { return real.kind(path); }
    bool isWritableFolder(const std::string& path) const override { return real.isWritableFolder(path); }
    void remove(const std::string& path) override { real.remove(path); }
    void copy(const std::string& from, const std::string& to) override {
        real.copy(from, to); // whole, then reported lost, as a disk that fills at the last file
        if (failOn == "copy") {
            real.remove(to);
            throw platform::FileError("No space left on device");
        }
    }
    void rename(const std::string& from, const std::string& to) override {
        fail("rename " + fs::path(to).filename().string());
        real.rename(from, to);
    }
    bool renameFolderIfAbsent(const std::string& from, const std::string& to) override {
        return real.renameFolderIfAbsent(from, to);
    }
    std::vector<std::string> list(const std::string& directory) const override { return real.list(directory); }

private:
    // Once: a rollback of the same rename goes through.
    void fail(const std::string& step) {
        if (step == failOn)
            throw platform::FileError("Could not " + std::exchange(failOn, "") + ": Input/output error");
    }
    posix::PosixFiles real;
};

} // namespace

TEST(BundleSwap, ReplacesTheCopyWholeOrLeavesTheOldOneWholeAndNothingBesideIt) {
    // Each step that can fail, and the one case where nothing does.
    const std::string steps[] = {"", "copy", "sync", "rename .Tavrelin.app.previous", "rename Tavrelin.app"};
    for (const std::string& failing : steps) {
        TempFolder temp;
        const fs::path source = temp / "build/Tavrelin.app", folder = temp / "Applications";
        makeBundle(source, "new");
        makeBundle(folder / "Tavrelin.app", "old");
        FailingFiles files;
        files.failOn = failing;
        bool asked = false;
        try {
            const std::string installed = installBundleInto(files, source, folder.string() + "/", [&] { asked = true; });
            EXPECT_EQ(failing, "") << "installed in spite of a failing " << failing;
            EXPECT_EQ(installed, (folder / "Tavrelin.app").string());
        } catch (const platform::FileError& error) {
            EXPECT_NE(failing, "") << error.what();
        }
        const bool done = failing.empty();
        EXPECT_EQ(copyAt(folder / "Tavrelin.app"), done ? "new" : "old") << failing;
        EXPECT_EQ(entries(folder), Names{"Tavrelin.app"}) << failing;
        EXPECT_EQ(copyAt(source), "new") << "the source is copied, never moved";
        // The running agent is asked to go only once the new copy is complete.
        EXPECT_EQ(asked, failing.empty() || failing.starts_with("rename")) << failing;
        if (done) {
            EXPECT_EQ(modeOf(folder / "Tavrelin.app/Contents/MacOS/tavrelin-agent"), 0755u);
        }
    }
}

TEST(BundleSwap, AFirstInstallMakesTheFolderAndAnAgentThatStaysCancelsIt) {
    TempFolder temp;
    const fs::path source = temp / "build/Tavrelin.app", folder = temp / "home/Applications";
    makeBundle(source, "new");
    posix::PosixFiles files;

    // The running agent did not quit: nothing changes, nothing is left.
    EXPECT_THROW(installBundleInto(files, source, folder, [] { throw platform::FileError("it stayed"); }), platform::FileError);
    EXPECT_EQ(entries(folder), Names{});

    EXPECT_EQ(installBundleInto(files, source, folder, [] {}), (folder / "Tavrelin.app").string());
    EXPECT_EQ(copyAt(folder / "Tavrelin.app"), "new");
    // A leftover of an interrupted attempt is replaced, not installed.
    makeBundle(folder / ".Tavrelin.app.installing", "stale");
    makeBundle(source, "newer");
    installBundleInto(files, source, folder, [] {});
    EXPECT_EQ(copyAt(folder / "Tavrelin.app"), "newer");
    EXPECT_EQ(entries(folder), Names{"Tavrelin.app"});

    // The installed copy cannot install itself over itself.
    EXPECT_THROW(installBundleInto(files, (folder / "Tavrelin.app").string(), folder, [] {}), platform::FileError);
    EXPECT_EQ(copyAt(folder / "Tavrelin.app"), "newer");
}

TEST(LogFile, KeepsOwnerOnlyLinesAndOneOlderFileWithinItsLimit) {
    TempFolder temp;
    const fs::path folder = temp / "cache/Tavrelin", path = folder / "agent.log";
    posix::LogFile log(path, 100);
    for (int i = 0; i < 10; ++i)
        log.append("line " + std::to_string(i) + std::string(20, '.'));
    // 27 bytes a line: three fit in 100 bytes, the rest went one file back.
    EXPECT_EQ(readFile(path), "line 9....................\n");
    EXPECT_EQ(readFile(path.string() + ".1"),
              "line 6....................\nline 7....................\nline 8....................\n");
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(modeOf(path.string() + ".1"), 0600u);
    EXPECT_EQ(modeOf(folder), 0700u);

    // Lines from threads at once stay whole, and each file stays within its limit.
    {
        TempFolder busy;
        posix::LogFile shared(busy / "agent.log", 4096);
        std::vector<std::jthread> writers;
        for (int t = 0; t < 4; ++t)
            writers.emplace_back([&shared, t] {
                for (int i = 0; i < 500; ++i)
                    shared.append(std::to_string(t) + std::string(40, 'x'));
            });
        writers.clear();
        for (const std::string name : {"agent.log", "agent.log.1"}) {
            const std::string text = readFile(busy / name);
            EXPECT_LE(text.size(), 4096u);
            EXPECT_EQ(text.size() % 42, 0u) << name;
            for (std::size_t at = 0; at + 42 <= text.size(); at += 42)
                ASSERT_EQ(text.substr(at + 1, 41), std::string(40, 'x') + "\n") << name << " at " << at;
        }
    }

    // A file someone else made readable is narrowed; lines are appended.
    TempFolder other;
    const fs::path open = other / "agent.log";
    writeFile(open, "earlier\n");
    fs::permissions(open, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    posix::LogFile(open).append("later");
    EXPECT_EQ(readFile(open), "earlier\nlater\n");
    EXPECT_EQ(modeOf(open), 0600u);
}

TEST(LogFile, NeverStopsTheAgentAndFindsItsFileAgainOnceItCan) {
    TempFolder temp;
    const fs::path folder = temp / "cache/Tavrelin", path = folder / "agent.log";
    posix::LogFile log(path);
    log.append("first");

    // The folder removed under it: the next line makes both again.
    fs::remove_all(temp / "cache");
    log.append("second");
    EXPECT_EQ(readFile(path), "second\n");

    // A file where the folder should be: lines are dropped, quietly.
    fs::remove_all(temp / "cache");
    writeFile(temp / "cache", "not a folder");
    for (int i = 0; i < 2 * posix::LogFile::reopenEvery; ++i)
        log.append("dropped");
    EXPECT_EQ(readFile(temp / "cache"), "not a folder");

    // Once the folder can be made, lines arrive again (after a few skipped).
    fs::remove(temp / "cache");
    for (int i = 0; i <= posix::LogFile::reopenEvery; ++i)
        log.append("back " + std::to_string(i));
    EXPECT_THAT(readFile(path), ::testing::EndsWith("back " + std::to_string(posix::LogFile::reopenEvery) + "\n"));

    // A link put in its place is not followed.
    fs::remove(path);
    writeFile(temp / "elsewhere", "");
    fs::create_symlink(temp / "elsewhere", path);
    log.append("through a link");
    EXPECT_EQ(readFile(temp / "elsewhere"), "");
}
