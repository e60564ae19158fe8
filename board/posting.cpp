#include "board/posting.h"

#include <cstring>
#include <optional>
#include <set>
#include <vector>

#include "board/board_reply.h"
#include "board/form.h"
#include "board/pages.h"
#include "board/paths.h"
#include "board/views/phone.h"
#include "board/request_failure.h"
#include "board/state.h"
#include "platform/text_file.h"

namespace board {
namespace {

constexpr FieldRules kNameRules{101, false, true};
constexpr FieldRules kTextRules{1101, true, true};

// Name and title keep their line structure in the record: line breaks become
// blanks. A decoded zero byte ends the value.
std::string single_line(const std::string& value) {
    std::string out(value.c_str());
    for (char& c : out)
        if (c == '\r' || c == '\n') c = ' ';
    return out;
}

// One record line for the block: used whole, line feed included, when it is
// at most 100 bytes; otherwise its first whole characters (and references)
// within cut bytes.
std::string block_value(platform::TextReader& in, size_t cut) {
    char line[110];
    size_t n = in.read_line(line, sizeof line);
    if (n > 100) n = whole_characters(std::string_view(line, n), cut, true);
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


// A file the start cannot read stops it, named with the system's reason.
bool read_for_repair(const std::string& path, std::optional<std::string>& stored, FileTrouble* trouble) {
    std::string bytes;
    platform::FileStatus s = platform::read_file(path, bytes);
    stored.reset();
    if (s.ok()) stored = std::move(bytes);
    if (s.failed() && trouble) *trouble = FileTrouble{path, s};
    return !s.failed();
}

// Replaces path with stored when that differs from what is there.
bool replace_for_repair(const std::string& path, const std::string& work, const std::string& old,
                        const std::string& stored, FileTrouble* trouble) {
    if (stored == old) return true;
    platform::FileGroup group;
    group.replace(path, work, stored, old.empty() ? platform::FileGroup::Undo::Remove : platform::FileGroup::Undo::Restore,
                  old);
    platform::FileStatus s = group.commit();
    if (!s.ok() && trouble) *trouble = FileTrouble{group.failed_file(), s};
    return s.ok();
}

// The current text page's blocks made to agree with its records 1 to
// MessageNo: one block for each record but those a deletion emptied. A post
// writes its page before the counters file, so a post cut off between the
// two has one block too many: the newest blocks beyond that count go. A
// deletion empties its record before the page, so one cut off between the
// two leaves a block no record gives: such blocks go first. A board written
// before posts were ordered so may lack blocks: records MessageNo,
// MessageNo - 1, ... newer than the page's newest block go above it, newest
// first; when no record gives that block (an empty section), the section gets
// every record's block.
bool repair_blocks(Board& b, FileTrouble* trouble) {
    const std::string page = text_page_path(b.CurrentPage);
    std::optional<std::string> stored;
    if (!read_for_repair(page, stored, trouble)) return false;
    bool existed = stored.has_value();
    if (!stored) {
        if (b.MessageNo < 1) return true;  // the first post makes it
        std::optional<std::string> page1;
        if (!read_for_repair(paths::kTextPage1, page1, trouble)) return false;
        stored = new_text_page(page1 ? *page1 : platform::stored_text(text_template_text()));
    }
    std::vector<std::optional<std::string>> records(static_cast<size_t>(b.MessageNo) + 1);
    int deleted = 0;
    for (int k = 1; k <= b.MessageNo; ++k) {
        if (!read_for_repair(message_record_path(k), records[k], trouble)) return false;
        deleted += records[k] && records[k]->empty() ? 1 : 0;
    }
    const int expected = b.MessageNo - deleted;
    MessageBlocks split = split_message_blocks(*stored);
    std::vector<std::string>& page_blocks = split.blocks;
    const std::string& tail = split.tail;
    const int blocks = static_cast<int>(page_blocks.size());
    std::string section;
    SectionMode mode = SectionMode::Prepend;
    if (blocks > expected) {
        int drop = blocks - expected;
        std::vector<bool> gone(page_blocks.size(), false);
        if (deleted > 0) {
            // Counted, not just listed: two equal messages (a form sent twice
            // in one second) are two blocks, and one record gives only one.
            std::multiset<std::string> given;
            for (const std::optional<std::string>& record : records)
                if (record && !record->empty()) given.insert(block_of_stored(*record));
            for (size_t i = 0; i < page_blocks.size() && drop > 0; ++i) {
                auto it = given.find(page_blocks[i]);
                if (it != given.end())
                    given.erase(it);
                else
                    gone[i] = true, --drop;
            }
        }
        for (size_t i = 0; i < page_blocks.size() && drop > 0; ++i)
            if (!gone[i]) gone[i] = true, --drop;
        for (size_t i = 0; i < page_blocks.size(); ++i)
            if (!gone[i]) section += page_blocks[i];
        section += tail;
        mode = SectionMode::Replace;
    } else if (blocks < expected) {
        const std::string& newest = page_blocks.empty() ? tail : page_blocks.front();
        int message_no = b.MessageNo;
        for (; message_no >= 1; --message_no) {
            const std::optional<std::string>& record = records[message_no];
            if (!record) break;
            if (record->empty()) continue;  // deleted
            std::string block = block_of_stored(*record);
            if (block == newest) break;
            section += block;
        }
        if (message_no == 0) mode = SectionMode::Replace;
    }
    if (section.empty() && mode == SectionMode::Prepend) return true;
    return replace_for_repair(page, paths::kTextWork, existed ? *stored : std::string(),
                              rewrite_text(*stored, {Section{kPlainStart, kPlainEnd, section, mode}}), trouble);
}

// The menu's links agree with CurrentPage: a link to a later page, which a
// post cut off before its counters added, goes; the current page's link,
// when a board written before posts were ordered so lacks it, comes on top.
bool repair_links(Board& b, FileTrouble* trouble) {
    std::optional<std::string> menu;
    if (!read_for_repair(paths::kMenuPage, menu, trouble)) return false;
    if (!menu) return true;  // written from its template by the next request
    platform::TextReader in;
    in.open_bytes(*menu);
    char line[400];
    size_t n;
    while ((n = in.read_line(line, sizeof line)) > 0 && !is_marker_line({line, n}, kPageLinkStart)) {
    }
    const std::string current = page_link_line(b.CurrentPage);
    std::string links;
    bool has_current = false;
    while ((n = in.read_line(line, sizeof line)) > 0 && !is_marker_line({line, n}, kPageLinkEnd)) {
        std::string text(line, n);
        int page = selected_page(text);
        if (page > b.CurrentPage && text == page_link_line(page)) continue;
        has_current = has_current || text == current;
        links += text;
    }
    if (!has_current) links = current + links;
    return replace_for_repair(paths::kMenuPage, paths::kMenuWork, *menu,
                              rewrite_text(*menu, {Section{kPageLinkStart, kPageLinkEnd, links, SectionMode::Replace}}, 400),
                              trouble);
}

bool repair_frame(Board& b, FileTrouble* trouble) {
    std::optional<std::string> main;
    if (!read_for_repair(paths::kMainPage, main, trouble)) return false;
    if (!main) return true;
    return replace_for_repair(
        paths::kMainPage, paths::kMainWork, *main,
        rewrite_text(*main, {Section{kPlainStart, kPlainEnd, frame_line(b.CurrentPage), SectionMode::Replace}}), trouble);
}

}  // namespace

std::string block_of_stored(std::string stored) {
    platform::TextReader record;
    record.open_bytes(std::move(stored));
    return message_block(record);
}

std::vector<std::string> message_section_lines(const std::string& stored) {
    platform::TextReader in;
    in.open_bytes(stored);
    std::vector<std::string> lines;
    char line[500];
    size_t n;
    while ((n = in.read_line(line, sizeof line)) > 0 && !is_marker_line({line, n}, kPlainStart)) {
    }
    while ((n = in.read_line(line, sizeof line)) > 0 && !is_marker_line({line, n}, kPlainEnd))
        lines.emplace_back(line, n);
    return lines;
}

MessageBlocks split_message_blocks(const std::string& stored) {
    static const std::string kTimeLine = "<p>時間　：　";
    MessageBlocks out;
    bool timed = false;  // the tail holds a time line
    for (const std::string& line : message_section_lines(stored)) {
        if (line.compare(0, kTimeLine.size(), kTimeLine) == 0) {
            if (timed) out.blocks.push_back(std::move(out.tail)), out.tail.clear();
            timed = true;
        }
        out.tail += line;
        if (line == "<hr>\n") {
            out.blocks.push_back(std::move(out.tail));
            out.tail.clear();
            timed = false;
        }
    }
    return out;
}

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

void post(Board& b, const server::Request& request, server::Reply& reply, View view) {
    using Undo = platform::FileGroup::Undo;
    auto name = form_field(request.body, "name", kNameRules);
    auto title = form_field(request.body, "title", kNameRules);
    auto text = form_field(request.body, "text", kTextRules);
    // A refused post (a missing or empty field) changes nothing and gets the board as it was.
    if (!name || name->empty() || !title || title->empty() || !text || text->empty())
        return board_reply(b, reply, std::nullopt, view);

    std::string when = platform::date_time_text(b.clock());
    int message_no = b.MessageNo + 1;
    int page = b.CurrentPage;
    if (message_no > 100) {
        message_no = 1;
        page = page == 100000000 ? 1 : page + 1;
    }
    std::string record = platform::stored_text("ClientIpAddress=" + request.ClientAddress + "\n" + single_line(*title) +
                                               "\n" + single_line(*name) + "\n" + when + "\n" + *text + "\n");
    std::string block = block_of_stored(record);

    // The text page: the block on top of its message section; the first
    // message of a page replaces what an earlier round left there, and a page
    // that does not exist yet is made from text page 1.
    std::string page_path = text_page_path(page);
    std::optional<std::string> old_page = read_page(page_path);
    std::string base = old_page ? *old_page : new_text_page(ensure_page(paths::kTextPage1, text_template_text));
    SectionMode mode = message_no == 1 ? SectionMode::Replace : SectionMode::Prepend;

    // One group, replaced in this order: the record, the text page, the main
    // page and the menu, and last the counters file, which makes the post
    // count. A failure puts every file back: the post is on no page. A crash
    // or a power cut before the counters leaves at most a block and a link
    // that the start takes away again; the barrier makes the counters' rename
    // reach the disk only after all of the others, so that once it is there
    // the post is whole.
    platform::FileGroup group;
    std::string record_path = message_record_path(message_no);
    group.replace(record_path, platform::work_name_for(record_path), record, Undo::Keep);
    std::string new_page = rewrite_text(base, {Section{kPlainStart, kPlainEnd, block, mode}});
    group.replace(page_path, paths::kTextWork, new_page, old_page ? Undo::Restore : Undo::Remove,
                  old_page.value_or(std::string()));
    Section link{kPageLinkStart, kPageLinkEnd, page_link_line(page), SectionMode::Prepend};
    bool new_link = message_no == 1 && page != 1;
    std::string main_page = plan_board_reply(b, group, page, false, new_link ? &link : nullptr);
    group.barrier();
    group.replace(paths::kCounters, platform::work_name_for(paths::kCounters),
                  platform::stored_text(counters_text(message_no, page)), Undo::Restore,
                  platform::stored_text(counters_text(b.MessageNo, b.CurrentPage)));
    commit_or_fail(group);
    // Memory follows the disk.
    b.MessageNo = message_no;
    b.CurrentPage = page;
    // A phone goes to the new message: the oldest block on the page is its first.
    if (view == View::Phone)
        phone_posted_reply(b, reply, page, static_cast<int>(split_message_blocks(new_page).blocks.size()));
    else
        send_board_reply(b, reply, main_page, std::nullopt, view);
    if (b.message_stored) b.message_stored({when, single_line(*name), single_line(*title), *text, page, message_no});
}

std::string repair_pages(Board& b) {
    FileTrouble trouble;
    if (b.MessageNo < 0) return {};
    if (repair_blocks(b, &trouble) && repair_links(b, &trouble) && repair_frame(b, &trouble)) return {};
    return "[" + trouble.file + "] " + platform::reason_text(trouble.status);
}

}  // namespace board
