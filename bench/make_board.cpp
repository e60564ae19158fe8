// Builds large benchmark boards without posting each message, and checks that
// what it builds is what posting builds.
//
//   make_board DIR PAGES
//       DIR holds a board right after its first login and before any post.
//       Writes into it exactly the files that posting messages 1 to
//       PAGES*100 of bench_fields.h from 127.0.0.1 would leave (the date-time
//       texts aside, which carry the moment of generation).
//   make_board --compare DIR_A DIR_B
//       Exit 0 when both trees hold the same files with the same bytes once
//       every date-time text is masked; otherwise names the first difference.
//
// Compiled with -fexec-charset=CP932: the narrow literals are Shift_JIS, as
// the board's are. Files are written as the board writes them, every line feed
// stored as CR LF.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bench_fields.h"

namespace fs = std::filesystem;

namespace {

const std::string kPlainStart = "<!--プログラムポイント　開始//-->";
const std::string kPlainEnd = "<!--プログラムポイント　終了//-->";
const std::string kCurrentStart = "<!--プログラムポイント　現在ページ　開始//-->";
const std::string kCurrentEnd = "<!--プログラムポイント　現在ページ　終了//-->";
const std::string kTimeStart = "<!--プログラムポイント　更新日時　開始//-->";
const std::string kTimeEnd = "<!--プログラムポイント　更新日時　終了//-->";
const std::string kLinkStart = "<!--プログラムポイント　ページリンク　開始//-->";
const std::string kLinkEnd = "<!--プログラムポイント　ページリンク　終了//-->";

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "make_board: %s\n", what.c_str());
    std::exit(1);
}

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) die("cannot read " + p.string());
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) die("cannot write " + p.string());
}

// Text-mode writing: every line feed reaches the disk as CR LF.
std::string disk(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// A stored page split into its lines as stored, CR LF included.
std::vector<std::string> lines_of(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < bytes.size()) {
        size_t lf = bytes.find('\n', at);
        size_t end = lf == std::string::npos ? bytes.size() : lf + 1;
        lines.push_back(bytes.substr(at, end - at));
        at = end;
    }
    return lines;
}

// Replaces the lines between a start and an end marker line.
std::string replace_section(const std::string& page, const std::string& start, const std::string& end,
                            const std::string& new_lines) {
    std::string out;
    bool copying = true, found = false;
    for (const std::string& line : lines_of(page)) {
        if (line == start + "\r\n") {
            out += line + new_lines;
            copying = false;
            found = true;
        } else if (line == end + "\r\n") {
            out += line;
            copying = true;
        } else if (copying) {
            out += line;
        }
    }
    if (!found) die("a page lacks the marker " + start);
    return out;
}

