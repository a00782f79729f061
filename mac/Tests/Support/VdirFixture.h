#pragma once

// Helpers for tests that build a vdir of task lists in a temporary folder.

#include "Platform/Files.h"
#include "Support/TempFolder.h"

#include <map>

namespace tavrelin::testing {

// Writes the file, creating the folders it needs.
inline void writeText(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    writeFile(path.string(), text);
}

// A list folder, with a displayname file when a title is given.
inline void makeList(const std::filesystem::path& root, const std::string& folder, const std::string& title = {}) {
    std::filesystem::create_directories(root / folder);
    if (!title.empty())
        writeText(root / folder / "displayname", title + "\n");
}

// Real files, with a count of the reads of each file.
class CountingFiles final : public platform::Files {
public:
    explicit CountingFiles(platform::Files& files) : files_(files) {}
    std::string applicationSupportDirectory() const override { return files_.applicationSupportDirectory(); }
    std::string cachesDirectory() const override { return files_.cachesDirectory(); }
    void createDirectories(const std::string& path) override { files_.createDirectories(path); }
    void writeAtomically(const std::string& path, std::string_view bytes, std::optional<unsigned> permissions,
                         FolderSync sync) override {
        files_.writeAtomically(path, bytes, permissions, sync);
    }
    void syncFolder(const std::string& path) override { files_.syncFolder(path); }
    void setPermissions(const std::string& path, unsigned permissions) override { files_.setPermissions(path, permissions); }
    unsigned permissions(const std::string& path) const override { return files_.permissions(path); }
    std::optional<std::string> readRegularFile(const std::string& path, std::size_t maxBytes) const override {
        ++reads[path];
        return files_.readRegularFile(path, maxBytes);
    }
    bool exists(const std::string& path) const override { return files_.exists(path); }
    platform::EntryKind kind(const std::string& path) const override { return files_.kind(path); }
    bool isWritableFolder(const std::string& path) const override { return files_.isWritableFolder(path); }
    void remove(const std::string& path) override { files_.remove(path); }
    void copy(const std::string& from, const std::string& to) override { files_.copy(from, to); }
    void rename(const std::string& from, const std::string& to) override { files_.rename(from, to); }
    std::vector<std::string> list(const std::string& directory) const override { return files_.list(directory); }

    // By path.
    mutable std::map<std::string, int> reads;

private:
    platform::Files& files_;
};

} // namespace tavrelin::testing
