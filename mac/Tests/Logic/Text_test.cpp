// The small text helpers every layer shares, where they differ from the
// obvious reading.

#include "Base/Text.h"

#include <gtest/gtest.h>

using namespace tavrelin::text;

// Unicode spaces (not line breaks) off pairing links, and every white space
// off tool output, are shown in Pairing_test and UpdatePipeline_test.
TEST(Text, TrimmedTakesOffOnlyTheBlanksItIsAskedFor) {
    const std::tuple<std::string_view, Blanks, std::string_view> rows[] = {
        {" \t\r\nmenu \r\n", Blanks::ascii, "menu"},
        {"\u00a0x\u00a0", Blanks::ascii, "\u00a0x\u00a0"},  // no-break space is not ASCII
        {"\xff x \xff", Blanks::whiteSpace, "\xff x \xff"}, // malformed bytes are no blank
        {"   ", Blanks::ascii, ""},
    };
    for (const auto& [in, blanks, out] : rows)
        EXPECT_EQ(trimmed(in, blanks), out) << in;
}

TEST(Text, SplittingKeepsTheNonEmptyPiecesAndPathsTheirLastName) {
    // Empty pieces between, before and after are skipped in RemindersStore_test's due dates.
    EXPECT_EQ(split("", ':'), std::vector<std::string_view>{});
    // A plain path and one with a trailing "/" are in the update and move tests.
    const std::pair<std::string_view, PathParts> paths[] = {
        {"/Tavrelin.app", {"/", "Tavrelin.app"}},
        {"name", {".", "name"}},
        {"/", {"/", ""}},
    };
    for (const auto& [path, parts] : paths) {
        const PathParts got = splitPath(path);
        EXPECT_EQ(std::pair(got.folder, got.name), std::pair(parts.folder, parts.name)) << path;
    }
}

TEST(Text, HexIsLowerCaseTwoDigitsAByte) {
    const unsigned char bytes[] = {0x00, 0x0f, 0xa0, 0xff};
    EXPECT_EQ(hexEncoded(bytes), "000fa0ff");
    EXPECT_EQ(hexEncoded({}), "");
}

TEST(Text, CaseIsIgnoredForAsciiLettersOnly) {
    EXPECT_EQ(lowercasedAscii("HTTPS://Relay.Example/À"), "https://relay.example/À");
    const std::tuple<std::string_view, std::string_view, bool> rows[] = {
        {"BEGIN:VTODO", "begin:vtodo", true},
        {"https:", "HTTPS:", true},
        {"https", "https:", false},      // a prefix is not the name
        {"\xc3\x80", "\xc3\xa0", false}, // À and à differ outside ASCII
        {"[", "{", false},               // 0x5B and 0x7B are no letters
    };
    for (const auto& [a, b, equal] : rows)
        EXPECT_EQ(equalsIgnoringAsciiCase(a, b), equal) << a << " / " << b;
}
