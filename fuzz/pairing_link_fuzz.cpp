// Arbitrary text handed to the agent as a link: split as a URL, then checked
// as a pairing link. Only PairingError may come out, and what passes must be a
// pairing the rest of the agent can use and store.

#include "Check.h"
#include "TavrelinMac/Pairing.h"
#include "TavrelinMac/Url.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

using namespace tavrelin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::optional<Url> link = Url::parse(text);
    if (!link)
        return 0;
    (void)link->queryItems();

    Pairing pairing;
    try {
        pairing = PairingParser::parse(*link, platform::Date{1000});
    } catch (const PairingError&) {
        return 0;
    }
    FUZZ_CHECK(pairing.token.size() >= 12 && pairing.token.compare(0, 3, "rk_") == 0);
    FUZZ_CHECK(!pairing.apiBase.empty());
    FUZZ_CHECK(pairing.pairedAt.sinceReferenceDate == 1000);

    // The backend it names has a host, and the request paths still make URLs.
    const std::string host = hostOfPairing(pairing.apiBase);
    FUZZ_CHECK(!host.empty());
    const std::optional<Url> pending = Url::parse(pairing.apiBase + "/relay/device/pending");
    FUZZ_CHECK(pending && pending->scheme && pending->host);

    // What is saved is read back the same.
    const std::optional<Pairing> stored = FilePairingStore::decode(FilePairingStore::encode(pairing));
    FUZZ_CHECK(stored && *stored == pairing);
    return 0;
}
