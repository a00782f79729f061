#include "Relay.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

namespace devrelay {
namespace {

using nlohmann::json;

constexpr const char* pendingPath = "/relay/device/pending";
constexpr const char* ackPath = "/relay/device/ack";
// With a parameter the server leaves replies uncompressed: its brotli runs at
// the slowest setting and would dominate every large reply.
constexpr const char* jsonType = "application/json; charset=utf-8";

void reply(httplib::Response& response, int status, const json& body) {
    response.status = status;
    response.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), jsonType);
}

void fail(httplib::Response& response, int status, const std::string& message) {
    reply(response, status, json{{"error", message}});
}

std::optional<json> parsed(const std::string& body) {
    json value = json::parse(body, nullptr, false);
    if (value.is_discarded())
        return std::nullopt;
    return value;
}

std::string clientOf(const httplib::Request& request) {
    return request.remote_addr + ":" + std::to_string(request.remote_port);
}

} // namespace

Relay::Relay(std::vector<std::string> tokens) : tokens_(std::move(tokens)) {
    for (const auto& token : tokens_)
        queues_[token];
}

void Relay::install(httplib::Server& server) {
    // A poll every 30 s must find its connection still open.
    server.set_keep_alive_max_count(1000000);
    server.set_keep_alive_timeout(120);
    // A reply larger than a segment ends in a partial one; without this it
    // waits for the client's delayed acknowledgement.
    server.set_tcp_nodelay(true);
    server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
        std::lock_guard lock(mutex_);
        connections_.insert(clientOf(request));
        if (request.path.rfind("/relay/", 0) == 0)
            relayConnections_.insert(clientOf(request));
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.Get(pendingPath, [this](const httplib::Request& q, httplib::Response& r) { pending(q, r); });
    server.Post(ackPath, [this](const httplib::Request& q, httplib::Response& r) { ack(q, r); });
    server.Post("/dev/enqueue", [this](const httplib::Request& q, httplib::Response& r) { devEnqueue(q, r); });
    server.Post("/dev/fault", [this](const httplib::Request& q, httplib::Response& r) { devFault(q, r); });
    server.Get("/dev/state", [this](const httplib::Request&, httplib::Response& r) { reply(r, 200, state()); });
    server.Get("/dev/stats", [this](const httplib::Request&, httplib::Response& r) { reply(r, 200, stats()); });
    server.Post("/dev/reset", [this](const httplib::Request&, httplib::Response& r) {
        reset();
        reply(r, 200, json{{"ok", true}});
    });
}

// Called by the device endpoints once the body has been read; the
// development endpoints would drown the log.
void Relay::record(const httplib::Request& request) {
    std::lock_guard lock(mutex_);
    json headers = json::object();
    for (const auto& [name, value] : request.headers) {
        if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT")
            continue; // added by the server, not sent by the client
        headers[name] = value;
    }
    json entry{{"method", request.method}, {"path", request.path}, {"headers", headers}, {"client", clientOf(request)}};
    if (request.body.size() > maxLoggedBody) {
        entry["body"] = request.body.substr(0, maxLoggedBody);
        entry["bodyTruncated"] = true;
    } else {
        entry["body"] = request.body;
    }
    entry["bodyBytes"] = request.body.size();
    log_.push_back(std::move(entry));
    ++requestCount_;
    while (log_.size() > maxLoggedRequests)
        log_.pop_front();
}

std::optional<Relay::Fault> Relay::takeFault(const std::string& path) {
    std::lock_guard lock(mutex_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (!it->path.empty() && it->path != path)
            continue;
        Fault fault = *it;
        if (--it->remaining <= 0)
            faults_.erase(it);
        return fault;
    }
    return std::nullopt;
}

std::optional<std::string> Relay::authorised(const httplib::Request& request) const {
    const std::string header = request.get_header_value("Authorization");
    const std::string prefix = "Bearer ";
    if (header.rfind(prefix, 0) != 0)
        return std::nullopt;
    std::string token = header.substr(prefix.size());
    if (std::find(tokens_.begin(), tokens_.end(), token) == tokens_.end())
        return std::nullopt;
    return token;
}

bool Relay::answerFault(const Fault& fault, const std::string& realBody, httplib::Response& response) {
    if (fault.delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(fault.delayMs));
    if (fault.status) {
        fail(response, *fault.status, "injected fault");
        return true;
    }
    if (fault.body == "malformed") {
        response.status = 200;
        response.set_content(R"({"items":[{"id":"broken","title":)", jsonType);
        return true;
    }
    if (fault.body == "truncated") {
        response.status = 200;
        response.set_content(realBody.substr(0, realBody.size() / 2), jsonType);
        return true;
    }
    return false;
}

void Relay::pending(const httplib::Request& request, httplib::Response& response) {
    record(request);
    auto fault = takeFault(pendingPath);
    auto token = authorised(request);
    std::string body;
    if (token) {
        std::lock_guard lock(mutex_);
        body = json{{"items", queues_[*token].items}}.dump(-1, ' ', false, json::error_handler_t::replace);
    }
    if (fault && answerFault(*fault, body, response))
        return;
    if (!token)
        return fail(response, 401, "unknown token");
    response.status = 200;
    response.set_content(body, jsonType);
}

