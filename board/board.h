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
//   new one whole), and of a phone page, put together from the page copies
//   under `phone_lock` only; with private reading on, its session check
//   reads the held sessions under `sessions_lock` only, never waiting for
//   `lock`.
// - the server's side thread: each search, reading text pages whole without
//   any lock (replaced by rename, each is seen old or new) and `search_index`
//   under its own mutex, its flood count under `search_flood_lock`; its
//   session check as the event loop's, from the held sessions (under `lock`
//   only when they are unknown).
// - the window thread (the owner's operations) and the upkeep's thread (the
//   hourly sweep): under `lock`; the owner's search as the side thread's.
// - the front ends' hooks (`owner_notice`, `message_stored`) are set before
//   the server starts and cleared after it stops; the board thread calls
//   them, and they only hand a copy on.
// Whoever changes the session file holds `lock`, and then `sessions_lock`
// only to hand over the file's new bytes.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "board/page_cache.h"
#include "board/views/search_index.h"
#include "platform/board_lock.h"
#include "platform/clock.h"
#include "platform/random.h"
#include "platform/sjis.h"

namespace board {

inline constexpr const char* kDefaultCredential = "quietharborlights";
// LoginId and LoginPassword hold at most this many bytes.
inline constexpr size_t kCredentialMax = 109;

// How many posts one client address may make (flood.h); 0 turns a limit off.
// The owner sets them in DATA/settings.ini.
struct PostLimits {
    int burst = 5;            // posts within burst_seconds
    int burst_seconds = 30;
    int hourly = 20;          // posts within an hour
    bool operator==(const PostLimits& o) const {
        return burst == o.burst && burst_seconds == o.burst_seconds && hourly == o.hourly;
    }
};

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
    // 1: phone browsers get the phone view (board/views/phone.h); 0: the frameset for all.
    std::atomic<std::uint8_t> PhoneView{1};
    // 1: the menu page carries the search form (the owner's setting).
    std::atomic<std::uint8_t> SearchForm{0};
    // A start's word to the owner about the menu's search markers (pages.h,
    // place_search_form); taken by the front ends' shared start. Under `lock`.
    std::string menu_notice;
    bool menu_markers_told = false;

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
    // What the search knows of each text page (its own lock; see search_index.h).
    SearchIndex search_index;

    // The phone page last put together (board/views/phone.h), with the page copies
    // it was made from: it is sent again while `pages` hands out those same
    // copies. Read and replaced under `phone_lock`, by the event loop and the
    // board thread.
    struct PhoneCopy {
        int page = 0;
        std::shared_ptr<const std::string> text, menu, bytes;
        std::string feed_link;  // the head's feed link it was made with
    };
    std::mutex phone_lock;
    PhoneCopy phone_copy;

    // The feed (board/views/feed.h) last put together, with the page copies
    // and the address it was made from, and since when its entries are as
    // they are (seconds); the feed's secret address's token (32 hex digits;
    // empty: none yet). Read and replaced under `feed_lock`, by the event
    // loop, the board thread and the window thread (the owner's token).
    struct FeedCopy {
        std::vector<std::shared_ptr<const std::string>> pages;  // the menu, then each text page read
        std::string base;       // the feed's own address (the links start with its host)
        std::string entries;    // the entries' ids, which change when the entries do
        std::shared_ptr<const std::string> bytes;
        std::int64_t changed = 0;
    };
    std::mutex feed_lock;
    FeedCopy feed_copy;
    std::string feed_token;

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

    // Flood control (flood.h): the limits, and each address's recent posts
    // (their times, oldest first, no more than the limits need) with the
    // spell of refusals it is in. Read and written under `lock`.
    // None until the owner's settings are loaded (the front end's launch),
    // so a board made without them, as in tests, counts nothing.
    PostLimits post_limits{0, 30, 0};
    struct Posting {
        std::deque<std::int64_t> times;  // seconds
        bool refused = false;            // in a spell of refusals, told to the owner once
        std::int64_t last_try = 0;       // seconds: the last act, refused ones too (the quietest is forgotten first)
    };
    std::unordered_map<std::string, Posting> posting;
    std::int64_t flood_told = -1000000;  // when the owner was last told of a spell
    int flood_untold = 0;                // spells begun since, not told yet
    // Searches by address, counted the same way (flood.h) under
    // `search_flood_lock` only: a search takes no board lock.
    std::mutex search_flood_lock;
    std::unordered_map<std::string, Posting> searching;

    // 1 from a login-log line that could not be written until one that could:
    // the owner is told once of such a spell. Read and written under `lock`.
    bool log_failing = false;
};

}  // namespace board
