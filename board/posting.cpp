#include "board/posting.h"

#include <cstring>

#include "board/form.h"
#include "board/pages.h"
#include "board/paths.h"
#include "board/request_failure.h"
#include "board/state.h"
#include "platform/text_file.h"

namespace board {
namespace {

constexpr FieldRules kNameRules{101, false};
constexpr FieldRules kTextRules{1101, true};

// Told by reference_length when the text ends before a reference could.
constexpr size_t kCutShort = static_cast<size_t>(-1);

int digit_value(char c, bool hex) {
    if (c >= '0' && c <= '9') return c - '0';
    if (hex && c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A browser sends a character its Shift_JIS form cannot hold as a numeric
// character reference: "&#" and 1 to 7 decimal digits, or "&#x" ("&#X") and
// 1 to 6 hexadecimal digits, then ";". For text starting with "&": the
// reference's length when it is one and names a Unicode scalar value (1 to
// 10FFFF, no surrogate; "&#0;" names none); kCutShort when the text ends
// before one could end; 0 otherwise.
size_t reference_length(std::string_view text) {
    if (text.size() < 2) return text.size() == 1 ? kCutShort : 0;
    if (text[1] != '#') return 0;
    size_t i = 2;
    bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
    if (hex) ++i;
    const size_t first_digit = i;
    unsigned long value = 0;
    for (; i < text.size() && i - first_digit < (hex ? 6u : 7u); ++i) {
        int digit = digit_value(text[i], hex);
        if (digit < 0) break;
        value = value * (hex ? 16 : 10) + static_cast<unsigned long>(digit);
    }
    if (i == text.size()) return kCutShort;
    if (i == first_digit || text[i] != ';') return 0;
    bool scalar = value >= 1 && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF);
    return scalar ? i + 1 : 0;
}

// Name and title keep their line structure in the record: line breaks become
// blanks. A decoded zero byte ends the value.
std::string single_line(const std::string& value) {
    std::string out(value.c_str());
    for (char& c : out)
        if (c == '\r' || c == '\n') c = ' ';
    return out;
}

// One record line for the block: used whole, line feed included, when it is
// at most 100 bytes; otherwise its first whole characters within cut bytes.
std::string block_value(platform::TextReader& in, size_t cut) {
    char line[110];
    size_t n = in.read_line(line, sizeof line);
    if (n > 100) n = whole_characters(std::string_view(line, n), cut);
    return escape_html(std::string_view(line, n));
}

// The message text for the block, read in pieces of at most 109 bytes: a
// piece's line end becomes "</br>". A character reference cut in two by the
// end of a piece is not escaped: its start waits for the rest in the next piece.
std::string display_text(platform::TextReader& record) {
    std::string text;
    std::string held;
    char line[110];
    size_t n;
    while ((n = record.read_line(line, sizeof line)) > 0) {
        std::string joined = held + std::string(line, n);
        std::string_view piece(joined);
        held.clear();
        bool ends = false;
        if (piece.size() >= 2 && piece.substr(piece.size() - 2) == "\r\n") {
            piece.remove_suffix(2);
            ends = true;
        } else if (piece.back() == '\n') {
            piece.remove_suffix(1);
            ends = true;
        } else {
            size_t amp = piece.rfind('&');
            if (amp != std::string_view::npos && reference_length(piece.substr(amp)) == kCutShort) {
                held = piece.substr(amp);
                piece = piece.substr(0, amp);
            }
        }
        text += escape_html(piece);
        if (ends) text += "</br>";
    }
    return text + escape_html(held);
}

std::string message_block(platform::TextReader& record) {
    char line[110];
    record.read_line(line, sizeof line);  // the client's address
    std::string title = block_value(record, 100);
    std::string name = block_value(record, 100);
    std::string time = block_value(record, 40);
    std::string text = display_text(record);
    return "<p>時間　：　" + time + "</p>\n" + "<p>名前　：　" + name + "</p>\n" + "<p>題名　：　" + title +
           "</p>\n" + "<p>内容　：　" + text + "</p>\n" + "<hr>\n";
}

// The block of record message_no; a record that cannot be opened fails the request.
std::string block_of(int message_no) {
    platform::TextReader record;
    if (!record.open(message_record_path(message_no))) fail_request("cannot open the message record");
    return message_block(record);
}

// The newest block of a text page, as read: the lines after the message
// section's start marker through the first "<hr>" line. Empty when the
// section holds no block.
std::string newest_block(const std::string& page) {
    platform::TextReader in;
    if (!in.open(page)) return {};
    char line[500];
    size_t n;
    while ((n = in.read_line(line, sizeof line)) > 0 && !is_marker_line({line, n}, kPlainStart)) {
    }
    std::string block;
    while ((n = in.read_line(line, sizeof line)) > 0 && !is_marker_line({line, n}, kPlainEnd)) {
        block.append(line, n);
        if (std::string_view(line, n) == "<hr>\n") return block;
    }
    return {};
}

// The blocks of the posts cut off after they stored the counters and before
// their block reached the current text page. Records MessageNo, MessageNo - 1,
// ... are this page's messages, newest first, as its section lists them: the
// ones newer than the page's newest block go above it, newest first. When no
// record gives that block (the section is empty, or still holds a page of an
// earlier round of page numbers), the section gets every record's block.
void complete_blocks(Board& b) {
    std::string page = text_page_path(b.CurrentPage);
    std::string newest = newest_block(page);
    std::string missing;
    int message_no = b.MessageNo;
    for (; message_no >= 1; --message_no) {
        std::string block = block_of(message_no);
        if (block == newest) break;
        missing += block;
    }
    if (missing.empty()) return;
    SectionMode mode = message_no == 0 ? SectionMode::Replace : SectionMode::Prepend;
    rewrite_sections(page, paths::kTextWork, {Section{kPlainStart, kPlainEnd, missing, mode}});
}

// The menu's link to a page that a post cut off before its page-link step began.
void complete_page_link(int page) {
    const std::string link = page_link_line(page);
    {
        platform::TextReader menu;
        if (!menu.open(paths::kMenuPage)) return;  // the next request writes it from its template
        char line[400];
        size_t n;
        while ((n = menu.read_line(line, sizeof line)) > 0)
            if (std::string_view(line, n) == link) return;
    }
    rewrite_sections(paths::kMenuPage, paths::kMenuWork,
                     {Section{kPageLinkStart, kPageLinkEnd, link, SectionMode::Prepend}}, 400);
}

}  // namespace

std::string message_record_path(int message_no) {
    return "DATA/MESSAGE/" + std::to_string(message_no) + ".txt";
}

std::string escape_html(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        size_t reference = c == '&' ? reference_length(text.substr(i)) : 0;
        if (reference != 0 && reference != kCutShort) {
            out += text.substr(i, reference);
            i += reference - 1;
            continue;
        }
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

bool store_step(Board& b, const server::Request& request) {
    auto name = form_field(request.body, "name", kNameRules);
    auto title = form_field(request.body, "title", kNameRules);
    auto text = form_field(request.body, "text", kTextRules);
    if (!name || name->empty() || !title || title->empty() || !text || text->empty()) return false;

    std::string when = platform::date_time_text(b.clock());
    // The counters in memory move on only once the counters file holds them:
    // a post that fails uses up no message number.
    int message_no = b.MessageNo + 1;
    int page = b.CurrentPage;
    if (message_no > 100) {
        message_no = 1;
        page = page == 100000000 ? 1 : page + 1;
    }
    std::string path = message_record_path(message_no);
    platform::AtomicFile record(path, platform::work_name_for(path));
    if (!record.ok()) fail_request("cannot create " + path);
    record.out().write("ClientIpAddress=" + request.ClientAddress + "\n" + single_line(*title) + "\n" +
                       single_line(*name) + "\n" + when + "\n" + *text + "\n");
    if (!record.commit()) fail_request("cannot write " + path);
    if (!write_counters(message_no, page)) fail_request("cannot write the counters file");
    b.MessageNo = message_no;
    b.CurrentPage = page;
    return true;
}

void render_step(Board& b) {
    std::string block = block_of(b.MessageNo);
    std::string page = text_page_path(b.CurrentPage);
    {
        platform::TextReader test;
        if (!test.open(page)) make_new_text_page(b.CurrentPage);
    }
    SectionMode mode = b.MessageNo == 1 ? SectionMode::Replace : SectionMode::Prepend;
    RewriteResult r = rewrite_sections(page, paths::kTextWork, {Section{kPlainStart, kPlainEnd, block, mode}});
    if (r == RewriteResult::PageMissing || r == RewriteResult::WorkFileFailed)
        fail_request("cannot rewrite " + page);
}

void page_link_step(Board& b) {
    ensure_page(paths::kMenuPage, write_menu_template);
    // Only the first message of a page above page 1 adds a link; any other
    // post would copy the menu unchanged.
    if (b.MessageNo != 1 || b.CurrentPage == 1) return;
    RewriteResult r = rewrite_sections(
        paths::kMenuPage, paths::kMenuWork,
        {Section{kPageLinkStart, kPageLinkEnd, page_link_line(b.CurrentPage), SectionMode::Prepend}}, 400);
    if (r == RewriteResult::PageMissing || r == RewriteResult::WorkFileFailed)
        fail_request("cannot rewrite the menu page");
}

void complete_started_page(Board& b) {
    if (b.MessageNo < 1) return;
    try {
        {
            platform::TextReader test;
            if (!test.open(text_page_path(b.CurrentPage))) make_new_text_page(b.CurrentPage);
        }
        if (b.CurrentPage != 1) complete_page_link(b.CurrentPage);
        complete_blocks(b);
    } catch (const RequestFailure&) {
    }
}

}  // namespace board
