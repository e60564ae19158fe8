#pragma once
// Login, the session check, logout, the login log and the hourly sweep.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "board/board.h"
#include "board/view.h"
#include "platform/text_file.h"
#include "server/reply.h"
#include "server/request.h"

namespace board {

enum class LoginResult {
    LoggedIn = 0,  // the login reply is sent
    NoId = -1,
    EmptyId = -2,
    NoPassword = -3,
    EmptyPassword = -4,
    Wrong = -100,  // wrong ID or password
    Guessing = -101,  // not compared: the address failed too often of late; the paused page is sent
};
// The login reply and the paused page come in the request's view.
LoginResult login(Board& b, const server::Request& request, server::Reply& reply, View view = View::Described);

// True when the request carries the cookie of a session of its client.
// Reads the session file (the caller holds the board lock).
bool session_check(Board& b, const server::Request& request);
// The same check from the held sessions (board.h), without the board lock:
// nothing when they are unknown.
std::optional<bool> held_session_check(Board& b, const server::Request& request);
// Sets the held sessions to the session file's stored bytes (null: unknown).
// The caller holds the board lock.
void hold_sessions(Board& b, std::shared_ptr<const std::string> stored);
// The start's load of the held sessions from the session file.
void load_held_sessions(Board& b);

// Removes the sessions of the request's client and cookie.
void logout(Board& b, const server::Request& request);

// Plans the session file with "ipaddress=%s:cookieid=%d:time=%s" appended
// (an IPv6 address in brackets: "ipaddress=[2001:db8::1]:cookieid=...")
// into group: whole or not at all; returns the file's new stored bytes. A
// session file that cannot be read ends the request.
std::string plan_session_line(Board& b, platform::FileGroup& group, const std::string& address, std::uint64_t cookie);

// How a login attempt ended, as the login log says it: "Login=true",
// "Login=false", or "Login=paused" for one refused unread while its address
// is paused after repeated failures.
enum class LoginOutcome { Success, Failure, Paused };
// Appends one line to the day's login log when LogEnabled is 1.
void login_log(Board& b, const std::string& address, LoginOutcome outcome);
std::string login_log_path(const platform::LocalTime& t);

// Removes sessions stored before the previous hour; runs once in minute 0 of
// each hour. Takes the board lock itself.
void hourly_session_sweep(Board& b);

// The board's upkeep, whether a front end runs or not and whether the server
// runs or not: the hourly sweep, looked at every `every` on a thread of its
// own, from construction until destruction.
class Upkeep {
public:
    explicit Upkeep(Board& b, std::chrono::milliseconds every = std::chrono::seconds(20));
    Upkeep(const Upkeep&) = delete;
    Upkeep& operator=(const Upkeep&) = delete;
    ~Upkeep();

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool ending_ = false;
    std::thread thread_;  // last: starts once the members above exist
};

// True when a session line belongs to this address and cookie value exactly.
bool session_line_matches(std::string_view line, std::string_view address, std::string_view cookie);

// A fresh cookie value, 1 .. 2^63 - 1, from the strong random source.
std::uint64_t draw_cookie_value(Board& b);

}  // namespace board
