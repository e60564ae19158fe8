#include "server/dispatch.h"

#include "board/board_reply.h"
#include "board/posting.h"
#include "board/session.h"
#include "platform/text_file.h"
#include "server/login_page.h"
#include "server/request_failure.h"

namespace server {
namespace {

constexpr size_t kFileNameMax = 999;

void handle_get(board::Board& b, std::string_view path, Reply& reply) {
    std::string name;
    if (path.empty()) {
        name = "DATA/HTML/index.html";
        platform::RawReader test;
        if (!test.open(name)) write_login_page_template();
    } else if (path.find("wbk_select_") != std::string_view::npos) {
        board::page_select(b, path);
        return;
    } else {
        name = served_file_name(path);
        if (name.empty()) return not_found_reply(reply);
    }
    platform::RawReader file;
    if (!file.open(name) || name.find(".ini") != std::string::npos) return not_found_reply(reply);
    file_reply(reply, file, content_type_for(name));
}

void route_post(board::Board& b, const Request& request, std::string_view path, Reply& reply) {
    if (path.find("wbk_login.cgi") != std::string_view::npos) {
        if (board::login(b, request, reply) < 0) login_page_reply(reply);
    } else if (path.find("wbk_write.cgi") != std::string_view::npos) {
        if (board::session_check(b, request) != 1) return login_page_reply(reply);
        // A refused post (a missing or empty field) changes nothing and gets
        // the board as it was.
        if (board::store_step(b, request) == 0) {
            board::render_step(b);
            board::page_link_step(b);
        }
        board::board_reply(b, reply);
    } else if (path.find("wbk_reload.cgi") != std::string_view::npos) {
        if (board::session_check(b, request) != 1) return login_page_reply(reply);
        board::board_reply(b, reply);
    } else if (path.find("wbk_logout.cgi") != std::string_view::npos) {
        board::logout(b, request);
        login_page_reply(reply);
    }
}

}  // namespace

std::string served_file_name(std::string_view path) {
    static const char prefix[] = "DATA/HTML/";
    if (path.empty() || path.front() == '/' || path.size() + sizeof prefix - 1 > kFileNameMax) return {};
    for (char c : path)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '\\' || c == ':') return {};
    for (size_t at = 0; at <= path.size();) {
        size_t slash = path.find('/', at);
        std::string_view segment = path.substr(at, slash == std::string_view::npos ? std::string_view::npos : slash - at);
        if (segment == "..") return {};
        if (slash == std::string_view::npos) break;
        at = slash + 1;
    }
    return prefix + std::string(path);
}

void dispatch(board::Board& b, const Request& request, Reply& reply) {
    // Every file the request replaces is durable before the reply says so.
    platform::DirectorySyncBatch durable;
    reply.before_first_send([&durable] { durable.flush(); });
    try {
        RequestLine line = parse_request_line(request.text);
        if (!line.has_path) return;
        if (line.method == "GET")
            handle_get(b, line.path, reply);
        else if (line.method == "POST")
            route_post(b, request, line.path, reply);
    } catch (const std::exception&) {
        // A request failure (or running out of memory) before any byte went
        // out gets the error page; work already done stays done.
        if (!reply.started()) error_page_reply(reply);
    }
}

}  // namespace server
