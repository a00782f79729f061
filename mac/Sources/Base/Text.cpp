#include "Base/Text.h"

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <memory>

namespace tavrelin::text {
namespace {

// Walks grapheme cluster boundaries; answers the byte offset after `limit`
// clusters (or the end) and how many clusters were seen.
std::pair<std::size_t, std::size_t> clusters(std::string_view utf8, std::size_t limit) {
    if (utf8.empty() || limit == 0)
        return {0, 0};
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status))
        return {utf8.size(), utf8.size()};
    it->setText(text);
    std::size_t count = 0;
    int32_t end = 0;
    for (int32_t next = it->next(); next != icu::BreakIterator::DONE; next = it->next()) {
        ++count;
        end = next;
        if (count == limit)
            break;
    }
    std::string prefix;
    text.tempSubString(0, end).toUTF8String(prefix);
    return {prefix.size(), count};
}

const icu::Normalizer2* nfcNormalizer() {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* n = icu::Normalizer2::getNFCInstance(status);
    return U_SUCCESS(status) ? n : nullptr;
}

bool isBlank(UChar32 c, Blanks blanks) {
    switch (blanks) {
    case Blanks::ascii:
        return c == ' ' || c == '\t' || c == '\r' || c == '\n';
    case Blanks::spaces:
        return c == '\t' || u_charType(c) == U_SPACE_SEPARATOR;
    case Blanks::whiteSpace:
        return u_isUWhiteSpace(c);
    }
    return false;
}

} // namespace

std::size_t characterCount(std::string_view utf8) {
    return clusters(utf8, SIZE_MAX).second;
}

std::string characterPrefix(std::string_view utf8, std::size_t count) {
    if (count == 0)
        return {};
    auto [bytes, seen] = clusters(utf8, count);
    (void)seen;
    // Re-encoding normalises invalid UTF-8 the same way the count did.
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    std::string whole;
    text.toUTF8String(whole);
    return whole.substr(0, bytes);
}

std::string_view trimmed(std::string_view text, Blanks blanks) {
    // ICU walks int32_t offsets; nothing trimmed here comes near that.
    if (text.size() > INT32_MAX)
        return text;
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    int32_t start = 0;
    while (start < length) {
        int32_t i = start;
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (c < 0 || !isBlank(c, blanks))
            break;
        start = i;
    }
    int32_t end = length;
    while (end > start) {
        int32_t i = end;
        UChar32 c;
        U8_PREV(s, start, i, c);
        if (c < 0 || !isBlank(c, blanks))
            break;
        end = i;
    }
    return text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

void wipe(std::string& secret) {
    // Through a volatile pointer, so the stores are not dropped as dead.
    secret.resize(secret.capacity());
    volatile char* bytes = secret.data();
    for (std::size_t i = 0; i < secret.size(); ++i)
        bytes[i] = 0;
    secret.clear();
}

bool isValidUtf8(std::string_view text) {
    return forEachCodePoint(text, [](char32_t) {});
}

bool forEachCodePoint(std::string_view utf8, const std::function<void(char32_t)>& visit) {
    if (utf8.size() > INT32_MAX)
        return false;
    const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
    const auto length = static_cast<int32_t>(utf8.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (c < 0)
            return false;
        visit(static_cast<char32_t>(c));
    }
    return true;
}

std::string nfc(std::string_view utf8) {
    const icu::Normalizer2* n = nfcNormalizer();
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    std::string out;
    if (!n) {
        text.toUTF8String(out);
        return out;
    }
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString normal = n->normalize(text, status);
    (U_SUCCESS(status) ? normal : text).toUTF8String(out);
    return out;
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
    return a == b || nfc(a) == nfc(b);
}

// UTF-8 byte order is code point order.
bool codePointLess(std::string_view a, std::string_view b) {
    return nfc(a) < nfc(b);
}

char lowercasedAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowercasedAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = lowercasedAscii(c);
    return out;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lowercasedAscii(x) == lowercasedAscii(y); });
}

std::string hexEncoded(std::span<const unsigned char> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * bytes.size());
    for (unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos)
            end = text.size();
        if (end > start)
            pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

PathParts splitPath(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return {".", std::string(path)};
    return {slash == 0 ? "/" : std::string(path.substr(0, slash)), std::string(path.substr(slash + 1))};
}

} // namespace tavrelin::text
