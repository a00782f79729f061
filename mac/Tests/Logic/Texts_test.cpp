// The word tables, checked by what must hold of them rather than retyped: the
// macOS words say what the product defines (MacTexts.txt, read as data), the
// Linux words say the same sentences with only the platform's facts put
// right and nothing of the Mac left, both tables hold the same keys, and the
// functions put their values where the texts name them.

#include "TavrelinMac/Words.h"
#include "TavrelinMac/Words/Table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

using namespace tavrelin;
using namespace tavrelin::words;
using platform::RemindersPlace;
using ::testing::HasSubstr;

namespace {

// The text of `key` in the build that speaks `platform`'s table.
std::optional<std::string_view> said(Table platform, std::string_view key) {
    for (const Table table : {platform, sharedWords})
        for (const Word& word : table)
            if (word.key == key)
                return word.text;
    return std::nullopt;
}

struct Entry {
    std::string key;
    std::vector<std::pair<std::string, std::string>> values; // name, value
    std::string text;
};

// MacTexts.txt: "== key", "name: value" lines, "--", the text.
std::vector<Entry> macTexts() {
    std::ifstream file(TAVRELIN_MAC_TEXTS);
    if (!file)
        throw std::runtime_error("cannot read " TAVRELIN_MAC_TEXTS);
    std::vector<Entry> entries;
    bool inText = false;
    for (std::string line; std::getline(file, line);) {
        if (line.starts_with("== ")) {
            entries.push_back({line.substr(3), {}, {}});
            inText = false;
        } else if (entries.empty() || (!inText && (line.empty() || line.starts_with("#")))) {
            continue;
        } else if (!inText && line == "--") {
            inText = true;
        } else if (!inText) {
            const auto colon = line.find(": ");
            if (colon == std::string::npos)
                throw std::runtime_error("not a value: " + line);
            entries.back().values.emplace_back(line.substr(0, colon), line.substr(colon + 2));
        } else {
            entries.back().text += line + "\n";
        }
    }
    for (Entry& entry : entries)
        while (entry.text.ends_with("\n"))
            entry.text.pop_back();
    return entries;
}

std::set<std::string_view> keysOf(Table table) {
    std::set<std::string_view> keys;
    for (const Word& word : table)
        keys.insert(word.key);
    return keys;
}

// The facts each platform states in its own words: what the icon sits in,
// what the machine is called, where reminders go and who asks for access,
// how a new build is checked and installed by hand. A Linux text may differ
// from the macOS one in these and in nothing else.
const std::vector<std::string_view> macFacts = {
    "the menu bar at the top",
    "the menu bar",
    "Dock",
    "macOS will ask for permission to access Reminders the first time one arrives.",
    "macOS",
    "\"Pair Tavrelin for Mac\"",
    "for Mac",
    "on this Mac",
    "Mac",
    "Apple Reminders",
    "your Reminders app",
    "your Reminders lists",
    "your Reminders",
    "access to Reminders",
    "Reminders access",
    "in Reminders",
    "Privacy & Security settings",
    "/mac",
    "drag it into Applications",
    "is not notarized",
    "’s notarization check (spctl) did not finish",
    "codesign",
};
const std::vector<std::string_view> linuxFacts = {
    "the panel’s tray at the edge",
    "the panel’s tray",
    "task bar",
    "No permission prompt will appear: each one goes straight into the list it names in {where}.",
    "your desktop",
    "its \"Pair\" button",
    "on this computer",
    "computer",
    "{where}",
    "{title}",
    "{to}",
    "Reminders already in {from} stay there.",
    "your task lists",
    "access to {where}",
    "task-list access",
    "Task-list access",
    "task ",
    "Linux",
    "/linux",
    "unpack it into ~/Applications",
    "did not prove it runs on this computer",
    "did not answer “--version”",
    "tavrelin-verify",
};

// `text` with every fact taken out, the longest first, and the spaces that
// leaves tidied up: what the text says beyond the platform.
std::string beyondFacts(std::string text, std::vector<std::string_view> facts) {
    std::ranges::stable_sort(facts, [](std::string_view a, std::string_view b) { return a.size() > b.size(); });
    for (const std::string_view fact : facts)
        for (auto at = text.find(fact); at != std::string::npos; at = text.find(fact, at))
            text.erase(at, fact.size());
    std::string tidy;
    for (const char c : text) {
        const bool closing = c == '.' || c == ',' || c == ':' || c == ';' || c == '?';
        if ((c == ' ' || closing || c == '\n') && tidy.ends_with(' '))
            tidy.pop_back();
        if (!(c == ' ' && (tidy.empty() || tidy.ends_with('\n'))))
            tidy += c;
    }
    while (!tidy.empty() && (tidy.back() == '\n' || tidy.back() == ' '))
        tidy.pop_back();
    return tidy;
}

} // namespace

