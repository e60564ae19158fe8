// The test helpers over POSIX: directories, sockets and iconv.
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

bool file_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
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

}  // namespace testing_support
