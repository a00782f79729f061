#include "Support/TempFolder.h"
#include "TavrelinMac/Logging.h"

#include <gmock/gmock.h>

#include <ctime>
#include <iomanip>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace tavrelin;

// Log lines go to standard error: "HH:mm:ss level message" in local time,
// each line whole even when threads write at once.
TEST(Log, LinesAreLocalStampLevelAndMessageAndNeverInterleave) {
    // Kathmandu is UTC+05:45 all year, so even the minutes differ from UTC.
    const tavrelin::testing::SavedEnvironment zone("TZ", "Asia/Kathmandu");
    ::testing::internal::CaptureStderr();
    const std::time_t before = std::time(nullptr);
    Log::error("first");
    const std::time_t after = std::time(nullptr);
    auto message = [](int i) { return std::to_string(i) + std::string(i % 300, 'x'); };
    std::vector<std::jthread> writers;
    for (int t = 0; t < 8; ++t)
        writers.emplace_back([t, &message] {
            for (int i = t; i < 24000; i += 8)
                Log::write("info", message(i));
        });
    writers.clear();

    std::istringstream lines(::testing::internal::GetCapturedStderr());
    std::string line;
    std::getline(lines, line);
    auto stamp = [](std::time_t t) { return (std::ostringstream() << std::put_time(std::localtime(&t), "%T ")).str(); };
    EXPECT_THAT(line, ::testing::AnyOf(stamp(before) + "error first", stamp(after) + "error first"));
    int count = 0;
    for (; std::getline(lines, line); ++count)
        ASSERT_EQ(line.substr(8), " info " + message(std::stoi(line.substr(14))));
    EXPECT_EQ(count, 24000) << "every line, each whole";
}
