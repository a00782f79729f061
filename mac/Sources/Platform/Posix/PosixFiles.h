#pragma once

#include "Platform/Files.h"
#include "Platform/Posix/UserFolders.h"

namespace tavrelin::posix {

// Files on a POSIX file system. Per-user folders follow userFolder(): data
// in $XDG_DATA_HOME (~/.local/share), caches in $XDG_CACHE_HOME (~/.cache).
// Errors are platform::FileError naming the path and the system's reason.
class PosixFiles final : public platform::Files {
public:
    std::string applicationSupportDirectory() const override;
    std::string cachesDirectory() const override;

    void createDirectories(const std::string& path) override;
    void writeAtomically(const std::string& path, std::string_view bytes, std::optional<unsigned> permissions = std::nullopt,
                         FolderSync sync = FolderSync::now) override;
    void syncFolder(const std::string& path) override;
    void syncTree(const std::string& path) override;
    void setPermissions(const std::string& path, unsigned permissions) override;
    unsigned permissions(const std::string& path) const override;
    std::optional<std::string> readRegularFile(const std::string& path, std::size_t maxBytes) const override;

    // True when anything is at the path, a dangling symbolic link included.
    bool exists(const std::string& path) const override;
    platform::EntryKind kind(const std::string& path) const override;
    bool isWritableFolder(const std::string& path) const override;
    // Symbolic links are removed, never followed.
    void remove(const std::string& path) override;
    // Keeps permission bits and copies symbolic links as links; fails when
    // `to` exists.
    void copy(const std::string& from, const std::string& to) override;
    // Replaces whatever is at `to`, a folder included.
    void rename(const std::string& from, const std::string& to) override;
    bool renameFolderIfAbsent(const std::string& from, const std::string& to) override;
    std::vector<std::string> list(const std::string& directory) const override;
};

} // namespace tavrelin::posix
