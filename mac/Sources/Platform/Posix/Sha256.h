#pragma once

#include <sodium.h>

#include <string>
#include <string_view>

namespace tavrelin::posix {

// SHA-256 (libsodium's), fed in pieces: the one digest of the agent, the
// updater's downloads and the verifier's seals alike.
class Sha256 {
public:
    Sha256();
    void update(std::string_view bytes);
    // Lower-case hexadecimal; feed nothing more afterwards.
    std::string hexDigest();

private:
    crypto_hash_sha256_state state_;
};

std::string sha256Hex(std::string_view bytes);

} // namespace tavrelin::posix
