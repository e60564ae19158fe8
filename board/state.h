#pragma once
// The two settings files: the counters file and the credentials file.
#include "board/board.h"

namespace board {

// Loads the counters and the credentials, creating each file with its
// defaults when it is missing. Results:
//   0 done; -1 counters file missing and cannot be created; -2 created but
//   cannot be read; -3 empty, or no valid message or page value; -4
//   credentials file missing and cannot be created; -5 created but cannot be
//   read; -6 an empty ID or password and the file cannot be written again.
int load_board_state(Board& b);

// Writes "message=%d\n" and "page=%d\n" through the atomic durable replace.
bool write_counters(int message_no, int current_page);

// Writes "ID=%s\n" and "PASSWORD=%s\n" through the atomic durable replace.
bool write_credentials(const std::string& id, const std::string& password);

// The standard text-to-integer conversion: leading white space and one sign,
// digits up to the first other character, no digits give 0. Values beyond a
// 32-bit integer saturate.
int parse_int(const char* text);

}  // namespace board
