#pragma once
// The two settings files: the counters file and the credentials file.
#include <optional>

#include "board/board.h"
#include "platform/fs.h"
#include "server/listener.h"

namespace board {

// Loads the counters and the credentials, creating each file with its
// defaults when it is missing. The first failure is the result; the
// credentials are loaded whatever the counters gave, and counters that
// cannot be read are taken as no messages on page 1.
enum class LoadResult {
    Loaded = 0,
    CountersUncreatable = -1,     // missing and cannot be created
    CountersUnreadable = -2,      // created but cannot be read
    CountersInvalid = -3,         // empty, or no valid message or page value
    CredentialsUncreatable = -4,  // missing and cannot be created
    CredentialsUnreadable = -5,   // created but cannot be read
    CredentialsUnwritable = -6,   // an empty ID or password, and the file cannot be written again
    StateUnreadable = -7,         // a file exists but cannot be read: nothing changed, the start fails
};
// A file that cannot be read or written, with the system's reason.
struct FileTrouble {
    std::string file;
    platform::FileStatus status;
};
LoadResult load_board_state(Board& b, FileTrouble* trouble = nullptr);

// The counters as their file holds them, read without loading the board (the
// owner's deletion before the board's first start): each as the load takes
// it, and its lowest (0 messages, page 1) where the file cannot be read.
struct StoredCounters {
    std::int32_t message_no = 0;
    std::int32_t current_page = 1;
};
StoredCounters read_stored_counters();

// "message=%d\n" "page=%d\n": the counters file's text.
std::string counters_text(int message_no, int current_page);
// Writes the counters file through the atomic durable replace.
platform::FileStatus write_counters(int message_no, int current_page);

// Writes "ID=%s\n" and "PASSWORD=%s\n" through the atomic durable replace.
platform::FileStatus write_credentials(const std::string& id, const std::string& password);

// The owner's settings that outlive a launch, kept in DATA/settings.ini as
// "key=value" lines. A missing or unreadable value is its default.
struct OwnerSettings {
    std::uint16_t port = server::kDefaultPort;
    std::uint8_t log = 0;              // LogEnabled
    std::uint8_t private_reading = 0;  // PrivateReading
    std::string proxy;                 // the trusted TLS proxy's address (IPv4 or IPv6); empty: none (the line is left out)
    // Flood control: "post_limit=" (posts an address may make within
    // "post_limit_seconds=") and "post_limit_hour=" (within an hour); 0 turns
    // one off. Each line is written only when its value is not the default.
    PostLimits post_limits;
    std::uint8_t phone = 1;            // PhoneView; only "phone=0" is written
    std::optional<std::uint8_t> search;  // SearchForm; absent: off (the line is left out)
    std::string notify;                // the program run for each stored message; empty: none (the line is left out)
    std::string feed_token;            // the feed's secret address's token; empty: none yet (the line is left out)
    std::uint8_t upnp = 0;             // the router's port asked for; only "upnp=1" is written
    std::uint8_t ipv6 = 0;             // Server::listen_ipv6; only "ipv6=1" is written
};
// status, when given, tells a missing file from one that cannot be read.
OwnerSettings load_owner_settings(platform::FileStatus* status = nullptr);
// Through the atomic durable replace; false when it cannot be written.
bool save_owner_settings(const OwnerSettings& settings);

// The standard text-to-integer conversion: leading white space and one sign,
// digits up to the first other character, no digits give 0. Values beyond a
// 32-bit integer saturate.
int parse_int(const char* text);

}  // namespace board
