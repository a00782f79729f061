#pragma once

#include "Base/Text.h"
#include "Platform/Date.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
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
};

// A body written to a file as it arrived (HttpSession::download).
struct HttpDownload {
    long status = 0;
    // Bytes of a 2xx body now in the file; other replies' bodies are not kept.
    std::uint64_t bytes = 0;
    // Lower-case hexadecimal SHA-256 of those bytes.
    std::string sha256;
};

// The exchange did not produce a reply (no connection, name lookup, TLS,
// time-out, a transfer that crawls, refused redirect); what() describes it.
class HttpTransportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The reply's body passed the session's size cap and was dropped (a
// download's file removed): the exchange gave a status but no body to use.
class HttpBodyTooLarge : public HttpTransportError {
public:
    HttpBodyTooLarge(long status, std::size_t limit)
        : HttpTransportError("the reply is larger than " + std::to_string(limit) + " bytes"), status_(status), limit_(limit) {}
    long status() const { return status_; }
    // The cap it passed (HttpSessionConfig::maxBodyBytes), in bytes.
    std::size_t limit() const { return limit_; }

private:
    long status_;
    std::size_t limit_;
};

// A redirect the session's rule refused; `target` is where it pointed.
class HttpRedirectRefused : public HttpTransportError {
public:
    explicit HttpRedirectRefused(std::string target)
        : HttpTransportError("refused a redirect to " + target), target_(std::move(target)) {}
    const std::string& target() const { return target_; }

private:
    std::string target_;
};

// Whether a redirect from the absolute URL `from` to the absolute URL `to` is
// followed.
using RedirectRule = std::function<bool(const std::string& from, const std::string& to)>;

// The rule every session starts with: anywhere, but never from https down to
// plain http, whatever the host.
bool keepsTransportSecurity(const std::string& from, const std::string& to);

struct HttpSessionConfig {
    TimeInterval requestTimeout = 20;  // no data for this long
    TimeInterval resourceTimeout = 30; // the whole exchange; noLimit for none
    std::size_t maxBodyBytes = 16 * 1024 * 1024;
    // Slower than this many bytes a second for lowSpeedTime seconds fails the
    // exchange as a transport failure, so a drip of bytes cannot hold it open
    // for ever; 0 for no such limit.
    std::size_t lowSpeedBytesPerSecond = 0;
    TimeInterval lowSpeedTime = 60;
    // Decided by the caller, applied to every hop; an http(s) URL is the most
    // any redirect may lead to in any case.
    RedirectRule allowRedirect = keepsTransportSecurity;

    static constexpr TimeInterval noLimit = std::numeric_limits<TimeInterval>::infinity();
};

inline bool keepsTransportSecurity(const std::string& from, const std::string& to) {
    // Schemes are case-insensitive; the adapter hands over absolute URLs.
    auto isHttps = [](std::string_view url) { return text::equalsIgnoringAsciiCase(url.substr(0, 6), "https:"); };
    return !isHttps(from) || isHttps(to);
}

// A session: no cookies, no persistent cache; keeps its connection between
// exchanges. perform() may be called from several threads at once.
class HttpSession {
public:
    virtual ~HttpSession() = default;
    // Blocks; throws HttpTransportError (HttpBodyTooLarge for a body past
    // the session's cap).
    virtual HttpResponse perform(const HttpRequest& request) = 0;
    // Like perform(), but a 2xx body goes to a new file at `path` as it
    // arrives and is digested on the way, so memory does not grow with it.
    // On any failure, and for a reply that is not 2xx, no file is left.
    // Throws HttpTransportError (HttpBodyTooLarge as perform() does), or
    // platform::FileError when the file cannot be written.
    virtual HttpDownload download(const HttpRequest& request, const std::string& path) = 0;
};

class Http {
public:
    virtual ~Http() = default;
    virtual std::unique_ptr<HttpSession> makeSession(const HttpSessionConfig& config) = 0;
};

} // namespace tavrelin::platform
