#pragma once
// The board's side of the server: what each request does, and the board's
// preparation at each start. Errors on a request's way are request failures
// (board/request_failure.h), caught here and answered with the error page.
#include <string>
#include <string_view>

#include "board/board.h"
#include "server/listener.h"
#include "server/reply.h"
#include "server/request.h"

namespace board {

// What the server serves the board with: on the event loop, each GET that
// only reads files (answer_at_once); on the board thread, every other request
// under the board lock; and the board state loaded at each start.
server::Handler request_handler(Board& b);

// On the event loop, without the board lock: answers a request that needs
// only files read (a GET of a page, a phone page or a picture; with private reading on,
// checked against the held sessions) and returns true; false, with nothing
// sent, for a request that needs the board thread.
bool answer_at_once(Board& b, const server::Request& request, server::Reply& reply);

// Handles one whole request: one request in, exactly one reaction out. The
// caller holds the board lock. A request that fails on the way gets the
// error page.
void respond(Board& b, const server::Request& request, server::Reply& reply);

// The start's preparation: removes the work files a crash left, loads the
// counters and the credentials and makes the pages agree with the counters
// (repair_pages), then gives a menu that still holds the old pagelink script
// the template's (renew_page_link_script). Empty when the board can serve;
// otherwise the file that keeps the server from starting, with the system's
// reason: a counters file that cannot be created, a state file or page that
// exists but cannot be read, a page the repair cannot write.
std::string prepare_to_serve(Board& b);

// "DATA/HTML/<path>" when path may be served: nothing outside DATA/HTML
// (no ".." segment, backslash, colon, leading "/", control byte) and no file
// name longer than 999 characters. Empty otherwise.
std::string served_file_name(std::string_view path);

}  // namespace board
