#pragma once
// Posting a message: store the record and the counters, render the message
// block at the top of the current text page, link a new page in the menu.
#include <string>
#include <vector>

#include "board/board.h"
#include "board/view.h"
#include "server/reply.h"
#include "server/request.h"

namespace board {

// Posts the request's message and sends the board reply: the record, the
// block on top of the current text page (a new page after 100 messages), a
// new page's link in the menu and the counters, all or nothing. A missing
// or empty field changes nothing. MessageNo and CurrentPage move on once
// the files hold the post; a request failure leaves them and every page as
// they were. In the phone view the reply sends the browser to the new
// message on its phone page (phone_posted_reply).
void post(Board& b, const server::Request& request, server::Reply& reply, View view = View::Described);

// Start calls this after loading the counters: it makes the pages agree
// with them after a crash. The current text page gets exactly MessageNo
// blocks less those deleted, whose records are left empty (a post cut off
// before its counters loses its block, a deletion cut off after its record
// its block; blocks missing on a board written before posts were ordered so
// come from their records), the menu one link per page, newest first, and
// the main page frames the current page. A page that agrees costs reading it
// and the current page's records. The result names
// a file that cannot be read or written, with the system's reason; empty
// when the pages agree.
std::string repair_pages(Board& b);

// The message block of a record's stored bytes, as the text page shows it.
std::string block_of_stored(std::string stored);

// The lines of a text page's message section, as read in 500-byte pieces.
std::vector<std::string> message_section_lines(const std::string& stored);

// A text page's message section split into blocks, newest first, each ended
// by its "<hr>" line or, where a hand edit lost that line, by the next
// block's time line; the lines after the last block are the tail.
struct MessageBlocks {
    std::vector<std::string> blocks;
    std::string tail;
};
MessageBlocks split_message_blocks(const std::string& stored);

// The message record's path: "DATA/MESSAGE/%d.txt".
std::string message_record_path(int message_no);

// "&", "<", ">", '"' and "'" as character references; every other byte as it
// is. A numeric character reference naming a Unicode scalar value ("&#128512;",
// "&#x20BB7;": how a browser sends a character outside Shift_JIS) stays as it
// is, so that the page shows the character; "&#0;" and every other "&" are escaped.
std::string escape_html(std::string_view text);

}  // namespace board
