// The built agent as the install uses it: its name and version, the bundle
// layout the build reports, and `--install-into` replacing an installed copy
// whose agent is running.

#include "Platform/BundleLayout.h"
#include "Platform/Posix/PosixBundle.h"
#include "Support/AgentProcess.h"
#include "TavrelinMac/Words.h"

#include <gmock/gmock.h>

#include <fstream>
#include <sys/stat.h>

using namespace tavrelin;
using namespace tavrelin::testing;
namespace fs = std::filesystem;

namespace {

fs::path builtAgent() {
    return buildDir() / "Tavrelin.app/Contents/MacOS/tavrelin-agent";
}

std::string builtVersion() {
    return posix::PosixBundle(builtAgent()).infoString("CFBundleShortVersionString").value_or("");
}

} // namespace

TEST(Installing, VersionSaysTheProductsNameInTheWordsOfItsBuild) {
    const auto [status, output] = runToEnd({builtAgent(), "--version"});
    EXPECT_EQ(status, 0);
    // The build's own table names the product (the word tests hold the two
    // platforms' names apart).
    EXPECT_EQ(output, words::about::nameAndVersion(builtVersion()) + "\n");
}

TEST(Installing, TheBuildLaysTheBundleOutAsTheAgentFindsItsParts) {
    std::ifstream file(buildDir() / "bundle-layout");
    std::map<std::string, std::string> layout;
    for (std::string line; std::getline(file, line);)
        if (const auto equals = line.find('='); equals != std::string::npos)
            layout[line.substr(0, equals)] = line.substr(equals + 1);
    const std::string bundle = layout["bundle"];
    ASSERT_EQ(bundle, (buildDir() / "Tavrelin.app").string());
    const std::pair<const char*, std::string_view> parts[] = {
        {"agent", bundle::agent}, {"verifier", bundle::verifier}, {"module", bundle::edsModule}, {"info", bundle::infoPlist}};
    for (const auto& [name, part] : parts) {
        EXPECT_EQ(layout[name], bundle::inside(bundle, part)) << name;
        EXPECT_TRUE(fs::exists(layout[name])) << name;
    }
    EXPECT_EQ(bundle::holding(layout["agent"]), bundle);
}

TEST(Installing, IntoAFolderWaitsForTheRunningAgentThenSwapsAndTheAgentLogsToItsFile) {
    AgentHome home;
    const std::string installed = installCopy(home.root / "home");
    const fs::path bundle = home.root / "home/Applications/Tavrelin.app";
    writeFile(bundle / "Contents/old-copy", "");
    Child running({installed, "--headless"}, withSanitizers(home.environment));
    ASSERT_TRUE(running.await(" started\n")) << running.output();

    const auto [status, output] =
        runToEnd({builtAgent(), "--install-into", (home.root / "home/Applications").string()}, home.environment);
    EXPECT_EQ(status, 0) << output;
    EXPECT_THAT(output, ::testing::HasSubstr(
                            words::install::installedInto(words::about::nameAndVersion(builtVersion()), bundle.string())));
    // Asked to quit and gone before the swap: it quit as "Quit" would.
    EXPECT_EQ(running.wait(), 0) << running.output();
    EXPECT_FALSE(fs::exists(bundle / "Contents/old-copy")) << "the old copy is still there";
    EXPECT_TRUE(fs::exists(installed));
    std::vector<std::string> beside;
    for (const auto& entry : fs::directory_iterator(bundle.parent_path()))
        beside.push_back(entry.path().filename());
    EXPECT_EQ(beside, std::vector<std::string>{"Tavrelin.app"});

    // Every line it wrote to standard error is in its file, owner-only.
    const fs::path log = home.root / "cache/Tavrelin/agent.log";
    const std::string logged = readFile(log);
    EXPECT_THAT(logged, ::testing::HasSubstr(" info " + words::about::nameAndVersion(builtVersion()) + " started\n"));
    EXPECT_THAT(logged, ::testing::HasSubstr(" info module reminders stopped\n"));
    struct stat info {};
    ASSERT_EQ(::stat(log.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::string lines = running.output();
    for (std::size_t at = 0; (at = lines.find(" info ", at)) != std::string::npos; ++at) {
        const std::size_t start = lines.rfind('\n', at) == std::string::npos ? 0 : lines.rfind('\n', at) + 1;
        EXPECT_THAT(logged, ::testing::HasSubstr(lines.substr(start, lines.find('\n', at) - start)));
    }

    // Installed onto itself, nothing changes.
    const auto [again, told] =
        runToEnd({installed, "--install-into", (home.root / "home/Applications").string()}, home.environment);
    EXPECT_EQ(again, 1);
    EXPECT_THAT(told,
                ::testing::HasSubstr(words::install::installFailed("“" + bundle.string() + "” is the copy being installed")));
}
