// The test helpers that need no operating system call; the others are in
// test_support_posix.cpp and, for the Windows tests, tests/win32.
#include "support/test_support.h"

#include <fstream>
#include <sstream>

#include "board/routes.h"
#include "board/state.h"
#include "platform/fs.h"

namespace testing_support {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

void make_dirs(const std::string& path) {
    std::string part;
    std::stringstream s(path);
    std::string piece;
    while (std::getline(s, piece, '/')) {
        part += piece + "/";
        platform::make_directory(part);
    }
}

std::string crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string expected_page(const std::string& name) {
    std::string text = read_file(std::string(KOMOREBI_TEST_DATA) + "/" + name);
    EXPECT_FALSE(text.empty()) << "missing test data " << name;
    return crlf(sjis(text));
}

std::string Recorder::all() const {
    std::string s;
    for (const auto& piece : sends) s += piece;
    return s;
}

platform::Clock fixed_clock(int year, int month, int day, int hour, int minute, int second) {
    platform::LocalTime t = platform::make_local_time(year, month, day, hour, minute, second);
    return [t] { return t; };
}

std::string reply_body(const std::string& reply) {
    size_t at = reply.find("\n\n");
    return at == std::string::npos ? "" : reply.substr(at + 2);
}

std::string post_request(const std::string& action, const std::string& body, const std::string& headers) {
    return "POST /" + action + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers +
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

void load_fresh_board(board::Board& b) {
    b.clock = fixed_clock(2011, 4, 28, 0, 6, 25);
    ASSERT_EQ(board::load_board_state(b), board::LoadResult::Loaded);
}

std::string logged_in_cookie(board::Board& b, const std::string& client) {
    Recorder login;
    board::respond(b,
                   server::parse_request(post_request("wbk_login.cgi", "id=quietharborlights&password=quietharborlights"),
                                         client),
                   login.reply);
    std::string all = login.all();
    size_t at = all.find("SESSIONID=");
    if (at == std::string::npos) return {};
    at += 10;
    return "Cookie: SESSIONID=" + all.substr(at, all.find(';', at) - at) + "\r\n";
}

}  // namespace testing_support
