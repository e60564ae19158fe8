#include "board/views/phone.h"

#include <algorithm>
#include <memory>

#include "board/board_reply.h"
#include "board/deletion.h"
#include "board/pages.h"
#include "board/paths.h"
#include "board/request_failure.h"
#include "board/posting.h"
#include "board/views/feed.h"
#include "board/views/search.h"
#include "platform/fs.h"

namespace board {
namespace {

constexpr int kLastPage = 100000000;

// The head every phone page shares, up to its title: in Japanese, with the
// phone's viewport and a small stylesheet. Text of 16 px keeps phones from
// zooming into a field; long words and lines without a blank wrap, so
// nothing runs off a 320-pixel screen.
const char kHead[] =
    "<!DOCTYPE html>\n"
    "<html lang='ja'>\n"
    "<head>\n"
    "<meta http-equiv='Content-Script-Type' content='text/javascript'>\n"
    "<meta http-equiv='Content-Style-Type' content='text/css'>\n"
    "<meta http-equiv='Content-Type' content='text/html;charset=Shift_JIS'>\n"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
    "<style type='text/css'>\n"
    "body{margin:0 10px 16px;font-size:16px;line-height:1.5;word-wrap:break-word;overflow-wrap:anywhere;"
    "word-break:break-all}\n"
    "h1{font-size:22px;margin:10px 0 4px}\n"
    "h2{font-size:18px;margin:10px 0 2px}\n"
    "p{margin:6px 0}\n"
    ".pages a[aria-current],.status{font-weight:bold}\n"
    "input,textarea{font-size:16px;box-sizing:border-box;max-width:100%}\n"
    "input[type=text],input[type=password],textarea{width:100%;padding:6px}\n"
    "input[type=submit],input[type=reset]{min-height:44px;padding:8px 18px;margin:4px 8px 4px 0}\n"
    ".pages a,.pages b,.top a{display:inline-block;min-width:40px;padding:8px 2px;text-align:center}\n"
    ".new{color:#b00000;font-weight:bold}\n"
    "</style>\n";

const char kPageEnd[] =
    "<footer>\n"
    "<hr>\n"
    "<p><a href='./?pc'>パソコン用の表示</a></p>\n"
    "</footer>\n"
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
         "<main>\n"
         "<h1>コモレビ　ログイン</h1>\n"
         "<hr>\n"
         "<p>ログインを行って下さい。</p>\n"
         "<form name='formlogin' method='post' action='wbk_login.cgi' onsubmit='return m_sub_FormCheck()'>\n"
         "<p class='bold'><label for='f-id'>ID</label><br>\n"
         "<input type='text' name='id' id='f-id' maxlength='50' autocapitalize='off' autocomplete='username'>\n"
         "</p>\n"
         "<p class='bold'><label for='f-password'>Password</label><br>\n"
         "<input type='password' name='password' id='f-password' maxlength='50' autocomplete='current-password'>\n"
         "</p>\n"
         "<p>\n"
         "<input type='submit' name='login' value='送信'>\n"
         "<input type='reset' name='リセット' value='リセット'>\n"
         "</p>\n"
         "</form>\n"
         "</main>\n";
    return t + kPageEnd;
}

// The phone form's checks: the input page's, with the 500 characters
// counted as the visitor sees them (an emoji is one, not two UTF-16 units),
// then each value measured in the bytes the board keeps of it (posting.cpp:
// 100 of a name or title, 1101 of a text). The page's own encoding measures
// it: a link's query is encoded as the form will be, a character Shift_JIS
// lacks as "&#NNNNN;"; a line break goes as CR LF.
const char kPhoneWriteCheck[] =
    "function m_sub_Chars(v) {\n"
    "return v.replace(/[\\uD800-\\uDBFF][\\uDC00-\\uDFFF]/g, '_').length;\n"
    "}\n"
    "function m_sub_Bytes(v) {\n"
    "var a = document.createElement('a');\n"
    "a.href = '?' + v.replace(/\\r?\\n/g, '__').replace(/[%#\\t]/g, '_') + '_';\n"
    "return a.search.substring(1).replace(/%[0-9A-Fa-f]{2}/g, '_').length - 1;\n"
    "}\n"
    "function m_sub_TooLong(field, label, bytes, limit) {\n"
    "if (m_sub_Bytes(field.value) <= bytes) return false;\n"
    "alert('[ ' + label + ' ]が長すぎます。' + limit + 'までにして下さい。\\n※絵文字など一部の文字は、１文字で半角約９文字分になります。');\n"
    "field.focus();\n"
    "return true;\n"
    "}\n"
    "function m_sub_FormCheck() {\n"
    "var f = document.formwrite;\n"
    "if (f.name.value == '') {\n"
    "\talert('[ 名前 ]が入力されていません。入力して下さい。');\n"
    "\tf.name.focus();\n"
    "\treturn(false);\n"
    "}\n"
    "if (f.title.value == '') {\n"
    "\talert('[ 題名 ]が入力されていません。入力して下さい。');\n"
    "\tf.title.focus();\n"
    "\treturn(false);\n"
    "}\n"
    "if (f.text.value == '') {\n"
    "\talert('[ 内容 ]が入力されていません。入力して下さい。');\n"
    "\tf.text.focus();\n"
    "\treturn(false);\n"
    "}\n"
    "if (m_sub_Chars(f.text.value) > 500) {\n"
    "    alert('内容の文字数が[５００]文字を超えています。\\nすみませんが、調整して下さい。\\n※改行も数に含まれます。');\n"
    "\tf.text.focus();\n"
    "\treturn(false);\n"
    "}\n"
    "if (m_sub_TooLong(f.name, '名前', 100, '全角50文字（半角100文字）')) return(false);\n"
    "if (m_sub_TooLong(f.title, '題名', 100, '全角50文字（半角100文字）')) return(false);\n"
    "if (m_sub_TooLong(f.text, '内容', 1101, '全角550文字（半角1100文字）')) return(false);\n"
    "}\n";

// The phone form's checks, with its texts, and the end of the head.
const std::string& write_check() {
    static const std::string t = std::string("<script type='text/javascript'>\n<!--\n") + kPhoneWriteCheck +
                                 "//-->\n</script>\n</head>\n<body>\n";
    return t;
}

// The input form, the reload and the logout buttons: the same fields,
// limits and texts as the input page and the menu, one column wide; each
// field named by its label and described by its limit.
const char kForms[] =
    "<hr>\n"
    "<form name='formwrite' id='formwrite' method='post' action='wbk_write.cgi' onsubmit='return m_sub_FormCheck()'>\n"
    "<p>メッセージを投稿する場合は、下記に入力をして、送信ボタンを押して下さい。</p>\n"
    "<p class='bold'><label for='f-name'>名前：</label><span id='f-name-limit'>（全角50文字まで）</span><br>\n"
    "<input type='text' name='name' id='f-name' maxlength='50' aria-describedby='f-name-limit'>\n"
    "</p>\n"
    "<p class='bold'><label for='f-title'>題名：</label><span id='f-title-limit'>（全角50文字まで）</span><br>\n"
    "<input type='text' name='title' id='f-title' maxlength='50' aria-describedby='f-title-limit'>\n"
    "</p>\n"
    "<p class='bold'><label for='f-text'>内容：</label><span id='f-text-limit'>（全角500文字まで）</span><br>\n"
    "<textarea name='text' id='f-text' rows='6' aria-describedby='f-text-limit'></textarea>\n"
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

std::string phone_address(int page) { return "wbk_phone_" + std::to_string(page) + ".html"; }

std::string page_link(int page, bool shown) {
    std::string n = std::to_string(page);
    return "<a href='" + phone_address(page) + "'" + (shown ? " aria-current='page'" : "") + ">" + n + "</a>";
}

// The parts of a phone page, in their order.

std::string page_head_lines(int page, const std::string& feed_link) {
    std::string t = kHead;
    t += feed_link;
    t += "<title>コモレビ　－" + std::to_string(page) + "－</title>\n";
    t += reload_from_cache_script(phone_address(page));
    return t + write_check();
}

std::string page_top_lines(int page) {
    return "<h1>コモレビ　" + std::to_string(page) + "ページ</h1>\n"
           "<p class='top'><a href='#formwrite'>メッセージを投稿する</a></p>\n";
}

// The nearest pages, the first and the last, the shown one marked current.
std::string page_links_nav(const std::vector<int>& pages, int page) {
    std::string t = "<nav class='pages' aria-label='ページ'>ページ：";
    for (int linked : page_link_window(pages, page)) {
        if (linked == 0) t += " …";
        else t += " " + page_link(linked, linked == page);
    }
    return t + "</nav>\n";
}

// What a post's reply leads to: the word that it is stored, read out as it
// appears, right above the new message.
const char kPostedStatus[] = "<p class='status' role='status'>投稿しました</p>\n";

// The mark of a message newer than the visitor's previous visit, in its
// heading so that a screen reader says it with the title.
const char kNewMark[] = "<span class='new'>新着</span> ";

// One message block as an article headed by its title, with the anchor
// "m<from_oldest>"; its other lines as stored, its closing rule after it.
std::string message_article(const std::string& block, int from_oldest, bool marked_new) {
    std::string_view lines = block;
    bool ruled = lines.size() >= 5 && lines.substr(lines.size() - 5) == "<hr>\n";
    if (ruled) lines.remove_suffix(5);
    std::string body(lines);
    std::string_view title = block_field(block, "題名");
    const std::string title_start = "<p>題名　：　";
    size_t at = body.find(title_start);
    size_t end = at == std::string::npos ? at : body.find("</p>\n", at);
    if (end != std::string::npos) body.erase(at, end + 5 - at);
    std::string k = std::to_string(from_oldest);
    return "<article id='m" + k + "' tabindex='-1'>\n<h2>" + (marked_new ? kNewMark : "") + std::string(title) + "</h2>\n" + body + "</article>\n" +
           (ruled ? "<hr>\n" : "");
}

// A message block's stored time ("2026年12月8日11時27分14秒") as the number
// 20261208112714, which orders blocks as their times do; 0 when it is not one.
std::int64_t block_time_key(const std::string& block) {
    std::string_view time = block_field(block, "時間");
    std::int64_t key = 0;
    int fields = 0;
    for (size_t i = 0; i < time.size();) {
        if (time[i] < '0' || time[i] > '9') {
            ++i;
            continue;
        }
        int value = 0, digits = 0;
        for (; i < time.size() && time[i] >= '0' && time[i] <= '9' && digits < 5; ++i, ++digits)
            value = value * 10 + (time[i] - '0');
        if (++fields > 6 || (fields == 1 ? value > 9999 : value > 99)) return 0;
        key = key * (fields == 1 ? 1 : 100) + value;
    }
    return fields == 6 ? key : 0;
}

// Which of a page's messages (newest first) are newer than `baseline`;
// none when there is no baseline (a first visit).
std::vector<bool> new_messages(const MessageBlocks& split, std::optional<std::int64_t> baseline) {
    std::vector<bool> marked(split.blocks.size(), false);
    for (size_t i = 0; baseline && i < marked.size(); ++i) marked[i] = block_time_key(split.blocks[i]) > *baseline;
    return marked;
}

// The line at the top of a page with new messages: how many, and a link to
// the oldest of them.
std::string new_count_line(const std::vector<bool>& marked) {
    int count = 0, oldest = 0;
    for (size_t i = 0; i < marked.size(); ++i)
        if (marked[i]) ++count, oldest = static_cast<int>(marked.size() - i);
    if (count == 0) return {};
    return "<p class='new'><a href='#m" + std::to_string(oldest) + "'>新着 " + std::to_string(count) + "件</a></p>\n";
}

// The text page's messages, newest first, each an article (marked when
// newer than the previous visit); what follows the last block (a hand
// edit's lines) as stored.
std::string message_articles(const MessageBlocks& split, const std::vector<bool>& marked) {
    std::string t;
    const int count = static_cast<int>(split.blocks.size());
    for (int i = 0; i < count; ++i) t += message_article(split.blocks[i], count - i, marked[i]);
    return t + split.tail;
}

// The head's link to the feed: its plain address while reading is not
// private; then its secret address, which only a browser with a session
// gets a phone page with; none before the owner made the token (a GET
// writes nothing, and the token lives in the owner's settings).
std::string feed_link_line(Board& b) {
    std::string address;
    if (b.PrivateReading.load() != 1) address = kFeedPath;
    else if (std::string token = feed_token(b); !token.empty()) address = secret_feed_path(token);
    else return {};
    return "<link rel=\"alternate\" type=\"application/atom+xml\" title=\"コモレビ\" href=\"" + address + "\">\n";
}

// What the visitor saw, kept in the SEEN cookie as "<baseline>.<newest>.<at>":
// the newest message time of before this visit (the messages after it are
// new), the newest message time seen so far, and when (seconds) the visitor
// last asked for a phone page. A visit ends after kVisitGap without a page:
// the next page starts a new one, whose baseline is the newest seen. So the
// marks stay on the page that sets the cookie and while the visitor moves
// between pages, and are gone on the next visit. Nothing of it is on the
// board's disk.
struct Seen {
    std::int64_t baseline = 0, newest = 0, at = 0;
};
constexpr std::int64_t kVisitGap = 30 * 60;

std::optional<Seen> parse_seen(std::string_view value) {
    std::int64_t n[3] = {};
    int field = 0;
    size_t digits = 0;
    for (char c : value) {
        if (c == '.' && digits > 0 && field < 2) ++field, digits = 0;
        else if (c >= '0' && c <= '9' && ++digits <= 15) n[field] = n[field] * 10 + (c - '0');
        else return std::nullopt;
    }
    if (field != 2 || digits == 0) return std::nullopt;
    return Seen{n[0], n[1], n[2]};
}

// The visit after this request: the newest message time now is that of
// the shown page and of the newest page, as stored.
Seen next_seen(std::optional<Seen> previous, std::int64_t newest_now, std::int64_t now) {
    if (!previous) return Seen{newest_now, newest_now, now};  // a first visit: nothing is new
    Seen next = *previous;
    if (now - previous->at > kVisitGap || now < previous->at) next.baseline = previous->newest;
    next.newest = std::max(previous->newest, newest_now);
    next.at = now;
    return next;
}

std::string seen_cookie_line(const Seen& s) {
    return "Set-Cookie: SEEN=" + std::to_string(s.baseline) + "." + std::to_string(s.newest) + "." +
           std::to_string(s.at) + "; Max-Age=31536000; Path=/; HttpOnly; SameSite=Lax\n";
}

std::int64_t newest_time_key(const std::shared_ptr<const std::string>& text) {
    if (!text) return 0;
    MessageBlocks split = split_message_blocks(*text);
    std::int64_t newest = 0;
    for (const std::string& block : split.blocks) newest = std::max(newest, block_time_key(block));
    return newest;
}

// A refusal page for a phone: why, and the way back into the phone view.
std::string refusal_page(std::string_view title, const std::string& reason, std::string_view back) {
    std::string t = kHead;
    t += "<title>" + std::string(title) + "</title>\n</head>\n<body>\n<main>\n<h1>コモレビ</h1>\n<hr>\n";
    t += reason;
    t += "<p><a href='./?phone'>" + std::string(back) + "</a></p>\n</main>\n";
    return t + kPageEnd;
}

}  // namespace

