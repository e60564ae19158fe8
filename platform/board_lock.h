#pragma once
// The one lock of the board. The server's board thread holds it around each
// request it handles; the window thread around every operation that touches
// the board's files or state (state load, message reset, ID and password
// change); the board's upkeep around the hourly session sweep. The server's
// event loop never takes it (board/board.h says what it reads instead).
#include <mutex>

namespace platform {
using BoardLock = std::mutex;
using BoardLockGuard = std::lock_guard<std::mutex>;
}  // namespace platform
