#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "board/routes.h"
#include "board/state.h"
#include "support/test_support.h"

using namespace testing_support;

class StateLoad : public TempDirTest {
protected:
    void counters(const std::string& bytes) {
        make_dirs("DATA/MESSAGE");
        write_file("DATA/MESSAGE/0.ini", bytes);
    }
    void credentials(const std::string& bytes) {
        make_dirs("DATA/IDPASSWORD");
        write_file("DATA/IDPASSWORD/idpassword.ini", bytes);
    }
    board::Board b;
};

TEST_F(StateLoad, NoDataDirectoryCreatesBothFilesWithTheirDefaults) {
    EXPECT_EQ(board::load_board_state(b), board::LoadResult::Loaded);
    EXPECT_EQ(read_file("DATA/MESSAGE/0.ini"), "message=0\r\npage=1\r\n");
    EXPECT_EQ(read_file("DATA/IDPASSWORD/idpassword.ini"), "ID=quietharborlights\r\nPASSWORD=quietharborlights\r\n");
    EXPECT_EQ(read_file("DATA/IDPASSWORD/idpassword.ini").size(), 50u);
    EXPECT_EQ(b.MessageNo, 0);
    EXPECT_EQ(b.CurrentPage, 1);
    EXPECT_EQ(b.ShownPage, 1);
    EXPECT_EQ(b.LoginId, "quietharborlights");
    EXPECT_EQ(b.LoginPassword, "quietharborlights");
    EXPECT_TRUE(list_dir("DATA/MESSAGE").size() == 1) << "no work file stays behind";
}

TEST_F(StateLoad, EmptyCountersFileIsANewBoardAndTheCredentialsStillLoad) {
    counters("");
    b.MessageNo = 7;
    EXPECT_EQ(board::load_board_state(b), board::LoadResult::CountersInvalid);
    EXPECT_EQ(b.MessageNo, 0);
    EXPECT_EQ(b.CurrentPage, 1);
    EXPECT_EQ(b.LoginId, "quietharborlights") << "visitors can still log in";
}

TEST_F(StateLoad, ValuesWithoutDigitsCountAsZero) {
    counters("message=\r\npage=4\r\n");
    EXPECT_EQ(board::load_board_state(b), board::LoadResult::Loaded);
    EXPECT_EQ(b.MessageNo, 0);
    counters("message=abc\r\npage=4\r\n");
    b.MessageNo = 9;
    EXPECT_EQ(board::load_board_state(b), board::LoadResult::Loaded);
    EXPECT_EQ(b.MessageNo, 0);
}

TEST_F(StateLoad, OutOfRangeValuesTakeTheirDefaultsAndAreNotFound) {
    for (const char* text : {"message=101\npage=2\n", "message=-1\npage=2\n", "message=3\npage=0\n",
                             "message=3\npage=100000001\n"}) {
        counters(text);
        board::Board fresh;
        EXPECT_EQ(board::load_board_state(fresh), board::LoadResult::CountersInvalid) << text;
    }
    counters("message=101\npage=100000001\n");
    EXPECT_EQ(board::load_board_state(b), board::LoadResult::CountersInvalid);
    EXPECT_EQ(b.MessageNo, 0);
    EXPECT_EQ(b.CurrentPage, 1);
}

TEST_F(StateLoad, AValidValueKeepsItsMarkWhenALaterLineIsOutOfRange) {
    counters("message=5\r\npage=2\r\nmessage=500\r\n");
    EXPECT_EQ(board::load_board_state(b), board::LoadResult::Loaded);
    EXPECT_EQ(b.MessageNo, 0);
    EXPECT_EQ(b.CurrentPage, 2);
}

TEST_F(StateLoad, PageKeyIsFoundInTheMessageValueButNotTheOtherWayRound) {
    counters("message=3 page=7\r\n");
    EXPECT_EQ(board::load_board_state(b), board::LoadResult::Loaded);
    EXPECT_EQ(b.MessageNo, 3);
    EXPECT_EQ(b.CurrentPage, 7);
    counters("page=7 message=3\r\n");
    board::Board other;
    EXPECT_EQ(board::load_board_state(other), board::LoadResult::CountersInvalid);
    EXPECT_EQ(other.MessageNo, 3);
}

TEST_F(StateLoad, OnlyAPageLineStillLoadsThePageAndTheCredentials) {
    counters("page=3\r\n");
    credentials("ID=alice\r\nPASSWORD=secret\r\n");
    EXPECT_EQ(board::load_board_state(b), board::LoadResult::CountersInvalid);
    EXPECT_EQ(b.CurrentPage, 3);
    EXPECT_EQ(b.MessageNo, 0);
    EXPECT_EQ(b.ShownPage, 3);
    EXPECT_EQ(b.LoginId, "alice");
}

