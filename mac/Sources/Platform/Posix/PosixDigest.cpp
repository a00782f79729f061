#include "Platform/Posix/PosixDigest.h"

#include <openssl/sha.h>

namespace tavrelin::posix {

std::string PosixDigest::sha256Hex(const std::string& bytes) const {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * sizeof digest);
    for (unsigned char byte : digest) {
        text += hex[byte >> 4];
        text += hex[byte & 0x0F];
    }
    return text;
}

} // namespace tavrelin::posix
