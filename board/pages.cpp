#include "board/pages.h"

#include <cstring>

#include "board/paths.h"
#include "board/request_failure.h"
#include "board/state.h"
#include "platform/fs.h"
#include "platform/text_file.h"

namespace board {
namespace {

// Sinks for the copy below: one writes the work file, the other checks, byte
// for byte as stored, whether the copy would equal the page as it is.
struct FileSink {
    platform::TextWriter& out;
    bool put(std::string_view s) {
        out.write(s);
        return true;
    }
};

class SameBytesSink {
public:
    explicit SameBytesSink(const std::string& page) { raw_.open(page); }
    bool same() const { return same_; }
    // False as soon as the copy differs from the stored page.
    bool put(std::string_view s) {
        while (same_ && !s.empty()) {
            size_t lf = s.find('\n');
            std::string_view run = s.substr(0, lf);
            same_ = expect(run) && (lf == std::string_view::npos || expect("\r\n"));
            s = lf == std::string_view::npos ? std::string_view{} : s.substr(lf + 1);
        }
        return same_;
    }
    bool at_end() {
        char c;
        return same_ && !refill() && raw_.read(&c, 1) == 0;
    }

private:
    bool refill() {
        if (pos_ < len_) return true;
        len_ = raw_.read(buf_, sizeof buf_);
        pos_ = 0;
        return len_ > 0;
    }
    bool expect(std::string_view want) {
        while (!want.empty()) {
            if (!refill()) return false;
            size_t n = std::min(want.size(), len_ - pos_);
            if (std::memcmp(buf_ + pos_, want.data(), n) != 0) return false;
            pos_ += n;
            want.remove_prefix(n);
        }
        return true;
    }
    platform::RawReader raw_;
    char buf_[16384];
    size_t pos_ = 0, len_ = 0;
    bool same_ = true;
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
                if (!out.put(text) || !out.put(s.new_lines)) return;
                if (s.mode == SectionMode::Replace) copying = false;
                handled = true;
                break;
            }
            if (is_marker_line(text, s.end)) {
                if (!out.put(text)) return;
                copying = true;
                handled = true;
                break;
            }
        }
        if (!handled && copying && !out.put(text)) return;
    }
}

}  // namespace

RewriteResult rewrite_sections(const std::string& page, const std::string& work,
                               const std::vector<Section>& sections, size_t line_size) {
    platform::TextReader in;
    if (!in.open(page)) return RewriteResult::PageMissing;
    {
        SameBytesSink check(page);
        copy_sections(in, check, sections, line_size);
        if (check.at_end()) return RewriteResult::Unchanged;
    }
    in.rewind();
    platform::AtomicFile out(page, work);
    if (!out.ok()) return RewriteResult::WorkFileFailed;
    FileSink sink{out.out()};
    copy_sections(in, sink, sections, line_size);
    in.close();
    return out.commit() ? RewriteResult::Written : RewriteResult::WorkFileFailed;
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
    platform::AtomicFile file(path, platform::work_name_for(path));
    if (!file.ok()) fail_request(std::string("cannot create ") + path);
    file.out().write(text);
    if (!file.commit()) fail_request(std::string("cannot write ") + path);
}

}  // namespace

void write_login_template() {
    platform::make_directory(paths::kHtmlDir);
    std::string t = page_head(false) + kScriptMeta + kStyleMeta + kCharsetMeta;
    t += "<title>コモレビ　－ログイン－</title>\n";
    t += kScriptStart;
    t += "function m_sub_FormCheck() {\n"
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
    write_page(paths::kLoginPage, t + kPageEnd);
}

void write_text_template() {
    platform::make_directory(paths::kHtmlDir);
    std::string t = page_head(true) + kCharsetMeta;
    t += "<title>コモレビ　－テキスト－</title>\n"
         "</head>\n"
         "<body>\n";
    t += kPlainStart;
    t += kPlainEnd;
    write_page(paths::kTextPage1, t + kPageEnd);
}

void write_main_template(int current_page) {
    platform::make_directory(paths::kData);
    platform::make_directory(paths::kHtmlDir);
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
    write_page(paths::kMainPage, t);
}

