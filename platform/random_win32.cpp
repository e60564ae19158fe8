// The strong random source on Windows: the system's preferred generator.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <bcrypt.h>

#include <cstdlib>

#include "platform/random.h"

namespace platform {

std::uint64_t secure_random_u64() {
    std::uint64_t value = 0;
    NTSTATUS status = ::BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&value), sizeof value,
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    // Without a working system generator the cookies would be guessable:
    // better to stop than to hand out predictable sessions.
    if (status < 0) std::abort();
    return value;
}

}  // namespace platform
