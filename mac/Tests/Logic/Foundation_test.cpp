#include "Support/FakePlatform.h"
#include "TavrelinMac/Text.h"
#include "TavrelinMac/Url.h"

#include <gtest/gtest.h>

using namespace tavrelin;

TEST(Url, SplitsComponentsAndDecodesQueryKeepingPlus) {
    auto url = Url::parse("tavrelin://pair/extra?token=rk_a%2Bb+c&api=https%3A%2F%2Frelay.example&bare&=v");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->scheme, "tavrelin");
    EXPECT_EQ(url->host, "pair");
    std::vector<QueryItem> expected{{"token", "rk_a+b+c"}, {"api", "https://relay.example"}, {"bare", std::nullopt}, {"", "v"}};
    EXPECT_EQ(url->queryItems(), expected);
}

TEST(Url, HostOfPairingFallsBackToWholeText) {
    EXPECT_EQ(hostOfPairing("https://relay.example/base"), "relay.example");
    EXPECT_EQ(hostOfPairing("http://127.0.0.1:8080"), "127.0.0.1");
    EXPECT_EQ(hostOfPairing("relay.example"), "relay.example");
    EXPECT_EQ(hostOfPairing("not a url"), "not a url");
    EXPECT_FALSE(Url::parse("tavrelin:pair?token=x")->host);
}

TEST(Url, PathComponents) {
    auto url = Url::parse("https://h/downloads/Tavrelin%201.zip?x=1");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->lastPathComponent(), "Tavrelin 1.zip");
    EXPECT_EQ(url->pathExtension(), "zip");
    EXPECT_EQ(Url::parse("https://h")->lastPathComponent(), "");
}

TEST(Text, CountsUserPerceivedCharacters) {
    EXPECT_EQ(text::characterCount("rk_abc"), 6u);
    EXPECT_EQ(text::characterCount("e\xCC\x81"), 1u);                       // e + combining acute
    EXPECT_EQ(text::characterCount("\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB"), 1u); // woman technologist (ZWJ)
    EXPECT_EQ(text::characterPrefix("ab\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB" "cd", 3), "ab\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB");
}

TEST(Text, TrimsTabsAndSpaceSeparatorsButNotLineBreaks) {
    EXPECT_EQ(text::trimmed("\t \xC2\xA0" "abc\xE3\x80\x80 "), "abc"); // NBSP, ideographic space
    EXPECT_EQ(text::trimmed("\nabc\n"), "\nabc\n");
    EXPECT_EQ(text::trimmed("   "), "");
}

TEST(Text, OrdersByCodePointAfterNormalisation) {
    EXPECT_TRUE(text::codePointLess("Token", "api"));
    EXPECT_TRUE(text::codePointLess("api", "token"));
    EXPECT_TRUE(text::canonicallyEqual("\xC3\xA9", "e\xCC\x81"));
    EXPECT_FALSE(text::codePointLess("\xC3\xA9", "e\xCC\x81"));
}

TEST(FakeMainLoop, TimersFireInTimeOrderAndStopWhenDestroyed) {
    fake::FakePlatform p;
    std::vector<std::string> fired;
    auto a = p.mainLoop.repeating(30, [&] { fired.push_back("a"); });
    p.mainLoop.after(45, [&] { fired.push_back("b"); });
    p.mainLoop.advance(60);
    EXPECT_EQ(fired, (std::vector<std::string>{"a", "b", "a"}));
    a.reset();
    p.mainLoop.advance(60);
    EXPECT_EQ(fired.size(), 3u);
}

TEST(FakeMainLoop, BackgroundRunsOffMainAndPostsBackInOrder) {
    fake::FakePlatform p;
    p.mainLoop.autoRunBackground = false;
    std::vector<std::string> seen;
    p.mainLoop.background(platform::Priority::normal, [&] {
        seen.push_back(p.mainLoop.isMainThread() ? "bg-on-main" : "bg");
        p.mainLoop.post([&] { seen.push_back("one"); });
        p.mainLoop.post([&] { seen.push_back("two"); });
    });
    EXPECT_TRUE(seen.empty());
    p.mainLoop.drain();
    EXPECT_EQ(seen, (std::vector<std::string>{"bg", "one", "two"}));
}
