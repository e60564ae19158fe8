#pragma once
// Request dispatch: one request in, exactly one reaction out.
#include <string>
#include <string_view>

#include "board/board.h"
#include "server/reply.h"
#include "server/request.h"

namespace server {

// Handles one whole request. The caller holds the board lock. A request that
// fails on the way gets the error page.
void dispatch(board::Board& b, const Request& request, Reply& reply);

// "DATA/HTML/<path>" when path may be served: nothing outside DATA/HTML
// (no ".." segment, backslash, colon, leading "/", control byte) and no file
// name longer than 999 characters. Empty otherwise.
std::string served_file_name(std::string_view path);

}  // namespace server
