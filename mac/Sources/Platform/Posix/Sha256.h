#pragma once

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
    // libsodium's state, kept here as bytes so that its header stays in the
    // .cpp (which checks the size and alignment).
    alignas(8) unsigned char state_[104];
};

std::string sha256Hex(std::string_view bytes);

} // namespace tavrelin::posix
