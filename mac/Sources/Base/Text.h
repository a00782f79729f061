#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavrelin::text {

// User-perceived characters (extended grapheme clusters) of UTF-8 text.
std::size_t characterCount(std::string_view utf8);
// The first `count` user-perceived characters.
std::string characterPrefix(std::string_view utf8, std::size_t count);

// Which characters `trimmed` takes off the ends.
enum class Blanks {
    // Space, tab, carriage return and line feed: lines read from files, pipes
    // and terminals.
    ascii,
    // Tabs and Unicode space separators (Zs); line breaks stay.
    spaces,
    // Everything Unicode counts as white space, line breaks included.
    whiteSpace,
};
// A view into `text` without its leading and trailing `blanks`; malformed
// UTF-8 is never a blank.
std::string_view trimmed(std::string_view text, Blanks blanks = Blanks::ascii);

// Overwrites every byte the string holds, spare capacity included, then
// empties it: for a password once it is no longer needed. What copies of it
// were made elsewhere is their holder's to wipe.
void wipe(std::string& secret);

bool isValidUtf8(std::string_view text);

// Calls `visit` with each code point in order; false, having stopped there,
// at the first malformed byte sequence.
bool forEachCodePoint(std::string_view utf8, const std::function<void(char32_t)>& visit);

// Canonical composition (NFC).
std::string nfc(std::string_view utf8);
// Equal when canonically equivalent.
bool canonicallyEqual(std::string_view a, std::string_view b);
// Orders by Unicode scalar values after NFC, independent of any locale.
bool codePointLess(std::string_view a, std::string_view b);

std::string lowercasedAscii(std::string_view text);
char lowercasedAscii(char c);
// Equal once ASCII letters are lower-cased: names of protocols and formats.
bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b);

// Lower-case hexadecimal, two digits a byte.
std::string hexEncoded(std::span<const unsigned char> bytes);

// The non-empty pieces between separators, as views into `text`.
std::vector<std::string_view> split(std::string_view text, char separator);

// A path as the folder holding it and its own name, trailing "/"s aside:
// "a/b/" is "a" and "b", "b" is "." and "b", "/" is "/" and "". Text only: no
// file is looked at.
struct PathParts {
    std::string folder, name;
};
PathParts splitPath(std::string_view path);

} // namespace tavrelin::text
