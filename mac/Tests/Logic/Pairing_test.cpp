#include "Support/FakePlatform.h"
#include "TavrelinMac/Pairing.h"

#include <gtest/gtest.h>

using namespace tavrelin;
using Kind = PairingError::Kind;

namespace {

const platform::Date parsedAt{789000000.25};
const std::string goodToken = "rk_123456789";
const std::string goodApi = "https://relay.example";
// Woman technologist: three code points, one user-perceived character.
const std::string emoji = "%F0%9F%91%A9%E2%80%8D%F0%9F%92%BB";

Pairing parse(const std::string& link) {
    auto url = Url::parse(link);
    if (!url)
        throw std::invalid_argument("test link does not parse: " + link);
    return PairingParser::parse(*url, parsedAt);
}

struct Refusal {
    std::string link;
    Kind kind;
    std::string description;
};

const std::string notPair = "That link was not a Tavrelin pairing link.";
const std::string noToken = "The pairing link had no token.";
const std::string noApi = "The pairing link had no backend address.";
const std::string badToken = "That does not look like a Tavrelin relay token.";
const std::string badApi = "The backend address is not usable: ";

} // namespace

TEST(PairingParser, RefusesAtTheFirstFailedCheckInOrder) {
    const std::string api = "&api=" + goodApi;
    const std::vector<Refusal> refusals{
        // Scheme and host.
        {"https://pair?token=" + goodToken + api, Kind::notPairURL, notPair},
        {"tavrelin://pairing?token=" + goodToken + api, Kind::notPairURL, notPair},
        {"tavrelin://?token=" + goodToken + api, Kind::notPairURL, notPair},
        // Token presence comes first, then the address, then the token rule.
        {"tavrelin://pair", Kind::missingToken, noToken},
        {"tavrelin://pair?token=%20%20%09%C2%A0" + api, Kind::missingToken, noToken},
        {"tavrelin://pair?token=&token=" + goodToken + api, Kind::missingToken, noToken},
        {"tavrelin://pair?Token=" + goodToken + api, Kind::missingToken, noToken},
        {"tavrelin://pair?token=%FF" + goodToken + api, Kind::missingToken, noToken}, // not UTF-8
        {"tavrelin://pair?token=abc", Kind::missingApi, noApi},
        {"tavrelin://pair?token=abc&api=%20", Kind::missingApi, noApi},
        {"tavrelin://pair?token=abc&api&api=" + goodApi, Kind::missingApi, noApi},
        {"tavrelin://pair?token=abc&api=ftp://x", Kind::badToken, badToken},
        // The address rules, after the token passed.
        {"tavrelin://pair?token=" + goodToken + "&api=relay.example", Kind::badApi, badApi + "could not be read as a URL"},
        {"tavrelin://pair?token=" + goodToken + "&api=https://relay%20example", Kind::badApi,
         badApi + "could not be read as a URL"},
        {"tavrelin://pair?token=" + goodToken + "&api=https://relay.example%0A", Kind::badApi,
         badApi + "could not be read as a URL"},
        {"tavrelin://pair?token=" + goodToken + "&api=http://192.168.1.5", Kind::badApi,
         badApi + "http is only allowed for localhost"},
        {"tavrelin://pair?token=" + goodToken + "&api=http://LOCALHOST:8080", Kind::badApi,
         badApi + "http is only allowed for localhost"},
        {"tavrelin://pair?token=" + goodToken + "&api=FTP://localhost", Kind::badApi, badApi + "unsupported scheme ftp"},
    };
    for (const Refusal& refusal : refusals) {
        try {
            Pairing accepted = parse(refusal.link);
            ADD_FAILURE() << refusal.link << " was accepted with token " << accepted.token;
        } catch (const PairingError& error) {
            EXPECT_EQ(error.kind(), refusal.kind) << refusal.link;
            EXPECT_EQ(std::string(error.what()), refusal.description) << refusal.link;
        }
    }
}

TEST(PairingParser, TokenRuleCountsUserPerceivedCharactersAndRefusesControls) {
    const std::vector<std::pair<std::string, bool>> tokens{
        {"rk_12345678", false},                                          // 11
        {"rk_123456789", true},                                          // 12
        {"RK_123456789", false},                                         // prefix is case-sensitive
        {"xk_123456789", false},          {"rk_1234567" + emoji, false}, // 11 characters, many bytes
        {"rk_12345678" + emoji, true},                                   // 12
        {"rk_123456789%0A", false},                                      // a line break is not trimmed
        {"rk_1234%0956789", false},                                      // tab inside
        {"rk_1234%7F56789", false},                                      // DEL
        {"rk_1234%C2%8556789", false},                                   // NEL, a C1 control
        {"rk_1234%E2%80%A856789", false},                                // line separator
        {"rk_1234%C2%A056789", true},                                    // a no-break space inside stays
        {"rk_a%2Bb+c%2Fd%3De", true},                                    // decoded: rk_a+b+c/d=e
    };
    for (const auto& [token, accepted] : tokens) {
        const std::string link = "tavrelin://pair?token=" + token + "&api=" + goodApi;
        if (accepted) {
            EXPECT_NO_THROW(parse(link)) << token;
        } else {
            try {
                parse(link);
                ADD_FAILURE() << token << " was accepted";
            } catch (const PairingError& error) {
                EXPECT_EQ(error.kind(), Kind::badToken) << token;
            }
        }
    }
    EXPECT_EQ(parse("tavrelin://pair?token=rk_a%2Bb+c%2Fd%3De&api=" + goodApi).token, "rk_a+b+c/d=e");
}