TEST_F(StateLoad, CredentialsWithCrLfOrBareLineFeedsGiveTheSameValues) {
    counters("message=1\npage=1\n");
    credentials("ID=alice\r\nPASSWORD=secret\r\n");
    ASSERT_EQ(board::load_board_state(b), board::LoadResult::Loaded);
    EXPECT_EQ(b.LoginId, "alice");
    EXPECT_EQ(b.LoginPassword, "secret");
    credentials("ID=alice\nPASSWORD=secret\n");
    board::Board other;
    ASSERT_EQ(board::load_board_state(other), board::LoadResult::Loaded);
    EXPECT_EQ(other.LoginId, "alice");
    EXPECT_EQ(other.LoginPassword, "secret");
}

TEST_F(StateLoad, EmptyIdRewritesTheDefaultsAndReplacesBothValues) {
    counters("message=1\npage=1\n");
    credentials("ID=\r\nPASSWORD=secret\r\n");
    ASSERT_EQ(board::load_board_state(b), board::LoadResult::Loaded);
    EXPECT_EQ(b.LoginId, "quietharborlights");
    EXPECT_EQ(b.LoginPassword, "quietharborlights");
    EXPECT_EQ(read_file("DATA/IDPASSWORD/idpassword.ini"), "ID=quietharborlights\r\nPASSWORD=quietharborlights\r\n");
}

TEST_F(StateLoad, MissingIdLineKeepsThePreviousId) {
    counters("message=1\npage=1\n");
    credentials("PASSWORD=secret\r\n");
    b.LoginId = "earlier";
    ASSERT_EQ(board::load_board_state(b), board::LoadResult::Loaded);
    EXPECT_EQ(b.LoginId, "earlier");
    EXPECT_EQ(b.LoginPassword, "secret");
}

TEST_F(StateLoad, PasswordHoldingIdKeyBecomesAnIdLine) {
    counters("message=1\npage=1\n");
    credentials("ID=alice\r\nPASSWORD=xID=bob\r\n");
    b.LoginPassword = "before";
    ASSERT_EQ(board::load_board_state(b), board::LoadResult::Loaded);
    EXPECT_EQ(b.LoginId, "bob");
    EXPECT_EQ(b.LoginPassword, "before");
}

TEST_F(StateLoad, OverlongCredentialsAreCutTo109Bytes) {
    counters("message=1\npage=1\n");
    credentials("ID=" + std::string(150, 'i') + "\r\nPASSWORD=" + std::string(120, 'p') + "\r\n");
    ASSERT_EQ(board::load_board_state(b), board::LoadResult::Loaded);
    EXPECT_EQ(b.LoginId, std::string(109, 'i'));
    EXPECT_EQ(b.LoginPassword, std::string(109, 'p'));
}

TEST_F(StateLoad, UnwritableDataGivesMinusOneAndAssumesANewBoard) {
    make_dirs("DATA");
    write_file("DATA/MESSAGE", "a file where the directory should be");
    EXPECT_EQ(board::load_board_state(b), board::LoadResult::CountersUncreatable);
    EXPECT_EQ(b.CurrentPage, 1);
}

TEST_F(StateLoad, AStartOnUnreadableCountersTellsTheOwnerWhatItAssumed) {
    counters("page=3\r\n");
    std::vector<std::string> told;
    b.owner_notice = [&](const std::string& text, const std::string&) { told.push_back(text); };
    EXPECT_EQ(board::prepare_to_serve(b), "") << "the board still serves";
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0], sjis(u8"[DATA/MESSAGE/0.ini]ファイルを読み込めませんでした。\nメッセージ数＝0、ページ番号＝3として続けます。"));
}

TEST_F(StateLoad, TheStartGivesAMenuWithTheOldPageLinkScriptTheNewOneAndNoOtherMenu) {
    const std::string old_script = crlf(
        "function pagelink(data1,data2) {\n"
        "\tparent.wbk_text.location.href = data1;\n"
        "\tparent.wbk_text.location.href = data2;\n"
        "\tparent.wbk_menu.location.href = 'wbk_menu.html';\n"
        "}\n");
    const std::string menu = expected_page("menu_page.html");
    size_t from = menu.find("function pagelink");
    size_t to = menu.find("//-->", from);
    ASSERT_NE(to, std::string::npos);
    const std::string old_menu = menu.substr(0, from) + old_script + menu.substr(to);
    make_dirs("DATA/HTML");
    write_file("DATA/HTML/wbk_menu.html", old_menu);
    EXPECT_EQ(board::prepare_to_serve(b), "");
    EXPECT_EQ(read_file("DATA/HTML/wbk_menu.html"), menu);
    EXPECT_EQ(board::prepare_to_serve(b), "");
    EXPECT_EQ(read_file("DATA/HTML/wbk_menu.html"), menu) << "the new script is kept";
    std::string edited = old_menu;
    edited.replace(edited.find("= data2;"), 8, "= data2 ;");
    write_file("DATA/HTML/wbk_menu.html", edited);
    EXPECT_EQ(board::prepare_to_serve(b), "");
    EXPECT_EQ(read_file("DATA/HTML/wbk_menu.html"), edited) << "an owner's own script stays";
}

