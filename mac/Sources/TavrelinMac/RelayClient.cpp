#include "TavrelinMac/RelayClient.h"

#include "TavrelinMac/Url.h"

#include <nlohmann/json.hpp>

namespace tavrelin {
namespace {

using nlohmann::json;

constexpr const char* pendingPath = "/relay/device/pending";
constexpr const char* ackPath = "/relay/device/ack";

// Deeper replies are refused before they are built: the backend is not
// trusted to keep the parser's memory in check.
constexpr int maxJsonDepth = 64;

// Nesting depth of JSON text, counted outside strings. A scan this simple is
// several times cheaper than a parser callback on every value.
bool nestedDeeperThan(std::string_view text, int limit) {
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit)
                return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

std::string sizeText(std::size_t bytes) {
    constexpr std::size_t mib = 1024 * 1024;
    if (bytes >= mib && bytes % mib == 0)
        return std::to_string(bytes / mib) + " MiB";
    if (bytes >= 1024 && bytes % 1024 == 0)
        return std::to_string(bytes / 1024) + " KiB";
    return std::to_string(bytes) + " bytes";
}

// Every message built from the platform or the reply passes through here, so
// the token cannot reach an error text even if a server echoes it.
std::string redacted(std::string text, const std::string& token) {
    if (token.empty())
        return text;
    for (std::size_t at = text.find(token); at != std::string::npos; at = text.find(token, at))
        text.replace(at, token.size(), "rk_…");
    return text;
}

std::string quoted(const char* key) {
    return std::string("\"") + key + "\"";
}

class ItemReader {
public:
    ItemReader(const json& object, std::size_t index) : object_(object), where_("item " + std::to_string(index) + ": ") {}