TEST(PairingParser, AcceptedLinksKeepTheTypedAddressLessOneSlash) {
    const std::vector<std::pair<std::string, std::string>> accepted{
        {"tavrelin://pair?token=" + goodToken + "&api=https://relay.example/", "https://relay.example"},
        {"TAVRELIN://PAIR?token=" + goodToken + "&api=HTTPS://Relay.Example", "HTTPS://Relay.Example"},
        {"tavrelin://pair/ignored/path?api=https://relay.example/base//&token=" + goodToken, "https://relay.example/base/"},
        {"tavrelin://pair?token=" + goodToken + "&api=https%3A%2F%2Frelay.example", "https://relay.example"},
        {"tavrelin://pair?token=" + goodToken + "&api=%09%20http://localhost:8080%E3%80%80", "http://localhost:8080"},
        {"tavrelin://pair?token=" + goodToken + "&api=HTTP://127.0.0.1:3000/", "HTTP://127.0.0.1:3000"},
        {"tavrelin://pair?x=1&token=" + goodToken + "&token=ignored&api=https://relay.example&api=ftp://x",
         "https://relay.example"},
    };
    for (const auto& [link, apiBase] : accepted) {
        try {
            Pairing pairing = parse(link);
            EXPECT_EQ(pairing.apiBase, apiBase) << link;
            EXPECT_EQ(pairing.token, goodToken) << link;
            EXPECT_EQ(pairing.pairedAt, parsedAt) << link;
        } catch (const PairingError& error) {
            ADD_FAILURE() << link << " refused: " << error.what();
        }
    }
    EXPECT_EQ(parse("tavrelin://pair?token=%20" + goodToken + "%C2%A0&api=" + goodApi).token, goodToken);
}

TEST(PairingFileFormat, EncodesCompactlyWithEscapedSlashesAndRoundTrips) {
    Pairing pairing{"https://relay.example/base", "rk_abc/def\"\\\u00e9", platform::Date{786543210.5}};
    EXPECT_EQ(FilePairingStore::encode(pairing), R"({"apiBase":"https:\/\/relay.example\/base","token":"rk_abc\/def\"\\)"
                                                 "\u00e9"
                                                 R"(","pairedAt":786543210.5})");
    EXPECT_EQ(FilePairingStore::decode(FilePairingStore::encode(pairing)), pairing);

    // Times that print with many digits come back bit for bit.
    for (double seconds : {0.1 + 0.2, 786543210.123456789, -31.000000000000004, 1e-300, 0.0, 86400.0 * 365 * 30}) {
        pairing.pairedAt = platform::Date{seconds};
        auto decoded = FilePairingStore::decode(FilePairingStore::encode(pairing));
        ASSERT_TRUE(decoded) << seconds;
        EXPECT_EQ(decoded->pairedAt.sinceReferenceDate, seconds);
    }
}

TEST(PairingFileFormat, DecodesOnlyCompleteDocuments) {
    const Pairing expected{"https://relay.example", "rk_123456789", platform::Date{12.5}};
    const std::vector<std::pair<std::string, bool>> documents{
        {R"({"apiBase":"https:\/\/relay.example","token":"rk_123456789","pairedAt":12.5})", true},
        {R"( {"pairedAt":12.5, "token":"rk_123456789", "apiBase":"https://relay.example", "extra":[1,{}]} )", true},
        {"[]", false},
        {"{}", false},
        {"null", false},
        {R"({"token":"rk_123456789","pairedAt":12.5})", false},
        {R"({"apiBase":"https://relay.example","token":"rk_123456789"})", false},
        {R"({"apiBase":1,"token":"rk_123456789","pairedAt":12.5})", false},
        {R"({"apiBase":"https://relay.example","token":null,"pairedAt":12.5})", false},
        {R"({"apiBase":"https://relay.example","token":"rk_123456789","pairedAt":true})", false},
        {R"({"apiBase":"https://relay.example","token":"rk_123456789","pairedAt":12.5} x)", false},
        {R"({"apiBase":"https://relay.example","token":"rk_123456789","pairedAt":12.5)", false},
        {"{\"apiBase\":\"https://relay.example\",\"token\":\"rk_\xff\",\"pairedAt\":12.5}", false},
    };
    for (const auto& [document, usable] : documents) {
        auto decoded = FilePairingStore::decode(document);
        if (usable)
            EXPECT_EQ(decoded, expected) << document;
        else
            EXPECT_EQ(decoded, std::nullopt) << document;
    }
    auto whole = FilePairingStore::decode(R"({"apiBase":"a","token":"b","pairedAt":700000000})");
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->pairedAt.sinceReferenceDate, 700000000.0);
}

TEST(FilePairingStore, SavesIntoItsFolderOwnerOnlyAndStopsAtTheFirstFailure) {
    struct {
        fake::FakeFiles files;
    } p;
    FilePairingStore store(p.files);
    const std::string folder = p.files.applicationSupportDirectory() + "/Tavrelin";
    EXPECT_EQ(store.location(), folder + "/pairing.json");

    const Pairing pairing{"https://relay.example", "rk_123456789", platform::Date{5}};
    store.save(pairing);
    EXPECT_EQ(p.files.operations, (std::vector<std::string>{"mkdir " + folder, "write " + store.location()}));
    EXPECT_EQ(p.files.modes[store.location()], 0600u);
    EXPECT_EQ(store.load(), pairing);

    p.files.failing.insert(folder);
    p.files.operations.clear();
    EXPECT_THROW(store.save(Pairing{"https://other.example", "rk_123456789", platform::Date{6}}), platform::FileError);
    EXPECT_TRUE(p.files.operations.empty());
    EXPECT_EQ(store.load(), pairing);

    p.files.failing.clear();
    store.clear();
    store.clear();
    EXPECT_EQ(p.files.operations, std::vector<std::string>{"remove " + store.location()});
    EXPECT_EQ(store.load(), std::nullopt);
}
