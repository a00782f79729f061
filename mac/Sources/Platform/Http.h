#pragma once

#include "Platform/Date.h"

#include <cstddef>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tavrelin::platform {

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

struct HttpResponse {
    long status = 0;
    std::string body;
    // The body passed the session's size cap and was dropped.
    bool bodyTooLarge = false;
};

// The exchange did not produce a reply (no connection, name lookup, TLS,
// time-out, refused redirect); what() describes it.
class HttpTransportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct HttpSessionConfig {
    TimeInterval requestTimeout = 20;  // no data for this long
    TimeInterval resourceTimeout = 30; // the whole exchange; noLimit for none
    std::size_t maxBodyBytes = 16 * 1024 * 1024;

    static constexpr TimeInterval noLimit = std::numeric_limits<TimeInterval>::infinity();
};

// A session: no cookies, no persistent cache; keeps its connection between
// exchanges. perform() may be called from several threads at once.
class HttpSession {
public:
    virtual ~HttpSession() = default;
    // Blocks; throws HttpTransportError.
    virtual HttpResponse perform(const HttpRequest& request) = 0;
};

class Http {
public:
    virtual ~Http() = default;
    virtual std::unique_ptr<HttpSession> makeSession(const HttpSessionConfig& config) = 0;
};

} // namespace tavrelin::platform