std::string reload_from_cache_script(std::string_view address) {
    std::string go = address.empty() ? "location.reload()" : "location.replace('" + std::string(address) + "')";
    return "<script type='text/javascript'>\n"
           "window.addEventListener('pageshow', function (e) { if (e.persisted) " + go + "; });\n"
           "</script>\n";
}

std::string phone_search_form(std::string_view value) {
    return "<form name='search' method='get' action='wbk_search.cgi' role='search'>\n"
           "<label for='f-q'>検索する言葉</label><span id='f-q-limit'>（１００文字・１０語まで）</span><br>\n"
           "<input type='text' name='q' id='f-q' size='20' maxlength='100' aria-describedby='f-q-limit' value='" +
           escape_html(value) + "'>\n<input type='submit' value='検索'>\n</form>\n";
}

std::string with_phone_view_link(std::string_view page) {
    static constexpr std::string_view kLink = "<p><a href='./?phone'>スマートフォン用の表示</a></p>\r\n";
    size_t body_end = page.rfind("</body>");
    if (body_end == std::string_view::npos) body_end = page.size();
    std::string t(page.substr(0, body_end));
    t += kLink;
    t += page.substr(body_end);
    return t;
}

std::string phone_paused_login_page(int minutes_left) {
    return refusal_page("コモレビ　－ログイン－", paused_login_lines(minutes_left), "ログインページへ");
}

