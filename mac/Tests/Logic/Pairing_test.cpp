#include "Support/FakePlatform.h"
#include "TavrelinMac/Pairing.h"
#include "TavrelinMac/Url.h"

using namespace tavrelin;

namespace {

const std::string good = "rk_123456789";

std::string pairUrl(const std::string& token, const std::string& api = "https://relay.example") {
    return "tavrelin://pair?token=" + token + "&api=" + api;
}

// The accepted address, or the refusal's text.
std::string parsed(const std::string& text) {
    try {
        Pairing pairing = PairingParser::parse(*Url::parse(text), platform::Date{5});
        return pairing.token == good ? pairing.apiBase : pairing.token + " @ " + pairing.apiBase;
    } catch (const PairingError& error) {
        return error.what();
    }
}

} // namespace

TEST(PairingParser, ChecksInOrderAndKeepsTheTypedAddressLessOneSlash) {
    const std::string notPair = "That link was not a Tavrelin pairing link.", noToken = "The pairing link had no token.",
                      noApi = "The pairing link had no backend address.",
                      badToken = "That does not look like a Tavrelin relay token.",
                      unreadable = "The backend address is not usable: could not be read as a URL",
                      notLocal = "The backend address is not usable: http is only allowed for localhost";
    const std::pair<std::string, std::string> cases[] = {
        {"tavrelin://pairing?token=" + good, notPair},
        {"https://pair?token=" + good + "&api=https://relay.example", notPair},
        {"tavrelin://pair?token=&token=" + good, noToken}, // the first of a name decides
        {pairUrl("%FF" + good), noToken},                  // not UTF-8
        {"tavrelin://pair?token=abc", noApi},
        {"tavrelin://pair?token=abc&api=", noApi},
        {pairUrl("abc", "ftp://x"), badToken}, // the token rule comes after the address is present
        {pairUrl(good, "relay.example"), unreadable},
        {pairUrl(good, "http://LOCALHOST:8080"), notLocal},
        {pairUrl(good, "FTP://localhost"), "The backend address is not usable: unsupported scheme ftp"},
        {"TAVRELIN://PAIR?api=HTTPS://Relay.Example/base//&token=" + good, "HTTPS://Relay.Example/base/"},
        {pairUrl("%20" + good + "%C2%A0", "%09http://localhost:8080%E3%80%80"), "http://localhost:8080"},
        {pairUrl(good + "&token=x", "https://relay.example&api=ftp://x"), "https://relay.example"},
        // Tokens: "rk_" and at least 12 user-perceived characters, no controls.
        {pairUrl("rk_12345678"), badToken},
        {pairUrl("RK_123456789"), badToken},
        {pairUrl("rk_1234567%F0%9F%91%A9%E2%80%8D%F0%9F%92%BB"), badToken}, // 11 characters, many bytes
        {pairUrl(good + "%0A"), badToken},                                  // a line break is not trimmed
        {pairUrl("rk_1234%C2%8556789"), badToken},
        {pairUrl("rk_1234%E2%80%A856789"), badToken}, // the line and paragraph separators
        {pairUrl("rk_1234%E2%80%A956789"), badToken},
        {pairUrl("rk_a%2Bb+c%2Fd%3De"), "rk_a+b+c/d=e @ https://relay.example"},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(parsed(text), expected) << text;
}

TEST(PairingFile, KeepsOwnerOnlyCompactJsonAndReadsBackOnlyCompleteDocuments) {
    fake::FakeFiles files;
    FilePairingStore store(files);
    Pairing pairing{"https://relay.example/base", "rk_abc/def\"\\\u00e9", platform::Date{786543210.5}};
    store.save(pairing);
    EXPECT_EQ(files.files[store.location()], R"({"apiBase":"https:\/\/relay.example\/base","token":"rk_abc\/def\"\\)"
                                             "\u00e9"
                                             R"(","pairedAt":786543210.5})");
    EXPECT_EQ(files.permissions(store.location()), 0600u);
    EXPECT_EQ(store.load(), pairing);

    const std::string whole = R"("apiBase":"https://relay.example","token":"rk_123456789","pairedAt":12.5)";
    EXPECT_EQ(FilePairingStore::decode(R"( {"extra":[1,{}],)" + whole + "} "),
              (Pairing{"https://relay.example", "rk_123456789", platform::Date{12.5}}));
    for (const std::string& document :
         {std::string("[]"), "{" + whole + "} x", std::string(R"({"apiBase":"https://relay.example","token":"rk_123456789"})"),
          std::string(R"({"apiBase":"https://relay.example","token":"rk_123456789","pairedAt":true})"),
          std::string(R"({"apiBase":"https://relay.example","token":123456789,"pairedAt":12.5})"),
          std::string(R"({"apiBase":["https://relay.example"],"token":"rk_123456789","pairedAt":12.5})"),
          std::string("{\"apiBase\":\"https://relay.example\",\"token\":\"rk_\xff\",\"pairedAt\":12.5}")})
        EXPECT_EQ(FilePairingStore::decode(document), std::nullopt) << document;

    // What clearing forgets is in AppDelegate_test's unpairing.
    store.clear();
    EXPECT_NO_THROW(store.clear()); // nothing left to remove
}
