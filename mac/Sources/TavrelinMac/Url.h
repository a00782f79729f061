#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrelin {

struct QueryItem {
    std::string name;
    std::optional<std::string> value; // none for a bare name without "="
    bool operator==(const QueryItem&) const = default;
};

// A URL split into its components (RFC 3986), without resolving it against a
// base. Relative references parse too; they have no scheme.
struct Url {
    std::string text;                  // as given
    std::optional<std::string> scheme; // as written
    std::optional<std::string> host;   // as written; none without an authority
    std::optional<int> port;
    std::optional<std::string> query; // without "?"

    // None when the text is not a URL reference.
    static std::optional<Url> parse(std::string_view text);

    // Names and values percent-decoded; "+" stays a plus sign. In link order,
    // duplicates kept; empty without a query.
    std::vector<QueryItem> queryItems() const;
};

// The text by which the agent names a backend: the host of `apiBase` read as a
// URL, or the whole text when it does not parse or has no host.
std::string hostOfPairing(std::string_view apiBase);

} // namespace tavrelin
