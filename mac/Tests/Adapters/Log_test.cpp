#include "Support/TempFolder.h"
#include "TavrelinMac/Logging.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace tavrelin;
using tavrelin::testing::readFile;
using tavrelin::testing::ScopedEnv;
using tavrelin::testing::TempFolder;

namespace {

// Standard error goes to a file while a test runs.
class LogTest : public ::testing::Test {
protected:
    LogTest() {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        int fd = ::open(captured().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
        if (saved_ < 0 || fd < 0 || ::dup2(fd, STDERR_FILENO) < 0)
            throw std::runtime_error("cannot redirect standard error");
        ::close(fd);
    }
    ~LogTest() override {
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }

    std::string captured() const { return folder / "stderr"; }
    std::string stderrText() const { return readFile(captured()); }

    TempFolder folder;

private:
    int saved_ = -1;
};

// "HH:mm:ss" with hours 00 to 23.
bool isStamp(const std::string& text) {
    auto digit = [&](std::size_t i, char highest) { return text[i] >= '0' && text[i] <= highest; };
    return text.size() == 8 && text[2] == ':' && text[5] == ':' && digit(0, '2') && digit(1, '9') &&
           (text[0] < '2' || text[1] <= '3') && digit(3, '5') && digit(4, '9') && digit(6, '5') && digit(7, '9');
}

std::string clockText(std::time_t moment) {
    std::tm fields{};
    ::gmtime_r(&moment, &fields);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", fields.tm_hour, fields.tm_min, fields.tm_sec);
    return text;
}

} // namespace

TEST_F(LogTest, LinesAreLocalStampLevelAndMessageUnchanged) {
    std::time_t before, after;
    {
        // Kathmandu is UTC+05:45 all year, so even the minutes differ from UTC.
        ScopedEnv zone{{"TZ", "Asia/Kathmandu"}};
        before = std::time(nullptr);
        Log::write("info", "paired with relay.example: \"quoted\" \\ 100%");
        Log::error("first\nsecond");
        after = std::time(nullptr);
    }
    const std::string text = stderrText();
    const std::string stamp = text.substr(0, 8);
    EXPECT_EQ(text, stamp + " info paired with relay.example: \"quoted\" \\ 100%\n" + stamp + " error first\nsecond\n");
    bool local = false;
    for (std::time_t t = before; t <= after; ++t)
        local = local || stamp == clockText(t + 5 * 3600 + 45 * 60);
    EXPECT_TRUE(local) << stamp;
}

TEST_F(LogTest, ConcurrentLinesNeverInterleave) {
    constexpr int threads = 8, linesEach = 3000;
    // Lengths vary so a split write would show as a damaged line.
    auto payload = [](int thread, int line) {
        return "writer " + std::to_string(thread) + " line " + std::to_string(line) + " " +
               std::string(static_cast<std::size_t>(10 + (line * 37 + thread * 11) % 300), static_cast<char>('a' + thread));
    };
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([t, &payload] {
            for (int i = 0; i < linesEach; ++i)
                Log::write(i % 2 ? "info" : "warn", payload(t, i));
        });
    for (auto& writer : writers)
        writer.join();

    std::istringstream lines(stderrText());
    std::map<int, int> next; // per writer, the next line expected
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        // stamp, level, then exactly the message one writer sent
        int thread = -1, index = -1;
        const std::size_t levelEnd = line.find(' ', 9);
        ASSERT_TRUE(line.size() > 9 && isStamp(line.substr(0, 8)) && line[8] == ' ' && levelEnd != std::string::npos &&
                    std::sscanf(line.c_str() + levelEnd + 1, "writer %d line %d", &thread, &index) == 2 && thread >= 0 &&
                    thread < threads && line.substr(levelEnd + 1) == payload(thread, index))
            << "damaged line: " << line.substr(0, 120);
        EXPECT_EQ(line.substr(9, levelEnd - 9), index % 2 ? "info" : "warn");
        // One writer's lines keep their order.
        EXPECT_EQ(index, next[thread]++);
        ++count;
    }
    EXPECT_EQ(count, threads * linesEach);
}
