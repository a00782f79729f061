#pragma once

#include "Platform/RemindersDatabase.h"

#include <optional>
#include <string>
#include <vector>

namespace tavrelin::platform {

// An account on a server, for a place reached with one (RemindersPlace::signsIn).
struct RemindersAccount {
    std::string server; // the address as typed, or as the place answered it
    std::string user;
    bool operator==(const RemindersAccount&) const = default;
};

// What a server said to a password.
struct SignInAnswer {
    enum class Kind { signedIn, rejected, failed };
    Kind kind = Kind::failed;
    // failed: why, in words for the person (the server's, where it gave some).
    std::string message;
};

// The places on this computer where reminders can be filed, the one in use,
// and its database. Which one a launch starts with, and what is remembered,
// is the platform's policy; the shell asks and switches.
class RemindersPlaces {
public:
    virtual ~RemindersPlaces() = default;

    // Learns which places there are and picks the one the stored choice
    // names. Asking a server can take seconds, so this is called off the
    // main thread: once before anything else here, and again whenever
    // another process changed the stored choice, while the calls below may
    // come meanwhile. Answers which place and why, for the log.
    virtual std::string settle() = 0;

    // The rest on the main thread, once settled (signIn excepted).
    // In a stable order, the one in use among them.
    virtual std::vector<RemindersPlace> available() const = 0;
    virtual RemindersPlace chosen() const = 0;
    // The database of the place in use. Every database answered lives as
    // long as this object, so a poll still using one after a switch ends
    // safely.
    virtual RemindersDatabase& database() = 0;
    // Puts the place of this kind in use and remembers it for later
    // launches. Asks no server. A place reached with an account needs one
    // set up (see useAccount); without, nothing changes.
    virtual void choose(RemindersPlace::Kind kind) = 0;

    // Places reached with an account, where the platform has them.
    // The kinds of place this computer can set up with an account.
    virtual std::vector<RemindersPlace::Kind> accountKinds() const = 0;
    // The account set up for that kind, if any.
    virtual std::optional<RemindersAccount> account(RemindersPlace::Kind kind) const = 0;
    // Tries the password for the account on its server and, when the server
    // takes it, keeps it where the platform keeps passwords (never in the
    // settings); the place in use and the stored choice stay as they are.
    // Blocking (network, and a keyring that may ask to be unlocked), so
    // called off the main thread; every wait in it has an end.
    virtual SignInAnswer signIn(RemindersPlace::Kind kind, const RemindersAccount& account, const std::string& password) = 0;
    // Puts the place of this kind with this account, one signIn() took, in
    // use and remembers both for later launches. Asks no server.
    virtual void useAccount(RemindersPlace::Kind kind, const RemindersAccount& account) = 0;
};

} // namespace tavrelin::platform
