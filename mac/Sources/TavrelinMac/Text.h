#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavrelin::text {

// User-perceived characters (extended grapheme clusters) of UTF-8 text.
std::size_t characterCount(std::string_view utf8);
// The first `count` user-perceived characters.
std::string characterPrefix(std::string_view utf8, std::size_t count);

// Removes leading and trailing tabs and Unicode space separators (Zs); line
// breaks stay.
std::string trimmed(std::string_view utf8);

// Canonical composition (NFC).
std::string nfc(std::string_view utf8);
// Equal when canonically equivalent.
bool canonicallyEqual(std::string_view a, std::string_view b);
// Orders by Unicode scalar values after NFC, independent of any locale.
bool codePointLess(std::string_view a, std::string_view b);

std::string lowercasedAscii(std::string_view text);

} // namespace tavrelin::text