std::string escape_html(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

// The message text as the page shows it: each line end becomes "</br>",
// the record's last line end included.
std::string display_text(const std::string& text) {
    std::string out;
    size_t at = 0;
    for (;;) {
        size_t crlf = text.find("\r\n", at);
        if (crlf == std::string::npos) {
            out += escape_html(text.substr(at)) + "</br>";
            return out;
        }
        out += escape_html(text.substr(at, crlf - at)) + "</br>";
        at = crlf + 2;
    }
}

std::string block(long i, const std::string& when) {
    return "<p>時間　：　" + when + "\n</p>\n" + "<p>名前　：　" + escape_html(bench::message_name(i)) + "\n</p>\n" +
           "<p>題名　：　" + escape_html(bench::message_title(i)) + "\n</p>\n" + "<p>内容　：　" +
           display_text(bench::message_text(i)) + "</p>\n" + "<hr>\n";
}

std::string record(long i, const std::string& when) {
    return "ClientIpAddress=127.0.0.1\n" + bench::message_title(i) + "\n" + bench::message_name(i) + "\n" + when +
           "\n" + bench::message_text(i) + "\n";
}

std::string page_link(long n) {
    std::string s = std::to_string(n);
    return "<a href=\"javascript:pagelink('wbk_select_" + s + ".cgi','wbk_text_" + s + ".html')\">" + s + "</a>\n";
}

std::string now_text() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d年%d月%d日%d時%d分%d秒", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

int generate(const fs::path& dir, long pages) {
    fs::path html = dir / "DATA" / "HTML", message = dir / "DATA" / "MESSAGE";
    std::string text1 = read_file(html / "wbk_text_1.html");
    std::string menu = read_file(html / "wbk_menu.html");
    std::string main_page = read_file(html / "wbk_main.html");
    const std::string when = now_text();
    // The page a new text page is copied from, with an empty message section.
    const std::string empty_page = replace_section(text1, disk(kPlainStart), disk(kPlainEnd), "");
    if (empty_page != text1) die("the seed's text page 1 already holds messages");

    for (long p = 1; p <= pages; ++p) {
        std::string blocks;
        for (long i = p * 100; i > (p - 1) * 100; --i) blocks += block(i, when);
        write_file(html / ("wbk_text_" + std::to_string(p) + ".html"),
                   replace_section(empty_page, disk(kPlainStart), disk(kPlainEnd), disk(blocks)));
    }
    // The records hold the page being filled: the last page's 100 messages.
    for (long k = 1; k <= 100; ++k) write_file(message / (std::to_string(k) + ".txt"), disk(record((pages - 1) * 100 + k, when)));
    write_file(message / "0.ini", disk("message=100\npage=" + std::to_string(pages) + "\n"));

    std::string links;
    for (long p = pages; p >= 1; --p) links += page_link(p);
    if (replace_section(menu, disk(kLinkStart), disk(kLinkEnd), disk(page_link(1))) != menu)
        die("the seed's menu does not hold the page-1 link this generator writes");
    menu = replace_section(menu, disk(kLinkStart), disk(kLinkEnd), disk(links));
    menu = replace_section(menu, disk(kCurrentStart), disk(kCurrentEnd), disk("<p>－" + std::to_string(pages) + "－</p>\n"));
    menu = replace_section(menu, disk(kTimeStart), disk(kTimeEnd), disk("<p>" + when + "</p>\n"));
    write_file(html / "wbk_menu.html", menu);
    write_file(html / "wbk_main.html",
               replace_section(main_page, disk(kPlainStart), disk(kPlainEnd),
                               disk("<frame src='wbk_text_" + std::to_string(pages) + ".html' name='wbk_text'>\n")));
    return 0;
}

bool digit(char c) { return c >= '0' && c <= '9'; }

// Every date-time text ("<d>年<d>月<d>日<d>時<d>分<d>秒") becomes "<T>".
std::string mask_times(const std::string& s) {
    static const std::string units[] = {"年", "月", "日", "時", "分", "秒"};
    std::string out;
    size_t i = 0;
    while (i < s.size()) {
        size_t j = i;
        bool ok = true;
        for (const std::string& u : units) {
            size_t d = j;
            while (d < s.size() && digit(s[d])) ++d;
            if (d == j || s.compare(d, u.size(), u) != 0) {
                ok = false;
                break;
            }
            j = d + u.size();
        }
        if (ok) {
            out += "<T>";
            i = j;
        } else {
            out += s[i++];
        }
    }
    return out;
}

std::set<std::string> tree(const fs::path& root) {
    std::set<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) files.insert(fs::relative(e.path(), root).generic_string());
    return files;
}

int compare(const fs::path& a, const fs::path& b) {
    std::set<std::string> ta = tree(a), tb = tree(b);
    bool same = true;
    for (const std::string& f : ta)
        if (!tb.count(f)) std::fprintf(stderr, "make_board: only in %s: %s\n", a.c_str(), f.c_str()), same = false;
    for (const std::string& f : tb)
        if (!ta.count(f)) std::fprintf(stderr, "make_board: only in %s: %s\n", b.c_str(), f.c_str()), same = false;
    size_t checked = 0;
    for (const std::string& f : ta) {
        if (!tb.count(f)) continue;
        std::string x = mask_times(read_file(a / f)), y = mask_times(read_file(b / f));
        ++checked;
        if (x == y) continue;
        size_t at = static_cast<size_t>(std::mismatch(x.begin(), x.end(), y.begin(), y.end()).first - x.begin());
        size_t from = at < 60 ? 0 : at - 60;
        std::fprintf(stderr, "make_board: %s differs at byte %zu:\n  %s\n  %s\n", f.c_str(), at,
                     x.substr(from, 120).c_str(), y.substr(from, 120).c_str());
        same = false;
    }
    if (same) std::printf("make_board: %zu files identical apart from date-time texts\n", checked);
    return same ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--compare") return compare(argv[2], argv[3]);
    if (argc == 3) {
        long pages = std::atol(argv[2]);
        if (pages < 1) die("PAGES must be 1 or more");
        return generate(argv[1], pages);
    }
    std::fputs("usage: make_board DIR PAGES | make_board --compare DIR_A DIR_B\n", stderr);
    return 2;
}
