#include <random>

#include "platform/random.h"

namespace platform {

std::uint32_t secure_random_u32() {
    // On Linux, std::random_device reads the kernel's getrandom source.
    static thread_local std::random_device source;
    return static_cast<std::uint32_t>(source());
}

}  // namespace platform
