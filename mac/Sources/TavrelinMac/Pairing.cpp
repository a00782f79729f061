#include "TavrelinMac/Pairing.h"

#include "Base/Text.h"
#include "TavrelinMac/Words.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <vector>

namespace tavrelin {
namespace {

constexpr const char* pairingFileName = "pairing.json";
constexpr unsigned ownerOnly = 0600;

// C0 (line breaks included), DEL, C1 and the Unicode line and paragraph
// separators: a token goes into a request header, where any of them could
// split or corrupt it.
bool hasControlCharacter(std::string_view utf8) {
    bool found = false;
    text::forEachCodePoint(
        utf8, [&](char32_t c) { found = found || c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029; });
    return found;
}

} // namespace

PairingError PairingError::notPairURL() {
    return {Kind::notPairURL, words::pairing::notPairingLink()};
}

PairingError PairingError::missingToken() {
    return {Kind::missingToken, words::pairing::noToken()};
}

PairingError PairingError::missingApi() {
    return {Kind::missingApi, words::pairing::noBackendAddress()};
}

PairingError PairingError::badToken() {
    return {Kind::badToken, words::pairing::notRelayToken()};
}

PairingError PairingError::badApi(std::string detail) {
    std::string description = words::pairing::backendUnusable(detail);
    return {Kind::badApi, std::move(description), std::move(detail)};
}

Pairing PairingParser::parse(const Url& link, platform::Date now) {
    if (!link.scheme || text::lowercasedAscii(*link.scheme) != "tavrelin")
        throw PairingError::notPairURL();
    if (!link.host || text::lowercasedAscii(*link.host) != "pair")
        throw PairingError::notPairURL();

    const std::vector<QueryItem> items = link.queryItems();
    // The first item of that name decides, even when it is bare and a later one has a value.
    auto value = [&items](std::string_view name) -> std::optional<std::string> {
        auto item = std::find_if(items.begin(), items.end(), [&](const QueryItem& i) { return i.name == name; });
        // A value that does not decode to UTF-8 counts as absent, as with the platform's URL type.
        if (item == items.end() || !item->value || !text::isValidUtf8(*item->value))
            return std::nullopt;
        return std::string(text::trimmed(*item->value, text::Blanks::spaces));
    };

    const std::optional<std::string> token = value("token");
    if (!token || token->empty())
        throw PairingError::missingToken();
    const std::optional<std::string> api = value("api");
    if (!api || api->empty())
        throw PairingError::missingApi();

    if (!token->starts_with("rk_") || text::characterCount(*token) < 12 || hasControlCharacter(*token))
        throw PairingError::badToken();

    const std::optional<Url> address = Url::parse(*api);
    if (!address || !address->scheme || !address->host || address->host->empty())
        throw PairingError::badApi(words::pairing::notURL());
    const bool local = *address->host == "localhost" || *address->host == "127.0.0.1";
    const std::string scheme = text::lowercasedAscii(*address->scheme);
    if (scheme == "http" && !local)
        throw PairingError::badApi(words::pairing::httpOnlyForLocalhost());
    if (scheme != "https" && scheme != "http")
        throw PairingError::badApi(words::pairing::unsupportedScheme(scheme));

    Pairing pairing;
    pairing.apiBase = *api;
    if (!pairing.apiBase.empty() && pairing.apiBase.back() == '/')
        pairing.apiBase.pop_back();
    pairing.token = *token;
    pairing.pairedAt = now;
    return pairing;
}

std::string FilePairingStore::directory() const {
    return files_.applicationSupportDirectory() + "/Tavrelin";
}

std::string FilePairingStore::location() const {
    return directory() + "/" + pairingFileName;
}

std::optional<Pairing> FilePairingStore::load() const {
    try {
        const std::optional<std::string> bytes = files_.readRegularFile(location(), maxFileBytes);
        if (!bytes)
            return std::nullopt;
        return decode(*bytes);
    } catch (const std::exception&) {
        // A damaged or unreachable file is an unpaired state, never an error.
        return std::nullopt;
    }
}

void FilePairingStore::save(const Pairing& pairing) {
    files_.createDirectories(directory());
    const std::string bytes = encode(pairing);
    // Created owner-only, so the token is never readable by others, not even briefly.
    files_.writeAtomically(location(), bytes, ownerOnly);
    files_.setPermissions(location(), ownerOnly);
}

void FilePairingStore::clear() {
    const std::string path = location();
    if (files_.exists(path))
        files_.remove(path);
}

std::string FilePairingStore::encode(const Pairing& pairing) {
    nlohmann::ordered_json document;
    document["apiBase"] = pairing.apiBase;
    document["token"] = pairing.token;
    document["pairedAt"] = pairing.pairedAt.sinceReferenceDate;
    // Bytes that are not UTF-8 are replaced rather than failing the save;
    // a parsed pairing never holds any.
    const std::string compact = document.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    // In compact JSON of strings and a number, every "/" is inside a string.
    std::string escaped;
    escaped.reserve(compact.size() + 8);
    for (char c : compact) {
        if (c == '/')
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

std::optional<Pairing> FilePairingStore::decode(std::string_view bytes) {
    const nlohmann::json document = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (document.is_discarded() || !document.is_object())
        return std::nullopt;
    const auto apiBase = document.find("apiBase");
    const auto token = document.find("token");
    const auto pairedAt = document.find("pairedAt");
    if (apiBase == document.end() || !apiBase->is_string() || token == document.end() || !token->is_string() ||
        pairedAt == document.end() || !pairedAt->is_number())
        return std::nullopt;
    return Pairing{apiBase->get<std::string>(), token->get<std::string>(), platform::Date{pairedAt->get<double>()}};
}

} // namespace tavrelin
