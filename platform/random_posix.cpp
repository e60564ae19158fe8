#include <sys/random.h>

#include <cerrno>
#include <cstdlib>

#include "platform/random.h"

namespace platform {

std::uint64_t secure_random_u64() {
    std::uint64_t value = 0;
    auto* at = reinterpret_cast<unsigned char*>(&value);
    size_t got = 0;
    while (got < sizeof value) {
        ssize_t n = ::getrandom(at + got, sizeof value - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) std::abort();
        got += static_cast<size_t>(n);
    }
    return value;
}

}  // namespace platform
