#pragma once

#include "Platform/Http.h"
#include "TavrelinMac/AppInfo.h"
#include "TavrelinMac/Pairing.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tavrelin {

// One pending reminder from the backend.
struct RelayItem {
    std::string id;
    std::string title;
    std::optional<std::string> notes;
    std::optional<std::string> dueIso;
    bool allDay = false;
    std::optional<std::string> list;
    bool operator==(const RelayItem&) const = default;
};

// A failed exchange with the backend; what() is the user-facing description.
class RelayError : public std::runtime_error {
public:
    enum class Kind { http, transport, malformed, unauthorized };

    static RelayError http(long status);
    static RelayError transport(std::string message);
    static RelayError malformed(std::string message);
    static RelayError unauthorized();

    Kind kind() const { return kind_; }
    long status() const { return status_; }                 // http only
    const std::string& message() const { return message_; } // transport, malformed

private:
    RelayError(Kind kind, std::string description, long status, std::string message)
        : std::runtime_error(std::move(description)), kind_(kind), status_(status), message_(std::move(message)) {}
    Kind kind_;
    long status_ = 0;
    std::string message_;
};

// The two exchanges with the backend of one pairing. Immutable after
// construction; both calls block and may run on any thread.
class RelayClient {
public:
    RelayClient(Pairing pairing, platform::Http& http, const AppInfo& appInfo, const platform::HttpSessionConfig& config = {});

    // The waiting items in the backend's order. Throws RelayError.
    std::vector<RelayItem> fetchPending() const;
    // Acknowledges delivered ids and reports this computer's list names.
    // Throws RelayError.
    void ack(const std::vector<std::string>& ids, const std::vector<std::string>& lists) const;

    const Pairing& pairing() const { return pairing_; }

    // The request for `path`, or none when apiBase + path is not a URL.
    std::optional<platform::HttpRequest> request(std::string_view path, std::string_view method) const;
    // Strict decoding of the pending reply. Throws RelayError (malformed).
    static std::vector<RelayItem> decodePending(std::string_view body);
    // {"ids":[…],"lists":[…]}, compact.
    static std::string encodeAck(const std::vector<std::string>& ids, const std::vector<std::string>& lists);

private:
    // Whether the caller reads the reply's body: one too large to keep
    // fails only then.
    enum class Body { read, ignored };
    // Performs the exchange and judges its status; answers a 2xx reply's
    // body. Throws RelayError.
    std::string exchange(const platform::HttpRequest& request, Body body) const;

    Pairing pairing_;
    const AppInfo& appInfo_;
    std::unique_ptr<platform::HttpSession> session_;
};

} // namespace tavrelin
