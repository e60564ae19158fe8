#pragma once
// The board state record: the counters, the credentials, the log switch, the
// clock and the one lock, shared by the server's threads, the window thread
// and the upkeep. Errors in the board: a request that cannot go on throws
// RequestFailure, which the board's request entry (routes.h) turns into the
// error page; the owner's operations (state load, reset) return enum results.
//
// The threads, and what each touches:
// - the server's board thread: every request that needs the board (each
//   POST, page select, a page that must be written first, a session check
//   the held sessions cannot answer), under `lock`, one at a time.
// - the server's event loop: a GET of a file, read whole or streamed without
//   any lock (pages are replaced by rename, so it sees the old file or the
//   new one whole); with private reading on, its session check reads the
//   held sessions under `sessions_lock` only, never waiting for `lock`.
// - the window thread (the owner's operations) and the upkeep's thread (the
//   hourly sweep): under `lock`.
// - the front ends' hooks (`owner_notice`, `message_stored`) are set before
//   the server starts and cleared after it stops; the board thread calls
//   them, and they only hand a copy on.
// Whoever changes the session file holds `lock`, and then `sessions_lock`
// only to hand over the file's new bytes.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "board/page_cache.h"
#include "platform/board_lock.h"
#include "platform/clock.h"
#include "platform/random.h"
#include "platform/sjis.h"

namespace board {

inline constexpr const char* kDefaultCredential = "quietharborlights";
// LoginId and LoginPassword hold at most this many bytes.
inline constexpr size_t kCredentialMax = 109;

// A message as it was stored, for the front ends to tell the owner: the
// time line, name and title as the record holds them, the text as the
// visitor sent it (decoded, Shift_JIS); the text page it went on and its
// number there (1 to 100, the oldest first).
struct StoredMessage {
    std::string time;
    std::string name;
    std::string title;
    std::string text;
    std::int32_t page = 0;
    std::int32_t position = 0;
};

struct Board {
    // Board counters and credentials. Read and written under `lock`.
    std::int32_t MessageNo = 0;    // messages stored on the page being filled, 0..100
    std::int32_t CurrentPage = 0;  // the page being filled, 1..100000000
    std::int32_t ShownPage = 0;    // the page last chosen through the menu's links
    std::string LoginId;
    std::string LoginPassword;

    // 1: login attempts go to the daily log. Set by the log dialog.
    std::atomic<std::uint8_t> LogEnabled{0};
    // 1: only a visitor with a session reads the pages (the owner's switch).
    std::atomic<std::uint8_t> PrivateReading{0};

    platform::BoardLock lock;
    platform::Clock clock = platform::system_local_time;
    std::function<std::uint64_t()> random = platform::secure_random_u64;

    // Hands a message for the owner to the front end (the login log's failure).
    // Called on the board thread; it must not wait for the owner.
    std::function<void(const std::string& text, const std::string& caption)> owner_notice;
    // Hands each stored message to the front end, once its post's reply is
    // made. Called on the board thread under `lock`; it must not wait.
    std::function<void(const StoredMessage&)> message_stored;

    // The pages GETs read whole, kept between the board's changes (its own lock).
    PageCache pages;

    // 1 while the hourly sweep has already run in the present minute 0.
    bool sweep_done = false;

    // The session file's stored bytes as the board last read or wrote them:
    // the session check of a GET on the event loop reads these, not the
    // file, so that it never waits for a post. Null while unknown (before
    // the start's load, when the file is missing or cannot be read, after a
    // failed replace): then the board thread checks from the file. Replaced
    // under `lock` and `sessions_lock`, read under `sessions_lock`.
    std::mutex sessions_lock;
    std::shared_ptr<const std::string> held_sessions;

    // Failed logins by client address, which slow guessing (see login).
    // Read and written under `lock`.
    struct Guessing {
        int failures = 0;
        std::int64_t first_failure = 0, last_failure = 0;  // seconds
        std::int64_t blocked_until = 0, block = 0, last_logged = 0;
    };
    std::unordered_map<std::string, Guessing> guessing;

    // 1 from a login-log line that could not be written until one that could:
    // the owner is told once of such a spell. Read and written under `lock`.
    bool log_failing = false;
};

}  // namespace board
