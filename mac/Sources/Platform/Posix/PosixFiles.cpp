#include "Platform/Posix/PosixFiles.h"
#include "Platform/Posix/Random.h"

#include "Base/Text.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrelin::posix {
namespace {

using platform::FileError;

[[noreturn]] void fail(const std::string& action, const std::string& path, int error) {
    throw FileError("Could not " + action + " “" + path + "”: " + std::strerror(error));
}

// Closes on scope exit.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    // Closes now and reports the result (close can report a delayed write error).
    int close() {
        int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

// Reads the entry names of an open folder, without "." and "..", in
// directory order; answers 0 or the error number.
int readEntryNames(DIR* dir, std::vector<std::string>& names) {
    errno = 0;
    while (dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    return errno;
}

std::vector<std::string> entryNames(const std::string& folder, const std::string& action) {
    Dir dir(::opendir(folder.c_str()));
    if (!dir)
        fail(action, folder, errno);
    std::vector<std::string> names;
    if (int error = readEntryNames(dir.get(), names))
        fail(action, folder, error);
    return names;
}

bool writeAll(int fd, std::string_view bytes) {
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        ssize_t written = ::write(fd, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

// A name no other program uses (see isOwnTemporaryFile), so that what a crash
// leaves behind can be told from anyone else's files.
std::string temporaryName() {
    return ".tavrelin-" + randomHex(8) + ".tmp";
}

// Removes the entry `name` inside the open folder `parent` without following
// symbolic links; returns 0 or an errno value.
int removeAt(int parent, const char* name) {
    struct stat info {};
    if (::fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (!S_ISDIR(info.st_mode))
        return ::unlinkat(parent, name, 0) == 0 ? 0 : errno;

    int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno;
    Dir dir(::fdopendir(fd));
    if (!dir) {
        int error = errno;
        ::close(fd);
        return error;
    }
    std::vector<std::string> names;
    if (int error = readEntryNames(dir.get(), names))
        return error;
    for (const std::string& child : names)
        if (int error = removeAt(::dirfd(dir.get()), child.c_str()))
            return error;
    dir.reset();
    return ::unlinkat(parent, name, AT_REMOVEDIR) == 0 ? 0 : errno;
}

void copyFile(const std::string& from, const std::string& to, mode_t mode) {
    Descriptor source(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!source)
        fail("read", from, errno);
    Descriptor target(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR));
    if (!target)
        fail("create", to, errno);
    char buffer[64 * 1024];
    while (true) {
        ssize_t got = ::read(source.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            fail("read", from, errno);
        if (got == 0)
            break;
        if (!writeAll(target.get(), std::string_view(buffer, static_cast<std::size_t>(got))))
            fail("write", to, errno);
    }
    if (::fchmod(target.get(), mode & 07777) != 0)
        fail("set the permissions of", to, errno);
    if (target.close() != 0)
        fail("write", to, errno);
}

void copyTree(const std::string& from, const std::string& to) {
    struct stat info {};
    if (::lstat(from.c_str(), &info) != 0)
        fail("read", from, errno);
    if (S_ISLNK(info.st_mode)) {
        std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
        ssize_t length = ::readlink(from.c_str(), target.data(), target.size());
        if (length < 0)
            fail("read the link", from, errno);
        target.resize(static_cast<std::size_t>(length));
        if (::symlink(target.c_str(), to.c_str()) != 0)
            fail("create", to, errno);
    } else if (S_ISDIR(info.st_mode)) {
        // Owner-writable while filling; the folder's own bits are set last.
        if (::mkdir(to.c_str(), S_IRWXU) != 0)
            fail("create", to, errno);
        for (const std::string& name : entryNames(from, "read"))
            copyTree(from + "/" + name, to + "/" + name);
        if (::chmod(to.c_str(), info.st_mode & 07777) != 0)
            fail("set the permissions of", to, errno);
    } else if (S_ISREG(info.st_mode)) {
        copyFile(from, to, info.st_mode);
    } else {
        fail("copy", from, ENOTSUP);
    }
}

} // namespace

std::string PosixFiles::applicationSupportDirectory() const {
    return userFolder(UserFolder::data);
}

std::string PosixFiles::cachesDirectory() const {
    return userFolder(UserFolder::cache);
}

void PosixFiles::createDirectories(const std::string& path) {
    if (path.empty())
        fail("create the folder", path, ENOENT);
    std::size_t position = 0;
    while (position != std::string::npos) {
        position = path.find('/', position + 1);
        std::string prefix = path.substr(0, position);
        if (prefix.empty() || prefix.back() == '/')
            continue;
        if (::mkdir(prefix.c_str(), 0777) == 0)
            continue;
        int error = errno;
        struct stat info {};
        if (error == EEXIST && ::stat(prefix.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
            continue;
        fail("create the folder", prefix, error == EEXIST ? ENOTDIR : error);
    }
}

void PosixFiles::writeAtomically(const std::string& path, std::string_view bytes, std::optional<unsigned> permissions,
                                 FolderSync sync) {
    const std::string folder = text::splitPath(path).folder;
    // Without asked-for bits the umask narrows 0666, as for any new file.
    const mode_t mode = permissions ? (*permissions & 07777) : 0666;

    std::string temporary;
    Descriptor file;
    for (int attempt = 0; attempt < 100 && !file; ++attempt) {
        temporary = folder + "/" + temporaryName();
        file.reset(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        if (!file && errno != EEXIST)
            fail("write", path, errno);
    }
    if (!file)
        fail("write", path, EEXIST);

    auto abandon = [&](int error) {
        file.reset();
        ::unlink(temporary.c_str());
        fail("write", path, error);
    };
    // The umask may have narrowed asked-for bits at creation; no byte is
    // written before they are exactly the ones asked for.
    if (permissions && ::fchmod(file.get(), mode) != 0)
        abandon(errno);
    errno = 0;
    if (!writeAll(file.get(), bytes))
        abandon(errno ? errno : EIO);
    if (::fsync(file.get()) != 0)
        abandon(errno);
    if (file.close() != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        fail("write", path, error);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        fail("write", path, error);
    }
    // Makes the rename itself durable.
    if (sync == FolderSync::now)
        syncFolder(folder);
}

void PosixFiles::syncFolder(const std::string& path) {
    Descriptor directory(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory)
        fail("flush the folder", path, errno);
    if (::fsync(directory.get()) != 0 && errno != EINVAL)
        fail("flush the folder", path, errno);
}

void PosixFiles::syncTree(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        fail("flush", path, errno);
    if (S_ISLNK(info.st_mode))
        return;
    const bool folder = S_ISDIR(info.st_mode);
    if (folder)
        for (const std::string& name : list(path))
            syncTree(path + "/" + name);
    Descriptor descriptor(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (folder ? O_DIRECTORY : 0)));
    if (!descriptor)
        fail("flush", path, errno);
    if (::fsync(descriptor.get()) != 0 && errno != EINVAL)
        fail("flush", path, errno);
}

void PosixFiles::setPermissions(const std::string& path, unsigned permissions) {
    if (::chmod(path.c_str(), permissions & 07777) != 0)
        fail("set the permissions of", path, errno);
}

unsigned PosixFiles::permissions(const std::string& path) const {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        fail("read the permissions of", path, errno);
    return info.st_mode & 07777;
}

std::optional<std::string> PosixFiles::readRegularFile(const std::string& path, std::size_t maxBytes) const {
    // Non-blocking so that a FIFO planted at the path cannot hang the caller.
    Descriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file)
        return std::nullopt;
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 ||
        static_cast<std::uintmax_t>(info.st_size) > maxBytes)
        return std::nullopt;
    std::string content;
    content.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[16 * 1024];
    while (true) {
        ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            break;
        content.append(buffer, static_cast<std::size_t>(got));
        if (content.size() > maxBytes) // grew while being read
            return std::nullopt;
    }
    return content;
}

bool PosixFiles::exists(const std::string& path) const {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

platform::EntryKind PosixFiles::kind(const std::string& path) const {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return errno == ENOENT || errno == ENOTDIR ? platform::EntryKind::missing : platform::EntryKind::unreachable;
    if (S_ISDIR(info.st_mode))
        return platform::EntryKind::folder;
    return S_ISREG(info.st_mode) ? platform::EntryKind::file : platform::EntryKind::other;
}

bool PosixFiles::isWritableFolder(const std::string& path) const {
    return kind(path) == platform::EntryKind::folder && ::access(path.c_str(), W_OK | X_OK) == 0;
}

void PosixFiles::remove(const std::string& path) {
    const text::PathParts parts = text::splitPath(path);
    Descriptor parent(::open(parts.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent)
        fail("remove", path, errno);
    if (int error = removeAt(parent.get(), parts.name.c_str()))
        fail("remove", path, error);
}

void PosixFiles::copy(const std::string& from, const std::string& to) {
    struct stat info {};
    if (::lstat(to.c_str(), &info) == 0)
        fail("copy to", to, EEXIST);
    try {
        copyTree(from, to);
    } catch (const FileError&) {
        // Leaves no half copy behind.
        const text::PathParts parts = text::splitPath(to);
        Descriptor parent(::open(parts.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (parent)
            removeAt(parent.get(), parts.name.c_str());
        throw;
    }
}

void PosixFiles::rename(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) == 0)
        return;
    int error = errno;
    // rename(2) only replaces an empty folder or an entry of the same kind.
    if (error == ENOTEMPTY || error == EEXIST || error == EISDIR || error == ENOTDIR) {
        struct stat info {};
        if (::lstat(from.c_str(), &info) == 0) {
            remove(to);
            if (::rename(from.c_str(), to.c_str()) == 0)
                return;
            error = errno;
        }
    }
    fail("move “" + from + "” to", to, error);
}

bool PosixFiles::renameFolderIfAbsent(const std::string& from, const std::string& to) {
#if defined(__linux__)
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
#elif defined(__APPLE__)
    if (::renamex_np(from.c_str(), to.c_str(), RENAME_EXCL) == 0)
        return true;
#else
    errno = EINVAL;
#endif
    int error = errno;
    if (error == EEXIST)
        return false;
    // A file system that cannot refuse to replace: the empty folder made here
    // holds the name, and a rename may replace an empty folder.
    if (error == EINVAL || error == ENOSYS || error == ENOTSUP) {
        if (::mkdir(to.c_str(), 0700) != 0) {
            if (errno == EEXIST)
                return false;
            fail("make the folder", to, errno);
        }
        if (::rename(from.c_str(), to.c_str()) == 0)
            return true;
        error = errno;
        ::rmdir(to.c_str());
    }
    fail("move “" + from + "” to", to, error);
}

std::vector<std::string> PosixFiles::list(const std::string& directory) const {
    std::vector<std::string> names = entryNames(directory, "list");
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace tavrelin::posix
