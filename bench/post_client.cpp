// Posting load for the Komorebi benchmarks: logs in once, then sends posts
// one after another, each on a connection of its own (HTTP/1.0, no
// keep-alive), and reports throughput and latency percentiles.
//
//   post_client --port N [--first I] [--count C] [--session S] [--latencies FILE]
//
// Post i carries the fields of bench_fields.h, which make_board also writes
// for message i, so a generated board and a posted one hold the same
// messages. --count 0 only logs in and prints the session. A reply that is
// not the frameset (the login page, the error page, nothing) stops the run
// with exit code 1. Only 127.0.0.1 is ever contacted.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_fields.h"

namespace {

using Clock = std::chrono::steady_clock;

// Sends one request on a new connection and reads the reply until the server
// closes. Returns false when the connection or a send fails.
bool exchange(int port, const std::string& request, std::string& reply) {
    reply.clear();
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return false;
    }
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    char buf[16384];
    for (;;) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        reply.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

std::string form_post(const char* action, const std::string& cookie, const std::string& body) {
    std::string r = std::string("POST /") + action + " HTTP/1.0\r\nHost: 127.0.0.1\r\n";
    if (!cookie.empty()) r += "Cookie: SESSIONID=" + cookie + "\r\n";
    r += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
    return r;
}

double percentile(std::vector<double> sorted, double p) {
    if (sorted.empty()) return 0;
    size_t k = static_cast<size_t>(p / 100.0 * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(k, sorted.size() - 1)];
}

[[noreturn]] void usage() {
    std::fputs("usage: post_client --port N [--first I] [--count C] [--session S] [--latencies FILE]\n", stderr);
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    long first = 1, count = 100;
    std::string session, latencies_file;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) usage();
        if (a == "--port") port = std::atoi(argv[++i]);
        else if (a == "--first") first = std::atol(argv[++i]);
        else if (a == "--count") count = std::atol(argv[++i]);
        else if (a == "--session") session = argv[++i];
        else if (a == "--latencies") latencies_file = argv[++i];
        else usage();
    }
    if (port <= 0 || port > 65535 || count < 0) usage();

    std::string reply;
    if (session.empty()) {
        if (!exchange(port, form_post("wbk_login.cgi", "", "id=quietharborlights&password=quietharborlights"), reply)) {
            std::fprintf(stderr, "post_client: cannot reach 127.0.0.1:%d\n", port);
            return 1;
        }
        size_t at = reply.find("SESSIONID=");
        if (at == std::string::npos) {
            std::fprintf(stderr, "post_client: login gave no SESSIONID\n");
            return 1;
        }
        at += 10;
        session = reply.substr(at, reply.find(';', at) - at);
    }

    if (count == 0) {
        std::printf("session=%s\n", session.c_str());
        return 0;
    }

    // Requests are built before the clock starts so that the client's own
    // work stays out of the figures.
    std::vector<std::string> requests;
    requests.reserve(static_cast<size_t>(count));
    for (long i = 0; i < count; ++i) requests.push_back(form_post("wbk_write.cgi", session, bench::post_body(first + i)));

    std::vector<double> ms;
    ms.reserve(static_cast<size_t>(count));
    auto start = Clock::now();
    for (long i = 0; i < count; ++i) {
        auto t0 = Clock::now();
        bool ok = exchange(port, requests[static_cast<size_t>(i)], reply);
        auto t1 = Clock::now();
        if (!ok || reply.compare(0, 15, "HTTP/1.0 200 OK") != 0 || reply.find("name='wbk_text'") == std::string::npos) {
            std::fprintf(stderr, "post_client: post %ld did not get the frameset:\n%.300s\n", first + i, reply.c_str());
            return 1;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    if (!latencies_file.empty()) {
        if (FILE* f = std::fopen(latencies_file.c_str(), "w")) {
            for (double v : ms) std::fprintf(f, "%.4f\n", v);
            std::fclose(f);
        }
    }
    double sum = 0;
    for (double v : ms) sum += v;
    std::vector<double> sorted = ms;
    std::sort(sorted.begin(), sorted.end());
    std::printf("posts=%ld seconds=%.3f posts_per_s=%.1f mean_ms=%.3f p50_ms=%.3f p90_ms=%.3f p99_ms=%.3f max_ms=%.3f session=%s\n",
                count, seconds, static_cast<double>(count) / seconds, sum / static_cast<double>(count),
                percentile(sorted, 50), percentile(sorted, 90), percentile(sorted, 99), sorted.back(), session.c_str());
    return 0;
}
