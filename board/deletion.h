#pragma once
// The owner's deletion of one message: the page's messages listed as they
// stand on it, and one of them taken off its page.
#include <string>
#include <string_view>
#include <vector>

#include "board/board.h"

namespace board {

// A message as it stands on its text page.
struct PageMessage {
    int position = 0;  // 1: the newest, at the top of the page
    std::string time, name, title;  // as the page shows them, "&amp;" and the like undone
    std::string block;  // the block's lines in the message section
};

struct PageListing {
    bool exists = false;  // the page is there
    std::vector<PageMessage> messages;  // newest first
    std::string failed_file;  // the page, when it exists but cannot be read
};

// The value of a message block's line "<p>LABEL　：　value\n</p>" as
// stored (escapes kept, the line feed dropped); empty when there is none.
std::string_view block_field(const std::string& block, std::string_view label);
// A page's "&amp;", "&lt;", "&gt;", "&quot;" and "&#39;" as their characters;
// every other byte (and reference) as it is.
std::string unescape_page_text(std::string_view text);

// The page being filled: the deletion's first page to show. Before the
// board's first start, as the counters file says.
int current_page_for_deletion(Board& b);

// The messages of text page `page`, newest first, under the board lock.
PageListing list_page_messages(Board& b, int page);

enum class DeleteResult {
    Done,
    Gone,    // the message is no longer on its page: nothing changed
    Failed,  // a file could not be read or written: nothing changed
};
struct DeleteOutcome {
    DeleteResult result = DeleteResult::Done;
    std::string file;  // the file that failed
};

// Takes the chosen message off page `page` under the board lock: its block
// goes from the page's message section, the rest of the page stays byte for
// byte. The block at the chosen position is taken when it is still the one
// listed, else the first block equal to it. The message's record, when
// found, is emptied first in the same file group (the start then counts the
// message as deleted and does not render it again). The counters stay:
// numbers are never used again. All or nothing.
DeleteOutcome delete_message(Board& b, int page, const PageMessage& chosen);

}  // namespace board
