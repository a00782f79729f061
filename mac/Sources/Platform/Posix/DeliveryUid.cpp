#include "Platform/Posix/DeliveryUid.h"
#include "Platform/Posix/Sha256.h"

namespace tavrelin::posix {

std::string deliveryUid(std::string_view deliveryKey) {
    return "tavrelin-" + sha256Hex(deliveryKey).substr(0, 32);
}

} // namespace tavrelin::posix
