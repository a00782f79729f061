// The workspace on Linux: whether another agent runs is the lock's answer,
// and the privacy action shows what fits the task lists' backend.

#include "Platform/Posix/PosixProcesses.h"
#include "Platform/QtCore/QtUserDefaults.h"
#include "Platform/QtCore/QtWorkspace.h"
#include "Platform/QtCore/SingleInstance.h"
#include "Support/SpinEventLoop.h"
#include "Support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

using namespace tavrelin;
using namespace tavrelin::qt;
using namespace tavrelin::testing;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

// Sets an environment variable for one scope.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedVariable() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

class WorkspaceTest : public ::testing::Test {
protected:
    void SetUp() override { application<QCoreApplication>(); }

    // A desktop entry in `folder` for the task application `name`.
    void entry(const std::string& folder, const std::string& name, const std::string& lines) {
        fs::create_directories(temp / folder);
        writeFile(temp / folder + "/" + name, "[Desktop Entry]\nType=Application\nName=x\n" + lines + "\n");
    }
    // An executable in the temporary folder; its path.
    std::string program(const std::string& name, const std::string& script = "#!/bin/sh\n") {
        const std::string path = temp / name;
        writeFile(path, script);
        fs::permissions(path, fs::perms::owner_all);
        return path;
    }

    TempFolder temp;
};

TEST_F(WorkspaceTest, TheFirstShownTaskApplicationFoundIsStartedWithoutItsFieldCodes) {
    const std::string todo = program("todo"), evolution = program("evolution"), spaced = program("my app");
    const Lines folders{temp / "user", temp / "system"};
    const std::string todoEntry = "org.gnome.Todo.desktop", evolutionEntry = "org.gnome.Evolution.desktop";

    EXPECT_EQ(QtWorkspace::taskApplicationCommand(folders), std::nullopt);
    entry("system", evolutionEntry, "Exec=" + evolution + " %U");
    EXPECT_EQ(QtWorkspace::taskApplicationCommand(folders), (Lines{evolution, "-c", "tasks"}));
    // A better fit wins over an earlier folder's worse one.
    entry("system", todoEntry, "Exec=\"" + spaced + "\" --one \"a \\\"b\\\" c\" 100%% %F");
    EXPECT_EQ(QtWorkspace::taskApplicationCommand(folders), (Lines{spaced, "--one", "a \"b\" c", "100%"}));
    // The user's hidden entry hides the system's, as on the desktop.
    entry("user", todoEntry, "Hidden=true\nExec=" + todo);
    EXPECT_EQ(QtWorkspace::taskApplicationCommand(folders), (Lines{evolution, "-c", "tasks"}));
    // Looked up on the PATH when named bare; skipped when not there.
    entry("user", todoEntry, "Exec=sh");
    const auto bare = QtWorkspace::taskApplicationCommand(folders);
    ASSERT_TRUE(bare && bare->size() == 1);
    EXPECT_EQ(fs::path(bare->front()).filename(), "sh");
    EXPECT_TRUE(fs::path(bare->front()).is_absolute());
    entry("user", todoEntry, "Exec=no-such-task-application-here");
    EXPECT_EQ(QtWorkspace::taskApplicationCommand(folders), (Lines{evolution, "-c", "tasks"}));
}

TEST_F(WorkspaceTest, ThePrivacyActionOpensTheTaskApplicationForEdsAndTheFolderForTheVdir) {
    const ScopedVariable data("XDG_DATA_HOME", temp / "data"), dirs("XDG_DATA_DIRS", temp / "none");
    const std::string marker = temp / "ran";
    entry("data/applications", "org.gnome.Calendar.desktop",
          "Exec=" + program("calendar", "#!/bin/sh\ntouch '" + marker + "'\n") + " %u");
    fs::create_directories(temp / "calendars");
    const SingleInstance instance(InstancePaths::resolve(temp.path(), ::getuid(), temp.path()));
    posix::PosixProcesses processes;
    Lines opened;
    QtWorkspace workspace(instance, processes, temp.path(), temp / "calendars/not-yet", [&](const std::string& url) {
        opened.push_back(url);
        return true;
    });
    workspace.openRemindersPrivacySettings();
    EXPECT_EQ(opened, Lines{"file://" + temp / "calendars"}); // the nearest folder that exists
    workspace.setTaskLists(QtWorkspace::TaskLists::evolutionDataServer);
    workspace.openRemindersPrivacySettings();
    EXPECT_TRUE(spinUntil([&] { return fs::exists(marker); }, 20000)) << "the task application did not start";
    EXPECT_EQ(opened.size(), 1u);
}

TEST_F(WorkspaceTest, AnotherAgentRunsExactlyWhenThisProcessDoesNotHoldTheLock) {
    const InstancePaths paths = InstancePaths::resolve(temp.path(), ::getuid(), temp.path());
    SingleInstance holder(paths), later(paths);
    posix::PosixProcesses processes;
    auto others = [&](const SingleInstance& instance, const std::string& identifier) {
        QtWorkspace workspace(
            instance, processes, temp.path(), temp / "calendars", [](const std::string&) { return true; }, "com.tavrelin.mac");
        std::size_t count = 0;
        for (const auto& app : workspace.runningApplications(identifier))
            count += app.isCurrent ? 0 : 1;
        return count;
    };
    ASSERT_TRUE(holder.tryLock());
    EXPECT_EQ(others(holder, "com.tavrelin.mac"), 0u);
    EXPECT_EQ(others(later, "com.tavrelin.mac"), 1u);
    EXPECT_EQ(others(later, "org.example.other"), 0u);
}

// The backend setting is read through the defaults, as every setting is.
TEST_F(WorkspaceTest, SettingsTextIsReadAsStoredAndAnAbsentKeyIsNone) {
    writeFile(temp / "Tavrelin.ini", "[General]\nremindersBackend=eds\nflag=true\n");
    const QtUserDefaults defaults(QString::fromStdString(temp / "Tavrelin.ini"));
    EXPECT_EQ(defaults.stringForKey("remindersBackend"), "eds");
    EXPECT_EQ(defaults.stringForKey("flag"), "true");
    EXPECT_EQ(defaults.stringForKey("absent"), std::nullopt);
}

} // namespace
