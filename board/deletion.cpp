#include "board/deletion.h"

#include <optional>

#include "board/pages.h"
#include "board/paths.h"
#include "board/posting.h"
#include "board/state.h"
#include "platform/text_file.h"

namespace board {

std::string unescape_page_text(std::string_view text) {
    static const std::pair<std::string_view, char> kReferences[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&#39;", '\''}};
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        bool replaced = false;
        if (text[i] == '&') {
            for (const auto& [reference, c] : kReferences) {
                if (text.substr(i, reference.size()) == reference) {
                    out += c;
                    i += reference.size() - 1;
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced) out += text[i];
    }
    return out;
}

std::string_view block_field(const std::string& block, std::string_view label) {
    std::string start = "<p>" + std::string(label) + "　：　";
    size_t at = block.find(start);
    if (at == std::string::npos) return {};
    at += start.size();
    size_t end = block.find("</p>\n", at);
    if (end == std::string::npos) return {};
    std::string_view value = std::string_view(block).substr(at, end - at);
    // The record's line keeps its line feed on the page.
    if (!value.empty() && value.back() == '\n') value.remove_suffix(1);
    return value;
}

namespace {

std::string field(const std::string& block, std::string_view label) {
    return unescape_page_text(block_field(block, label));
}

// The counters in memory once the board has started; before its first start
// (the owner may delete with the server stopped) as their file has them.
// Called under the board lock.
StoredCounters counters_of(const Board& b) {
    if (b.CurrentPage >= 1) return {b.MessageNo, b.CurrentPage};
    return read_stored_counters();
}

}  // namespace

int current_page_for_deletion(Board& b) {
    platform::BoardLockGuard guard(b.lock);
    return counters_of(b).current_page;
}

PageListing list_page_messages(Board& b, int page) {
    platform::BoardLockGuard guard(b.lock);
    PageListing listing;
    if (page < 1) return listing;
    std::string path = text_page_path(page);
    std::string stored;
    platform::FileStatus s = platform::read_file(path, stored);
    if (s.missing()) return listing;
    if (!s.ok()) {
        listing.failed_file = path;
        return listing;
    }
    listing.exists = true;
    MessageBlocks split = split_message_blocks(stored);
    int position = 0;
    for (std::string& block : split.blocks) {
        PageMessage m;
        m.position = ++position;
        m.time = field(block, "時間");
        m.name = field(block, "名前");
        m.title = field(block, "題名");
        m.block = std::move(block);
        listing.messages.push_back(std::move(m));
    }
    return listing;
}

DeleteOutcome delete_message(Board& b, int page, const PageMessage& chosen) {
    using Undo = platform::FileGroup::Undo;
    platform::BoardLockGuard guard(b.lock);
    if (page < 1) return {DeleteResult::Gone, {}};
    const std::string path = text_page_path(page);
    std::string stored;
    platform::FileStatus s = platform::read_file(path, stored);
    if (s.missing()) return {DeleteResult::Gone, {}};
    if (!s.ok()) return {DeleteResult::Failed, path};
    MessageBlocks split = split_message_blocks(stored);
    std::optional<size_t> at;
    size_t listed = static_cast<size_t>(chosen.position - 1);
    if (chosen.position >= 1 && listed < split.blocks.size() && split.blocks[listed] == chosen.block) at = listed;
    for (size_t i = 0; !at && i < split.blocks.size(); ++i)
        if (split.blocks[i] == chosen.block) at = i;
    if (!at) return {DeleteResult::Gone, {}};

    // The record that gives the block: on the current page one of 1 to
    // MessageNo; on any other page one of the later numbers, which the pages
    // before the current one used last.
    platform::FileGroup group;
    const StoredCounters counters = counters_of(b);
    const bool current = page == counters.current_page;
    const int first = current ? 1 : counters.message_no + 1, last = current ? counters.message_no : 100;
    std::vector<std::optional<std::string>> records(static_cast<size_t>(last < first ? 0 : last - first + 1));
    std::optional<int> giver;
    bool any_missing = false;
    for (int k = first; k <= last; ++k) {
        std::string record_path = message_record_path(k);
        std::string record;
        platform::FileStatus r = platform::read_file(record_path, record);
        any_missing = any_missing || r.missing();
        if (r.missing() || (r.ok() && record.empty())) continue;
        if (!r.ok()) return {DeleteResult::Failed, record_path};
        if (!giver && block_of_stored(record) == chosen.block) giver = k;
        records[k - first] = std::move(record);
    }
    // A block the owner edited by hand gives no record its text. On the
    // current page, while every record is there and those not yet deleted
    // are as many as the blocks, the block's position names its record
    // (newest first), so that the start does not put the message back.
    if (!giver && current && !any_missing) {
        std::vector<int> newest_first;
        for (int k = last; k >= first; --k)
            if (records[k - first]) newest_first.push_back(k);
        if (newest_first.size() == split.blocks.size()) giver = newest_first[*at];
    }
    if (giver) {
        std::string record_path = message_record_path(*giver);
        group.replace(record_path, platform::work_name_for(record_path), "", Undo::Restore,
                      std::move(*records[*giver - first]));
        // The emptied record is on the disk before the page loses the block:
        // the start takes away a block no record gives, while a block gone
        // beside a whole record would leave the records and blocks at odds.
        group.barrier();
    }
    std::string section;
    for (size_t i = 0; i < split.blocks.size(); ++i)
        if (i != *at) section += split.blocks[i];
    section += split.tail;
    group.replace(path, paths::kTextWork, rewrite_text(stored, {Section{kPlainStart, kPlainEnd, section, SectionMode::Replace}}),
                  Undo::Restore, stored);
    if (!group.commit().ok()) return {DeleteResult::Failed, group.failed_file()};
    return {};
}

}  // namespace board
