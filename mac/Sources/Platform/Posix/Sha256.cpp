#include "Platform/Posix/Sha256.h"

#include "Base/Text.h"

#include <sodium.h>

#include <new>

namespace tavrelin::posix {
namespace {

static_assert(sizeof(crypto_hash_sha256_state) <= 104 && alignof(crypto_hash_sha256_state) <= 8);

crypto_hash_sha256_state* sodiumState(unsigned char* bytes) {
    return std::launder(reinterpret_cast<crypto_hash_sha256_state*>(bytes));
}

} // namespace

Sha256::Sha256() {
    crypto_hash_sha256_init(new (state_) crypto_hash_sha256_state);
}

void Sha256::update(std::string_view bytes) {
    crypto_hash_sha256_update(sodiumState(state_), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string Sha256::hexDigest() {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(sodiumState(state_), digest);
    return text::hexEncoded(digest);
}

std::string sha256Hex(std::string_view bytes) {
    Sha256 hash;
    hash.update(bytes);
    return hash.hexDigest();
}

} // namespace tavrelin::posix
