#pragma once
// The phone view: one column instead of the frameset, for phone and tablet
// browsers. Its pages are put together when asked, from the stored pages
// (the text page's message section, the menu's page links) read through the
// page copies; nothing here writes a file, so a GET of a phone page is
// answered on the event loop, and the board thread uses the same functions
// for the replies of a login, a reload and a post once their files are
// committed.
//
// Who gets it: with the owner's PhoneView on, a request whose User-Agent
// names a phone or tablet browser (phone_browser), unless that browser chose
// the desktop layout (the VIEW cookie "pc", set by "/?pc" until the browser
// closes; "/?phone" sets "phone" and brings the phone view back).
//
// The phone pages are for screen readers too: in Japanese, each field
// labelled and described by its limit, the page links a navigation with the
// shown page marked current, the search form a search, and each message an
// article headed by its title with the anchor "m<k>", k its place on the
// page counted from the oldest (1: the page's first message; the number the
// owner's new-message notice gives it while none of the page is deleted).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "board/board.h"
#include "board/view.h"
#include "server/reply.h"
#include "server/request.h"

namespace board {

// True when a User-Agent names a phone or tablet browser: it holds
// "Mobi", "Android", "iPhone" or "iPad" (case as written).
bool phone_browser(std::string_view user_agent);

// The view a request gets, decided where it is routed: with PhoneView on,
// the query ("phone", "pc"), else the VIEW cookie ("phone", "pc"), else the
// User-Agent (phone_browser) chooses between the phone view and the
// described pages ("pc": ChosenPc); with it off, always the described pages.
View view_of(const Board& b, const server::Request& request);

// The header line that keeps a layout asked for by the query ("/?phone",
// "/?pc") for the rest of the browser's run; empty for any other query.
std::string_view view_choice_header(const server::Request& request);

// The page number of a phone page's address "wbk_phone_<n>.html" (n in
// 1..100000000, written without leading zeros); 0 for any other path.
int phone_page_number(std::string_view path);

// The page numbers the menu's page-link section links to, in its order
// (newest first).
std::vector<int> linked_pages(std::string_view menu);

// The page links a phone page shows: the first and the last linked page and
// the two on either side of the shown one; 0 stands where pages are left out.
std::vector<int> page_link_window(const std::vector<int>& pages, int shown);

// The message section of a stored text page: the bytes between its
// program-point marker lines, as stored; empty when it has none.
std::string_view stored_message_section(std::string_view text_page);

// The newest page the menu links to (its first link); 1 when it links none.
int newest_linked_page(Board& b);

// What every phone page begins with up to its title (the declarations, the
// viewport, the stylesheet) and ends with (the link to the desktop view):
// the search page for a phone is framed by them too.
std::string_view phone_head();
std::string_view phone_page_end();

// A script that asks the board again for a page shown from the browser's
// back-forward cache (which keeps plain-HTTP pages even with no-store):
// address, or the page's own address when empty. With private reading on,
// a page shown again after a logout becomes the login page.
std::string reload_from_cache_script(std::string_view address);

// The search form of the phone pages and the phone's search page: a
// search landmark, its field labelled and described by its limit.
std::string phone_search_form(std::string_view value);

// The described login page with a link back to the phone view before its
// "</body>", for a browser that chose the described pages.
std::string with_phone_view_link(std::string_view page);

// The phone's refusal pages: the paused login and the post limit, with the
// described pages' reasons and a way back to "./?phone".
std::string phone_paused_login_page(int minutes_left);
std::string phone_post_refused_page(const PostLimits& limits, std::int64_t seconds_left);

// The phone login page's bytes.
const std::string& phone_login_page();
// The phone page of page `page`: null when its text page does not exist
// (and `missing_as_empty` is false); a page that exists but cannot be read
// is a request failure. With posted, the status line "投稿しました" stands
// above the messages (that page is made for its reply and not kept).
std::shared_ptr<const std::string> phone_board_page(Board& b, int page, bool missing_as_empty,
                                                    bool posted = false);

// Sends the phone login page, or the phone page of `page`, with the board's
// cache header and extra_header (a cookie line) before it. phone_page_reply
// sends the not-found reply when the text page does not exist and
// missing_as_empty is false.
void phone_login_reply(const Board& b, server::Reply& reply, std::string_view extra_header = {});
// With seen_cookie (the request's SEEN cookie, empty when it sent none),
// the messages newer than the visitor's previous visit are marked "新着",
// their count at the top, and the reply sets the cookie anew; without it
// (a reply with no request's cookies at hand) nothing is marked or set.
void phone_page_reply(Board& b, server::Reply& reply, int page, bool missing_as_empty,
                      std::string_view extra_header = {}, bool posted = false,
                      std::optional<std::string_view> seen_cookie = std::nullopt);
// The reply to a phone's post: the browser goes to the new message,
// "wbk_phone_<page>.html?posted#m<from_oldest>", and a reload of that page
// sends nothing again.
void phone_posted_reply(const Board& b, server::Reply& reply, int page, int from_oldest);

}  // namespace board
