#pragma once
// The board's Atom feed (RFC 4287): the newest kFeedEntries messages, newest
// first, in UTF-8, read from the stored text pages through the page copies
// as the phone pages are. Nothing here writes a file: a GET of the feed is
// answered on the event loop, and the feed is kept in memory while the
// pages it came from are unchanged.
//
// Addresses: "wbk_feed.xml" (while reading is not private), and the secret
// "wbk_feed_<token>.xml", the token 128 random bits in hex that the owner
// keeps in DATA/settings.ini (feed_token=) and renews from the front end.
//
// An entry's id is "urn:uuid:" and a name-based (SHA-1, version 5) UUID of
// the text page's number and the message's block as the page holds it
// (time, name, title, text), with the count of equal blocks older than it
// on that page: it stays while the message stays on its page, a deletion of
// another message does not move it, and a message reset's new messages,
// stored at another time, never get an old one.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "board/board.h"
#include "server/reply.h"
#include "server/request.h"

namespace board {

inline constexpr int kFeedEntries = 50;
inline constexpr std::string_view kFeedPath = "wbk_feed.xml";

// "wbk_feed_<token>.xml" for a path of that shape (token: 32 lower-case hex
// digits); empty for any other path.
std::string_view feed_path_token(std::string_view path);
// The secret address's path for a token.
std::string secret_feed_path(const std::string& token);

// The token (empty: none yet), a new one from the board's random source,
// and setting one (the owner's settings at launch).
std::string feed_token(Board& b);
std::string new_feed_token(Board& b);
void set_feed_token(Board& b, const std::string& token);
// True for 32 lower-case hex digits.
bool valid_feed_token(std::string_view token);

// "2026-12-08T11:27:14+09:00": a page's date-time text
// ("2026年12月8日11時27分14秒") with the local time's offset on that day;
// nothing when the text is not one.
std::optional<std::string> feed_date_time(std::string_view page_time);

// A page's text as the feed's element content: "</br>" a line break (when
// line_breaks), the page's escapes and numeric character references their
// characters, in UTF-8, escaped for XML; control characters a visitor sent
// become blanks.
std::string feed_text(std::string_view page_text, bool line_breaks);

// The feed's bytes for links starting with base ("http://HOST/", or empty:
// relative links), its own address self_path; `changed` gets the time
// (seconds) since its entries are as they are.
std::shared_ptr<const std::string> feed_bytes(Board& b, const std::string& base, std::string_view self_path,
                                              std::int64_t& changed);

// Sends the feed (self_path: the address asked for) with Last-Modified, or
// "304 Not Modified" when If-Modified-Since is not older than its entries.
void feed_reply(Board& b, const server::Request& request, server::Reply& reply, std::string_view self_path);

}  // namespace board
