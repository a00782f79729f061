// The bundle verifier as the pipeline runs it: the built program, real
// folders, and signatures made by minisign with keys made here.

#include "Platform/Posix/PosixProcesses.h"
#include "Support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/stat.h>

using namespace tavrelin;
using tavrelin::testing::TempFolder;
namespace fs = std::filesystem;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

const std::string verifier = std::string(std::getenv("TAVRELIN_BUILD_DIR")) + "/Tavrelin.app/Contents/MacOS/tavrelin-verify";

// A trusted bundle pinning a fresh key, and a new bundle sealed with it.
struct Bundles {
    TempFolder dir;
    posix::PosixProcesses processes;
    std::string trusted = dir / "Applications/Tavrelin.app";
    std::string fresh = dir / "unpacked/Tavrelin.app";

    platform::ProcessResult must(const std::string& program, const std::vector<std::string>& arguments) {
        auto result = processes.run(program, arguments);
        EXPECT_EQ(result.status, 0) << program << ": " << result.output;
        return result;
    }
    // A minisign key pair; answers the public key's base64 line.
    std::string makeKey(const std::string& name) {
        must("/usr/bin/minisign", {"-G", "-W", "-f", "-p", dir / (name + ".pub"), "-s", dir / (name + ".key")});
        std::string text = slurp(dir / (name + ".pub"));
        return text.substr(text.find('\n') + 1, text.find('\n', text.find('\n') + 1) - text.find('\n') - 1);
    }
    void write(const std::string& path, const std::string& content, mode_t mode = 0644) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << content;
        ::chmod(path.c_str(), mode);
    }
    void seal(const std::string& key) {
        must(verifier, {"--seal", fresh});
        const std::string manifest = fresh + "/Contents/_CodeSignature/manifest";
        must("/usr/bin/minisign", {"-S", "-s", dir / (key + ".key"), "-m", manifest, "-x", manifest + ".minisig"});
    }
    platform::ProcessResult verify() { return processes.run(verifier, {"--verify", "--trusted", trusted, fresh}); }

    Bundles() {
        const std::string key = makeKey("release");
        makeKey("other");
        write(trusted + "/Contents/Info.plist",
              "<plist><dict><key>TavrelinUpdatePublicKey</key><string>" + key + "</string></dict></plist>");
        write(fresh + "/Contents/Info.plist", "<plist><dict/></plist>");
        write(fresh + "/Contents/MacOS/tavrelin-agent", "#!/bin/sh\n", 0755);
        write(fresh + "/Contents/Resources/it's a file.txt", "text");
        fs::create_symlink("it's a file.txt", fresh + "/Contents/Resources/alias");
        seal("release");
    }
};

struct VerifierTest : ::testing::Test, Bundles {};

} // namespace

TEST_F(VerifierTest, AcceptsAGoodBundleSilently) {
    auto result = verify();
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, "");
    EXPECT_NE(slurp(fresh + "/Contents/_CodeSignature/manifest").find("file 0755 "), std::string::npos);
}

TEST_F(VerifierTest, RefusesChangedBundles) {
    // "@" stands for the row's new bundle, "%" for its trusted one.
    const std::string sealed = "@: a sealed resource is missing or invalid\n";
    struct Row {
        const char* name;
        std::function<void(Bundles&)> change;
        std::string output;
    };
    const Row rows[] = {
        {"tampered", [](Bundles& t) { t.write(t.fresh + "/Contents/Resources/it's a file.txt", "TEXT"); },
         sealed + "file modified: @/Contents/Resources/it's a file.txt\n"},
        {"mode", [](Bundles& t) { ::chmod((t.fresh + "/Contents/Info.plist").c_str(), 0755); },
         sealed + "file modified: @/Contents/Info.plist\n"},
        {"added", [](Bundles& t) { t.write(t.fresh + "/Contents/MacOS/helper", "x"); },
         sealed + "file added: @/Contents/MacOS/helper\n"},
        {"added to the seal folder", [](Bundles& t) { t.write(t.fresh + "/Contents/_CodeSignature/extra", "x"); },
         sealed + "file added: @/Contents/_CodeSignature/extra\n"},
        {"missing", [](Bundles& t) { fs::remove(t.fresh + "/Contents/MacOS/tavrelin-agent"); },
         sealed + "file missing: @/Contents/MacOS/tavrelin-agent\n"},
        {"link retargeted",
         [](Bundles& t) {
             fs::remove(t.fresh + "/Contents/Resources/alias");
             fs::create_symlink("../Info.plist", t.fresh + "/Contents/Resources/alias");
         },
         sealed + "file modified: @/Contents/Resources/alias\n"},
        {"link out of the bundle, sealed and signed",
         [](Bundles& t) {
             fs::create_symlink("../../../../etc", t.fresh + "/Contents/Resources/out");
             fs::create_symlink("/etc/passwd", t.fresh + "/Contents/abs");
             t.seal("release");
         },
         sealed + "@/Contents/Resources/out: invalid destination for symbolic link in bundle\n" +
             "@/Contents/abs: invalid destination for symbolic link in bundle\n"},
        {"signed by another key", [](Bundles& t) { t.seal("other"); },
         "@: code failed to satisfy specified code requirement(s)\n"},
        {"manifest edited after signing",
         [](Bundles& t) { std::ofstream(t.fresh + "/Contents/_CodeSignature/manifest", std::ios::app) << "file 0644 - x\n"; },
         "@: invalid signature (code or signature have been modified)\n"},
        {"unsigned", [](Bundles& t) { fs::remove_all(t.fresh + "/Contents/_CodeSignature"); },
         "@: code object is not signed at all\n"},
        {"no trusted key", [](Bundles& t) { t.write(t.trusted + "/Contents/Info.plist", "<plist><dict/></plist>"); },
         "%: no update signing key is set, so no update can be trusted\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Bundles t;
        row.change(t);
        auto result = t.verify();
        std::string expected;
        for (char c : row.output)
            expected += c == '@' ? t.fresh : c == '%' ? t.trusted : std::string(1, c);
        EXPECT_EQ(result.status, 1);
        // Findings are per path in path order; compare as sets of lines.
        auto sorted = [](std::string text) {
            std::vector<std::string> lines;
            std::stringstream in(text);
            for (std::string line; std::getline(in, line);)
                lines.push_back(line);
            std::sort(lines.begin(), lines.end());
            return lines;
        };
        EXPECT_EQ(sorted(result.output), sorted(expected));
        EXPECT_EQ(result.output.substr(0, result.output.find('\n')), expected.substr(0, expected.find('\n')));
    }
}
