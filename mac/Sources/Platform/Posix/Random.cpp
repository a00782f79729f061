#include "Platform/Posix/Random.h"

#include "Base/Text.h"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <vector>
// getentropy, which Linux and macOS both have (Linux's getrandom and macOS's
// arc4random are each the other's lack).
#include <sys/random.h>
#include <unistd.h>

namespace tavrelin::posix {

std::string randomHex(std::size_t bytes) {
    std::vector<unsigned char> random(bytes);
    // getentropy hands out at most 256 bytes a call.
    for (std::size_t filled = 0; filled < random.size();) {
        const std::size_t chunk = std::min<std::size_t>(256, random.size() - filled);
        if (::getentropy(random.data() + filled, chunk) != 0)
            throw std::system_error(errno, std::generic_category(), "no random bytes from the system");
        filled += chunk;
    }
    return text::hexEncoded(random);
}

} // namespace tavrelin::posix
