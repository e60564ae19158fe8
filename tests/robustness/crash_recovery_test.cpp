// A post cut off by a crash while it began a new page: the crash test found
// that the page then never got its link in the menu. These tests cut the post
// by hand at each step and start the server again.
#include <gtest/gtest.h>

#include <string>

#include "board/pages.h"
#include "board/paths.h"
#include "board/posting.h"
#include "board/state.h"
#include "board/routes.h"
#include "server/listener.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

int count_of(const std::string& text, const std::string& piece) {
    int n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

class CrashRecovery : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        load(b);
        ASSERT_TRUE(board::write_counters(100, 2)) << "page 2 is full";
        load(b);
        Recorder rec;
        board::respond(b, request(post_request("wbk_login.cgi", "id=quietharborlights&password=quietharborlights")),
                         rec.reply);
        ASSERT_NE(rec.all().find("Set-Cookie: SESSIONID=42;"), std::string::npos);
    }

    void load(board::Board& board) {
        board.random = [] { return 41u; };
        load_fresh_board(board);
    }

    server::Request request(const std::string& text) { return server::parse_request(text, "127.0.0.1"); }

    std::string write_request(const std::string& text) {
        return post_request("wbk_write.cgi", "name=n&title=t&text=" + text, "Cookie: SESSIONID=42\r\n");
    }

    // The program's start on a fresh board record, as after the process was killed.
    void restart() {
        board::Board fresh;
        load(fresh);
        server::Server s(board::request_handler(fresh));
        s.bind_address = "127.0.0.1";
        s.LocalAddress = "127.0.0.1";
        s.ListenPort = 0;
        ASSERT_EQ(server::start(s), server::StartResult::Started);
        server::stop(s);
    }

    std::string link(int page) { return crlf(board::page_link_line(page)); }
    std::string link_section() {
        std::string menu = read_file(board::paths::kMenuPage);
        std::string start = crlf(std::string(board::kPageLinkStart));
        size_t at = menu.find(start);
        return at == std::string::npos ? "" : menu.substr(at + start.size());
    }

    board::Board b;
};

TEST_F(CrashRecovery, CutAfterStoringTheCountersGetsPageAndLinkAtStart) {
    ASSERT_TRUE(board::store_step(b, request(write_request("first"))));  // killed here
    ASSERT_EQ(read_file("DATA/MESSAGE/0.ini"), "message=1\r\npage=3\r\n");
    ASSERT_FALSE(file_exists("DATA/HTML/wbk_text_3.html"));

    restart();
    EXPECT_TRUE(file_exists("DATA/HTML/wbk_text_3.html"));
    EXPECT_EQ(count_of(read_file("DATA/HTML/wbk_text_3.html"), "<hr>"), 1) << "the message's block is on it";
    EXPECT_EQ(count_of(read_file("DATA/HTML/wbk_text_3.html"), "first"), 1);
    EXPECT_EQ(link_section().find(link(3)), 0u) << "the newest page's link stands first";
    EXPECT_EQ(count_of(read_file(board::paths::kMenuPage), link(3)), 1);

    // The next post goes on the page and adds no second link.
    board::Board after;
    load(after);
    Recorder rec;
    board::respond(after, request(write_request("second")), rec.reply);
    EXPECT_EQ(read_file("DATA/MESSAGE/0.ini"), "message=2\r\npage=3\r\n");
    EXPECT_EQ(count_of(read_file("DATA/HTML/wbk_text_3.html"), "second"), 1);
    EXPECT_EQ(count_of(read_file(board::paths::kMenuPage), link(3)), 1);
}

TEST_F(CrashRecovery, CutAfterStoringTheCountersGetsTheBlocksInOrderAtStart) {
    // Page 3 still holds a message of an earlier round of page numbers.
    board::make_new_text_page(3);
    board::rewrite_sections("DATA/HTML/wbk_text_3.html", board::paths::kTextWork,
                            {board::Section{board::kPlainStart, board::kPlainEnd, "<p>stale</p>\n<hr>\n",
                                            board::SectionMode::Replace}});
    // Two posts cut before their blocks, with no start between that could complete them.
    ASSERT_TRUE(board::store_step(b, request(write_request("older"))));
    ASSERT_TRUE(board::store_step(b, request(write_request("newer"))));

    restart();
    std::string page = read_file("DATA/HTML/wbk_text_3.html");
    EXPECT_EQ(page.find("stale"), std::string::npos);
    EXPECT_EQ(count_of(page, "<hr>"), 2);
    EXPECT_LT(page.find("newer"), page.find("older"));
    // A complete page stays as it is, even with an older block edited by hand.
    page.replace(page.find("older"), 5, "edit!");
    write_file("DATA/HTML/wbk_text_3.html", page);
    restart();
    EXPECT_EQ(read_file("DATA/HTML/wbk_text_3.html"), page);

    // A post cut after a whole one goes above it.
    Recorder rec;
    board::Board after;
    load(after);
    board::respond(after, request(write_request("whole")), rec.reply);
    ASSERT_TRUE(board::store_step(after, request(write_request("cut"))));
    restart();
    page = read_file("DATA/HTML/wbk_text_3.html");
    EXPECT_EQ(count_of(page, "<hr>"), 4);
    EXPECT_LT(page.find("cut"), page.find("whole"));
    EXPECT_LT(page.find("whole"), page.find("newer"));
}

TEST_F(CrashRecovery, CutAfterRenderingGetsTheLinkAtStart) {
    ASSERT_TRUE(board::store_step(b, request(write_request("first"))));
    board::render_step(b);  // killed before the page-link step
    std::string page = read_file("DATA/HTML/wbk_text_3.html");
    ASSERT_EQ(count_of(page, "first"), 1);
    ASSERT_EQ(count_of(read_file(board::paths::kMenuPage), link(3)), 0);

    restart();
    EXPECT_EQ(read_file("DATA/HTML/wbk_text_3.html"), page) << "the page keeps its message";
    EXPECT_EQ(link_section().find(link(3)), 0u);
    EXPECT_EQ(count_of(read_file(board::paths::kMenuPage), link(3)), 1);
}

TEST_F(CrashRecovery, StartAfterAWholePostChangesNoFile) {
    Recorder rec;
    board::respond(b, request(write_request("whole")), rec.reply);
    ASSERT_EQ(read_file("DATA/MESSAGE/0.ini"), "message=1\r\npage=3\r\n");
    std::string menu = read_file(board::paths::kMenuPage);
    std::string page = read_file("DATA/HTML/wbk_text_3.html");
    ASSERT_EQ(count_of(menu, link(3)), 1);

    restart();
    EXPECT_EQ(read_file(board::paths::kMenuPage), menu);
    EXPECT_EQ(read_file("DATA/HTML/wbk_text_3.html"), page);
}

TEST_F(CrashRecovery, PageOneAndAnEmptyBoardNeedNothing) {
    ASSERT_TRUE(board::write_counters(0, 1));
    std::string menu = read_file(board::paths::kMenuPage);
    restart();
    EXPECT_EQ(read_file(board::paths::kMenuPage), menu);
    EXPECT_FALSE(file_exists("DATA/HTML/wbk_text_2.html"));
}

}  // namespace
