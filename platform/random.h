#pragma once
#include <cstdint>

namespace platform {

// A value from the operating system's cryptographically strong source
// (getrandom on Linux, BCryptGenRandom on Windows). The program stops when
// the source fails: predictable session cookies would be worse.
std::uint64_t secure_random_u64();

}  // namespace platform
