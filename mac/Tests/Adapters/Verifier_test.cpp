// The update's real tools on real folders: the bundle verifier as the built
// program, with signatures minisign makes here.

#include "Platform/Posix/PosixProcesses.h"
#include "Support/DevRelayProcess.h"
#include "Support/VdirFixture.h"

#include <gtest/gtest.h>

#include <functional>

using namespace tavrelin;
using namespace tavrelin::testing;
namespace fs = std::filesystem;

namespace {

const std::string verifier = buildDir() / "Tavrelin.app/Contents/MacOS/tavrelin-verify";

// A trusted bundle pinning a fresh key, and a new bundle sealed with it.
struct Bundles {
    TempFolder dir;
    posix::PosixProcesses processes;
    std::string trusted = dir / "Applications/Tavrelin.app", fresh = dir / "unpacked/Tavrelin.app";
    std::string contents(const std::string& path) const { return fresh + "/Contents/" + path; }

    void must(const std::string& program, const std::vector<std::string>& arguments) {
        auto result = processes.run(program, arguments);
        ASSERT_EQ(result.status, 0) << program << ": " << result.output;
    }
    void seal(const std::string& key) {
        must(verifier, {"--seal", fresh});
        const std::string manifest = contents("_CodeSignature/manifest");
        must("/usr/bin/minisign", {"-S", "-s", dir / (key + ".key"), "-m", manifest, "-x", manifest + ".minisig"});
    }

    Bundles() {
        for (const std::string key : {"release", "other"})
            must("/usr/bin/minisign", {"-G", "-W", "-p", dir / (key + ".pub"), "-s", dir / (key + ".key")});
        const std::string pub = readFile(dir / "release.pub");
        writeText(trusted + "/Contents/Info.plist", "<plist><dict><key>TavrelinUpdatePublicKey</key><string>" +
                                                        pub.substr(pub.find('\n') + 1, 56) + "</string></dict></plist>");
        writeText(contents("MacOS/tavrelin-agent"), "#!/bin/sh\n");
        writeText(contents("Resources/it's a file.txt"), "text");
        fs::create_symlink("it's a file.txt", contents("Resources/alias"));
        seal("release");
    }
};

} // namespace

TEST(Verifier, RefusesEveryChange) {
    // The whole output: "@" stands for the new bundle, "^" for the running one.
    // (The end-to-end update takes a good bundle and refuses a changed file.)
    const std::string sealed = "@: a sealed resource is missing or invalid\n";
    const std::pair<std::function<void(Bundles&)>, std::string> rows[] = {
        {[](Bundles& t) { writeText(t.contents("_CodeSignature/extra"), "x"); },
         sealed + "file added: @/Contents/_CodeSignature/extra\n"},
        {[](Bundles& t) { fs::remove(t.contents("MacOS/tavrelin-agent")); },
         sealed + "file missing: @/Contents/MacOS/tavrelin-agent\n"},
        {[](Bundles& t) {
             fs::create_symlink("../../../../etc", t.contents("Resources/out"));
             t.seal("release");
         },
         sealed + "@/Contents/Resources/out: invalid destination for symbolic link in bundle\n"},
        {[](Bundles& t) { t.seal("other"); }, "@: code failed to satisfy specified code requirement(s)\n"},
        {[](Bundles& t) { writeText(t.contents("_CodeSignature/manifest"), "file 0644 - x\n"); },
         "@: invalid signature (code or signature have been modified)\n"},
        {[](Bundles& t) { fs::remove_all(t.contents("_CodeSignature")); }, "@: code object is not signed at all\n"},
        {[](Bundles& t) { writeText(t.trusted + "/Contents/Info.plist", "<plist><dict/></plist>"); },
         "^: no update signing key is set, so no update can be trusted\n"},
    };
    for (auto [change, expected] : rows) {
        Bundles t;
        change(t);
        for (auto at = expected.find_first_of("@^"); at != std::string::npos; at = expected.find_first_of("@^", at))
            expected.replace(at, 1, expected[at] == '@' ? t.fresh : t.trusted);
        auto result = t.processes.run(verifier, {"--verify", "--trusted", t.trusted, t.fresh});
        EXPECT_EQ(std::pair(result.status, result.output), std::pair(1, expected));
    }
}
