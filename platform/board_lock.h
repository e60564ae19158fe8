#pragma once
// The one lock of the board. The accept thread holds it around each request's
// handling; the window thread around every operation that touches the board's
// files or state (state load, message reset, ID and password change); the
// board's upkeep around the hourly session sweep. Nothing else locks.
#include <mutex>

namespace platform {
using BoardLock = std::mutex;
using BoardLockGuard = std::lock_guard<std::mutex>;
}  // namespace platform
