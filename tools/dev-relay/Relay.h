#pragma once

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace devrelay {

// An in-memory relay backend for development, demos and tests: one queue of
// items per known token, a record of every request, and development
// endpoints to fill the queues, look inside and make the next replies fail.
// Thread-safe; the server's handlers run on its worker threads.
class Relay {
public:
    explicit Relay(std::vector<std::string> tokens);

    // Registers every endpoint on `server` (and sets keep-alive generously,
    // so a client that polls every 30 s keeps one connection).
    void install(httplib::Server& server);

    const std::vector<std::string>& tokens() const { return tokens_; }

    // Appends items (one object, or an array of them) to a token's queue;
    // objects without "id" get one. Answers the ids, or none for an unknown
    // token.
    std::optional<nlohmann::json> enqueue(const std::string& token, const nlohmann::json& items);
    nlohmann::json state() const;
    nlohmann::json stats() const;
    void reset();

    // Requests kept in the log, oldest dropped first; bodies kept up to a cap.
    static constexpr std::size_t maxLoggedRequests = 1000;
    static constexpr std::size_t maxLoggedBody = 64 * 1024;

private:
    struct Queue {
        std::vector<nlohmann::json> items;
        std::optional<nlohmann::json> lastLists;
        std::vector<nlohmann::json> acks;
    };
    struct Fault {
        std::optional<int> status;
        int delayMs = 0;
        std::string body; // "", "malformed" or "truncated"
        std::string path; // only requests to this path; empty: both
        int remaining = 1;
    };

    void record(const httplib::Request& request);
    // The fault for this request, if one is armed (consumes one use).
    std::optional<Fault> takeFault(const std::string& path);
    // The token the request authenticates with, if known.
    std::optional<std::string> authorised(const httplib::Request& request) const;
    // Applies the fault; true when it has answered the request.
    static bool answerFault(const Fault& fault, const std::string& realBody, httplib::Response& response);

    void pending(const httplib::Request& request, httplib::Response& response);
    void ack(const httplib::Request& request, httplib::Response& response);
    void devEnqueue(const httplib::Request& request, httplib::Response& response);
    void devFault(const httplib::Request& request, httplib::Response& response);

    std::vector<std::string> tokens_;
    mutable std::mutex mutex_;
    std::map<std::string, Queue> queues_;
    std::deque<nlohmann::json> log_;
    std::size_t requestCount_ = 0;
    std::set<std::string> connections_;      // client address:port pairs
    std::set<std::string> relayConnections_; // those that made device requests
    std::deque<Fault> faults_;
    std::size_t nextId_ = 1;
};

// "rk_" and 24 random letters and digits.
std::string generateToken();

} // namespace devrelay
