#pragma once
// The board's static pages: their templates, the program-point markers that
// enclose their sections, and the one mechanism that rewrites sections.
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "board/board.h"
#include "platform/sjis.h"

namespace board {

// Program-point markers: whole lines, line feed included.
inline constexpr std::string_view kPlainStart = "<!--プログラムポイント　開始//-->\n";
inline constexpr std::string_view kPlainEnd = "<!--プログラムポイント　終了//-->\n";
inline constexpr std::string_view kCurrentPageStart = "<!--プログラムポイント　現在ページ　開始//-->\n";
inline constexpr std::string_view kCurrentPageEnd = "<!--プログラムポイント　現在ページ　終了//-->\n";
inline constexpr std::string_view kUpdateTimeStart = "<!--プログラムポイント　更新日時　開始//-->\n";
inline constexpr std::string_view kUpdateTimeEnd = "<!--プログラムポイント　更新日時　終了//-->\n";
inline constexpr std::string_view kPageLinkStart = "<!--プログラムポイント　ページリンク　開始//-->\n";
inline constexpr std::string_view kPageLinkEnd = "<!--プログラムポイント　ページリンク　終了//-->\n";
// The menu's search form, present only while the owner's search setting is on.
inline constexpr std::string_view kSearchStart = "<!--プログラムポイント　検索　開始//-->\n";
inline constexpr std::string_view kSearchEnd = "<!--プログラムポイント　検索　終了//-->\n";

// A line read is a marker line only when it is exactly the marker's bytes,
// line feed included, and nothing more.
inline bool is_marker_line(std::string_view line, std::string_view marker) { return line == marker; }

enum class SectionMode {
    Replace,  // the section's old lines are dropped
    Prepend,  // the old lines stay after the new ones
    Drop,     // the markers go with the old lines, and the new lines are not written
};

struct Section {
    std::string_view start;
    std::string_view end;
    std::string new_lines;  // written right after the start marker
    SectionMode mode;
};

enum class RewriteResult {
    Written,         // the page now holds the new text
    Unchanged,       // the new text would equal the old: nothing was written
    PageMissing,     // the page does not exist
    ReadFailed,      // the page exists but cannot be read: nothing was written
    WorkFileFailed,  // the work file cannot be written, or the page not replaced
};

// A page's stored bytes copied line by line (reads of at most line_size - 1
// bytes), each handled section's new lines written after its start marker:
// the new stored bytes.
std::string rewrite_text(const std::string& stored, const std::vector<Section>& sections, size_t line_size = 500);

// Reads page whole through rewrite_text, writes the result through work and
// moves it over the page in one atomic, durable step. A rewrite that would
// leave the page's bytes as they are writes nothing.
RewriteResult rewrite_sections(const std::string& page, const std::string& work,
                               const std::vector<Section>& sections, size_t line_size = 500);

// The lines of each section.
std::string frame_line(int page);             // the main page's frame section
std::string current_page_line(int page);      // "<p>－%d－</p>\n"
std::string update_time_line(const std::string& date_time);  // "<p>%s</p>\n"
std::string page_link_line(int page);         // the menu's link to a page
std::string text_page_path(int page);         // "DATA/HTML/wbk_text_%d.html"

// The menu's pagelink script: a menu page's stored bytes with the script
// lines menus were written with before, where it holds them byte for byte,
// replaced by the template's; any other menu's bytes as they are (an owner's
// own script stays). renew_page_link_script does so to DATA/HTML/wbk_menu.html
// at the start: empty when done or nothing to do, else the file that cannot
// be read or replaced, with the system's reason.
std::string renewed_page_link_script(const std::string& stored);
std::string renew_page_link_script();

// A page's stored bytes; nothing when it does not exist. A page that exists
// but cannot be read ends the request (request failure).
std::optional<std::string> read_page(const std::string& page);

// Page templates: their texts, and writers that make the directories and
// write the page whole; a page that cannot be written ends the request
// (request failure).
// The page a login refused by the guessing pause gets: why, and about how
// many minutes are left. Stored form (CR LF), as the login page is served.
std::string paused_login_page_text(int minutes_left);
// The page a post refused by flood control gets (flood.h): the limits it
// met, that nothing was stored, and about how long to wait.
std::string post_refused_page_text(const PostLimits& limits, std::int64_t seconds_left);
// Their reasons, the lines the phone's refusal pages share with them.
std::string paused_login_lines(int minutes_left);
std::string post_refused_lines(const PostLimits& limits, std::int64_t seconds_left);
std::string login_template_text();
std::string main_template_text(int current_page);
std::string menu_template_text();
// The menu's template for the board: with the search form while b.SearchForm is 1.
std::string menu_template_for(const Board& b);
// The menu's search section, markers included.
std::string menu_search_lines();
// At each start: puts the search form into an existing menu page right
// after its page-link section while b.SearchForm is 1, or takes it out
// again while it is 0 (a menu without it stays as it is). Only the lines
// between well-formed markers change: a menu whose search markers are
// missing, doubled or out of order stays as it is, and b.menu_notice gets
// kSearchMarkersNotice, once until the markers are whole again. Empty when
// done; otherwise why the menu could not be rewritten.
std::string place_search_form(Board& b);
inline constexpr const char* kSearchMarkersNotice =
    "メニューページ（wbk_menu.html）の検索の目印が欠けているか、重なっているため、"
    "検索フォームの設定（search=）を反映せず、メニューページをそのままにしました。";
std::string input_template_text();
std::string text_template_text();
void write_login_template();  // DATA/HTML/index.html
void write_main_template(int current_page);
void write_menu_template();
void write_input_template();
void write_text_template();

// A page's stored bytes, its template written first when the page does not
// exist. A page that cannot be read, or a template that cannot be written,
// ends the request.
std::string ensure_page(const char* path, const std::function<std::string()>& template_text);

// A new text page: text page 1 with an empty message section.
std::string new_text_page(const std::string& page1);
// Writes the text page of current_page so. Page 1 is never copied onto itself.
void make_new_text_page(int current_page);

// The message reset's outcome: the owner is told of the file that failed
// first (the counters file, or the main page; their work files; text page 1;
// the menu page).
enum class ResetResult { Done = 0, CountersOrMainPage = -1, MainWork = -2, TextPage1 = -3, TextWork = -4,
                         MenuPage = -5, MenuWork = -6 };
struct ResetOutcome {
    ResetResult result = ResetResult::Done;
    const char* file = nullptr;  // the file named to the owner
};

// The message reset: sets the counters to no messages on page 1 and rewrites the main page's
// frame, text page 1's messages and the menu's page links, under the board
// lock, all or nothing: a failure puts back what was replaced, and the
// counters in memory change only when every file holds the reset. Other text pages stay as they are. A page
// that does not exist yet (before the first login) is written from its
// template first; one that cannot be written is reported as missing. The
// counters file is not made when DATA/MESSAGE does not exist: the program's
// start makes it with these very counters.
ResetOutcome reset_messages(Board& b);

// The login form's checks, before it is sent (also the phone login page's).
inline constexpr char kLoginFormCheck[] =
    "function m_sub_FormCheck() {\n"
    "if (document.formlogin.id.value == '') {\n"
    "alert('[ ＩＤ ]が入力されていません。入力して下さい。');\n"
    "document.formlogin.id.focus();\n"
    "return(false);\n"
    "}\n"
    "if (document.formlogin.password.value == '') {\n"
    "alert('[ パスワード ]が入力されていません。入力して下さい。');\n"
    "document.formlogin.password.focus();\n"
    "return(false);\n"
    "}\n"
    "}\n";
// The input form's checks, before it is sent (also the phone page's).
inline constexpr char kWriteFormCheck[] =
    "function m_sub_FormCheck() {\n"
    "if (document.formwrite.name.value == '') {\n"
    "\talert('[ 名前 ]が入力されていません。入力して下さい。');\n"
    "\tdocument.formwrite.name.focus();\n"
    "\treturn(false);\n"
    "}\n"
    "if (document.formwrite.title.value == '') {\n"
    "\talert('[ 題名 ]が入力されていません。入力して下さい。');\n"
    "\tdocument.formwrite.title.focus();\n"
    "\treturn(false);\n"
    "}\n"
    "if (document.formwrite.text.value == '') {\n"
    "\talert('[ 内容 ]が入力されていません。入力して下さい。');\n"
    "\tdocument.formwrite.text.focus();\n"
    "\treturn(false);\n"
    "}\n"
    "number = document.formwrite.text.value.length;\n"
    "if(number > 500) {\n"
    "    alert('内容の文字数が[５００]文字を超えています。\\nすみませんが、調整して下さい。\\n※改行も数に含まれます。');\n"
    "\tdocument.formwrite.text.focus();\n"
    "\treturn(false);\n"
    "}\n"
    "}\n";


}  // namespace board