TEST(Texts, TheMacWordsSayWhatTheProductDefinesWordForWord) {
    const std::vector<Entry> entries = macTexts();
    ASSERT_GT(entries.size(), 100u) << "too few texts read from " TAVRELIN_MAC_TEXTS;
    for (const Entry& entry : entries) {
        SCOPED_TRACE(entry.key);
        const auto text = said(macWords, entry.key);
        ASSERT_TRUE(text) << "no such word in the macOS words";
        std::vector<Value> values;
        for (const auto& [name, value] : entry.values)
            values.push_back({name, value});
        EXPECT_EQ(fill(*text, values), entry.text);
    }
}

TEST(Texts, BothPlatformsHoldTheSameWordsEachOnceAndEveryPlaceInATextIsWellFormed) {
    const auto mac = keysOf(macWords), linux = keysOf(linuxWords), shared = keysOf(sharedWords);
    for (const auto& [table, keys, other] : {std::tuple{"macOS", mac, linux}, std::tuple{"Linux", linux, mac}})
        for (const std::string_view key : keys) {
            EXPECT_TRUE(other.count(key)) << key << " is in the " << table << " words only";
            EXPECT_FALSE(shared.count(key)) << key << " is in the " << table << " words and the shared ones";
        }
    for (const auto& [table, words, keys] : {std::tuple{"macOS", macWords, mac}, std::tuple{"Linux", linuxWords, linux},
                                             std::tuple{"shared", sharedWords, shared}}) {
        EXPECT_EQ(keys.size(), words.size()) << "a key twice in the " << table << " words";
        for (const Word& word : words) {
            // Every { opens a place for a value: a name, then }.
            std::size_t at = 0;
            for (std::size_t open; (open = word.text.find('{', at)) != std::string_view::npos; at = open + 1) {
                const std::size_t close = word.text.find('}', open);
                ASSERT_NE(close, std::string_view::npos) << word.key;
                const std::string_view name = word.text.substr(open + 1, close - open - 1);
                EXPECT_FALSE(name.empty()) << word.key;
                EXPECT_TRUE(std::ranges::all_of(name, [](char c) { return std::isalpha(static_cast<unsigned char>(c)); }))
                    << word.key << ": {" << name << "}";
            }
            EXPECT_EQ(std::ranges::count(word.text, '{'), std::ranges::count(word.text, '}')) << word.key;
        }
    }
}

TEST(Texts, TheLinuxWordsDifferFromTheMacWordsOnlyInTheFactsOfThePlatform) {
    for (const Word& word : macWords) {
        const auto linux = said(linuxWords, word.key);
        ASSERT_TRUE(linux) << word.key;
        EXPECT_EQ(beyondFacts(std::string(*linux), linuxFacts), beyondFacts(std::string(word.text), macFacts))
            << word.key << "\nmacOS: " << word.text << "\nLinux: " << *linux;
    }
    // Each fact is one the words state, so the lists do not outgrow them.
    for (const auto& [facts, table] : {std::pair{&macFacts, macWords}, std::pair{&linuxFacts, linuxWords}})
        for (const std::string_view fact : *facts)
            EXPECT_TRUE(std::ranges::any_of(table, [&](const Word& word) { return word.text.find(fact) != std::string::npos; }))
                << "“" << fact << "” is in no text";
}

// And the property itself tells a fact from what is not one.
TEST(Texts, WhatIsNotAFactOfThePlatformMustStayTheSame) {
    const std::string mac = "This Mac will collect reminders from {host}. They usually arrive within a minute.";
    EXPECT_EQ(beyondFacts("This computer will collect reminders from {host}. They usually arrive within a minute.", linuxFacts),
              beyondFacts(mac, macFacts));
    for (const std::string linux : {"This computer will collect reminders. They usually arrive within a minute.",
                                    "This computer will collect reminders from {host}. They arrive within a minute.",
                                    "This computer will collect reminders from {host}. They usually arrive within an hour."})
        EXPECT_NE(beyondFacts(linux, linuxFacts), beyondFacts(mac, macFacts)) << linux;
}

