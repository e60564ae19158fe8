#pragma once
// Login, the session check, logout, the login log and the hourly sweep.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "board/board.h"
#include "server/reply.h"
#include "server/request.h"

namespace board {

// 0 logged in (the login reply is sent); -1 no id field; -2 empty ID; -3 no
// password field; -4 empty password; -100 wrong ID or password.
int login(Board& b, const server::Request& request, server::Reply& reply);

// 1 when the request carries the cookie of a session of its client; -1 otherwise.
int session_check(Board& b, const server::Request& request);

// -1 no SESSIONID cookie; 0 no session removed; 1 at least one removed.
int logout(Board& b, const server::Request& request);

// Appends "ipaddress=%s:cookieid=%d:time=%s" to the session file.
void store_session_line(Board& b, const std::string& address, std::int32_t cookie);

// Appends one line to the day's login log when LogEnabled is 1.
void login_log(Board& b, const std::string& address, bool success);
std::string login_log_path(const platform::LocalTime& t);

// Removes sessions stored before the previous hour; runs once in minute 0 of
// each hour. Takes the board lock itself.
void hourly_session_sweep(Board& b);

// The value of the SESSIONID cookie of the request's Cookie headers; nothing
// when there is none or it is empty.
std::optional<std::string> session_cookie(std::string_view request_text);

// True when a session line belongs to this address and cookie value exactly.
bool session_line_matches(std::string_view line, std::string_view address, std::string_view cookie);

// A fresh cookie value, 1..2147483647, from the strong random source.
std::int32_t draw_cookie_value(Board& b);

}  // namespace board
