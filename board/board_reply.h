#pragma once
// The board reply (the frameset page after a login, a reload or a post), the
// login page reply, and page select (the server's half of the menu's page links).
#include <cstdint>
#include <optional>
#include <string_view>

#include "board/board.h"
#include "server/reply.h"

namespace board {

// Points the main page's frame at CurrentPage, refreshes the menu's current
// page and update time, makes sure the input page (and, for the login reply,
// text page 1) exist, and sends the main page. With a cookie value it is the
// login reply and carries "Set-Cookie: SESSIONID=%d;".
void board_reply(Board& b, server::Reply& reply, std::optional<std::int32_t> cookie = std::nullopt);

// Sends the login page, writing it first when it is missing.
void login_page_reply(const Board& b, server::Reply& reply);

// The header lines that keep browsers from storing the board's pages while
// reading is private, so that the back button after a logout shows none.
std::string_view cache_header(const Board& b);

// A GET whose path holds "wbk_select_": sets ShownPage and rewrites the
// menu's current-page and update-time sections. Sends nothing, ever.
void page_select(Board& b, std::string_view path);

// The page number in a select path; anything outside 1..100000000 gives 1.
int selected_page(std::string_view path);

}  // namespace board