TEST(Texts, NothingTheLinuxBuildSaysSpeaksOfTheMac) {
    for (const Table table : {linuxWords, sharedWords})
        for (const Word& word : table)
            for (const char* forbidden :
                 {"Mac", "macOS", "Apple", "menu bar", "Dock", "⌘", "Command-", "System Settings", "System Preferences",
                  "Privacy & Security", "Finder", "iCloud", "notariz", "codesign", "spctl", "Launchpad"})
                EXPECT_FALSE(word.text.find(forbidden) != std::string_view::npos)
                    << "“" << forbidden << "” in " << word.key << ": " << word.text;
}

TEST(Texts, ValuesGoWhereTheTextNamesThemAndNowhereElse) {
    EXPECT_EQ(fill("{a} and {b}, {a} again", {{"b", "two"}, {"a", "one"}, {"c", "unused"}}), "one and two, one again");
    // A value is never read for places of its own: a list may be named so.
    EXPECT_EQ(fill("no list named “{name}”", {{"name", "{name}"}}), "no list named “{name}”");
    EXPECT_EQ(fill("", {}), "");
    EXPECT_THROW(fill("Backend: {host}", {{"hots", "x"}}), std::logic_error);
    EXPECT_THROW(fill("Backend: {host", {{"host", "x"}}), std::logic_error);
    EXPECT_THROW(text("no.such.word"), std::logic_error);
}

TEST(Texts, TheFunctionsCountSizeAndListAsTheProductDoes) {
    EXPECT_EQ(module::filed(1), "1 reminder filed this session");
    EXPECT_EQ(module::filed(0), "0 reminders filed this session");
    EXPECT_EQ(module::filed(12), "12 reminders filed this session");

    // A limit in the largest unit that states it exactly.
    EXPECT_EQ(size(std::uint64_t{512} * 1024 * 1024), "512 MiB");
    EXPECT_EQ(size(16 * 1024), "16 KiB");
    EXPECT_EQ(size(1536 * 1024), "1536 KiB");
    EXPECT_EQ(size(1000), "1000 bytes");
    EXPECT_EQ(size(1024 * 1024 + 1), "1048577 bytes");
    EXPECT_EQ(relay::tooLarge(16 * 1024 * 1024), "the reply is larger than 16 MiB");

    EXPECT_THAT(pairing::rejectedText("No token.", {}),
                ::testing::StartsWith("No token.\n\nThe link carried no parameters at all.\n\nPairing links"));
    EXPECT_THAT(pairing::rejectedText("No token.", {"Token", "api"}), HasSubstr("\n\nThe link carried: Token, api.\n\n"));
    EXPECT_THAT(update::readyText(std::string("Faster.")), ::testing::StartsWith("Faster.\n\nTavrelin will quit"));
    EXPECT_THAT(update::readyText(std::nullopt), ::testing::StartsWith("Tavrelin will quit"));
    EXPECT_EQ(relay::missing(relay::itemMember(3, "allDay")), "item 3: \"allDay\" is missing");
}

// Where the build names places (the Linux words do), each kind has its own
// name, with its folder or server.
TEST(Texts, APlaceIsNamedByItsKindAndWhereItIs) {
    if (spokenWords().data() != linuxWords.data())
        GTEST_SKIP() << "the macOS words name one place";
    using Kind = RemindersPlace::Kind;
    EXPECT_EQ(places::current({Kind::evolutionDataServer, {}}), "Reminders go to Evolution Data Server’s task lists");
    EXPECT_EQ(places::current({Kind::taskListFolder, "/home/ana/tasks"}),
              "Reminders go to the task-list folder /home/ana/tasks");
    EXPECT_EQ(places::current({Kind::taskListFolder, {}}), "Reminders go to the task-list folder");
    EXPECT_EQ(places::current({Kind::calDavServer, "https://dav.example"}),
              "Reminders go to the CalDAV task lists on https://dav.example");
    EXPECT_EQ(module::title({Kind::taskListFolder, "/home/ana/tasks"}), "Task-list folder");
    EXPECT_EQ(module::title({Kind::evolutionDataServer, {}}), "Evolution Data Server’s task lists");
    EXPECT_EQ(places::switchText({Kind::taskListFolder, "/t"}, {Kind::evolutionDataServer, {}}),
              "Tavrelin will file the reminders it collects from now on in Evolution Data Server’s task lists, and look there "
              "for the lists they name.\n\nReminders already in the task-list folder /t stay there.");
}
