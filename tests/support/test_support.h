#pragma once
// Helpers shared by the test suites: a fresh working directory per test, file
// access as stored bytes, a recorder of sends, a fixed clock and a raw HTTP client.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "board/board.h"
#include "platform/clock.h"
#include "server/reply.h"

namespace testing_support {

// Each test runs in an empty directory of its own, removed afterwards.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string dir_;
    std::string previous_;
};

std::string read_file(const std::string& path);  // as stored bytes; "" when missing
bool file_exists(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
void make_dirs(const std::string& path);  // every level
std::vector<std::string> list_dir(const std::string& path);

// UTF-8 to Shift_JIS, and line feeds to CR LF: how a page is stored.
std::string sjis(const std::string& utf8);
std::string crlf(const std::string& text);
// A file under tests/data, as Shift_JIS with CR LF line ends.
std::string expected_page(const std::string& name);

// Records every send of a reply.
struct Recorder {
    std::vector<std::string> sends;
    server::Reply reply{[this](const char* d, size_t n) { sends.emplace_back(d, n); }};
    std::string all() const;
};

platform::Clock fixed_clock(int year, int month, int day, int hour, int minute, int second);

// Sends bytes to 127.0.0.1:port and reads until the server closes.
std::string http_exchange(std::uint16_t port, const std::string& request, int pause_ms_between = 0,
                          const std::string& second_piece = "");

// The body of a reply (after the blank line).
std::string reply_body(const std::string& reply);

// A request with a form body and optional extra headers.
std::string post_request(const std::string& action, const std::string& body, const std::string& headers = "");

// A board with a fixed clock, loaded as the server's start does.
void load_fresh_board(board::Board& b);

// Logs in to b with the default ID and password from client; the Cookie
// header line ("Cookie: SESSIONID=...\r\n") that the session's requests carry.
std::string logged_in_cookie(board::Board& b, const std::string& client = "127.0.0.1");

}  // namespace testing_support
