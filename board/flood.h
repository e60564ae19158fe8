#pragma once
// Flood control per visitor: how many posts one client address (the
// forwarded one behind the trusted proxy) may make in a short while and in an
// hour. A person typing never meets the limits; a script meets them at once.
// Posts are counted on the board thread under the board lock; searches on
// the side thread under their own lock.
#include <cstdint>
#include <string>

#include "board/board.h"

namespace board {

// What an address is doing. Each kind is counted on its own: posts on the
// owner's limits (under the board lock), searches on kSearchLimits (under
// the search table's own lock, since a search runs without the board lock;
// a refused search is only noted on its page, never told to the owner).
enum class FloodKind { Post, Search };

// Searches one address may make: 10 within 30 seconds and 100 within an hour.
// A person reading through results never meets them; a script at once.
inline constexpr PostLimits kSearchLimits{10, 30, 100};

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
