#include "board/board_reply.h"

#include <string>

#include "board/pages.h"
#include "board/paths.h"
#include "board/views/phone.h"
#include "board/request_failure.h"
#include "board/state.h"
#include "platform/text_file.h"

namespace board {
namespace {

std::vector<Section> menu_sections(int page, const platform::LocalTime& now) {
    return {Section{kCurrentPageStart, kCurrentPageEnd, current_page_line(page), SectionMode::Replace},
            Section{kUpdateTimeStart, kUpdateTimeEnd, update_time_line(platform::date_time_text(now)),
                    SectionMode::Replace}};
}

}  // namespace

std::string plan_board_reply(Board& b, platform::FileGroup& group, int current_page, bool login,
                             const Section* new_page_link) {
    using Undo = platform::FileGroup::Undo;
    // The main page's frame section.
    std::string main = ensure_page(paths::kMainPage, [current_page] { return main_template_text(current_page); });
    std::string new_main = rewrite_text(
        main, {Section{kPlainStart, kPlainEnd, frame_line(current_page), SectionMode::Replace}});
    if (new_main != main) group.replace(paths::kMainPage, paths::kMainWork, new_main, Undo::Restore, main);

    // The menu: a new page's link, then the current page and update time in one pass.
    std::string menu = ensure_page(paths::kMenuPage, [&b] { return menu_template_for(b); });
    std::string new_menu = new_page_link ? rewrite_text(menu, {*new_page_link}, 400) : menu;
    new_menu = rewrite_text(new_menu, menu_sections(current_page, b.clock()));
    if (new_menu != menu) group.replace(paths::kMenuPage, paths::kMenuWork, new_menu, Undo::Restore, menu);

    ensure_page(paths::kInputPage, input_template_text);
    if (login) ensure_page(paths::kTextPage1, text_template_text);
    return new_main;
}

void commit_or_fail(platform::FileGroup& group) {
    platform::FileStatus s = group.commit();
    if (!s.ok()) fail_request("cannot replace " + group.failed_file() + ": " + platform::reason_text(s));
}

void send_board_reply(Board& b, server::Reply& reply, const std::string& main_page,
                      std::optional<std::uint64_t> cookie, View view) {
    std::string cookie_line;
    if (cookie) cookie_line = server::session_cookie_line(reply, std::to_string(*cookie));
    if (view == View::Phone) return phone_page_reply(b, reply, b.CurrentPage, true, cookie_line);
    server::file_reply(reply, main_page, "text/html\n", cookie_line + std::string(cache_header(b)));
}

void board_reply(Board& b, server::Reply& reply, std::optional<std::uint64_t> cookie, View view) {
    platform::FileGroup group;
    std::string main_page = plan_board_reply(b, group, b.CurrentPage, cookie.has_value());
    commit_or_fail(group);
    send_board_reply(b, reply, main_page, cookie, view);
}

std::string_view cache_header(const Board& b) {
    return b.PrivateReading.load() == 1 ? "Cache-Control: no-store\nPragma: no-cache\n" : "";
}

namespace {

void send_login_page(const Board& b, server::Reply& reply, std::string_view page, std::string_view extra_header,
                     View view) {
    std::string header = std::string(extra_header) + std::string(cache_header(b));
    if (view == View::ChosenPc) return server::file_reply(reply, with_phone_view_link(page), "text/html\n", header);
    server::file_reply(reply, page, "text/html\n", header);
}

}  // namespace

bool stored_login_page_reply(Board& b, server::Reply& reply, std::string_view extra_header, View view) {
    platform::FileStatus s;
    std::shared_ptr<const std::string> page = b.pages.read(paths::kLoginPage, s);
    if (s.missing()) return false;
    if (!s.ok()) return server::error_page_reply(reply), true;  // exists, cannot be read now
    send_login_page(b, reply, *page, extra_header, view);
    return true;
}

void login_page_reply(Board& b, server::Reply& reply, View view, std::string_view extra_header) {
    if (view == View::Phone) return phone_login_reply(b, reply, extra_header);
    if (stored_login_page_reply(b, reply, extra_header, view)) return;
    send_login_page(b, reply, ensure_page(paths::kLoginPage, login_template_text), extra_header, view);
}

int selected_page(std::string_view path) {
    size_t at = path.find("wbk_select_");
    if (at == std::string_view::npos) return 1;
    std::string_view number = path.substr(at + 11);
    number = number.substr(0, number.find('.'));
    // A digit run too long for 32 bits saturates, so it falls outside the
    // range like any other number that is too big.
    std::string text(number);
    int v = parse_int(text.c_str());
    return v < 1 || v > 100000000 ? 1 : v;
}

void page_select(Board& b, std::string_view path) {
    b.ShownPage = selected_page(path);
    try {
        ensure_page(paths::kMenuPage, [&b] { return menu_template_for(b); });
    } catch (const RequestFailure&) {
        return;  // page select never answers, not even with the error page
    }
    rewrite_sections(paths::kMenuPage, paths::kMenuWork, menu_sections(b.ShownPage, b.clock()));
}

}  // namespace board