std::string phone_post_refused_page(const PostLimits& limits, std::int64_t seconds_left) {
    return refusal_page("コモレビ　－投稿－", post_refused_lines(limits, seconds_left), "伝言板へ戻る");
}

bool phone_browser(std::string_view user_agent) {
    return contains(user_agent, "Mobi") || contains(user_agent, "Android") || contains(user_agent, "iPhone") ||
           contains(user_agent, "iPad");
}

View view_of(const Board& b, const server::Request& request) {
    if (b.PhoneView.load() != 1) return View::Described;
    std::string_view choice = request.query == "phone" || request.query == "pc" ? request.query : request.view_cookie;
    if (choice == "phone") return View::Phone;
    if (choice == "pc") return View::ChosenPc;
    return phone_browser(request.user_agent) ? View::Phone : View::Described;
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

namespace {

// The phone page of page `page` with the messages after `baseline` marked
// new: kept for the next request when nothing is marked and it is not a
// post's reply.
std::shared_ptr<const std::string> board_page(Board& b, int page, bool missing_as_empty, bool posted,
                                              std::optional<std::int64_t> baseline) {
    std::shared_ptr<const std::string> text = stored(b, text_page_path(page));
    if (!text && !missing_as_empty) return nullptr;
    std::shared_ptr<const std::string> menu = stored(b, paths::kMenuPage);
    MessageBlocks split = text ? split_message_blocks(*text) : MessageBlocks{};
    const std::vector<bool> marked = new_messages(split, baseline);
    const std::string count_line = new_count_line(marked);
    const bool keep = !posted && count_line.empty();
    std::string feed_link = feed_link_line(b);
    if (keep) {
        std::lock_guard<std::mutex> guard(b.phone_lock);
        const Board::PhoneCopy& kept = b.phone_copy;
        if (kept.bytes && kept.page == page && kept.text == text && kept.menu == menu && kept.feed_link == feed_link)
            return kept.bytes;
    }
    std::vector<int> pages = menu ? linked_pages(*menu) : std::vector<int>{};

    std::string t = page_head_lines(page, feed_link);
    t += "<main>\n";
    t += page_top_lines(page);
    t += count_line;
    t += page_links_nav(pages, page);
    // The search form, right under the page links: its results come as a
    // phone page too.
    t += phone_search_form({});
    t += "<hr>\n";
    if (posted) t += kPostedStatus;
    if (text) t += message_articles(split, marked);
    t += kForms;
    t += "</main>\n";
    t += kPageEnd;
    auto bytes = std::make_shared<const std::string>(std::move(t));
    if (!keep) return bytes;  // made for one reply, never kept
    std::lock_guard<std::mutex> guard(b.phone_lock);
    b.phone_copy = Board::PhoneCopy{page, std::move(text), std::move(menu), bytes, std::move(feed_link)};
    return bytes;
}

}  // namespace

std::shared_ptr<const std::string> phone_board_page(Board& b, int page, bool missing_as_empty, bool posted) {
    return board_page(b, page, missing_as_empty, posted, std::nullopt);
}

void phone_login_reply(const Board& b, server::Reply& reply, std::string_view extra_header) {
    std::string extra(extra_header);
    extra += cache_header(b);
    server::file_reply(reply, phone_login_page(), "text/html\n", extra);
}

void phone_page_reply(Board& b, server::Reply& reply, int page, bool missing_as_empty,
                      std::string_view extra_header, bool posted, std::optional<std::string_view> seen_cookie) {
    const std::optional<Seen> previous = seen_cookie ? parse_seen(*seen_cookie) : std::nullopt;
    std::optional<Seen> seen;
    if (seen_cookie) {
        const int newest_page = newest_linked_page(b);
        std::int64_t newest = newest_time_key(stored(b, text_page_path(newest_page)));
        if (page != newest_page) newest = std::max(newest, newest_time_key(stored(b, text_page_path(page))));
        seen = next_seen(previous, newest, b.clock().epoch_seconds);
        // Who just posted has read the board up to their own message: none
        // of it, their own least of all, is new to them any more.
        if (posted) seen->baseline = seen->newest;
    }
    std::optional<std::int64_t> baseline;
    if (previous) baseline = seen->baseline;  // a first visit marks nothing
    std::shared_ptr<const std::string> bytes = board_page(b, page, missing_as_empty, posted, baseline);
    if (!bytes) return server::not_found_reply(reply);
    std::string extra(extra_header);
    if (seen) extra += seen_cookie_line(*seen);
    extra += cache_header(b);
    server::file_reply(reply, *bytes, "text/html\n", extra);
}

void phone_posted_reply(const Board& b, server::Reply& reply, int page, int from_oldest) {
    server::see_other_reply(reply, phone_address(page) + "?posted#m" + std::to_string(from_oldest), cache_header(b));
}

}  // namespace board
