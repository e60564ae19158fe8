#include "board/routes.h"

#include <cctype>

#include "board/board_reply.h"
#include "board/flood.h"
#include "board/pages.h"
#include "board/paths.h"
#include "board/views/feed.h"
#include "board/views/phone.h"
#include "board/posting.h"
#include "board/request_failure.h"
#include "board/views/search.h"
#include "board/session.h"
#include "board/state.h"
#include "platform/text_file.h"

namespace board {
namespace {

constexpr size_t kFileNameMax = 999;

// A request made by a page of another site: its Origin header names another
// origin than the board's own (the scheme it was reached by, "://" and its
// Host header). Requests without Origin (older browsers, scripts) are
// trusted as before.
bool foreign_origin(const server::Request& request) {
    if (!request.origin) return false;
    return !request.host ||
           !server::equals_ignoring_case(*request.origin, request.scheme + "://" + *request.host);
}

// The login page: on the event loop only as stored, which writes nothing
// (false, nothing sent, when it must be written first); on the board thread
// always. A phone gets the phone login page, which is never written.
bool send_login_page(Board& b, View view, server::Reply& reply, bool board_locked,
                     std::string_view extra_header = {}) {
    if (view == View::Phone) return phone_login_reply(b, reply, extra_header), true;
    if (board_locked) return login_page_reply(b, reply, view, extra_header), true;
    return stored_login_page_reply(b, reply, extra_header, view);
}

// "/?phone" and "/?pc": the layout the browser keeps from now on (a cookie
// until it closes), and its first page: with a session the board (the phone
// page of the newest page, or the frameset), without one the login page.
bool choose_view(Board& b, const server::Request& request, View view, server::Reply& reply, bool board_locked) {
    bool session = false;
    if (board_locked) {
        session = session_check(b, request);
    } else {
        std::optional<bool> held = held_session_check(b, request);
        if (!held) return false;
        session = *held;
    }
    std::string_view choice = view_choice_header(request);
    if (session && view == View::Phone) {
        int newest = board_locked ? b.CurrentPage : newest_linked_page(b);
        return phone_page_reply(b, reply, newest, true, choice, false, request.seen_cookie), true;
    }
    if (session) {
        platform::FileStatus s;
        std::shared_ptr<const std::string> main = b.pages.read(paths::kMainPage, s);
        if (s.ok()) return server::file_reply(reply, *main, "text/html\n", std::string(choice) + std::string(cache_header(b))), true;
        if (!s.missing()) return server::error_page_reply(reply), true;
    }
    return send_login_page(b, view, reply, board_locked, choice);
}

// A GET. On the board thread (board_locked: the caller holds the board lock)
// it is always answered. On the event loop it is answered when it needs only
// files read, and otherwise false comes back with nothing sent: a page
// select, a login page that must be written first, a session check that the
// held sessions cannot answer.
bool handle_get(Board& b, const server::Request& request, View view, server::Reply& reply, bool board_locked) {
    std::string_view path = request.path;
    if (is_search_path(path)) {
        // The search has a thread of its own; on the board thread only when handed here.
        if (!board_locked) return false;
        return search_reply(b, request, reply, view, true), true;
    }
    bool select = path.find("wbk_select_") != std::string_view::npos;
    if (select && !board_locked) return false;
    // The feed: its plain address only while reading is not private (a
    // reader cannot log in), its secret address while the token is the owner's.
    if (path == kFeedPath) {
        if (b.PrivateReading.load() == 1) return send_login_page(b, view, reply, board_locked);
        return feed_reply(b, request, reply, path), true;
    }
    if (std::string_view token = feed_path_token(path); !token.empty()) {
        if (token != feed_token(b)) return server::not_found_reply(reply), true;
        return feed_reply(b, request, reply, path), true;
    }
    // While reading is private, nothing but the login page is read without a session.
    bool login_page = path.empty() || path == "index.html";
    bool allowed = login_page || b.PrivateReading.load() != 1;
    if (!allowed && board_locked) {
        allowed = session_check(b, request);
    } else if (!allowed) {
        std::optional<bool> held = held_session_check(b, request);
        if (!held) return false;
        allowed = *held;
    }
    bool phone_on = b.PhoneView.load() == 1;
    if (phone_on && path.empty() && !view_choice_header(request).empty())
        return choose_view(b, request, view, reply, board_locked);
    if (int page = phone_on ? phone_page_number(path) : 0) {
        if (!allowed) return phone_login_reply(b, reply), true;
        // "?posted": where a phone's post sends it, with the word that it is stored.
        return phone_page_reply(b, reply, page, false, {}, request.query == "posted", request.seen_cookie), true;
    }
    if (path.empty()) return send_login_page(b, view, reply, board_locked);
    if (select) {
        if (allowed) page_select(b, path);
        return true;
    }
    if (!allowed) return send_login_page(b, view, reply, board_locked);
    std::string name = served_file_name(path);
    if (name.empty()) return server::not_found_reply(reply), true;
    // Settings files are never served, in any case of their name: the
    // Windows file system ignores case.
    std::string folded = name;
    for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (folded.find(".ini") != std::string::npos) return server::not_found_reply(reply), true;
    // The pages the board rewrites are read whole before the reply starts:
    // no handle stays open on a page while a slow client drains it, so the
    // page can be replaced meanwhile (Windows refuses to replace an open file).
    // Asked for by its name, the login page is served only as stored: the bare
    // root and the login-page replies write it, a request of a file's name
    // never does. A phone gets the phone login page, which is never written.
    if (name == paths::kLoginPage) {
        if (view == View::Phone) return phone_login_reply(b, reply), true;
        if (!stored_login_page_reply(b, reply, {}, view)) server::not_found_reply(reply);
        return true;
    }
    size_t base = name.find_last_of('/') + 1;
    if (name.compare(base, 4, "wbk_") == 0) {
        platform::FileStatus s;
        std::shared_ptr<const std::string> bytes = b.pages.read(name, s);
        if (s.missing()) return server::not_found_reply(reply), true;
        if (!s.ok()) return server::error_page_reply(reply), true;  // exists, cannot be read now
        return server::file_reply(reply, *bytes, server::content_type_for(name), cache_header(b)), true;
    }
    platform::RawReader file;
    if (!file.open(name)) return server::not_found_reply(reply), true;
    server::file_reply(reply, file, server::content_type_for(name), cache_header(b));
    return true;
}

// A post from another site's page is handled as one without a session:
// write and reload get the login page, logout removes nothing, login is refused.
// A phone gets the phone view of each reply.
void route_post(Board& b, const server::Request& request, View view, server::Reply& reply) {
    std::string_view path = request.path;
    bool trusted = !foreign_origin(request);
    if (path.find("wbk_login.cgi") != std::string_view::npos) {
        LoginResult r = trusted ? login(b, request, reply, view) : LoginResult::Wrong;
        if (r != LoginResult::LoggedIn && r != LoginResult::Guessing) login_page_reply(b, reply, view);
    } else if (path.find("wbk_write.cgi") != std::string_view::npos) {
        if (!trusted || !session_check(b, request)) return login_page_reply(b, reply, view);
        std::int64_t wait = 0;
        if (!flood_allows(b, request.ClientAddress, FloodKind::Post, b.clock().epoch_seconds, &wait)) {
            std::string page = view == View::Phone ? phone_post_refused_page(b.post_limits, wait)
                                                   : post_refused_page_text(b.post_limits, wait);
            return server::file_reply(reply, page, "text/html\n", cache_header(b));
        }
        post(b, request, reply, view);
    } else if (path.find("wbk_reload.cgi") != std::string_view::npos) {
        if (!trusted || !session_check(b, request)) return login_page_reply(b, reply, view);
        board_reply(b, reply, std::nullopt, view);
    } else if (path.find("wbk_logout.cgi") != std::string_view::npos) {
        if (trusted) logout(b, request);
        login_page_reply(b, reply, view);
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

void respond(Board& b, const server::Request& request, server::Reply& reply) {
    // Every file the request replaces is durable before the reply says so:
    // each group of files is synced, folders included, before its reply is made.
    try {
        if (!request.has_path) return;
        // The view is decided here, once, and handed down.
        const View view = view_of(b, request);
        if (request.method == "GET")
            handle_get(b, request, view, reply, true);
        else if (request.method == "POST")
            route_post(b, request, view, reply);
    } catch (const std::exception&) {
        // A request failure (or running out of memory) before any byte went
        // out gets the error page; work already done stays done.
        if (!reply.started()) server::error_page_reply(reply);
    }
}

namespace {

// What the owner is told when the board's files do not load as they should.
std::string load_notice(const Board& b, LoadResult r) {
    switch (r) {
        case LoadResult::Loaded:
        case LoadResult::StateUnreadable: return {};  // the start fails, naming the file
        case LoadResult::CountersUncreatable:
            return std::string("[") + paths::kCounters + "]ファイルの作成に失敗しました。\n伝言板サーバーを開始できません。";
        case LoadResult::CountersUnreadable:
        case LoadResult::CountersInvalid:
            return std::string("[") + paths::kCounters + "]ファイルを読み込めませんでした。\nメッセージ数＝" +
                   std::to_string(b.MessageNo) + "、ページ番号＝" + std::to_string(b.CurrentPage) + "として続けます。";
        case LoadResult::CredentialsUncreatable:
        case LoadResult::CredentialsUnreadable:
        case LoadResult::CredentialsUnwritable: break;
    }
    return std::string("[") + paths::kCredentials + "]ファイルを読み込めませんでした。\nＩＤとパスワードを設定し直して下さい。";
}

}  // namespace

// Work files that a crash left beside the files they were to replace.
void remove_left_work_files() {
    const char* const work_files[] = {paths::kCountersWork, paths::kCredentialsWork, paths::kSessionsWork,
                                      paths::kSettingsWork, paths::kMainWork, paths::kMenuWork, paths::kTextWork,
                                      "DATA/HTML/index_work.html", "DATA/HTML/wbk_input_work.html",
                                      "DATA/HTML/wbk_text_1_work.html"};
    for (const char* work : work_files) platform::remove_file(work);
    for (const std::string& name : platform::list_directory(paths::kMessageDir)) {
        // The records' work files: "<n>_work.txt".
        size_t digits = name.find_first_not_of("0123456789");
        if (digits > 0 && digits != std::string::npos && name.compare(digits, std::string::npos, "_work.txt") == 0)
            platform::remove_file(paths::kMessageDir + name);
    }
}

bool answer_at_once(Board& b, const server::Request& request, server::Reply& reply) {
    try {
        // Only a POST always needs the board; a request without a path, or
        // of another method, is answered with nothing, as respond would.
        if (request.method == "POST" && request.has_path) return false;
        if (request.method != "GET" || !request.has_path) return true;
        return handle_get(b, request, view_of(b, request), reply, false);
    } catch (const std::exception&) {
        if (!reply.started()) server::error_page_reply(reply);
        return true;
    }
}

std::string prepare_to_serve(Board& b) {
    std::string notice;
    std::string trouble_text;
    {
        platform::BoardLockGuard guard(b.lock);
        remove_left_work_files();
        b.pages.clear();  // the owner may have changed pages while the server was stopped
        FileTrouble trouble;
        LoadResult r = load_board_state(b, &trouble);
        if (r == LoadResult::StateUnreadable)
            trouble_text = "[" + trouble.file + "] " + platform::reason_text(trouble.status);
        else if (r == LoadResult::CountersUncreatable)
            trouble_text = std::string("[") + paths::kCounters + "] cannot be created";
        notice = load_notice(b, r);
        if (trouble_text.empty()) trouble_text = repair_pages(b);
        if (trouble_text.empty()) trouble_text = renew_page_link_script();
        if (trouble_text.empty()) trouble_text = place_search_form(b);
        load_held_sessions(b);
    }
    if (!notice.empty() && b.owner_notice) b.owner_notice(notice, "エラーメッセージ");
    return trouble_text;
}

server::Handler request_handler(Board& b) {
    return server::Handler{[&b](const server::Request& request, server::Reply& reply) {
                               platform::BoardLockGuard guard(b.lock);
                               respond(b, request, reply);
                           },
                           [&b] { return prepare_to_serve(b); },
                           [&b](const server::Request& request, server::Reply& reply) {
                               return answer_at_once(b, request, reply);
                           },
                           // A search: on the side thread, without the board lock.
                           [](const server::Request& request) {
                               return request.method == "GET" && request.has_path && is_search_path(request.path);
                           },
                           [&b](const server::Request& request, server::Reply& reply) {
                               try {
                                   search_reply(b, request, reply, view_of(b, request));
                               } catch (const std::exception&) {
                                   if (!reply.started()) server::error_page_reply(reply);
                               }
                           },
                           [&b](const server::Request& request, server::Reply& reply) {
                               search_busy_reply(b, reply, view_of(b, request));
                           }};
}

}  // namespace board
