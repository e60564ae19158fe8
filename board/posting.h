#pragma once
// Posting a message: store the record and the counters, render the message
// block at the top of the current text page, link a new page in the menu.
#include <string>

#include "board/board.h"
#include "server/request.h"

namespace board {

// 0 stored; -1 a field is missing; -2 a field is empty. A refused post
// changes nothing at all.
int store_step(Board& b, const server::Request& request);
void render_step(Board& b);
void page_link_step(Board& b);

// The message record's path: "DATA/MESSAGE/%d.txt".
std::string message_record_path(int message_no);

// "&", "<", ">", '"' and "'" as character references; every other byte as it is.
std::string escape_html(std::string_view text);

}  // namespace board
