#include "board/views/phone.h"

#include <memory>

#include "board/board_reply.h"
#include "board/pages.h"
#include "board/paths.h"
#include "board/request_failure.h"
#include "board/views/search.h"
#include "platform/fs.h"

namespace board {
namespace {

constexpr int kLastPage = 100000000;

// The head every phone page shares, up to its title: declared like the
// board's other pages, with the phone's viewport and a small stylesheet.
// Text of 16 px keeps phones from zooming into a field; long words and
// lines without a blank wrap, so nothing runs off a 320-pixel screen.
const char kHead[] =
    "<!DOCTYPE HTML PUBLIC '-//W3C//DTD HTML 4.01 Transitional//EN' \n"
    "'http://www.w3.org/TR/html4/loose.dtd'>\n"
    "<html>\n"
    "<head>\n"
    "<meta http-equiv='Content-Script-Type' content='text/javascript'>\n"
    "<meta http-equiv='Content-Style-Type' content='text/css'>\n"
    "<meta http-equiv='Content-Type' content='text/html;charset=Shift_JIS'>\n"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
    "<style type='text/css'>\n"
    "body{margin:0 10px 16px;font-size:16px;line-height:1.5;word-wrap:break-word;overflow-wrap:anywhere;"
    "word-break:break-all}\n"
    "h1{font-size:22px;margin:10px 0 4px}\n"
    "p{margin:6px 0}\n"
    "input,textarea{font-size:16px;box-sizing:border-box;max-width:100%}\n"
    "input[type=text],input[type=password],textarea{width:100%;padding:6px}\n"
    "input[type=submit],input[type=reset]{min-height:44px;padding:8px 18px;margin:4px 8px 4px 0}\n"
    ".pages a,.pages b,.top a{display:inline-block;min-width:40px;padding:8px 2px;text-align:center}\n"
    "</style>\n";

const char kPageEnd[] =
    "<hr>\n"
    "<p><a href='./?pc'>パソコン用の表示</a></p>\n"
    "</body>\n"
    "</html>\n";

}  // namespace

std::string_view phone_head() { return kHead; }
std::string_view phone_page_end() { return kPageEnd; }

namespace {

std::string login_page_text() {
    std::string t = kHead;
    t += "<title>コモレビ　－ログイン－</title>\n"
         "<script type='text/javascript'>\n<!--\n";
    t += kLoginFormCheck;
    t += "//-->\n</script>\n</head>\n<body>\n"
         "<h1>コモレビ</h1>\n"
         "<hr>\n"
         "<p>ログインを行って下さい。</p>\n"
         "<form name='formlogin' method='post' action='wbk_login.cgi' onsubmit='return m_sub_FormCheck()'>\n"
         "<p class='bold'>ID<br>\n"
         "<input type='text' name='id' maxlength='50' autocapitalize='off' autocomplete='username'>\n"
         "</p>\n"
         "<p class='bold'>Password<br>\n"
         "<input type='password' name='password' maxlength='50' autocomplete='current-password'>\n"
         "</p>\n"
         "<p>\n"
         "<input type='submit' name='login' value='送信'>\n"
         "<input type='reset' name='リセット' value='リセット'>\n"
         "</p>\n"
         "</form>\n";
    return t + kPageEnd;
}

// The input page's checks, with its texts, and the end of the head.
const std::string& write_check() {
    static const std::string t = std::string("<script type='text/javascript'>\n<!--\n") + kWriteFormCheck +
                                 "//-->\n</script>\n</head>\n<body>\n";
    return t;
}

// The input form, the reload and the logout buttons: the same fields,
// limits and texts as the input page and the menu, one column wide.
const char kForms[] =
    "<hr>\n"
    "<form name='formwrite' id='formwrite' method='post' action='wbk_write.cgi' onsubmit='return m_sub_FormCheck()'>\n"
    "<p>メッセージを投稿する場合は、下記に入力をして、送信ボタンを押して下さい。</p>\n"
    "<p class='bold'>名前：（全角50文字まで）<br>\n"
    "<input type='text' name='name' maxlength='50'>\n"
    "</p>\n"
    "<p class='bold'>題名：（全角50文字まで）<br>\n"
    "<input type='text' name='title' maxlength='50'>\n"
    "</p>\n"
    "<p class='bold'>内容：（全角500文字まで）<br>\n"
    "<textarea name='text' rows='6'></textarea>\n"
    "</p>\n"
    "<p>\n"
    "<input type='submit' name='write' value='送信'>\n"
    "<input type='reset' name='リセット' value='リセット'>\n"
    "</p>\n"
    "</form>\n"
    "<hr>\n"
    "<form name='reload' method='post' action='wbk_reload.cgi'>\n"
    "<input type='submit' name='reload' value='伝言板の表示を更新する'>\n"
    "</form>\n"
    "<form name='logout' method='post' action='wbk_logout.cgi'>\n"
    "<input type='submit' name='logout' value='ログアウトします。'>\n"
    "</form>\n";

bool contains(std::string_view text, std::string_view word) { return text.find(word) != std::string_view::npos; }

// The line after the first whole line of text equal to marker (line feed or
// CR LF): its offset, or npos.
size_t after_marker_line(std::string_view text, std::string_view marker, size_t from = 0) {
    std::string_view bare = marker.substr(0, marker.size() - 1);  // without its line feed
    for (size_t at = text.find(bare, from); at != std::string_view::npos; at = text.find(bare, at + 1)) {
        if (at != 0 && text[at - 1] != '\n') continue;
        size_t end = at + bare.size();
        if (end < text.size() && text[end] == '\n') return end + 1;
        if (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n') return end + 2;
    }
    return std::string_view::npos;
}

// The start of the line of text equal to marker, from `from` on; npos.
size_t marker_line_start(std::string_view text, std::string_view marker, size_t from) {
    size_t after = after_marker_line(text, marker, from);
    if (after == std::string_view::npos) return after;
    return after - (marker.size() - 1) - (text[after - 2] == '\r' ? 2 : 1);
}

std::string_view section_between(std::string_view text, std::string_view start, std::string_view end) {
    size_t from = after_marker_line(text, start);
    if (from == std::string_view::npos) return {};
    size_t to = marker_line_start(text, end, from);
    return to == std::string_view::npos ? std::string_view{} : text.substr(from, to - from);
}

// The stored page `name`; null when it does not exist. One that exists but
// cannot be read ends the request.
std::shared_ptr<const std::string> stored(Board& b, const std::string& name) {
    platform::FileStatus s;
    std::shared_ptr<const std::string> bytes = b.pages.read(name, s);
    if (!s.ok() && !s.missing()) fail_request("cannot read " + name + ": " + platform::reason_text(s));
    return bytes;
}

std::string page_link(int page) {
    std::string n = std::to_string(page);
    return "<a href='wbk_phone_" + n + ".html'>" + n + "</a>";
}

}  // namespace

bool phone_browser(std::string_view user_agent) {
    return contains(user_agent, "Mobi") || contains(user_agent, "Android") || contains(user_agent, "iPhone") ||
           contains(user_agent, "iPad");
}

bool phone_view(const Board& b, const server::Request& request) {
    if (b.PhoneView.load() != 1) return false;
    if (request.query == "phone" || request.query == "pc") return request.query == "phone";
    if (request.view_cookie == "phone" || request.view_cookie == "pc") return request.view_cookie == "phone";
    return phone_browser(request.user_agent);
}

std::string_view view_choice_header(const server::Request& request) {
    if (request.query == "phone") return "Set-Cookie: VIEW=phone;\n";
    if (request.query == "pc") return "Set-Cookie: VIEW=pc;\n";
    return {};
}

int phone_page_number(std::string_view path) {
    static constexpr std::string_view kPrefix = "wbk_phone_", kSuffix = ".html";
    if (path.size() <= kPrefix.size() + kSuffix.size() || path.substr(0, kPrefix.size()) != kPrefix ||
        path.substr(path.size() - kSuffix.size()) != kSuffix)
        return 0;
    std::string_view digits = path.substr(kPrefix.size(), path.size() - kPrefix.size() - kSuffix.size());
    if (digits.size() > 9 || digits.front() == '0') return 0;
    int page = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return 0;
        page = page * 10 + (c - '0');
    }
    return page <= kLastPage ? page : 0;
}

std::vector<int> linked_pages(std::string_view menu) {
    std::string_view links = section_between(menu, kPageLinkStart, kPageLinkEnd);
    std::vector<int> pages;
    static constexpr std::string_view kSelect = "wbk_select_";
    for (size_t at = links.find(kSelect); at != std::string_view::npos; at = links.find(kSelect, at + 1)) {
        size_t digit = at + kSelect.size();
        int page = 0;
        size_t n = 0;
        for (; digit + n < links.size() && n < 9 && links[digit + n] >= '0' && links[digit + n] <= '9'; ++n)
            page = page * 10 + (links[digit + n] - '0');
        if (n > 0 && page >= 1 && page <= kLastPage) pages.push_back(page);
    }
    return pages;
}

std::vector<int> page_link_window(const std::vector<int>& pages, int shown) {
    const int count = static_cast<int>(pages.size());
    int at = -1;
    for (int i = 0; i < count && at < 0; ++i)
        if (pages[i] == shown) at = i;
    std::vector<int> window;
    for (int i = 0; i < count; ++i) {
        bool near = at >= 0 ? i >= at - 2 && i <= at + 2 : i < 3;
        if (i == 0 || i == count - 1 || near) {
            window.push_back(pages[i]);
        } else if (window.empty() || window.back() != 0) {
            window.push_back(0);
        }
    }
    return window;
}

std::string_view stored_message_section(std::string_view text_page) {
    return section_between(text_page, kPlainStart, kPlainEnd);
}

int newest_linked_page(Board& b) {
    std::shared_ptr<const std::string> menu = stored(b, paths::kMenuPage);
    std::vector<int> pages = menu ? linked_pages(*menu) : std::vector<int>{};
    return pages.empty() ? 1 : pages.front();
}

const std::string& phone_login_page() {
    static const std::string page = login_page_text();
    return page;
}

std::shared_ptr<const std::string> phone_board_page(Board& b, int page, bool missing_as_empty) {
    std::shared_ptr<const std::string> text = stored(b, text_page_path(page));
    if (!text && !missing_as_empty) return nullptr;
    std::shared_ptr<const std::string> menu = stored(b, paths::kMenuPage);
    {
        std::lock_guard<std::mutex> guard(b.phone_lock);
        const Board::PhoneCopy& kept = b.phone_copy;
        if (kept.bytes && kept.page == page && kept.text == text && kept.menu == menu) return kept.bytes;
    }
    std::vector<int> pages = menu ? linked_pages(*menu) : std::vector<int>{};
    std::string_view section = text ? stored_message_section(*text) : std::string_view{};

    const std::string n = std::to_string(page);
    std::string t;
    t.reserve(sizeof kHead + write_check().size() + sizeof kForms + section.size() + 600);
    t += kHead;
    t += "<title>コモレビ　－" + n + "－</title>\n";
    t += write_check();
    t += "<h1>コモレビ</h1>\n";
    t += "<p class='top'>－" + n + "－　<a href='#formwrite'>メッセージを投稿する</a></p>\n";
    t += "<p class='pages'>ページ：";
    for (int linked : page_link_window(pages, page)) {
        if (linked == 0) t += " …";
        else if (linked == page) t += " <b>" + n + "</b>";
        else t += " " + page_link(linked);
    }
    t += "</p>\n";
    // The search form, right under the page links: its results come as a
    // phone page too.
    t += search_form_lines({});
    t += "<hr>\n";
    t += section;
    t += kForms;
    t += kPageEnd;
    auto bytes = std::make_shared<const std::string>(std::move(t));
    std::lock_guard<std::mutex> guard(b.phone_lock);
    b.phone_copy = Board::PhoneCopy{page, std::move(text), std::move(menu), bytes};
    return bytes;
}

void phone_login_reply(const Board& b, server::Reply& reply, std::string_view extra_header) {
    std::string extra(extra_header);
    extra += cache_header(b);
    server::file_reply(reply, phone_login_page(), "text/html\n", extra);
}

void phone_page_reply(Board& b, server::Reply& reply, int page, bool missing_as_empty,
                      std::string_view extra_header) {
    std::shared_ptr<const std::string> bytes = phone_board_page(b, page, missing_as_empty);
    if (!bytes) return server::not_found_reply(reply);
    std::string extra(extra_header);
    extra += cache_header(b);
    server::file_reply(reply, *bytes, "text/html\n", extra);
}

}  // namespace board
