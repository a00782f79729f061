#pragma once

#include "Platform/Secrets.h"

#include <memory>
#include <string>

namespace tavrelin::secret {

// How long a caller waits for the keyring.
struct SecretLimits {
    double call = 10;    // seconds for a call that asks nobody anything
    double prompt = 180; // seconds for one that may wait for the person
};

// The keyring through the Secret Service (libsecret). All libsecret work
// happens on one thread that runs its own GLib main context, with a service
// proxy of its own, so no D-Bus signal for it is dispatched on the desktop's
// main loop and no other thread shares its objects. A caller waits for that
// thread at most the call's limit; a call that runs over is cancelled and
// fails. The session bus's connection is told not to end the process when
// the bus goes away (GLib's default): that only fails the calls.
class LibsecretSecrets final : public platform::Secrets {
public:
    // Items are stored under `schema` with the attributes "server" and "user".
    explicit LibsecretSecrets(SecretLimits limits = {}, std::string schema = "com.tavrelin.mac.Password");
    ~LibsecretSecrets() override;
    LibsecretSecrets(const LibsecretSecrets&) = delete;
    LibsecretSecrets& operator=(const LibsecretSecrets&) = delete;

    std::optional<std::string> lookup(const platform::SecretKey& key, Prompt prompt = Prompt::never) override;
    void store(const platform::SecretKey& key, const std::string& label, const std::string& secret) override;
    bool remove(const platform::SecretKey& key) override;

private:
    class Worker;
    std::string schema_;
    SecretLimits limits_;
    std::unique_ptr<Worker> worker_;
};

} // namespace tavrelin::secret
