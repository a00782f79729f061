#pragma once

#include <string>
#include <string_view>

namespace tavrelin::posix {

// The UID of the reminder filed for a delivery key (see NewReminder): stable,
// unique in practice, and made of the vdir UID alphabet only, so every Linux
// reminders backend finds an earlier copy of the same delivery by it.
// "tavrelin-" followed by the first 128 bits of the key's SHA-256 in
// lower-case hex.
std::string deliveryUid(std::string_view deliveryKey);

} // namespace tavrelin::posix
