#pragma once
// The two settings files: the counters file and the credentials file.
#include "board/board.h"

namespace board {

// Loads the counters and the credentials, creating each file with its
// defaults when it is missing.
enum class LoadResult {
    Loaded = 0,
    CountersUncreatable = -1,     // missing and cannot be created
    CountersUnreadable = -2,      // created but cannot be read
    CountersInvalid = -3,         // empty, or no valid message or page value
    CredentialsUncreatable = -4,  // missing and cannot be created
    CredentialsUnreadable = -5,   // created but cannot be read
    CredentialsUnwritable = -6,   // an empty ID or password, and the file cannot be written again
};
LoadResult load_board_state(Board& b);

// Writes "message=%d\n" and "page=%d\n" through the atomic durable replace.
bool write_counters(int message_no, int current_page);

// Writes "ID=%s\n" and "PASSWORD=%s\n" through the atomic durable replace.
bool write_credentials(const std::string& id, const std::string& password);

// The standard text-to-integer conversion: leading white space and one sign,
// digits up to the first other character, no digits give 0. Values beyond a
// 32-bit integer saturate.
int parse_int(const char* text);

}  // namespace board
