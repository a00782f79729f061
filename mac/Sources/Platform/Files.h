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

class Files {
public:
    virtual ~Files() = default;

    // Per-user folders (created on demand by callers, not here).
    virtual std::string applicationSupportDirectory() const = 0;
    virtual std::string cachesDirectory() const = 0;

    // Creates the folder and its missing parents; fine when it exists.
    virtual void createDirectories(const std::string& path) = 0;
    // Replaces the file so a reader sees the old or the new content whole:
    // a temporary file in the same folder created with `permissions`, written,
    // flushed to disk, renamed over the target, and the folder flushed.
    virtual void writeAtomically(const std::string& path, std::string_view bytes, unsigned permissions = 0644) = 0;
    virtual void setPermissions(const std::string& path, unsigned permissions) = 0;
    virtual unsigned permissions(const std::string& path) const = 0;

    // Reads a regular file (symbolic links are not followed); none when it is
    // missing, not a regular file, unreadable or larger than maxBytes.
    virtual std::optional<std::string> readRegularFile(const std::string& path, std::size_t maxBytes) const = 0;

    virtual bool exists(const std::string& path) const = 0;
    // Removes a file or a whole folder.
    virtual void remove(const std::string& path) = 0;
    // Copies a file or a whole folder.
    virtual void copy(const std::string& from, const std::string& to) = 0;
    virtual void rename(const std::string& from, const std::string& to) = 0;
    // Entry names of a folder, sorted.
    virtual std::vector<std::string> list(const std::string& directory) const = 0;
};

} // namespace tavrelin::platform
