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
    EXPECT_EQ(hostOfPairing("http://127.0.0.1:8080/base"), "127.0.0.1");
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
