// Arbitrary bytes as the update feed. Only FeedError may come out; a feed that
// decodes survives being written as JSON and decoded again unchanged.

#include "Check.h"
#include "TavrelinMac/Updater.h"

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
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Updater::Feed feed;
    try {
        feed = Updater::Feed::decode(text);
    } catch (const FeedError&) {
        return 0;
    }
    const nlohmann::json again = {{"version", feed.version},
                                  {"build", feed.build},
                                  {"url", feed.url},
                                  {"sha256", feed.sha256},
                                  {"minimumOS", optional(feed.minimumOS)},
                                  {"notes", optional(feed.notes)}};
    FUZZ_CHECK(Updater::Feed::decode(again.dump()) == feed);
    return 0;
}
