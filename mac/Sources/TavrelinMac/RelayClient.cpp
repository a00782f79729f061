#include "TavrelinMac/RelayClient.h"

#include "TavrelinMac/Url.h"
#include "TavrelinMac/Words.h"

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

// Every message built from the platform or the reply passes through here, so
// the token cannot reach an error text even if a server echoes it.
std::string redacted(std::string text, const std::string& token) {
    if (token.empty())
        return text;
    for (std::size_t at = text.find(token); at != std::string::npos; at = text.find(token, at))
        text.replace(at, token.size(), "rk_…");
    return text;
}

class ItemReader {
public:
    ItemReader(const json& object, std::size_t index) : object_(object), index_(index) {}

    std::string requiredString(const char* key) const {
        const json& value = required(key);
        if (!value.is_string())
            throw RelayError::malformed(words::relay::notString(member(key)));
        return value.get<std::string>();
    }
    bool requiredBool(const char* key) const {
        const json& value = required(key);
        if (!value.is_boolean())
            throw RelayError::malformed(words::relay::notBoolean(member(key)));
        return value.get<bool>();
    }
    // Absent and null both mean none.
    std::optional<std::string> optionalString(const char* key) const {
        auto it = object_.find(key);
        if (it == object_.end() || it->is_null())
            return std::nullopt;
        if (!it->is_string())
            throw RelayError::malformed(words::relay::notString(member(key)));
        return it->get<std::string>();
    }

private:
    const json& required(const char* key) const {
        auto it = object_.find(key);
        if (it == object_.end())
            throw RelayError::malformed(words::relay::missing(member(key)));
        return *it;
    }
    std::string member(const char* key) const { return words::relay::itemMember(index_, key); }
    const json& object_;
    std::size_t index_;
};

// Throws RelayError for a status other than 2xx.
void judge(long status) {
    if (status >= 200 && status <= 299)
        return;
    if (status == 401 || status == 403)
        throw RelayError::unauthorized();
    throw RelayError::http(status);
}

} // namespace

RelayError RelayError::http(long status) {
    return RelayError(Kind::http, words::relay::http(status), status, {});
}

RelayError RelayError::transport(std::string message) {
    return RelayError(Kind::transport, words::relay::transport(message), 0, message);
}

RelayError RelayError::malformed(std::string message) {
    return RelayError(Kind::malformed, words::relay::malformed(message), 0, message);
}

RelayError RelayError::unauthorized() {
    return RelayError(Kind::unauthorized, words::relay::unauthorized(), 0, {});
}

RelayClient::RelayClient(Pairing pairing, platform::Http& http, const AppInfo& appInfo,
                         const platform::HttpSessionConfig& config)
    : pairing_(std::move(pairing)), appInfo_(appInfo), session_(http.makeSession(config)) {}

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

std::string RelayClient::exchange(const platform::HttpRequest& request, Body body) const {
    // The seam only produces HTTP replies, so every status is judged first;
    // a failed reply's body is left unread, whatever its size.
    try {
        platform::HttpResponse response = session_->perform(request);
        judge(response.status);
        return std::move(response.body);
    } catch (const platform::HttpBodyTooLarge& error) {
        judge(error.status());
        if (body == Body::read)
            throw RelayError::malformed(words::relay::tooLarge(error.limit()));
        return {};
    } catch (const platform::HttpTransportError& error) {
        throw RelayError::transport(redacted(error.what(), pairing_.token));
    }
}

std::vector<RelayItem> RelayClient::fetchPending() const {
    auto built = request(pendingPath, "GET");
    if (!built)
        throw RelayError::malformed(words::relay::badPairingURL());
    const std::string body = exchange(*built, Body::read);
    try {
        return decodePending(body);
    } catch (const RelayError& error) {
        throw RelayError::malformed(redacted(error.message(), pairing_.token));
    }
}

void RelayClient::ack(const std::vector<std::string>& ids, const std::vector<std::string>& lists) const {
    auto built = request(ackPath, "POST");
    if (!built)
        throw RelayError::malformed(words::relay::badPairingURL());
    built->headers.emplace_back("Content-Type", "application/json");
    built->body = encodeAck(ids, lists);
    exchange(*built, Body::ignored);
}

std::vector<RelayItem> RelayClient::decodePending(std::string_view body) {
    if (body.empty())
        throw RelayError::malformed(words::relay::empty());
    if (nestedDeeperThan(body, maxJsonDepth))
        throw RelayError::malformed(words::relay::nestedTooDeep(maxJsonDepth));
    json root;
    try {
        root = json::parse(body.begin(), body.end());
    } catch (const json::parse_error& error) {
        // Only the position: the message would quote the reply.
        throw RelayError::malformed(words::relay::notJsonAt(error.byte));
    } catch (const json::out_of_range&) {
        throw RelayError::malformed(words::relay::numberTooLarge());
    } catch (const json::exception&) {
        // Every decoder failure is a malformed reply, whatever the library calls it.
        throw RelayError::malformed(words::relay::notJson());
    }
    if (!root.is_object())
        throw RelayError::malformed(words::relay::notObject());
    auto items = root.find("items");
    if (items == root.end())
        throw RelayError::malformed(words::relay::missing(words::relay::member("items")));
    if (!items->is_array())
        throw RelayError::malformed(words::relay::notArray(words::relay::member("items")));

    std::vector<RelayItem> result;
    result.reserve(items->size());
    for (std::size_t index = 0; index < items->size(); ++index) {
        const json& object = (*items)[index];
        if (!object.is_object())
            throw RelayError::malformed(words::relay::itemNotObject(index));
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
