// The install script as /bin/sh runs it, on real folders.

#include "Platform/Posix/PosixProcesses.h"
#include "Support/TempFolder.h"
#include "TavrelinMac/UpdateTools.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>

using namespace tavrelin;
using tavrelin::testing::TempFolder;
namespace fs = std::filesystem;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A bundle whose agent, when started, writes its version into `log`.
void makeBundle(const std::string& bundle, const std::string& version, const std::string& log) {
    fs::create_directories(bundle + "/Contents/MacOS");
    std::ofstream(bundle + "/Contents/version") << version;
    const std::string agent = bundle + "/Contents/MacOS/tavrelin-agent";
    std::ofstream(agent) << "#!/bin/sh\necho " << updatetools::quoted(version) << " > " << updatetools::quoted(log) << "\n";
    ::chmod(agent.c_str(), 0755);
}

std::string waitForFile(const std::string& path) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!fs::exists(path) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return slurp(path);
}

struct Layout {
    std::string applications, current, previous, staging, fresh, started;
    explicit Layout(const TempFolder& dir) {
        // Every character the shell could misread.
        applications = dir / "My Apps 'q' \"d\" $HOME `id` \\";
        current = applications + "/Tavrelin.app";
        previous = current + ".previous";
        staging = dir / "cache's/Tavrelin/updates";
        fresh = staging + "/unpacked/Tavrelin.app";
        started = dir / "started";
        makeBundle(current, "old", started);
        makeBundle(fresh, "new", started);
        std::ofstream(staging + "/update.zip") << "zip";
    }
    platform::ProcessResult run() const {
        posix::PosixProcesses processes;
        return processes.run("/bin/sh", {"-c", updatetools::installScript(current, previous, fresh, staging)});
    }
};

} // namespace

TEST(InstallScriptUnderSh, SwapsTheBundleCleansUpAndStartsTheNewOne) {
    TempFolder dir;
    Layout layout(dir);
    fs::create_directories(layout.previous); // a leftover of an earlier attempt
    auto result = layout.run();
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(slurp(layout.current + "/Contents/version"), "new");
    EXPECT_FALSE(fs::exists(layout.previous));
    EXPECT_FALSE(fs::exists(layout.staging));
    EXPECT_TRUE(fs::exists(dir / "cache's/Tavrelin"));
    EXPECT_EQ(waitForFile(layout.started), "new\n");
}

TEST(InstallScriptUnderSh, AFailedSecondMoveRollsBack) {
    TempFolder dir;
    Layout layout(dir);
    fs::remove_all(layout.fresh); // the new bundle cannot be moved in
    auto result = layout.run();
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(slurp(layout.current + "/Contents/version"), "old");
    EXPECT_FALSE(fs::exists(layout.previous));
    EXPECT_FALSE(fs::exists(layout.staging));
    EXPECT_EQ(waitForFile(layout.started), "old\n");
}