    std::string requiredString(const char* key) const {
        const json& value = required(key);
        if (!value.is_string())
            throw RelayError::malformed(where_ + quoted(key) + " is not a string");
        return value.get<std::string>();
    }
    bool requiredBool(const char* key) const {
        const json& value = required(key);
        if (!value.is_boolean())
            throw RelayError::malformed(where_ + quoted(key) + " is not a boolean");
        return value.get<bool>();
    }
    // Absent and null both mean none.
    std::optional<std::string> optionalString(const char* key) const {
        auto it = object_.find(key);
        if (it == object_.end() || it->is_null())
            return std::nullopt;
        if (!it->is_string())
            throw RelayError::malformed(where_ + quoted(key) + " is not a string");
        return it->get<std::string>();
    }

private:
    const json& required(const char* key) const {
        auto it = object_.find(key);
        if (it == object_.end())
            throw RelayError::malformed(where_ + quoted(key) + " is missing");
        return *it;
    }
    const json& object_;
    std::string where_;
};

} // namespace

RelayError RelayError::http(long status) {
    return RelayError(Kind::http, "Backend returned HTTP " + std::to_string(status) + ".", status, {});
}

RelayError RelayError::transport(std::string message) {
    return RelayError(Kind::transport, "Could not reach the backend: " + message, 0, message);
}

RelayError RelayError::malformed(std::string message) {
    return RelayError(Kind::malformed, "Could not read the backend's reply: " + message, 0, message);
}

RelayError RelayError::unauthorized() {
    return RelayError(Kind::unauthorized, "The backend rejected this pairing. Re-pair from the extension.", 0, {});
}

RelayClient::RelayClient(Pairing pairing, platform::Http& http, const AppInfo& appInfo,
                         const platform::HttpSessionConfig& config)
    : pairing_(std::move(pairing)), appInfo_(appInfo), maxBodyBytes_(config.maxBodyBytes), session_(http.makeSession(config)) {}

std::optional<platform::HttpRequest> RelayClient::request(std::string_view path, std::string_view method) const {
    std::string address = pairing_.apiBase;
    address.append(path);
    // Besides being a URL reference, the address needs a scheme and a host
    // for the HTTP layer to know where to go.
    auto url = Url::parse(address);
    if (!url || !url->scheme || url->scheme->empty() || !url->host || url->host->empty())
        return std::nullopt;
    platform::HttpRequest request;
    request.method = std::string(method);
    request.url = std::move(address);
    request.headers = {
        {"Authorization", "Bearer " + pairing_.token},
        {"Accept", "application/json"},
        {"User-Agent", "TavrelinMac/" + appInfo_.version()},
    };
    return request;
}

platform::HttpResponse RelayClient::exchange(const platform::HttpRequest& request) const {
    platform::HttpResponse response;
    try {
        response = session_->perform(request);
    } catch (const platform::HttpTransportError& error) {
        throw RelayError::transport(redacted(error.what(), pairing_.token));
    }
    // The seam only produces HTTP replies, so every status is judged; a
    // failed reply's body is left unread.
    if (response.status >= 200 && response.status <= 299)
        return response;
    if (response.status == 401 || response.status == 403)
        throw RelayError::unauthorized();
    throw RelayError::http(response.status);
}

std::vector<RelayItem> RelayClient::fetchPending() const {
    auto built = request(pendingPath, "GET");
    if (!built)
        throw RelayError::malformed("bad pairing URL");
    platform::HttpResponse response = exchange(*built);
    if (response.bodyTooLarge)
        throw RelayError::malformed("the reply is larger than " + sizeText(maxBodyBytes_));
    try {
        return decodePending(response.body);
    } catch (const RelayError& error) {
        throw RelayError::malformed(redacted(error.message(), pairing_.token));
    }
}

void RelayClient::ack(const std::vector<std::string>& ids, const std::vector<std::string>& lists) const {
    auto built = request(ackPath, "POST");
    if (!built)
        throw RelayError::malformed("bad pairing URL");
    built->headers.emplace_back("Content-Type", "application/json");
    built->body = encodeAck(ids, lists);
    exchange(*built); // the reply body is not used
}

std::vector<RelayItem> RelayClient::decodePending(std::string_view body) {
    if (body.empty())
        throw RelayError::malformed("the reply is empty");
    if (nestedDeeperThan(body, maxJsonDepth))
        throw RelayError::malformed("the reply is nested more than " + std::to_string(maxJsonDepth) + " levels deep");
    json root;
    try {
        root = json::parse(body.begin(), body.end());
    } catch (const json::parse_error& error) {
        // Only the position: the message would quote the reply.
        throw RelayError::malformed("the reply is not valid JSON (error at byte " + std::to_string(error.byte) + ")");
    } catch (const json::out_of_range&) {
        throw RelayError::malformed("the reply holds a number too large to read");
    } catch (const json::exception&) {
        // Every decoder failure is a malformed reply, whatever the library calls it.
        throw RelayError::malformed("the reply is not valid JSON");
    }
    if (!root.is_object())
        throw RelayError::malformed("the reply is not a JSON object");
    auto items = root.find("items");
    if (items == root.end())
        throw RelayError::malformed("\"items\" is missing");
    if (!items->is_array())
        throw RelayError::malformed("\"items\" is not an array");

    std::vector<RelayItem> result;
    result.reserve(items->size());
    for (std::size_t index = 0; index < items->size(); ++index) {
        const json& object = (*items)[index];
        if (!object.is_object())
            throw RelayError::malformed("item " + std::to_string(index) + " is not an object");
        ItemReader reader(object, index);
        RelayItem item;
        item.id = reader.requiredString("id");
        item.title = reader.requiredString("title");
        item.notes = reader.optionalString("notes");
        item.dueIso = reader.optionalString("dueIso");
        item.allDay = reader.requiredBool("allDay");
        item.list = reader.optionalString("list");
        result.push_back(std::move(item));
    }
    return result;
}

std::string RelayClient::encodeAck(const std::vector<std::string>& ids, const std::vector<std::string>& lists) {
    json body = json::object();
    body["ids"] = ids;
    body["lists"] = lists;
    // A list name read from disk may not be valid UTF-8; send it repaired
    // rather than failing the acknowledgement.
    return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace tavrelin
