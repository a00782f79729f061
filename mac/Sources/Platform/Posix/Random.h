#pragma once

#include <cstddef>
#include <string>

namespace tavrelin::posix {

// `bytes` random bytes from the system, in lower-case hexadecimal: names no
// other program picks. Throws std::system_error when the system has none.
std::string randomHex(std::size_t bytes);

} // namespace tavrelin::posix
