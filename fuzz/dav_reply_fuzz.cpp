// Arbitrary bytes as a CalDAV server's reply: a multistatus to read, an error
// body to search for a UID conflict, and hrefs to resolve against the server's
// address. Only DavXmlError may come out of reading; an href that resolves
// names an http(s) URL that reads back as itself.

#include "Check.h"
#include "Platform/CalDav/DavUrl.h"
#include "Platform/CalDav/DavXml.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

using namespace tavrelin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    static const caldav::DavUrl base = *caldav::DavUrl::parse("https://cloud.example.com/remote.php/dav/");

    caldav::uidConflict(body);
    std::vector<std::string> hrefs{std::string(body.substr(0, 512))};
    try {
        for (const caldav::DavResource& resource : caldav::parseMultistatus(body)) {
            hrefs.push_back(resource.href);
            if (resource.currentUserPrincipal)
                hrefs.push_back(*resource.currentUserPrincipal);
            hrefs.insert(hrefs.end(), resource.calendarHomeSet.begin(), resource.calendarHomeSet.end());
        }
    } catch (const caldav::DavXmlError&) {
    }
    for (const std::string& href : hrefs)
        if (auto url = base.resolve(href)) {
            FUZZ_CHECK(url->scheme == "http" || url->scheme == "https");
            FUZZ_CHECK(!url->host.empty() && !url->path.empty() && url->path.front() == '/');
            auto again = caldav::DavUrl::parse(url->text());
            FUZZ_CHECK(again && again->text() == url->text());
            url->lastSegment();
            url->parentPath();
        }
    return 0;
}
