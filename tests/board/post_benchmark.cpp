// The cost of one post (session check, store, render, page link and the
// reload reply, every write durable), on a board of 1 page and of 1,000 pages.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "board/state.h"
#include "board/routes.h"

namespace {

struct BenchBoard {
    board::Board b;
    std::string dir;
    std::string cookie;

    explicit BenchBoard(int pages) {
        char templ[] = "/tmp/komorebi-bench-XXXXXX";
        dir = mkdtemp(templ);
        if (chdir(dir.c_str()) != 0) std::abort();
        board::load_board_state(b);
        std::string reply = run(request("wbk_login.cgi", "id=quietharborlights&password=quietharborlights", ""));
        size_t at = reply.find("SESSIONID=") + 10;
        cookie = "Cookie: SESSIONID=" + reply.substr(at, reply.find(';', at) - at) + "\r\n";
        // Each further page begins with the 101st message of the page before.
        for (int page = 1; page < pages; ++page) {
            b.MessageNo = 100;
            run(post());
        }
        run(post());
    }
    ~BenchBoard() {
        if (chdir("/tmp") == 0) std::system(("rm -rf " + dir).c_str());
    }
    static std::string request(const std::string& action, const std::string& body, const std::string& headers) {
        return "POST /" + action + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers +
               "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\n\r\n" + body;
    }
    std::string post() const {
        return request("wbk_write.cgi",
                       "name=%96%BC%91O&title=%91%E8%96%BC&text=" + std::string(300, 'x') + "%0D%0A" + std::string(300, 'y'),
                       cookie);
    }
    std::string run(const std::string& text) {
        std::string out;
        server::Reply reply([&](const char* d, size_t n) { out.append(d, n); });
        board::respond(b, server::parse_request(text, "127.0.0.1"), reply);
        return out;
    }
};

void post_on_board_of(benchmark::State& state) {
    BenchBoard board(static_cast<int>(state.range(0)));
    std::string text = board.post();
    for (auto _ : state) {
        // Stay on the same page, as full as a page gets: after 99 messages
        // the page starts over with its first message.
        if (board.b.MessageNo >= 99) board.b.MessageNo = 0;
        benchmark::DoNotOptimize(board.run(text));
    }
    state.counters["posts_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(post_on_board_of)->Arg(1)->Arg(1000)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);
BENCHMARK_MAIN();
