#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tavrelin::platform {

// A file system failure; what() is a readable description naming the path.
class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What is at a path, symbolic links followed. `unreachable`: something in the
// way answers neither yes nor no (a folder on the path cannot be searched).
enum class EntryKind { missing, file, folder, other, unreachable };

// writeAtomically's temporary files are named ".tavrelin-<random>.tmp" in the
// target's folder; one left behind by a crash is ours to remove, and nothing
// else matches this.
inline bool isOwnTemporaryFile(std::string_view name) {
    constexpr std::string_view prefix = ".tavrelin-", suffix = ".tmp";
    return name.size() > prefix.size() + suffix.size() && name.substr(0, prefix.size()) == prefix &&
           name.substr(name.size() - suffix.size()) == suffix;
}

class Files {
public:
    virtual ~Files() = default;

    // Per-user folders (created on demand by callers, not here).
    virtual std::string applicationSupportDirectory() const = 0;
    virtual std::string cachesDirectory() const = 0;

    // Creates the folder and its missing parents; fine when it exists.
    virtual void createDirectories(const std::string& path) = 0;
    // Replaces the file so a reader sees the old or the new content whole:
    // a temporary file in the same folder, written, flushed to disk, renamed
    // over the target, and the folder flushed — or, with FolderSync::later,
    // not yet: the new name is then durable once syncFolder() has returned.
    // The mode is exactly `permissions`, or without them 0666 narrowed by the
    // umask, as for any new file.
    enum class FolderSync { now, later };
    virtual void writeAtomically(const std::string& path, std::string_view bytes,
                                 std::optional<unsigned> permissions = std::nullopt, FolderSync sync = FolderSync::now) = 0;
    // Makes the folder's entries (names made, replaced or removed) durable.
    virtual void syncFolder(const std::string& path) = 0;
    // Flushes a file, or a folder with everything below it, to disk; links
    // are neither followed nor flushed.
    virtual void syncTree(const std::string& path) = 0;
    virtual void setPermissions(const std::string& path, unsigned permissions) = 0;
    virtual unsigned permissions(const std::string& path) const = 0;

    // Reads a regular file (symbolic links are not followed); none when it is
    // missing, not a regular file, unreadable or larger than maxBytes.
    virtual std::optional<std::string> readRegularFile(const std::string& path, std::size_t maxBytes) const = 0;

    virtual bool exists(const std::string& path) const = 0;
    virtual EntryKind kind(const std::string& path) const = 0;
    // True when entries can be created in and removed from the folder.
    virtual bool isWritableFolder(const std::string& path) const = 0;
    // Removes a file or a whole folder.
    virtual void remove(const std::string& path) = 0;
    // Copies a file or a whole folder.
    virtual void copy(const std::string& from, const std::string& to) = 0;
    virtual void rename(const std::string& from, const std::string& to) = 0;
    // Moves the folder at `from` to `to` in one step unless something is at
    // `to` already: answers false then, moving nothing.
    virtual bool renameFolderIfAbsent(const std::string& from, const std::string& to) = 0;
    // Entry names of a folder, sorted.
    virtual std::vector<std::string> list(const std::string& directory) const = 0;
};

} // namespace tavrelin::platform
