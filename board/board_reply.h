#pragma once
// The board reply (the frameset page after a login, a reload or a post), the
// login page reply, and page select (the server's half of the menu's page links).
#include <cstdint>
#include <optional>
#include <string_view>

#include "board/board.h"
#include "board/pages.h"
#include "board/view.h"
#include "platform/text_file.h"
#include "server/reply.h"

namespace board {

// Points the main page's frame at CurrentPage, refreshes the menu's current
// page and update time, makes sure the input page (and, for the login reply,
// text page 1) exist, and sends the main page. With a cookie value it is the
// login reply and carries "Set-Cookie: SESSIONID=%d;" (with the cookie's
// attributes on a hardened reply, see server/reply.h).
// In the phone view the reply is the phone page of CurrentPage instead
// (board/views/phone.h), made once the files are committed.
void board_reply(Board& b, server::Reply& reply, std::optional<std::uint64_t> cookie = std::nullopt,
                 View view = View::Described);

// The board reply in parts, for a request that replaces other files with the
// pages in one group (a post, a login): plans the main page's and the menu's
// new bytes into group (the menu with a new page's link first, when given)
// and returns the main page's new bytes, which go out once the group is
// committed. The pages frame and name current_page: CurrentPage, or the page
// a post fills, which CurrentPage becomes once the group is committed. The
// login reply also makes sure text page 1 exists.
std::string plan_board_reply(Board& b, platform::FileGroup& group, int current_page, bool login,
                             const Section* new_page_link = nullptr);
// Commits the group; a failure (nothing replaced) ends the request.
void commit_or_fail(platform::FileGroup& group);
void send_board_reply(Board& b, server::Reply& reply, const std::string& main_page,
                      std::optional<std::uint64_t> cookie, View view = View::Described);

// Sends the login page as stored (kept in b.pages while unchanged); false,
// with nothing sent, when it is missing and must be written first. A page
// that exists but cannot be read gets the error page.
// extra_header, when given, goes before the cache header. A browser that
// chose the described pages over the phone view (View::ChosenPc) gets them
// with a link back to the phone view (with_phone_view_link).
bool stored_login_page_reply(Board& b, server::Reply& reply, std::string_view extra_header = {},
                             View view = View::Described);
// Sends the login page, writing it first when it is missing; in the phone
// view the phone login page, which is never written.
void login_page_reply(Board& b, server::Reply& reply, View view = View::Described,
                      std::string_view extra_header = {});

// The header lines that keep browsers from storing the board's pages while
// reading is private, so that the back button after a logout shows none.
std::string_view cache_header(const Board& b);

// A GET whose path holds "wbk_select_": sets ShownPage and rewrites the
// menu's current-page and update-time sections. Sends nothing, ever.
void page_select(Board& b, std::string_view path);

// The page number in a select path; anything outside 1..100000000 gives 1.
int selected_page(std::string_view path);

}  // namespace board
