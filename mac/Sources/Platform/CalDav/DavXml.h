#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The WebDAV XML the CalDAV database sends and reads: PROPFIND answers
// (multistatus) and error bodies.
namespace tavrelin::caldav {

inline constexpr const char* davNamespace = "DAV:";
inline constexpr const char* calDavNamespace = "urn:ietf:params:xml:ns:caldav";

// A reply that is not the XML it should be; what() says what is wrong.
class DavXmlError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What one response of a multistatus says about a resource. Properties come
// from propstats whose status is 2xx only.
struct DavResource {
    std::string href;
    bool collection = false;
    bool calendar = false;
    std::optional<std::string> displayName;
    // The component names a calendar takes (VTODO, VEVENT …); none when the
    // server did not report the set.
    std::optional<std::vector<std::string>> components;
    std::optional<std::string> currentUserPrincipal; // an href
    std::vector<std::string> calendarHomeSet;        // hrefs
};

// Throws DavXmlError for text that is not a multistatus.
std::vector<DavResource> parseMultistatus(std::string_view xml);

// An error body naming the CalDAV no-uid-conflict precondition: the UID is
// already in use, at the href it gives when it gives one.
struct UidConflict {
    std::optional<std::string> href;
};
// None when the body names no such conflict (or is no XML at all).
std::optional<UidConflict> uidConflict(std::string_view body);

// Text for an XML element's content or attribute value.
std::string xmlEscaped(std::string_view text);

} // namespace tavrelin::caldav
