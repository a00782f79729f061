#include "Platform/Posix/LogFile.h"

#include "Base/Text.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrelin::posix {
namespace {

// Makes the folder and its missing parents, owner-only; fine when it exists.
bool makeFolders(const std::string& folder) {
    if (folder.empty() || folder == "/" || folder == ".")
        return true;
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0)
        return S_ISDIR(info.st_mode);
    if (!makeFolders(text::splitPath(folder).folder))
        return false;
    return ::mkdir(folder.c_str(), S_IRWXU) == 0 || errno == EEXIST;
}

} // namespace

LogFile::LogFile(std::string path, std::uint64_t limit) : path_(std::move(path)), limit_(limit) {}

LogFile::~LogFile() {
    close();
}

bool LogFile::open() noexcept {
    if (!makeFolders(text::splitPath(path_).folder))
        return false;
    // Non-blocking: a FIFO put in its place must not hold the agent up.
    const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
                          S_IRUSR | S_IWUSR);
    if (fd < 0)
        return false;
    struct stat info {};
    // Only a file of this user's: anything else there is left alone.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
        ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0 && ::fchmod(fd, S_IRUSR | S_IWUSR) != 0)) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    device_ = info.st_dev;
    inode_ = info.st_ino;
    size_ = static_cast<std::uint64_t>(info.st_size);
    return true;
}

void LogFile::close() noexcept {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool LogFile::lost() const noexcept {
    struct stat info {};
    return ::lstat(path_.c_str(), &info) != 0 || info.st_dev != device_ || info.st_ino != inode_;
}

void LogFile::rotate() noexcept {
    const std::string older = path_ + ".1";
    if (::rename(path_.c_str(), older.c_str()) == 0) {
        close();
        open();
        return;
    }
    // It cannot be moved aside: starting it over keeps it bounded all the same.
    if (::ftruncate(fd_, 0) == 0)
        size_ = 0;
}

void LogFile::append(std::string_view line) noexcept {
    try {
        std::lock_guard guard(lock_);
        if (fd_ >= 0 && lost())
            close();
        if (fd_ < 0) {
            if (skipped_ > 0) {
                --skipped_;
                return;
            }
            if (!open()) {
                skipped_ = reopenEvery;
                return;
            }
        }
        std::string buffer;
        buffer.reserve(line.size() + 1);
        buffer.append(line);
        buffer += '\n';
        if (size_ > 0 && size_ + buffer.size() > limit_) {
            rotate();
            if (fd_ < 0)
                return;
        }
        const ssize_t written = ::write(fd_, buffer.data(), buffer.size());
        if (written > 0)
            size_ += static_cast<std::uint64_t>(written);
    } catch (...) {
        // Out of memory for one line: that line is lost, nothing else.
    }
}

} // namespace tavrelin::posix
