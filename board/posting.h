#pragma once
// Posting a message: store the record and the counters, render the message
// block at the top of the current text page, link a new page in the menu.
#include <string>

#include "board/board.h"
#include "server/request.h"

namespace board {

// True when stored; false when a field is missing or empty, which changes
// nothing at all. MessageNo and CurrentPage move on once the record and the
// counters file are stored; a request failure before leaves them as they were.
bool store_step(Board& b, const server::Request& request);
void render_step(Board& b);
void page_link_step(Board& b);

// Start calls this after loading the counters. A post cut off (the process
// killed) after it stored the counters may have left its message without its
// block on the current text page and, when it began a new page, that page
// without its text page or without its link in the menu; no later post adds
// any of them. They are made here: the text page from text page 1, the link
// at the top of the menu's links, and the missing blocks from their records
// above the page's newest block, newest first. A page that is complete costs
// reading its newest block and one record. A file that cannot be read or
// written now is left for the next start.
void complete_started_page(Board& b);

// The message record's path: "DATA/MESSAGE/%d.txt".
std::string message_record_path(int message_no);

// "&", "<", ">", '"' and "'" as character references; every other byte as it
// is. A numeric character reference naming a Unicode scalar value ("&#128512;",
// "&#x20BB7;": how a browser sends a character outside Shift_JIS) stays as it
// is, so that the page shows the character; "&#0;" and every other "&" are escaped.
std::string escape_html(std::string_view text);

}  // namespace board
