// The libsecret keyring adapter against gnome-keyring-daemon on a session bus
// of the test's own: what it stores and finds, a locked keyring, a keyring
// that stops answering, and no bus at all.

#include "Platform/CalDav/CalDavRemindersDatabase.h"
#include "Platform/Curl/CurlHttp.h"
#include "Platform/Linux/Secret/LibsecretSecrets.h"
#include "Support/KeyringSession.h"

#include <gmock/gmock.h>

using namespace tavrelin;
using namespace tavrelin::testing;
using platform::SecretKey;
using platform::SecretsError;
using ::testing::HasSubstr;

namespace {

// The message of the SecretsError `call` throws; empty when it throws none.
template <class Call> std::string failure(Call&& call) {
    try {
        call();
    } catch (const SecretsError& error) {
        return error.what();
    }
    return {};
}

TEST(Keyring, KeepsOneSecretPerServerAndUser) {
    KeyringSession keyring;
    keyring.enter();
    secret::LibsecretSecrets secrets;
    const SecretKey alice{"https://cloud.example.com/", "alice"};
    const SecretKey bob{"https://cloud.example.com/", "bob"};
    const SecretKey elsewhere{"https://dav.example.org/", "alice"};

    EXPECT_EQ(secrets.lookup(alice), std::nullopt);
    secrets.store(alice, "first", "one password");
    secrets.store(bob, "bob's", "bob's password ✓");   // any UTF-8
    secrets.store(alice, "again", "another password"); // replaces
    EXPECT_EQ(secrets.lookup(alice), "another password");
    EXPECT_EQ(secrets.lookup(bob), "bob's password ✓");
    EXPECT_EQ(secrets.lookup(elsewhere), std::nullopt);

    // Another process (a new adapter) finds it too; removing is for good.
    secret::LibsecretSecrets later;
    EXPECT_EQ(later.lookup(alice), "another password");
    EXPECT_TRUE(later.remove(alice));
    EXPECT_FALSE(later.remove(alice));
    EXPECT_EQ(secrets.lookup(alice), std::nullopt);
    EXPECT_EQ(secrets.lookup(bob), "bob's password ✓");
}

TEST(Keyring, ALockedKeyringIsAFailureNotAMissingPassword) {
    KeyringSession keyring;
    keyring.enter();
    secret::LibsecretSecrets secrets({10, 10});
    curl::CurlHttp http;
    // Nothing answers on this port; the keyring decides before any request.
    caldav::CalDavRemindersDatabase database("http://127.0.0.1:9/", "alice", http, secrets);
    secrets.store({database.server(), "alice"}, "test", "a password");
    keyring.lock();

    EXPECT_THAT(failure([&] { secrets.lookup({database.server(), "alice"}); }), HasSubstr("locked"));
    // The poll cannot tell whether there is a password: not determined, and
    // the access request (which may ask to unlock; nobody can here) says why.
    EXPECT_EQ(database.authorizationStatus(), platform::RemindersAuthorization::notDetermined);
    EXPECT_THAT([&] { database.requestFullAccess(); },
                ::testing::ThrowsMessage<platform::RemindersError>(HasSubstr("keyring")));
}

TEST(Keyring, AKeyringThatStopsAnsweringFailsWithinTheLimitAndIsUsedAgainLater) {
    KeyringSession keyring;
    keyring.enter();
    secret::LibsecretSecrets secrets({1, 1});
    const SecretKey key{"https://cloud.example.com/", "alice"};
    secrets.store(key, "test", "a password");

    keyring.signalDaemon(SIGSTOP);
    EXPECT_EQ(failure([&] { secrets.lookup(key); }), "the keyring did not answer within 1 s");
    EXPECT_EQ(failure([&] { secrets.store(key, "test", "another"); }), "the keyring did not answer within 1 s");
    keyring.signalDaemon(SIGCONT);
    std::optional<std::string> found;
    EXPECT_TRUE(eventually([&] {
        try {
            found = secrets.lookup(key);
            return true;
        } catch (const SecretsError&) {
            return false; // the calls given up on may still be ahead of this one
        }
    }));
    EXPECT_TRUE(found == "a password" || found == "another") << found.value_or("none");
}

TEST(Keyring, WithoutASessionBusItSaysSo) {
    SavedEnvironment noBus("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
    TempFolder runtime;
    SavedEnvironment noRuntimeBus("XDG_RUNTIME_DIR", runtime.path());
    secret::LibsecretSecrets secrets;
    EXPECT_EQ(failure([&] {
                  secrets.lookup({"https://cloud.example.com/", "alice"});
              }),
              "there is no session bus to reach the keyring on");
}

} // namespace
