#include "board/board_reply.h"

#include <string>

#include "board/pages.h"
#include "board/paths.h"
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

void fail_on(RewriteResult r, const char* page) {
    if (r == RewriteResult::PageMissing) fail_request(std::string("cannot open ") + page);
    if (r == RewriteResult::WorkFileFailed) fail_request(std::string("cannot rewrite ") + page);
}

}  // namespace

void board_reply(Board& b, server::Reply& reply, std::optional<std::int32_t> cookie) {
    // The main page's frame section.
    {
        platform::TextReader test;
        if (!test.open(paths::kMainPage)) write_main_template(b.CurrentPage);
    }
    fail_on(rewrite_sections(paths::kMainPage, paths::kMainWork,
                             {Section{kPlainStart, kPlainEnd, frame_line(b.CurrentPage), SectionMode::Replace}}),
            paths::kMainPage);

    // The menu's current page and update time, in one pass.
    ensure_page(paths::kMenuPage, write_menu_template);
    fail_on(rewrite_sections(paths::kMenuPage, paths::kMenuWork, menu_sections(b.CurrentPage, b.clock())),
            paths::kMenuPage);

    ensure_page(paths::kInputPage, write_input_template);
    if (cookie) ensure_page(paths::kTextPage1, write_text_template);

    platform::RawReader main_page;
    if (!main_page.open(paths::kMainPage)) fail_request("cannot open the main page");
    std::string extra(cache_header(b));
    if (cookie) extra = "Set-Cookie: SESSIONID=" + std::to_string(*cookie) + ";\n" + extra;
    server::file_reply(reply, main_page, "text/html\n", extra);
}

std::string_view cache_header(const Board& b) {
    return b.PrivateReading.load() == 1 ? "Cache-Control: no-store\nPragma: no-cache\n" : "";
}

void login_page_reply(const Board& b, server::Reply& reply) {
    platform::RawReader page;
    if (!page.open(paths::kLoginPage)) {
        write_login_template();
        if (!page.open(paths::kLoginPage)) fail_request("cannot open the login page");
    }
    server::file_reply(reply, page, "text/html\n", cache_header(b));
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
        ensure_page(paths::kMenuPage, write_menu_template);
    } catch (const RequestFailure&) {
        return;  // page select never answers, not even with the error page
    }
    rewrite_sections(paths::kMenuPage, paths::kMenuWork, menu_sections(b.ShownPage, b.clock()));
}

}  // namespace board
