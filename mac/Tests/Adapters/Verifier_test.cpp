// The update's real tools on real folders: the bundle verifier as the built
// program, with signatures minisign makes here, and the install script as
// /bin/sh runs it.

#include "Platform/Posix/PosixProcesses.h"
#include "Support/VdirFixture.h"
#include "TavrelinMac/UpdateTools.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <tuple>

using namespace tavrelin;
using namespace tavrelin::testing;
namespace fs = std::filesystem;

namespace {

const std::string verifier = std::string(std::getenv("TAVRELIN_BUILD_DIR")) + "/Tavrelin.app/Contents/MacOS/tavrelin-verify";

// A trusted bundle pinning a fresh key, and a new bundle sealed with it.
struct Bundles {
    TempFolder dir;
    posix::PosixProcesses processes;
    std::string trusted = dir / "Applications/Tavrelin.app", fresh = dir / "unpacked/Tavrelin.app";

    void must(const std::string& program, const std::vector<std::string>& arguments) {
        auto result = processes.run(program, arguments);
        ASSERT_EQ(result.status, 0) << program << ": " << result.output;
    }
    void seal(const std::string& key) {
        must(verifier, {"--seal", fresh});
        const std::string manifest = fresh + "/Contents/_CodeSignature/manifest";
        must("/usr/bin/minisign", {"-S", "-s", dir / (key + ".key"), "-m", manifest, "-x", manifest + ".minisig"});
    }
    platform::ProcessResult verify() { return processes.run(verifier, {"--verify", "--trusted", trusted, fresh}); }

    Bundles() {
        for (const char* key : {"release", "other"})
            must("/usr/bin/minisign",
                 {"-G", "-W", "-p", dir / (key + std::string(".pub")), "-s", dir / (key + std::string(".key"))});
        const std::string pub = readFile(dir / "release.pub");
        const auto key = pub.find('\n') + 1;
        writeText(trusted + "/Contents/Info.plist", "<plist><dict><key>TavrelinUpdatePublicKey</key><string>" +
                                                        pub.substr(key, pub.find('\n', key) - key) +
                                                        "</string></dict></plist>");
        writeText(fresh + "/Contents/Info.plist", "<plist><dict/></plist>");
        writeText(fresh + "/Contents/MacOS/tavrelin-agent", "#!/bin/sh\n");
        fs::permissions(fresh + "/Contents/MacOS/tavrelin-agent", fs::perms::owner_exec, fs::perm_options::add);
        writeText(fresh + "/Contents/Resources/it's a file.txt", "text");
        fs::create_symlink("it's a file.txt", fresh + "/Contents/Resources/alias");
        seal("release");
    }
};

} // namespace

TEST(Verifier, AcceptsAGoodBundleSilentlyAndRefusesEveryChange) {
    // The first line the verifier prints after the bundle's path ("" for none),
    // and a finding it must name.
    const std::string sealed = "a sealed resource is missing or invalid";
    const std::tuple<std::function<void(Bundles&)>, std::string, std::string> rows[] = {
        {[](Bundles&) {}, "", ""},
        {[](Bundles& t) { writeText(t.fresh + "/Contents/Resources/it's a file.txt", "TEXT"); }, sealed,
         "file modified: @/Contents/Resources/it's a file.txt"},
        {[](Bundles& t) { fs::permissions(t.fresh + "/Contents/Info.plist", fs::perms::owner_exec, fs::perm_options::add); },
         sealed, "file modified: @/Contents/Info.plist"},
        {[](Bundles& t) { writeText(t.fresh + "/Contents/_CodeSignature/extra", "x"); }, sealed,
         "file added: @/Contents/_CodeSignature/extra"},
        {[](Bundles& t) { fs::remove(t.fresh + "/Contents/MacOS/tavrelin-agent"); }, sealed,
         "file missing: @/Contents/MacOS/tavrelin-agent"},
        {[](Bundles& t) {
             fs::create_symlink("../../../../etc", t.fresh + "/Contents/Resources/out");
             t.seal("release");
         },
         sealed, "@/Contents/Resources/out: invalid destination for symbolic link in bundle"},
        {[](Bundles& t) { t.seal("other"); }, "code failed to satisfy specified code requirement(s)", ""},
        {[](Bundles& t) { writeText(t.fresh + "/Contents/_CodeSignature/manifest", "file 0644 - x\n"); },
         "invalid signature (code or signature have been modified)", ""},
        {[](Bundles& t) { fs::remove_all(t.fresh + "/Contents/_CodeSignature"); }, "code object is not signed at all", ""},
        {[](Bundles& t) { writeText(t.trusted + "/Contents/Info.plist", "<plist><dict/></plist>"); },
         "no update signing key is set, so no update can be trusted", ""},
    };
    for (const auto& [change, headline, finding] : rows) {
        Bundles t;
        change(t);
        auto result = t.verify();
        EXPECT_EQ(result.status, headline.empty() ? 0 : 1) << result.output;
        // The headline comes first, after the path of the bundle at fault.
        EXPECT_EQ(result.output.find(": " + headline + (headline.empty() ? "" : "\n")),
                  headline.empty() ? std::string::npos : result.output.find(": "));
        const std::string named = finding.empty() ? "" : t.fresh + finding.substr(finding.find('@') + 1);
        EXPECT_NE(result.output.find(finding.substr(0, finding.find('@')) + named), std::string::npos) << result.output;
    }
}

// The bundle swap, under a folder name with every character the shell could
// misread; the started agent writes its version into "started".
TEST(InstallScriptUnderSh, SwapsTheBundleOrRollsBackCleansUpAndStartsOne) {
    for (bool freshMissing : {false, true}) {
        TempFolder dir;
        const std::string current = dir / "My Apps 'q' \"d\" $HOME `id` \\/Tavrelin.app", staging = dir / "cache's/Tavrelin/up";
        for (auto [bundle, version] : {std::pair{current, "old"}, {staging + "/unpacked/Tavrelin.app", "new"}}) {
            writeText(bundle + "/Contents/version", version);
            writeText(bundle + "/Contents/MacOS/tavrelin-agent",
                      std::string("#!/bin/sh\necho ") + version + " > " + updatetools::quoted(dir / "started") + "\n");
            fs::permissions(bundle + "/Contents/MacOS/tavrelin-agent", fs::perms::owner_exec, fs::perm_options::add);
        }
        fs::create_directories(current + ".previous"); // a leftover of an earlier attempt
        if (freshMissing)
            fs::remove_all(staging + "/unpacked/Tavrelin.app"); // the second move fails
        auto result = posix::PosixProcesses().run(
            "/bin/sh",
            {"-c", updatetools::installScript(current, current + ".previous", staging + "/unpacked/Tavrelin.app", staging)});
        EXPECT_EQ(result.status, 0) << result.output;
        const std::string expected = freshMissing ? "old" : "new";
        EXPECT_EQ(readFile(current + "/Contents/version"), expected);
        EXPECT_FALSE(fs::exists(current + ".previous") || fs::exists(staging));
        EXPECT_TRUE(fs::exists(dir / "cache's/Tavrelin"));
        for (int i = 0; i < 1000 && !fs::exists(dir / "started"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(readFile(dir / "started"), expected + "\n");
    }
}
