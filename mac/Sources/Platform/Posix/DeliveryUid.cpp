#include "Platform/Posix/DeliveryUid.h"

#include <openssl/sha.h>

namespace tavrelin::posix {

std::string deliveryUid(std::string_view deliveryKey) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(deliveryKey.data()), deliveryKey.size(), digest);
    static constexpr char hex[] = "0123456789abcdef";
    std::string uid = "tavrelin-";
    for (int i = 0; i < 16; ++i) {
        uid += hex[digest[i] >> 4];
        uid += hex[digest[i] & 0x0F];
    }
    return uid;
}

} // namespace tavrelin::posix
