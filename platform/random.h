#pragma once
#include <cstdint>

namespace platform {

// A value from the operating system's cryptographically strong source.
std::uint32_t secure_random_u32();

}  // namespace platform
