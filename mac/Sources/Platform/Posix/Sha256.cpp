#include "Platform/Posix/Sha256.h"

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
    return hexEncoded(digest, sizeof digest);
}

std::string sha256Hex(std::string_view bytes) {
    Sha256 hash;
    hash.update(bytes);
    return hash.hexDigest();
}

std::string hexEncoded(const unsigned char* bytes, std::size_t size) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

} // namespace tavrelin::posix
