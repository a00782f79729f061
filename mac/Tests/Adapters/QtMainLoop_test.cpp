// Quitting waits for the worker pools under one deadline for all of them.

#include "Platform/QtCore/QtMainLoop.h"
#include "Support/SpinEventLoop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

using namespace tavrelin;
using namespace tavrelin::testing;

TEST(QtMainLoop, WaitingForBackgroundWorkHasOneDeadlineForEveryPool) {
    application<QCoreApplication>();
    qt::QtMainLoop loop;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    // Each block gives up by itself after a minute, so a failure here cannot hang.
    for (auto priority : {platform::Priority::normal, platform::Priority::utility})
        loop.background(priority, [released] { released.wait_for(std::chrono::seconds(60)); });

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(loop.waitForBackground(1));
    const auto waited = std::chrono::steady_clock::now() - start;
    // One second for both, not one for each.
    EXPECT_LT(waited, std::chrono::milliseconds(1900));
    EXPECT_GE(waited, std::chrono::milliseconds(900));

    release.set_value();
    EXPECT_TRUE(loop.waitForBackground(30));
}
