#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace tavrelin::posix {

// The agent's log as a file beside standard error, so that it is found in one
// place however the agent was started. Bounded: a line that would take it
// past `limit` bytes first moves it to `<path>.1` (replacing the older one),
// so the two together never hold much more than twice the limit.
//
// Owner-only (its folder too), never followed through a link, and never in
// the way: a line that cannot be written (a full disk, a folder removed or
// made unwritable) is dropped without a word, and the file is opened anew
// when its name no longer leads to it. Any thread; one line at a time.
class LogFile {
public:
    explicit LogFile(std::string path, std::uint64_t limit = defaultLimit);
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Appends the line and a line feed, in one write. Never throws.
    void append(std::string_view line) noexcept;

    const std::string& path() const { return path_; }

    static constexpr std::uint64_t defaultLimit = 1024 * 1024;
    // After a failed open, this many lines go by before the next try, so a
    // log that cannot be written costs next to nothing.
    static constexpr int reopenEvery = 32;

private:
    bool open() noexcept;
    void close() noexcept;
    // The file at the path is not the one held open (removed or replaced).
    bool lost() const noexcept;
    void rotate() noexcept;

    const std::string path_;
    const std::uint64_t limit_;
    std::mutex lock_;
    int fd_ = -1;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    std::uint64_t size_ = 0;
    int skipped_ = 0;
};

} // namespace tavrelin::posix
