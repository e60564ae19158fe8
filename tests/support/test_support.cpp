#include "support/test_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <iconv.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "board/state.h"

namespace testing_support {

static void remove_tree(const std::string& path) {
    std::string command = "rm -rf '" + path + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", path.c_str());
}

void TempDirTest::SetUp() {
    char cwd[4096];
    previous_ = getcwd(cwd, sizeof cwd) ? cwd : ".";
    char templ[] = "/tmp/komorebi-test-XXXXXX";
    char* made = mkdtemp(templ);
    ASSERT_NE(made, nullptr);
    dir_ = made;
    ASSERT_EQ(chdir(dir_.c_str()), 0);
}

void TempDirTest::TearDown() {
    if (chdir(previous_.c_str()) != 0) std::fprintf(stderr, "cannot go back to %s\n", previous_.c_str());
    if (!dir_.empty()) remove_tree(dir_);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool file_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
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
        ::mkdir(part.c_str(), 0777);
    }
}

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(path.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        ::closedir(d);
    }
    return names;
}

std::string sjis(const std::string& utf8) {
    iconv_t cd = iconv_open("CP932", "UTF-8");
    std::string out(utf8.size() * 2 + 16, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t in_left = utf8.size();
    char* o = out.data();
    size_t o_left = out.size();
    size_t r = iconv(cd, &in, &in_left, &o, &o_left);
    iconv_close(cd);
    EXPECT_NE(r, static_cast<size_t>(-1)) << "not convertible to Shift_JIS: " << utf8;
    out.resize(out.size() - o_left);
    return out;
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

std::string http_exchange(std::uint16_t port, const std::string& request, int pause_ms, const std::string& second) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return "<connect failed>";
    }
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    if (!second.empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
        ::send(fd, second.data(), second.size(), MSG_NOSIGNAL);
    }
    std::string reply;
    char buf[8192];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return reply;
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
    ASSERT_EQ(board::load_board_state(b), 0);
}

}  // namespace testing_support
