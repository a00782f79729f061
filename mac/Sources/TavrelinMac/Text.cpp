#include "TavrelinMac/Text.h"

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

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

bool isTrimmable(UChar32 c) {
    return c == '\t' || u_charType(c) == U_SPACE_SEPARATOR;
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

std::string trimmed(std::string_view utf8) {
    const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
    int32_t length = static_cast<int32_t>(utf8.size());
    int32_t start = 0;
    while (start < length) {
        int32_t i = start;
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (c < 0 || !isTrimmable(c))
            break;
        start = i;
    }
    int32_t end = length;
    while (end > start) {
        int32_t i = end;
        UChar32 c;
        U8_PREV(s, start, i, c);
        if (c < 0 || !isTrimmable(c))
            break;
        end = i;
    }
    return std::string(utf8.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)));
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

std::string lowercasedAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

} // namespace tavrelin::text
