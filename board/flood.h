#pragma once
// Flood control per visitor: how many posts one client address (the
// forwarded one behind the trusted proxy) may make in a short while and in an
// hour. A person typing never meets the limits; a script meets them at once.
// Called on the board thread under the board lock.
#include <cstdint>
#include <string>

#include "board/board.h"

namespace board {

// What an address is doing. Each kind is counted on its own.
enum class FloodKind { Post };

// The addresses whose recent acts are kept, at most; beyond it the one
// quiet for longest is forgotten.
inline constexpr size_t kFloodAddressesKept = 4096;
// A limit the owner sets is taken as at most this (each address keeps a time per act).
inline constexpr int kPostLimitMax = 100;

// True, and the act counted, when the address is within the limits at now
// (seconds). False when one of them is met: nothing is counted, retry_after
// (when given) gets the seconds until the address may try again, and the
// owner is told once per spell of refusals, and at most once a minute.
bool flood_allows(Board& b, const std::string& address, FloodKind kind, std::int64_t now,
                  std::int64_t* retry_after = nullptr);

// The limits as the refusal page and the owner's notice name them:
// "30秒に5件、１時間に20件" (a limit that is off is left out).
std::string post_limits_text(const PostLimits& limits);

}  // namespace board
