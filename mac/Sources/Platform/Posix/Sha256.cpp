#include "Platform/Posix/Sha256.h"

#include "Base/Text.h"

namespace tavrelin::posix {

Sha256::Sha256() {
    crypto_hash_sha256_init(&state_);
}

void Sha256::update(std::string_view bytes) {
    crypto_hash_sha256_update(&state_, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string Sha256::hexDigest() {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&state_, digest);
    return text::hexEncoded(digest);
}

std::string sha256Hex(std::string_view bytes) {
    Sha256 hash;
    hash.update(bytes);
    return hash.hexDigest();
}

} // namespace tavrelin::posix
