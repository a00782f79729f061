#include "Platform/Posix/PosixFiles.h"
#include "Support/TempFolder.h"
#include "TavrelinMac/Pairing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

using namespace tavrelin;
using tavrelin::testing::modeOf;
using tavrelin::testing::readFile;
using tavrelin::testing::ScopedEnv;
using tavrelin::testing::TempFolder;
using tavrelin::testing::writeFile;

namespace {

// The store on real files, with the per-user data folder inside a temp folder.
class PairingFile : public ::testing::Test {
protected:
    TempFolder data;
    ScopedEnv env{{"XDG_DATA_HOME", data.path()}};
    posix::PosixFiles files;
    FilePairingStore store{files};
    const std::string folder = data / "Tavrelin";
    const std::string file = folder + "/pairing.json";
    const Pairing pairing{"https://relay.example", "rk_0123456789abcdef", platform::Date{786543210.123456}};
};

} // namespace

TEST_F(PairingFile, SaveCreatesTheFolderAndWritesOwnerOnlyCompactJson) {
    EXPECT_EQ(store.location(), file);
    ASSERT_FALSE(files.exists(folder));

    store.save(pairing);
    EXPECT_EQ(readFile(file),
              R"({"apiBase":"https:\/\/relay.example","token":"rk_0123456789abcdef","pairedAt":786543210.123456})");
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(store.load(), pairing);
    EXPECT_EQ(files.list(folder), std::vector<std::string>{"pairing.json"});
}

TEST_F(PairingFile, SaveNarrowsAWiderFileAndIgnoresTheUmask) {
    files.createDirectories(folder);
    writeFile(file, "{}");
    ::chmod(file.c_str(), 0644);
    const mode_t old = ::umask(0);
    store.save(pairing);
    ::umask(old);
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(store.load(), pairing);
    EXPECT_EQ(files.list(folder), std::vector<std::string>{"pairing.json"});
}

TEST_F(PairingFile, EveryUnusableFileReadsAsUnpairedAndStays) {
    EXPECT_EQ(store.load(), std::nullopt) << "no folder";
    files.createDirectories(folder);
    EXPECT_EQ(store.load(), std::nullopt) << "no file";

    const std::string valid = FilePairingStore::encode(pairing);
    const std::vector<std::pair<std::string, std::string>> contents{
        {"empty", ""},
        {"not JSON", "pairing"},
        {"pairedAt as text", R"({"apiBase":"https://relay.example","token":"rk_0123456789abcdef","pairedAt":"786543210"})"},
        {"no token", R"({"apiBase":"https://relay.example","pairedAt":786543210})"},
        // Valid JSON padded past the size limit.
        {"65 KiB", valid.substr(0, valid.size() - 1) + std::string(65 * 1024, ' ') + "}"},
    };
    for (const auto& [what, content] : contents) {
        writeFile(file, content);
        EXPECT_EQ(store.load(), std::nullopt) << what;
        EXPECT_EQ(readFile(file), content) << what;
    }

    // Exactly at the limit still loads.
    writeFile(file, valid.substr(0, valid.size() - 1) + std::string(64 * 1024 - valid.size(), ' ') + "}");
    EXPECT_EQ(store.load(), pairing) << "64 KiB";

    ::unlink(file.c_str());
    writeFile(data / "elsewhere.json", valid);
    ASSERT_EQ(::symlink((data / "elsewhere.json").c_str(), file.c_str()), 0);
    EXPECT_EQ(store.load(), std::nullopt) << "symbolic link to a valid file";

    ::unlink(file.c_str());
    ::mkdir(file.c_str(), 0700);
    EXPECT_EQ(store.load(), std::nullopt) << "folder";
    ::rmdir(file.c_str());

    ::mkfifo(file.c_str(), 0600);
    EXPECT_EQ(store.load(), std::nullopt) << "named pipe";
}

TEST_F(PairingFile, ClearRemovesOnlyTheFileAndCanRepeat) {
    store.clear(); // nothing there yet
    store.save(pairing);
    store.clear();
    store.clear();
    EXPECT_FALSE(files.exists(file));
    EXPECT_TRUE(files.exists(folder));
    EXPECT_EQ(store.load(), std::nullopt);

    // A link in its place goes; what it points at stays.
    writeFile(data / "elsewhere.json", "keep");
    ::symlink((data / "elsewhere.json").c_str(), file.c_str());
    store.clear();
    EXPECT_FALSE(files.exists(file));
    EXPECT_EQ(readFile(data / "elsewhere.json"), "keep");
}

TEST_F(PairingFile, SaveFailsWithTheFileSystemsErrorAndKeepsTheOldPairing) {
    store.save(pairing);
    // A folder where the file should go cannot be replaced by a file.
    ::unlink(file.c_str());
    ::mkdir(file.c_str(), 0700);
    writeFile(file + "/inside", "x");
    EXPECT_THROW(store.save(pairing), platform::FileError);
    EXPECT_EQ(files.list(folder), std::vector<std::string>{"pairing.json"});

    // The data folder itself cannot be created.
    env.set("XDG_DATA_HOME", data / "plain/file");
    writeFile(data / "plain", "");
    try {
        store.save(pairing);
        ADD_FAILURE() << "saved below a plain file";
    } catch (const platform::FileError& error) {
        EXPECT_NE(std::string(error.what()).find(data / "plain"), std::string::npos) << error.what();
        EXPECT_EQ(std::string(error.what()).find(pairing.token), std::string::npos) << "token leaked";
    }
}