void write_menu_template() {
    platform::make_directory(paths::kData);
    platform::make_directory(paths::kHtmlDir);
    std::string t = page_head(false);
    t += "<title>コモレビ　－メニュー－</title>\n"
         "<meta http-equiv='content-script-type' content='text/javascript'>\n";
    t += kStyleMeta;
    t += kCharsetMeta;
    t += kScriptStart;
    t += "function pagelink(data1,data2) {\n"
         "\tparent.wbk_text.location.href = data1;\n"
         "\tparent.wbk_text.location.href = data2;\n"
         "\tparent.wbk_menu.location.href = 'wbk_menu.html';\n"
         "}\n";
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
    write_page(paths::kMenuPage, t + kPageEnd);
}

void write_input_template() {
    platform::make_directory(paths::kData);
    platform::make_directory(paths::kHtmlDir);
    std::string t = page_head(false) + kScriptMeta + kStyleMeta + kCharsetMeta;
    t += "<title>コモレビ　－入力－</title>\n";
    t += kScriptStart;
    t += "function m_sub_FormCheck() {\n"
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
    write_page(paths::kInputPage, t + kPageEnd);
}

void ensure_page(const char* path, void (*write_template)()) {
    {
        platform::TextReader test;
        if (test.open(path)) return;
    }
    write_template();
    platform::TextReader again;
    if (!again.open(path)) fail_request(std::string("cannot open ") + path);
}

void make_new_text_page(int current_page) {
    ensure_page(paths::kTextPage1, write_text_template);
    platform::TextReader page1;
    if (!page1.open(paths::kTextPage1)) fail_request("cannot open text page 1");
    if (current_page == 1) return;
    platform::make_directory(paths::kHtmlDir);
    std::string path = text_page_path(current_page);
    platform::AtomicFile out(path, paths::kTextWork);
    if (!out.ok()) fail_request("cannot create " + path);
    FileSink sink{out.out()};
    copy_sections(page1, sink, {Section{kPlainStart, kPlainEnd, "", SectionMode::Replace}}, 110);
    page1.close();
    if (!out.commit()) fail_request("cannot write " + path);
}

ResetOutcome reset_messages(Board& b) {
    platform::BoardLockGuard guard(b.lock);
    b.CurrentPage = 1;
    b.MessageNo = 0;
    b.ShownPage = 1;
    if (!write_counters(0, 1)) return {ResetResult::CountersOrMainPage, paths::kCounters};
    struct Step {
        const char* page;
        void (*write_template)();
        const char* work;
        Section section;
        ResetResult page_result;
        ResetResult work_result;
        const char* work_named;
    };
    const Step steps[] = {
        {paths::kMainPage, [] { write_main_template(1); }, paths::kMainWork,
         Section{kPlainStart, kPlainEnd, frame_line(1), SectionMode::Replace}, ResetResult::CountersOrMainPage,
         ResetResult::MainWork, paths::kMainWork},
        {paths::kTextPage1, write_text_template, paths::kTextWork,
         Section{kPlainStart, kPlainEnd, "", SectionMode::Replace}, ResetResult::TextPage1, ResetResult::TextWork,
         paths::kTextWork},
        // No text of its own exists for the menu's work file: the owner is told of the menu page.
        {paths::kMenuPage, write_menu_template, paths::kMenuWork,
         Section{kPageLinkStart, kPageLinkEnd, page_link_line(1), SectionMode::Replace}, ResetResult::MenuPage,
         ResetResult::MenuWork, paths::kMenuPage},
    };
    for (const Step& step : steps) {
        // Before the first login no page exists yet: it is written from its
        // template. The reset runs outside any request, so a page that cannot
        // be written is reported like a page that cannot be opened.
        try {
            ensure_page(step.page, step.write_template);
        } catch (const RequestFailure&) {
            return {step.page_result, step.page};
        }
        RewriteResult r = rewrite_sections(step.page, step.work, {step.section});
        if (r == RewriteResult::PageMissing) return {step.page_result, step.page};
        if (r == RewriteResult::WorkFileFailed) return {step.work_result, step.work_named};
    }
    return {};
}

}  // namespace board
