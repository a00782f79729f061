#include "Platform/CalDav/DavUrl.h"

#include "Base/Text.h"

#include <uriparser/Uri.h>

#include <vector>

namespace tavrelin::caldav {

namespace {

// The parsed URI points into its text, which it keeps.
struct Parsed {
    std::string text;
    UriUriA uri{};
    bool ok = false;
    explicit Parsed(std::string source) : text(std::move(source)) {
        const char* error = nullptr;
        ok = uriParseSingleUriA(&uri, text.c_str(), &error) == URI_SUCCESS;
    }
    ~Parsed() { uriFreeUriMembersA(&uri); }
    Parsed(const Parsed&) = delete;
    Parsed& operator=(const Parsed&) = delete;
};

std::string range(const UriTextRangeA& part) {
    return part.first && part.afterLast ? std::string(part.first, part.afterLast) : std::string();
}

std::optional<std::string> serialised(const UriUriA& uri) {
    int required = 0;
    if (uriToStringCharsRequiredA(&uri, &required) != URI_SUCCESS)
        return std::nullopt;
    std::vector<char> text(static_cast<std::size_t>(required) + 1);
    if (uriToStringA(text.data(), &uri, required + 1, nullptr) != URI_SUCCESS)
        return std::nullopt;
    return std::string(text.data());
}

std::string defaultPort(const std::string& scheme) {
    return scheme == "https" ? "443" : "80";
}

} // namespace

std::optional<DavUrl> DavUrl::parse(std::string_view text) {
    Parsed parsed{std::string(text)};
    if (!parsed.ok)
        return std::nullopt;
    const std::string& owned = parsed.text;
    const UriUriA& uri = parsed.uri;
    DavUrl url;
    url.scheme = text::lowercasedAscii(range(uri.scheme));
    if (url.scheme != "http" && url.scheme != "https")
        return std::nullopt;
    if (uri.userInfo.first || uri.fragment.first)
        return std::nullopt;
    url.host = text::lowercasedAscii(range(uri.hostText));
    if (url.host.empty())
        return std::nullopt;
    url.port = range(uri.portText);
    if (!url.port.empty() && (url.port.size() > 5 || url.port.find_first_not_of("0123456789") != std::string::npos))
        return std::nullopt;
    if (url.port == defaultPort(url.scheme))
        url.port.clear();
    url.query = range(uri.query);
    // The path as written: from the end of the authority to the query.
    const std::size_t authority = owned.find("//") + 2;
    const std::size_t pathStart = owned.find_first_of("/?", authority);
    std::string path = pathStart == std::string::npos ? "" : owned.substr(pathStart, owned.find('?', pathStart) - pathStart);
    url.path = path.empty() ? "/" : path;
    return url;
}

std::string DavUrl::origin() const {
    std::string text = scheme + "://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host);
    if (!port.empty())
        text += ":" + port;
    return text;
}

std::string DavUrl::text() const {
    return origin() + path + (query.empty() ? "" : "?" + query);
}

bool DavUrl::sameOrigin(const DavUrl& other) const {
    auto effective = [](const DavUrl& url) { return url.port.empty() ? defaultPort(url.scheme) : url.port; };
    return scheme == other.scheme && host == other.host && effective(*this) == effective(other);
}

std::optional<DavUrl> DavUrl::resolve(std::string_view reference) const {
    Parsed base(text());
    Parsed relative{std::string(text::trimmed(reference))};
    if (!base.ok || !relative.ok)
        return std::nullopt;
    UriUriA absolute{};
    std::optional<std::string> result;
    if (uriAddBaseUriA(&absolute, &relative.uri, &base.uri) == URI_SUCCESS)
        result = serialised(absolute);
    uriFreeUriMembersA(&absolute);
    if (!result)
        return std::nullopt;
    return parse(*result);
}

std::string DavUrl::lastSegment() const {
    std::string_view rest = path;
    while (!rest.empty() && rest.back() == '/')
        rest.remove_suffix(1);
    std::string segment(rest.substr(rest.find_last_of('/') + 1));
    segment.push_back('\0');
    const char* end = uriUnescapeInPlaceA(segment.data());
    segment.resize(static_cast<std::size_t>(end - segment.data()));
    return segment;
}

std::string DavUrl::parentPath() const {
    std::string_view rest = path;
    if (!rest.empty() && rest.back() == '/')
        rest.remove_suffix(1);
    return std::string(rest.substr(0, rest.find_last_of('/') + 1));
}

bool isLoopbackHost(std::string_view host) {
    const std::string name = text::lowercasedAscii(host);
    return name == "127.0.0.1" || name == "::1" || name == "localhost";
}

} // namespace tavrelin::caldav
