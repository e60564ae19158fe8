#pragma once
#include "server/reply.h"

namespace server {

// Writes DATA/HTML/index.html, the login page; a page that cannot be written
// ends the request.
void write_login_page_template();
// Sends the login page, writing it first when it is missing.
void login_page_reply(Reply& reply);

}  // namespace server
