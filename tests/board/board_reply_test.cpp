#include <gtest/gtest.h>

#include "board/board_reply.h"
#include "board/pages.h"
#include "board/paths.h"
#include "board/routes.h"
#include "support/test_support.h"

using namespace testing_support;

class BoardReply : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        load_fresh_board(b);
    }
    std::string menu() { return read_file(board::paths::kMenuPage); }
    board::Board b;
    Recorder rec;
};

TEST_F(BoardReply, LoginReplyMakesThePagesAndCarriesTheCookie) {
    board::board_reply(b, rec.reply, 812);
    std::string main_page = read_file(board::paths::kMainPage);
    EXPECT_EQ(main_page, expected_page("main_page.html"));
    EXPECT_TRUE(file_exists(board::paths::kInputPage));
    EXPECT_TRUE(file_exists(board::paths::kTextPage1));
    EXPECT_EQ(rec.all(), "HTTP/1.0 200 OK\nSet-Cookie: SESSIONID=812;\nContent-Type: text/html\nContent-Length: " +
                             std::to_string(main_page.size()) + "\n\n" + main_page);
    EXPECT_NE(menu().find(sjis(u8"<p>－1－</p>\r\n")), std::string::npos);
    EXPECT_NE(menu().find(sjis(u8"<p>2011年4月28日0時6分25秒</p>\r\n")), std::string::npos);
    EXPECT_EQ(list_dir("DATA/HTML").size(), 4u) << "main, menu, input and text page 1; no work file";
}

TEST_F(BoardReply, ReloadReplyPointsTheFrameAtTheCurrentPageWithoutTextPageOne) {
    b.CurrentPage = 7;
    b.clock = fixed_clock(2026, 1, 2, 3, 4, 5);
    board::board_reply(b, rec.reply);
    EXPECT_FALSE(file_exists(board::paths::kTextPage1));
    EXPECT_EQ(rec.all().find("Set-Cookie"), std::string::npos);
    EXPECT_NE(read_file(board::paths::kMainPage).find("<frame src='wbk_text_7.html' name='wbk_text'>\r\n"),
              std::string::npos);
    EXPECT_NE(menu().find(sjis(u8"<p>－7－</p>")), std::string::npos);
    EXPECT_NE(menu().find(sjis(u8"<p>2026年1月2日3時4分5秒</p>")), std::string::npos);
}

TEST_F(BoardReply, ContentLengthCountsTheCarriageReturns) {
    board::board_reply(b, rec.reply);
    std::string all = rec.all();
    std::string body = reply_body(all);
    EXPECT_NE(body.find("\r\n"), std::string::npos);
    EXPECT_NE(all.find("Content-Length: " + std::to_string(body.size()) + "\n"), std::string::npos);
}

TEST_F(BoardReply, ExactlyOneFullSendIsFollowedByAnEmptyOne) {
    make_dirs("DATA/HTML");
    // No markers: the page goes out as it is. 61 header bytes + 963 = 1024.
    write_file(board::paths::kMainPage, std::string(963, 'm'));
    board::board_reply(b, rec.reply);
    ASSERT_EQ(rec.sends.size(), 2u);
    EXPECT_EQ(rec.sends[0].size(), 1024u);
    EXPECT_EQ(rec.sends[1].size(), 0u);
}

TEST_F(BoardReply, PagesWithoutMarkersAreSentUnchanged) {
    make_dirs("DATA/HTML");
    write_file(board::paths::kMainPage, "<html>frames</html>\r\n");
    write_file(board::paths::kMenuPage, "<html>menu</html>\r\n");
    board::board_reply(b, rec.reply);
    EXPECT_EQ(reply_body(rec.all()), "<html>frames</html>\r\n");
    EXPECT_EQ(menu(), "<html>menu</html>\r\n");
}

TEST(SelectedPage, ReadsThePageNumberOfTheSelectPath) {
    EXPECT_EQ(board::selected_page("wbk_select_5.cgi"), 5);
    EXPECT_EQ(board::selected_page("wbk_select_0.cgi"), 1);
    EXPECT_EQ(board::selected_page("wbk_select_100000001.cgi"), 1);
    EXPECT_EQ(board::selected_page("wbk_select_100000000.cgi"), 100000000);
    EXPECT_EQ(board::selected_page("wbk_select_abc.cgi"), 1);
    EXPECT_EQ(board::selected_page("wbk_select_-3.cgi"), 1);
    EXPECT_EQ(board::selected_page("wbk_select_12x.cgi"), 12);
    EXPECT_EQ(board::selected_page("wbk_select_3.5.cgi"), 3);
    EXPECT_EQ(board::selected_page("x/wbk_select_7"), 7);
    EXPECT_EQ(board::selected_page("some/dir/wbk_select_4.cgi"), 4);
    EXPECT_EQ(board::selected_page("wbk_select_4294967301.cgi"), 1) << "too long for 32 bits";
}

TEST_F(BoardReply, PageSelectWritesTheShownPageAndAReloadPutsTheCurrentPageBack) {
    board::page_select(b, "wbk_select_3.cgi");
    EXPECT_EQ(b.ShownPage, 3);
    EXPECT_NE(menu().find(sjis(u8"<p>－3－</p>")), std::string::npos);
    board::board_reply(b, rec.reply);
    EXPECT_NE(menu().find(sjis(u8"<p>－1－</p>")), std::string::npos);
    EXPECT_EQ(b.ShownPage, 3) << "the board reply leaves ShownPage alone";
}

TEST_F(BoardReply, MissingTextPageOneThatCannotBeMadeFailsTheLoginReply) {
    make_dirs("DATA/HTML/wbk_text_1.html");  // a directory where the page should be
    board::respond(b,
                   server::parse_request("POST /wbk_login.cgi HTTP/1.0\r\n\r\nid=quietharborlights&password=quietharborlights",
                                         "127.0.0.1"),
                   rec.reply);
    EXPECT_NE(rec.all().find(sjis(u8"伝言板サーバーが不安定になっています。")), std::string::npos);
}