void Relay::ack(const httplib::Request& request, httplib::Response& response) {
    record(request);
    auto fault = takeFault(ackPath);
    const std::string okBody = R"({"ok":true})";
    if (fault && answerFault(*fault, okBody, response))
        return;
    auto token = authorised(request);
    if (!token)
        return fail(response, 401, "unknown token");
    auto body = parsed(request.body);
    if (!body || !body->is_object() || !body->contains("ids") || !(*body)["ids"].is_array() || !body->contains("lists") ||
        !(*body)["lists"].is_array())
        return fail(response, 400, "expected {\"ids\":[…],\"lists\":[…]}");
    const json& ids = (*body)["ids"];
    const std::set<json> acknowledged(ids.begin(), ids.end());
    std::size_t removed = 0;
    {
        std::lock_guard lock(mutex_);
        Queue& queue = queues_[*token];
        removed = std::erase_if(queue.items, [&acknowledged](const json& item) {
            return item.is_object() && item.contains("id") && acknowledged.count(item["id"]) > 0;
        });
        queue.lastLists = (*body)["lists"];
        queue.acks.push_back(json{{"ids", ids}, {"lists", (*body)["lists"]}});
    }
    reply(response, 200, json{{"ok", true}, {"removed", removed}});
}

std::optional<json> Relay::enqueue(const std::string& token, const json& items) {
    std::lock_guard lock(mutex_);
    auto queue = queues_.find(token);
    if (queue == queues_.end())
        return std::nullopt;
    json ids = json::array();
    auto add = [&](json item) {
        if (item.is_object() && !item.contains("id"))
            item["id"] = "item-" + std::to_string(nextId_++);
        ids.push_back(item.is_object() ? item["id"] : json(nullptr));
        queue->second.items.push_back(std::move(item));
    };
    if (items.is_array()) {
        for (const auto& item : items)
            add(item);
    } else {
        add(items);
    }
    return ids;
}

void Relay::devEnqueue(const httplib::Request& request, httplib::Response& response) {
    auto body = parsed(request.body);
    if (!body)
        return fail(response, 400, "the body is not JSON");
    const std::string token = request.has_param("token") ? request.get_param_value("token") : tokens_.front();
    auto ids = enqueue(token, *body);
    if (!ids)
        return fail(response, 404, "unknown token");
    reply(response, 200, json{{"enqueued", ids->size()}, {"ids", *ids}});
}

void Relay::devFault(const httplib::Request& request, httplib::Response& response) {
    auto body = parsed(request.body);
    if (!body || !body->is_object())
        return fail(response, 400, "expected a JSON object");
    Fault fault;
    try {
        if (body->value("unauthorized", false))
            fault.status = 401;
        if (body->contains("status"))
            fault.status = (*body)["status"].get<int>();
        fault.delayMs = body->value("delayMs", 0);
        fault.body = body->value("body", std::string());
        fault.path = body->value("path", std::string());
        fault.remaining = body->value("count", 1);
    } catch (const json::exception&) {
        return fail(response, 400, "a member has the wrong type");
    }
    if (!fault.body.empty() && fault.body != "malformed" && fault.body != "truncated")
        return fail(response, 400, "body must be \"malformed\" or \"truncated\"");
    if (!fault.path.empty() && fault.path != pendingPath && fault.path != ackPath)
        return fail(response, 400, "path must be a device endpoint");
    if (fault.remaining < 1 || fault.delayMs < 0 || (fault.status && (*fault.status < 100 || *fault.status > 599)))
        return fail(response, 400, "count, delayMs or status out of range");
    {
        std::lock_guard lock(mutex_);
        faults_.push_back(fault);
    }
    reply(response, 200, json{{"ok", true}});
}

json Relay::state() const {
    std::lock_guard lock(mutex_);
    json tokens = json::array();
    for (const auto& token : tokens_) {
        const Queue& queue = queues_.at(token);
        tokens.push_back(json{{"token", token},
                              {"pending", queue.items},
                              {"lastLists", queue.lastLists ? *queue.lastLists : json(nullptr)},
                              {"acks", queue.acks}});
    }
    json faults = json::array();
    for (const auto& fault : faults_) {
        faults.push_back(json{{"status", fault.status ? json(*fault.status) : json(nullptr)},
                              {"delayMs", fault.delayMs},
                              {"body", fault.body},
                              {"path", fault.path},
                              {"count", fault.remaining}});
    }
    return json{{"tokens", tokens},
                {"requests", log_},
                {"requestCount", requestCount_},
                {"connections", connections_.size()},
                {"relayConnections", relayConnections_.size()},
                {"faults", faults}};
}

json Relay::stats() const {
    std::lock_guard lock(mutex_);
    json pending = json::array();
    for (const auto& token : tokens_)
        pending.push_back(queues_.at(token).items.size());
    return json{{"pending", pending},
                {"requestCount", requestCount_},
                {"connections", connections_.size()},
                {"relayConnections", relayConnections_.size()}};
}

void Relay::reset() {
    std::lock_guard lock(mutex_);
    for (auto& [token, queue] : queues_)
        queue = Queue{};
    log_.clear();
    requestCount_ = 0;
    connections_.clear();
    relayConnections_.clear();
    faults_.clear();
}

std::string generateToken() {
    static constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device device;
    std::uniform_int_distribution<std::size_t> pick(0, sizeof alphabet - 2);
    std::string token = "rk_";
    for (int i = 0; i < 24; ++i)
        token.push_back(alphabet[pick(device)]);
    return token;
}

} // namespace devrelay
