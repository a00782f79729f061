// Arbitrary bytes as the backend's reply to a fetch of pending items. Only
// RelayError may come out; what decodes must survive being written as JSON
// and decoded again unchanged.

#include "Check.h"
#include "TavrelinMac/RelayClient.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string_view>

using namespace tavrelin;

namespace {

nlohmann::json optional(const std::optional<std::string>& value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    std::vector<RelayItem> items;
    try {
        items = RelayClient::decodePending(body);
    } catch (const RelayError& error) {
        FUZZ_CHECK(error.kind() == RelayError::Kind::malformed);
        return 0;
    }

    nlohmann::json reply = {{"items", nlohmann::json::array()}};
    for (const RelayItem& item : items)
        reply["items"].push_back({{"id", item.id},
                                  {"title", item.title},
                                  {"notes", optional(item.notes)},
                                  {"dueIso", optional(item.dueIso)},
                                  {"allDay", item.allDay},
                                  {"list", optional(item.list)}});
    // The decoder took the strings as the parser gave them: valid UTF-8.
    const std::string again = reply.dump();
    FUZZ_CHECK(RelayClient::decodePending(again) == items);

    // Acknowledging them never fails, whatever the ids hold.
    std::vector<std::string> ids;
    for (const RelayItem& item : items)
        ids.push_back(item.id);
    (void)RelayClient::encodeAck(ids, ids);
    return 0;
}
