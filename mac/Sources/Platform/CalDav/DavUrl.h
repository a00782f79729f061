#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavrelin::caldav {

// An absolute http(s) URL taken apart. Texts stay percent-encoded as written.
struct DavUrl {
    std::string scheme; // "http" or "https"
    std::string host;   // lower-case; an IPv6 address without its brackets
    std::string port;   // empty for the scheme's own
    std::string path;   // "/" at least
    std::string query;  // without "?"; empty for none

    // RFC 3986 syntax, the scheme http or https, a host, and no user name,
    // password or fragment in it; none otherwise.
    static std::optional<DavUrl> parse(std::string_view text);

    // scheme://host[:port], the default port left out.
    std::string origin() const;
    // The origin, the path and the query.
    std::string text() const;
    bool sameOrigin(const DavUrl& other) const;
    // `reference` (an href: a full URL, an absolute path or a relative one)
    // resolved against this URL; none when it is not a usable http(s) URL.
    std::optional<DavUrl> resolve(std::string_view reference) const;
    // The last path segment, percent-decoded, without a trailing "/".
    std::string lastSegment() const;
    // The path of the folder holding this resource (ends with "/").
    std::string parentPath() const;
};

// 127.0.0.1, ::1 and localhost: the only hosts plain http may reach.
bool isLoopbackHost(std::string_view host);

} // namespace tavrelin::caldav
