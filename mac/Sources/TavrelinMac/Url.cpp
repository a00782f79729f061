#include "TavrelinMac/Url.h"

#include <uriparser/Uri.h>

#include <vector>

namespace tavrelin {
namespace {

std::string range(const UriTextRangeA& r) {
    if (r.first == nullptr || r.afterLast == nullptr)
        return {};
    return std::string(r.first, r.afterLast);
}

bool present(const UriTextRangeA& r) {
    return r.first != nullptr;
}

std::string percentDecoded(std::string text) {
    if (text.empty())
        return text;
    // Decodes in place; "+" is left alone, line breaks untouched.
    const char* end = uriUnescapeInPlaceExA(text.data(), URI_FALSE, URI_BR_DONT_TOUCH);
    text.resize(static_cast<std::size_t>(end - text.data()));
    return text;
}

// Frees what a successful parse allocated.
struct UriMembers {
    UriUriA uri{};
    ~UriMembers() { uriFreeUriMembersA(&uri); }
};

} // namespace

std::optional<Url> Url::parse(std::string_view text) {
    std::string owned(text);
    const char* errorPos = nullptr;
    UriUriA parsed{};
    // On failure the parser has already released what it allocated.
    if (uriParseSingleUriExA(&parsed, owned.data(), owned.data() + owned.size(), &errorPos) != URI_SUCCESS)
        return std::nullopt;
    UriMembers members{parsed};
    const UriUriA* uri = &members.uri;
    Url url;
    url.text = owned;
    if (present(uri->scheme))
        url.scheme = range(uri->scheme);
    if (present(uri->hostText) || uri->hostData.ip4 || uri->hostData.ip6 || present(uri->hostData.ipFuture))
        url.host = range(uri->hostText);
    if (present(uri->portText)) {
        std::string port = range(uri->portText);
        if (!port.empty() && port.size() < 6)
            url.port = std::stoi(port);
    }
    if (present(uri->query))
        url.query = range(uri->query);
    return url;
}

std::vector<QueryItem> Url::queryItems() const {
    std::vector<QueryItem> items;
    if (!query || query->empty())
        return items;
    // Split by hand: uriparser's dissector turns "+" into spaces or not, but
    // drops the difference between "a" and "a=".
    std::string_view rest = *query;
    while (true) {
        std::size_t amp = rest.find('&');
        std::string_view piece = rest.substr(0, amp);
        if (!piece.empty()) {
            std::size_t eq = piece.find('=');
            QueryItem item;
            item.name = percentDecoded(std::string(piece.substr(0, eq)));
            if (eq != std::string_view::npos)
                item.value = percentDecoded(std::string(piece.substr(eq + 1)));
            items.push_back(std::move(item));
        }
        if (amp == std::string_view::npos)
            break;
        rest.remove_prefix(amp + 1);
    }
    return items;
}

std::string hostOfPairing(std::string_view apiBase) {
    auto url = Url::parse(apiBase);
    if (url && url->host && !url->host->empty())
        return *url->host;
    return std::string(apiBase);
}

} // namespace tavrelin
