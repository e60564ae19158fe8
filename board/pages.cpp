#include "board/pages.h"

#include <cstring>
#include <functional>
#include <optional>

#include "board/flood.h"
#include "board/paths.h"
#include "board/request_failure.h"
#include "board/views/search.h"
#include "board/state.h"
#include "platform/fs.h"
#include "platform/text_file.h"

namespace board {

std::string menu_template_text(bool search_form);

namespace {

// Collects the copy as text (line feeds, not yet stored form).
struct StringSink {
    std::string text;
    bool put(std::string_view s) {
        text += s;
        return true;
    }
};

// The section copy: markers are always written; a handled start marker is
// followed by its section's new lines and, in replace mode, turns copying off
// until a handled end marker turns it on again.
template <class Sink>
void copy_sections(platform::TextReader& in, Sink& out, const std::vector<Section>& sections,
                   size_t line_size) {
    char line[512];
    if (line_size > sizeof line) line_size = sizeof line;
    bool copying = true;
    size_t n;
    while ((n = in.read_line(line, line_size)) > 0) {
        std::string_view text(line, n);
        bool handled = false;
        for (const Section& s : sections) {
            if (is_marker_line(text, s.start)) {
                if (s.mode != SectionMode::Drop && (!out.put(text) || !out.put(s.new_lines))) return;
                if (s.mode != SectionMode::Prepend) copying = false;
                handled = true;
                break;
            }
            if (is_marker_line(text, s.end)) {
                if (s.mode != SectionMode::Drop && !out.put(text)) return;
                copying = true;
                handled = true;
                break;
            }
        }
        if (!handled && copying && !out.put(text)) return;
    }
}

}  // namespace

std::string rewrite_text(const std::string& stored, const std::vector<Section>& sections, size_t line_size) {
    platform::TextReader in;
    in.open_bytes(stored);
    StringSink sink;
    copy_sections(in, sink, sections, line_size);
    return platform::stored_text(sink.text);
}

std::optional<std::string> read_page(const std::string& page) {
    std::string stored;
    platform::FileStatus s = platform::read_file(page, stored);
    if (s.missing()) return std::nullopt;
    if (!s.ok()) fail_request("cannot read " + page + ": " + platform::reason_text(s));
    return stored;
}

RewriteResult rewrite_sections(const std::string& page, const std::string& work,
                               const std::vector<Section>& sections, size_t line_size) {
    std::string stored;
    platform::FileStatus s = platform::read_file(page, stored);
    if (s.missing()) return RewriteResult::PageMissing;
    if (!s.ok()) return RewriteResult::ReadFailed;
    std::string rewritten = rewrite_text(stored, sections, line_size);
    if (rewritten == stored) return RewriteResult::Unchanged;
    platform::FileGroup group;
    group.replace(page, work, std::move(rewritten), platform::FileGroup::Undo::Restore, stored);
    return group.commit().ok() ? RewriteResult::Written : RewriteResult::WorkFileFailed;
}

std::string frame_line(int page) {
    return "<frame src='wbk_text_" + std::to_string(page) + ".html' name='wbk_text'>\n";
}

std::string current_page_line(int page) { return "<p>－" + std::to_string(page) + "－</p>\n"; }

std::string update_time_line(const std::string& date_time) { return "<p>" + date_time + "</p>\n"; }

std::string page_link_line(int page) {
    std::string n = std::to_string(page);
    std::string line = "<a href='javascript:pagelink('wbk_select_" + n + ".cgi','wbk_text_" + n +
                       ".html')'>" + n + "</a>\n";
    // The href value stands in double quotes; the quotes inside it stay single.
    line[8] = '"';
    size_t close = line.find("'>", 66);
    if (close != std::string::npos) line[close] = '"';
    return line;
}

std::string text_page_path(int page) { return "DATA/HTML/wbk_text_" + std::to_string(page) + ".html"; }

namespace {

// The lines the templates share: the head of every page, the meta lines.
std::string page_head(bool frameset) {
    return std::string(frameset ? "<!DOCTYPE HTML PUBLIC '-//W3C//DTD HTML 4.01 Frameset//EN' \n"
                                : "<!DOCTYPE HTML PUBLIC '-//W3C//DTD HTML 4.01 Transitional//EN' \n") +
           "'http://www.w3.org/TR/html4/loose.dtd'>\n"
           "<html>\n"
           "<head>\n";
}
const char* const kCharsetMeta = "<meta http-equiv='Content-Type' content='text/html;charset=Shift_JIS'>\n";
const char* const kStyleMeta = "<meta http-equiv='Content-Style-Type' content='text/css'>\n";
const char* const kScriptMeta = "<meta http-equiv='Content-Script-Type' content='text/javascript'>\n";
const char* const kScriptStart = "<script type='text/javascript'>\n<!--\n";
const char* const kScriptEnd = "//-->\n</script>\n</head>\n<body>\n";
const char* const kPageEnd = "</body>\n</html>\n";

void write_page(const char* path, const std::string& text) {
    platform::make_directory(paths::kData);
    platform::make_directory(paths::kHtmlDir);
    platform::AtomicFile file(path, platform::work_name_for(path));
    file.write(text);
    platform::FileStatus s = file.commit();
    if (!s.ok()) fail_request(std::string("cannot write ") + path + ": " + platform::reason_text(s));
}

}  // namespace

std::string login_template_text() {
    std::string t = page_head(false) + kScriptMeta + kStyleMeta + kCharsetMeta;
    t += "<title>コモレビ　－ログイン－</title>\n";
    t += kScriptStart;
    t += kLoginFormCheck;
    t += kScriptEnd;
    t += "<h1>コモレビ</h1>\n"
         "<hr>\n"
         "<p>ログインを行って下さい。</p>\n"
         "<form name='formlogin' method='post' action='wbk_login.cgi' onsubmit='return m_sub_FormCheck()' target='_top'>\n"
         "<p class='bold'>ID<br>\n"
         "<input type='text' name='id' size='100' maxlength='50'>\n"
         "</p>\n"
         "<p class='bold'>Password<br>\n"
         "<input type='text' name='password' size='100' maxlength='50'>\n"
         "<p>\n"
         "<input type='submit' name='login' value='送信'>\n"
         "<input type='reset' name='リセット' value='リセット'>\n"
         "</form>\n"
         "<hr>\n";
    return t + kPageEnd;
}

std::string text_template_text() {
    std::string t = page_head(true) + kCharsetMeta;
    t += "<title>コモレビ　－テキスト－</title>\n"
         "</head>\n"
         "<body>\n";
    t += kPlainStart;
    t += kPlainEnd;
    return t + kPageEnd;
}

std::string main_template_text(int current_page) {
    std::string t = page_head(false) + kCharsetMeta;
    t += "<title>コモレビ －メイン－</title>\n"
         "</head>\n"
         "<frameset cols='25%,75%'>\n"
         "<frame src='wbk_menu.html' name='wbk_menu'>\n"
         "<frameset rows='70%,30%'>\n";
    t += kPlainStart;
    t += frame_line(current_page);
    t += kPlainEnd;
    t += "<frame src='wbk_input.html' name='wbk_input'>\n"
         "<noframes>\n"
         "<body>このホームページはフレーム対応のブラウザでご覧ください。</body>\n"
         "</noframes>\n"
         "</frameset>\n"
         "</frameset>\n"
         "</html>\n";
    return t;
}

namespace {

// The menu's pagelink script. The page select (data1) closes without a reply;
// the text frame moves to data2 only once that request has finished, since a
// browser may cancel a frame's navigation that another follows at once, and
// the select would never arrive. Where no request can be made from the
// script, the frame is pointed at both in turn, as menus written before did.
const char* const kPageLinkScript =
    "function pagelink(data1,data2) {\n"
    "\tvar moved = false;\n"
    "\tfunction move() {\n"
    "\t\tif (moved) return;\n"
    "\t\tmoved = true;\n"
    "\t\tparent.wbk_text.location.href = data2;\n"
    "\t\tparent.wbk_menu.location.href = 'wbk_menu.html';\n"
    "\t}\n"
    "\ttry {\n"
    "\t\tvar r = new XMLHttpRequest();\n"
    "\t\tr.onreadystatechange = function() { if (r.readyState == 4) move(); };\n"
    "\t\tr.open('GET', data1, true);\n"
    "\t\tr.send(null);\n"
    "\t} catch (e) {\n"
    "\t\tparent.wbk_text.location.href = data1;\n"
    "\t\tmove();\n"
    "\t}\n"
    "}\n";

// The script menus were written with before: replaced at the start where a
// menu still holds it line for line.
const char* const kOldPageLinkScript =
    "function pagelink(data1,data2) {\n"
    "\tparent.wbk_text.location.href = data1;\n"
    "\tparent.wbk_text.location.href = data2;\n"
    "\tparent.wbk_menu.location.href = 'wbk_menu.html';\n"
    "}\n";

}  // namespace

std::string renewed_page_link_script(const std::string& stored) {
    // Whole lines only: the old lines right after a line end, once.
    const std::string old = "\r\n" + platform::stored_text(kOldPageLinkScript);
    size_t at = stored.find(old);
    if (at == std::string::npos) return stored;
    std::string renewed = stored;
    renewed.replace(at + 2, old.size() - 2, platform::stored_text(kPageLinkScript));
    return renewed;
}

std::string renew_page_link_script() {
    std::string stored;
    platform::FileStatus s = platform::read_file(paths::kMenuPage, stored);
    if (s.missing()) return {};  // written from the template by the next request
    if (!s.ok()) return std::string("[") + paths::kMenuPage + "] " + platform::reason_text(s);
    std::string renewed = renewed_page_link_script(stored);
    if (renewed == stored) return {};
    platform::FileGroup group;
    group.replace(paths::kMenuPage, paths::kMenuWork, std::move(renewed), platform::FileGroup::Undo::Restore, stored);
    s = group.commit();
    return s.ok() ? std::string() : "[" + group.failed_file() + "] " + platform::reason_text(s);
}

std::string menu_template_text() { return menu_template_text(false); }

std::string menu_template_for(const Board& b) { return menu_template_text(b.SearchForm.load() == 1); }

std::string menu_search_lines() {
    std::string t(kSearchStart);
    t += "<hr>\n<h4>メッセージを検索する場合は、言葉を入力して、検索ボタンを押して下さい。</h4>\n";
    t += search_form_lines("wbk_text");
    t += kSearchEnd;
    return t;
}

// How many times the marker's line (without its line end, which may be
// CR LF on disk) stands in the page, and where it stands first.
static size_t marker_count(const std::string& page, std::string_view marker, size_t& first) {
    std::string_view bare = marker.substr(0, marker.size() - 1);
    size_t n = 0;
    first = page.find(bare);
    for (size_t at = first; at != std::string::npos; at = page.find(bare, at + bare.size())) ++n;
    return n;
}

std::string place_search_form(Board& b) {
    std::string menu;
    platform::FileStatus s = platform::read_file(paths::kMenuPage, menu);
    if (s.missing()) return {};  // its template brings the form
    if (!s.ok()) return std::string("[") + paths::kMenuPage + "] " + platform::reason_text(s);
    size_t start_at = 0, end_at = 0;
    size_t starts = marker_count(menu, kSearchStart, start_at), ends = marker_count(menu, kSearchEnd, end_at);
    bool placed = starts == 1 && ends == 1 && start_at < end_at;
    if (!placed && (starts != 0 || ends != 0)) {
        // A marker missing, doubled or out of order: a rewrite could take the
        // page's rest with it, so the menu stays as it is.
        if (!b.menu_markers_told) b.menu_notice = kSearchMarkersNotice;
        b.menu_markers_told = true;
        return {};
    }
    b.menu_markers_told = false;
    Section section{kSearchStart, kSearchEnd, "", SectionMode::Drop};
    if (b.SearchForm.load() == 1)
        section = placed ? Section{kSearchStart, kSearchEnd, menu_search_lines().substr(kSearchStart.size(),
                                   menu_search_lines().size() - kSearchStart.size() - kSearchEnd.size()),
                                   SectionMode::Replace}
                         : Section{kPageLinkEnd, kSearchEnd, menu_search_lines(), SectionMode::Prepend};
    else if (!placed)
        return {};
    RewriteResult r = rewrite_sections(paths::kMenuPage, paths::kMenuWork, {section});
    if (r == RewriteResult::Written || r == RewriteResult::Unchanged || r == RewriteResult::PageMissing) return {};
    return std::string("[") + paths::kMenuPage + "] cannot be rewritten";
}

std::string menu_template_text(bool search_form) {
    std::string t = page_head(false);
    t += "<title>コモレビ　－メニュー－</title>\n"
         "<meta http-equiv='content-script-type' content='text/javascript'>\n";
    t += kStyleMeta;
    t += kCharsetMeta;
    t += kScriptStart;
    t += kPageLinkScript;
    t += kScriptEnd;
    t += "<h1>メニュー</h1>\n"
         "<hr>\n"
         "<h4>現在、表示されているページ</h4>\n";
    t += kCurrentPageStart;
    t += "<p>－2－</p>\n";
    t += kCurrentPageEnd;
    t += "<h4>ページを移動する場合は、下のページ番号をクリックして下さい。</h4>\n";
    t += kPageLinkStart;
    t += page_link_line(1);
    t += kPageLinkEnd;
    if (search_form) t += menu_search_lines();
    t += "<hr>\n"
         "<h4>伝言板の表示を更新する場合は、表示更新ボタンを押して下さい。</h4>\n"
         "<form name='reload' method='post' action='wbk_reload.cgi' target='_top'>\n"
         "<input type='submit' name='reload' value='伝言板の表示を更新する'>\n"
         "</form>\n"
         "<hr>\n"
         "<h4>ページの表示更新日時</h4>\n";
    t += kUpdateTimeStart;
    t += "<p>2011年4月28日0時6分25秒</p>\n";
    t += kUpdateTimeEnd;
    t += "<hr>\n"
         "<h4>ログアウトする場合は、「ログアウトします。」ボタンを押して下さい。</h4>\n"
         "<form name='logout' method='post' action='wbk_logout.cgi' target='_top'>\n"
         "<input type='submit' name='logout' value='ログアウトします。'>\n"
         "</form>\n";
    return t + kPageEnd;
}

std::string input_template_text() {
    std::string t = page_head(false) + kScriptMeta + kStyleMeta + kCharsetMeta;
    t += "<title>コモレビ　－入力－</title>\n";
    t += kScriptStart;
    t += kWriteFormCheck;
    t += kScriptEnd;
    t += "<p>メッセージを投稿する場合は、下記に入力をして、送信ボタンを押して下さい。</p>\n"
         "<form name='formwrite' method='post' action='wbk_write.cgi' onsubmit='return m_sub_FormCheck()' target='_top'>\n"
         "<p class='bold'>名前：\n"
         "<input type='text' name='name' size='100' maxlength='50'>（全角50文字まで）\n"
         "</p>\n"
         "<p class='bold'>題名：\n"
         "<input type='text' name='title' size='100' maxlength='50'>（全角50文字まで）\n"
         "</p>\n"
         "<p class='bold'>内容：（全角500文字まで）<br>\n"
         "<textarea name='text' cols='100' rows='9'></textarea>\n"
         "</p>\n"
         "<hr><p class='bold'>\n"
         "</p>\n"
         "<input type='submit' name='write' value='送信'>\n"
         "<input type='reset' name='リセット' value='リセット'>\n"
         "</form>\n"
         "<hr>\n"
         "<p>伝言板を終了する場合は、メニューから[ログアウト]ボタンを押すか、ブラウザーを閉じて下さい。</p>\n";
    return t + kPageEnd;
}

std::string paused_login_lines(int minutes_left) {
    return "<p>このＩＰアドレスからのログインは、失敗が続いたため一時停止しています。</p>\n"
           "<p>あと約" + std::to_string(minutes_left) + "分たってから、もう一度ログインして下さい。</p>\n";
}

std::string paused_login_page_text(int minutes_left) {
    std::string t = page_head(false) + kStyleMeta + kCharsetMeta;
    t += "<title>コモレビ　－ログイン－</title>\n"
         "</head>\n"
         "<body>\n"
         "<h1>コモレビ</h1>\n"
         "<hr>\n";
    t += paused_login_lines(minutes_left);
    t += "<p><a href='index.html' target='_top'>ログインページへ</a></p>\n"
         "<hr>\n";
    return platform::stored_text(t + kPageEnd);
}

std::string post_refused_lines(const PostLimits& limits, std::int64_t seconds_left) {
    std::string wait = seconds_left < 120 ? std::to_string(seconds_left) + "秒" : std::to_string((seconds_left + 59) / 60) + "分";
    return "<p>このＩＰアドレスからの投稿が続いたため、投稿の受け付けを一時停止しています（" +
           post_limits_text(limits) + "まで）。</p>\n"
           "<p>今回のメッセージは投稿されていません。あと約" + wait + "たってから、もう一度投稿して下さい。</p>\n";
}

std::string post_refused_page_text(const PostLimits& limits, std::int64_t seconds_left) {
    std::string t = page_head(false) + kStyleMeta + kCharsetMeta;
    t += "<title>コモレビ　－投稿－</title>\n"
         "</head>\n"
         "<body>\n"
         "<h1>コモレビ</h1>\n"
         "<hr>\n";
    t += post_refused_lines(limits, seconds_left);
    t += "<p><a href='wbk_main.html' target='_top'>伝言板へ戻る</a></p>\n"
         "<hr>\n";
    return platform::stored_text(t + kPageEnd);
}

void write_login_template() { write_page(paths::kLoginPage, login_template_text()); }
void write_text_template() { write_page(paths::kTextPage1, text_template_text()); }
void write_main_template(int current_page) { write_page(paths::kMainPage, main_template_text(current_page)); }
void write_menu_template() { write_page(paths::kMenuPage, menu_template_text()); }
void write_input_template() { write_page(paths::kInputPage, input_template_text()); }

std::string ensure_page(const char* path, const std::function<std::string()>& template_text) {
    if (std::optional<std::string> stored = read_page(path)) return *stored;
    std::string text = template_text();
    write_page(path, text);
    return platform::stored_text(text);
}

std::string new_text_page(const std::string& page1) {
    return rewrite_text(page1, {Section{kPlainStart, kPlainEnd, "", SectionMode::Replace}}, 110);
}

void make_new_text_page(int current_page) {
    std::string page1 = ensure_page(paths::kTextPage1, text_template_text);
    if (current_page == 1) return;
    platform::FileGroup out;
    out.replace(text_page_path(current_page), paths::kTextWork, new_text_page(page1), platform::FileGroup::Undo::Remove);
    platform::FileStatus s = out.commit();
    if (!s.ok()) fail_request("cannot write " + text_page_path(current_page) + ": " + platform::reason_text(s));
}

ResetOutcome reset_messages(Board& b) {
    platform::BoardLockGuard guard(b.lock);
    // A board that has never started has no counters file: its start makes
    // one with these very counters, and nothing else is written here.
    std::string old_counters;
    if (!platform::read_file(paths::kCounters, old_counters).ok()) return {ResetResult::CountersOrMainPage, paths::kCounters};
    struct Step {
        const char* page;
        std::function<std::string()> template_text;
        const char* work;
        Section section;
        ResetResult page_result;
        ResetResult work_result;
        const char* work_named;
    };
    const Step steps[] = {
        {paths::kMainPage, [] { return main_template_text(1); }, paths::kMainWork,
         Section{kPlainStart, kPlainEnd, frame_line(1), SectionMode::Replace}, ResetResult::CountersOrMainPage,
         ResetResult::MainWork, paths::kMainWork},
        {paths::kTextPage1, text_template_text, paths::kTextWork,
         Section{kPlainStart, kPlainEnd, "", SectionMode::Replace}, ResetResult::TextPage1, ResetResult::TextWork,
         paths::kTextWork},
        // No text of its own exists for the menu's work file: the owner is told of the menu page.
        {paths::kMenuPage, [&b] { return menu_template_for(b); }, paths::kMenuWork,
         Section{kPageLinkStart, kPageLinkEnd, page_link_line(1), SectionMode::Replace}, ResetResult::MenuPage,
         ResetResult::MenuWork, paths::kMenuPage},
    };
    // The counters go first, and are on the disk before any page is
    // replaced: once they say no messages on page 1, a crash or a power cut
    // before the pages follow leaves what the start's repair makes agree
    // with them (it drops the blocks and links the counters do not count).
    platform::FileGroup group;
    group.replace(paths::kCounters, platform::work_name_for(paths::kCounters), platform::stored_text(counters_text(0, 1)),
                  platform::FileGroup::Undo::Restore, old_counters);
    group.barrier();
    for (const Step& step : steps) {
        // Before the first login no page exists yet: it is written from its
        // template. The reset runs outside any request, so a page that cannot
        // be read or written is reported like a page that cannot be opened.
        std::string page;
        try {
            page = ensure_page(step.page, step.template_text);
        } catch (const RequestFailure&) {
            return {step.page_result, step.page};
        }
        std::string rewritten = rewrite_text(page, {step.section});
        if (rewritten != page)
            group.replace(step.page, step.work, std::move(rewritten), platform::FileGroup::Undo::Restore, page);
    }
    if (!group.commit().ok()) {
        const std::string& failed = group.failed_file();
        for (const Step& step : steps) {
            if (failed == step.page) return {step.page_result, step.page};
            if (failed == step.work) return {step.work_result, step.work_named};
        }
        return {ResetResult::CountersOrMainPage, paths::kCounters};
    }
    // Memory follows the disk: the counters change only once their file holds them.
    b.CurrentPage = 1;
    b.MessageNo = 0;
    b.ShownPage = 1;
    return {};
}

}  // namespace board
