#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

// The word tables as data: each word is a key and its text, in which {name}
// marks where a value goes. The functions of Words.h look a key up and put
// their values in; a text needs no code of its own, so the tables of the two
// platforms can be held side by side (the tests do).
//
// A key names the function that says it ("pairing.trustedText" is
// words::pairing::trustedText), or a piece of one ("module.filedOne"). A
// platform's table holds the words that state a fact of the platform, and
// both platforms' tables hold the same keys; the shared table holds the words
// every platform says alike.
namespace tavrelin::words {

struct Word {
    std::string_view key;
    std::string_view text;
};
using Table = std::span<const Word>;

extern const Table macWords;   // Words/MacWords.cpp
extern const Table linuxWords; // Words/LinuxWords.cpp
extern const Table sharedWords;

// The platform table this build speaks (TAVRELIN_WORDS); the agent links only
// that one.
Table spokenWords();

// The text of `key` as this build says it: the spoken table's, else the
// shared table's. Throws std::logic_error for a key neither holds.
std::string_view text(std::string_view key);

// A value for a {name} in a text.
struct Value {
    std::string_view name;
    std::string value;
};
// `text` with every {name} replaced by its value; values that the text does
// not name are left out. What a value holds is never read as a place for
// another value. Throws std::logic_error when the text names a value that
// is not given.
std::string fill(std::string_view text, std::span<const Value> values);
inline std::string fill(std::string_view text, std::initializer_list<Value> values = {}) {
    return fill(text, std::span<const Value>(values.begin(), values.size()));
}

} // namespace tavrelin::words