TEST_F(StateLoad, AFileThatExistsButCannotBeReadIsNeverOverwrittenWithDefaults) {
    // A directory in the file's place: it exists, and it cannot be read.
    make_dirs("DATA/MESSAGE/0.ini");
    write_file("DATA/IDPASSWORD/idpassword.ini", "ID=owner\r\nPASSWORD=secret\r\n");
    std::string trouble = board::prepare_to_serve(b);
    EXPECT_EQ(trouble.rfind("[DATA/MESSAGE/0.ini] ", 0), 0u) << trouble;
    EXPECT_EQ(b.CurrentPage, 0) << "nothing assumed";
    rmdir("DATA/MESSAGE/0.ini");
    counters("message=3\r\npage=1\r\n");
    make_dirs("DATA/IDPASSWORD/idpassword.ini.d");
    rename("DATA/IDPASSWORD/idpassword.ini", "DATA/IDPASSWORD/keep");
    rename("DATA/IDPASSWORD/idpassword.ini.d", "DATA/IDPASSWORD/idpassword.ini");
    EXPECT_EQ(board::load_board_state(b), board::LoadResult::StateUnreadable);
    EXPECT_NE(b.LoginId, "quietharborlights") << "the credentials are not the public default";
    EXPECT_EQ(read_file("DATA/MESSAGE/0.ini"), "message=3\r\npage=1\r\n");
}

TEST_F(StateLoad, OwnerSettingsOutliveALaunchAndJunkIsTheDefault) {
    EXPECT_EQ(board::load_owner_settings().port, 53790) << "no file: the defaults";
    ASSERT_TRUE(board::save_owner_settings({8080, 1, 0}));
    EXPECT_EQ(read_file("DATA/settings.ini"), "port=8080\r\nlog=1\r\nprivate=0\r\n");
    board::OwnerSettings kept = board::load_owner_settings();
    EXPECT_EQ(kept.port, 8080);
    EXPECT_EQ(kept.log, 1);
    EXPECT_EQ(kept.phone, 1) << "the phone view is on without its line";
    kept.phone = 0;
    ASSERT_TRUE(board::save_owner_settings(kept));
    EXPECT_EQ(read_file("DATA/settings.ini"), "port=8080\r\nlog=1\r\nprivate=0\r\nphone=0\r\n");
    EXPECT_EQ(board::load_owner_settings().phone, 0);
    EXPECT_FALSE(kept.search) << "no search line: unset, and none is written";
    kept.search = 1;
    ASSERT_TRUE(board::save_owner_settings(kept));
    EXPECT_EQ(read_file("DATA/settings.ini"), "port=8080\r\nlog=1\r\nprivate=0\r\nphone=0\r\nsearch=1\r\n");
    EXPECT_EQ(board::load_owner_settings().search, std::optional<std::uint8_t>(1));
    write_file("DATA/settings.ini", "port=70000\r\nlog=yes\r\nphone=no\r\n\x81");
    kept = board::load_owner_settings();
    EXPECT_EQ(kept.port, 53790);
    EXPECT_EQ(kept.log, 0);
    EXPECT_EQ(kept.phone, 1) << "only phone=0 turns it off";
    EXPECT_EQ(kept.post_limits, board::PostLimits{}) << "no limit lines: the defaults, 5 in 30 s and 20 an hour";
    // A limit's line is written only when it is not the default.
    ASSERT_TRUE(board::save_owner_settings({8080, 1, 0, "", {3, 60, 20}}));
    EXPECT_EQ(read_file("DATA/settings.ini"),
              "port=8080\r\nlog=1\r\nprivate=0\r\npost_limit=3\r\npost_limit_seconds=60\r\n");
    EXPECT_EQ(board::load_owner_settings().post_limits, (board::PostLimits{3, 60, 20}));
    write_file("DATA/settings.ini", "port=70000\r\nlog=yes\r\npost_limit=101\r\npost_limit_seconds=0\r\n"
                                    "post_limit_hour=-1\r\n\x81");
    kept = board::load_owner_settings();
    EXPECT_EQ(kept.port, 53790);
    EXPECT_EQ(kept.log, 0);
    EXPECT_EQ(kept.post_limits, board::PostLimits{}) << "limits out of range are the defaults";
}

TEST(ParseInt, ReadsLikeTheStandardConversion) {
    EXPECT_EQ(board::parse_int("  42abc"), 42);
    EXPECT_EQ(board::parse_int("-3"), -3);
    EXPECT_EQ(board::parse_int("+7\n"), 7);
    EXPECT_EQ(board::parse_int("x1"), 0);
    EXPECT_EQ(board::parse_int("99999999999999999999"), 2147483647);
}
