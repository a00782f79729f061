#pragma once

#include "Platform/Http.h"

#include <memory>
#include <optional>
#include <string>

namespace tavrelin::curl {

// HTTP over libcurl. Sessions follow redirects themselves (see
// redirectedRequest) so that the Authorization header never leaves its origin
// and every hop passes the session's redirect rule.
class CurlHttp final : public platform::Http {
public:
    CurlHttp();
    std::unique_ptr<platform::HttpSession> makeSession(const platform::HttpSessionConfig& config) override;
};

// Redirects followed per exchange before it fails as a transport error.
inline constexpr int maxRedirects = 16;

// The request to send after `previous` was answered with `status` and a
// Location that resolved to the absolute `target`. None when the status is not
// a redirect that is followed (the reply is then handed back as it is).
// 301/302/303 turn a POST into a GET without a body (303 turns everything but
// HEAD into GET); 307/308 keep method and body. A different scheme, host or
// port drops "Authorization". Throws HttpTransportError for a target that is
// not http(s); whether an http(s) target is followed is the session's rule
// (HttpSessionConfig::allowRedirect).
std::optional<platform::HttpRequest> redirectedRequest(const platform::HttpRequest& previous, long status,
                                                       const std::string& target);

} // namespace tavrelin::curl
