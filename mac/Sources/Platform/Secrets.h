#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace tavrelin::platform {

// Whose secret: an account on a server.
struct SecretKey {
    std::string server; // the address the account was set up with
    std::string user;
    bool operator==(const SecretKey&) const = default;
};

// The keyring could not answer (none running, locked, no answer in time);
// what() says which.
class SecretsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The person's keyring. Each call blocks until the keyring answered or its
// time limit passed, so it is made off the main thread; calls may come from
// several threads.
class Secrets {
public:
    enum class Prompt {
        never,   // a locked keyring is a SecretsError
        allowed, // the system may ask the person to unlock it, and is waited for
    };

    virtual ~Secrets() = default;
    // None when nothing is stored for the key. Throws SecretsError.
    virtual std::optional<std::string> lookup(const SecretKey& key, Prompt prompt = Prompt::never) = 0;
    // Stores or replaces the secret; `label` is what keyring managers show.
    // May ask the person to unlock the keyring. Throws SecretsError.
    virtual void store(const SecretKey& key, const std::string& label, const std::string& secret) = 0;
    // True when something was removed. Throws SecretsError.
    virtual bool remove(const SecretKey& key) = 0;
};

} // namespace tavrelin::platform
