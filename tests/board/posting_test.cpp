#include <gtest/gtest.h>

#include <cstdio>

#include "board/deletion.h"
#include "board/flood.h"
#include "board/pages.h"
#include "board/paths.h"
#include "board/posting.h"
#include "board/session.h"
#include "board/state.h"
#include "board/routes.h"
#include "support/test_support.h"

using namespace testing_support;

class Posting : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        load_fresh_board(b);
        Recorder rec;
        std::string login = post_request("wbk_login.cgi", "id=quietharborlights&password=quietharborlights");
        board::respond(b, server::parse_request(login, "127.0.0.1"), rec.reply);
        std::string all = rec.all();
        size_t at = all.find("SESSIONID=") + 10;
        cookie = "Cookie: SESSIONID=" + all.substr(at, all.find(';', at) - at) + "\r\n";
    }
    std::string post(const std::string& body) {
        Recorder rec;
        std::string text = post_request("wbk_write.cgi", body, cookie);
        board::respond(b, server::parse_request(text, "127.0.0.1"), rec.reply);
        return rec.all();
    }
    // Stores a message and returns its record.
    std::string stored(const std::string& body) {
        post(body);
        return read_file(board::message_record_path(b.MessageNo));
    }
    std::string text_page(int n) { return read_file(board::text_page_path(n)); }
    static int count(const std::string& hay, const std::string& needle) {
        int n = 0;
        for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
        return n;
    }
    board::Board b;
    std::string cookie;
    const std::string when = "2011年4月28日0時6分25秒";
};

TEST_F(Posting, RecordHoldsAddressTitleNameTimeAndText) {
    std::string record = stored("name=%96%BC&title=t&text=Hello%0D%0AWorld");
    EXPECT_EQ(record, "ClientIpAddress=127.0.0.1\r\nt\r\n" + sjis(u8"名") + "\r\n" + when + "\r\nHello\r\r\nWorld\r\n");
    EXPECT_EQ(read_file("DATA/MESSAGE/0.ini"), "message=1\r\npage=1\r\n");
    EXPECT_NE(text_page(1).find(sjis(u8"<p>内容　：　Hello</br>World</br></p>\r\n")), std::string::npos);
}

TEST_F(Posting, EscapesDecodeAsTheFormSendsThem) {
    std::string record = stored("name=n&title=t&text=%41%4g");
    EXPECT_EQ(record.substr(record.size() - 6), "\r\nA@\r\n");
    EXPECT_NE(stored("name=n&title=t&text=a+b%2Bc").find("a b+c\r\n"), std::string::npos);
    EXPECT_NE(stored("name=n&title=t&text=ab%00cd").find("\r\nab\r\n"), std::string::npos);
}

TEST_F(Posting, NameBeginningWithZeroIsStoredAsAnEmptyLine) {
    EXPECT_EQ(stored("name=%00x&title=t&text=x"), "ClientIpAddress=127.0.0.1\r\nt\r\n\r\n" + when + "\r\nx\r\n");
}

TEST_F(Posting, RefusedPostsChangeNoFile) {
    post("name=n&title=t&text=first");
    std::vector<std::string> names = {"DATA/MESSAGE/0.ini", "DATA/MESSAGE/1.txt", board::paths::kMenuPage,
                                      board::paths::kMainPage, board::text_page_path(1)};
    std::vector<std::string> before;
    for (auto& n : names) before.push_back(read_file(n));
    for (const char* body : {"title=t&text=x", "name=n&text=x", "name=n&title=t", "name=&title=t&text=x",
                             "name=n&title=&text=x", "name=n&title=t&text=", "name=n&title=t&text=%00abc"}) {
        std::string reply = post(body);
        EXPECT_EQ(reply_body(reply), read_file(board::paths::kMainPage)) << body;
    }
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(read_file(names[i]), before[i]) << names[i];
    EXPECT_EQ(b.MessageNo, 1);
}

TEST_F(Posting, AFloodIsRefusedAtItsSixthPostAndAPersonsPacePasses) {
    b.post_limits = board::PostLimits{};  // the owner's defaults: 5 posts in 30 s, 20 in an hour
    std::vector<std::string> told;
    b.owner_notice = [&told](const std::string& text, const std::string&) { told.push_back(text); };
    platform::Clock base = b.clock;
    std::int64_t later = 0;
    b.clock = [base, &later] {
        platform::LocalTime t = base();
        t.epoch_seconds += later;
        return t;
    };
    for (int i = 0; i < 5; ++i) post("name=n&title=t&text=quick");
    EXPECT_EQ(b.MessageNo, 5);
    std::vector<std::string> names = {"DATA/MESSAGE/0.ini", board::paths::kMenuPage, board::paths::kMainPage,
                                      board::text_page_path(1)};
    std::vector<std::string> before;
    for (auto& n : names) before.push_back(read_file(n));
    std::string refused = reply_body(post("name=n&title=t&text=sixth"));
    EXPECT_NE(refused.find(sjis(u8"（30秒に5件、１時間に20件まで）")), std::string::npos) << refused;
    EXPECT_NE(refused.find(sjis(u8"あと約30秒たってから")), std::string::npos);
    later = 29;
    EXPECT_NE(reply_body(post("name=n&title=t&text=seventh")).find(sjis(u8"あと約1秒")), std::string::npos);
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(read_file(names[i]), before[i]) << names[i];
    EXPECT_FALSE(file_exists("DATA/MESSAGE/6.txt"));
    ASSERT_EQ(told.size(), 1u) << "one notice for the spell, not one a post";
    EXPECT_NE(told[0].find("[ 127.0.0.1 ]"), std::string::npos);
    EXPECT_TRUE(board::flood_allows(b, "127.0.0.2", board::FloodKind::Post, b.clock().epoch_seconds))
        << "another address is not held back";
    // A post every ten seconds passes, up to twenty in the hour.
    for (int i = 6; i <= 20; ++i) {
        later = 30 + (i - 6) * 10;
        post("name=n&title=t&text=paced");
        EXPECT_EQ(b.MessageNo, i) << "at " << later << " s";
    }
    later += 10;
    refused = reply_body(post("name=n&title=t&text=twenty-first"));
    EXPECT_EQ(b.MessageNo, 20);
    EXPECT_NE(refused.find(sjis(u8"あと約57分")), std::string::npos) << refused;
}

TEST_F(Posting, AFlooderStaysRefusedWhileThousandsOfOthersPost) {
    b.post_limits = board::PostLimits{};  // 5 posts in 30 s
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(board::flood_allows(b, "192.0.2.1", board::FloodKind::Post, 0));
    // As many other addresses as the table keeps, while the flooder keeps trying.
    for (size_t i = 0; i < board::kFloodAddressesKept; ++i) {
        std::int64_t now = 1 + static_cast<std::int64_t>(i) / 200;
        std::string other = "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256);
        ASSERT_TRUE(board::flood_allows(b, other, board::FloodKind::Post, now));
        if (i % 64 == 63) {
            ASSERT_FALSE(board::flood_allows(b, "192.0.2.1", board::FloodKind::Post, now)) << i;
        }
    }
    EXPECT_FALSE(board::flood_allows(b, "192.0.2.1", board::FloodKind::Post, 25));
    EXPECT_LE(b.posting.size(), board::kFloodAddressesKept);
}

TEST_F(Posting, FieldsInHeadersDoNotCount) {
    // Read from the whole request, this header would complete the form.
    cookie += "X-Note: x&name=n&title=t&text=header\r\n";
    post("title=t&text=x");
    EXPECT_FALSE(file_exists("DATA/MESSAGE/1.txt"));
}

TEST_F(Posting, LongNamesAreStoredAt101BytesAndShownAt100) {
    std::string record = stored("name=" + std::string(150, 'n') + "&title=t&text=x");
    EXPECT_NE(record.find("\r\n" + std::string(101, 'n') + "\r\n"), std::string::npos);
    EXPECT_NE(text_page(1).find(sjis(u8"<p>名前　：　") + std::string(100, 'n') + "</p>\r\n"), std::string::npos);
    stored("name=" + std::string(99, 'm') + "&title=t&text=x");
    EXPECT_NE(text_page(1).find(sjis(u8"<p>名前　：　") + std::string(99, 'm') + "\r\n</p>\r\n"), std::string::npos);
    // Cuts fall between two characters: "あ" is the two bytes 82 A0.
    std::string wide;
    for (int i = 0; i < 51; ++i) wide += "%82%A0";
    std::string cut = stored("name=" + wide + "&title=x" + wide + "&text=x");
    std::string a50, a49;
    for (int i = 0; i < 50; ++i) a50 += "\x82\xA0";
    a49 = a50.substr(2);
    EXPECT_NE(cut.find("\r\nx" + a50 + "\r\n" + a50 + "\r\n"), std::string::npos);
    EXPECT_NE(text_page(1).find(sjis(u8"<p>題名　：　") + "x" + a49 + "</p>\r\n"), std::string::npos);
    EXPECT_NE(board::block_of_stored("ClientIpAddress=1.2.3.4\r\nt\r\nn\r\nx" + a50 + "\r\nx\r\n").find(sjis(u8"<p>時間　：　") + "x" + a50.substr(0, 38) + "</p>\n"), std::string::npos);
}

TEST_F(Posting, LongTextIsStoredAt1101BytesAndLongLinesShowWhole) {
    std::string record = stored("name=n&title=t&text=" + std::string(2000, 'x'));
    EXPECT_NE(record.find(std::string(1101, 'x') + "\r\n"), std::string::npos);
    EXPECT_EQ(record.find(std::string(1102, 'x')), std::string::npos);
    stored("name=n&title=t&text=" + std::string(250, 'y'));
    EXPECT_NE(text_page(1).find(std::string(250, 'y') + "</br></p>"), std::string::npos);
}

TEST_F(Posting, ManyShortLinesAreShownWhole) {
    std::string text;
    for (int i = 0; i < 400; ++i) text += "a%0D%0A";
    stored("name=n&title=t&text=" + text);
    std::string shown;
    for (int i = 0; i < 367; ++i) shown += "a</br>";  // 1101 bytes hold 367 "a" CR LF lines
    // ... and the record's own line feed after the text is a line of its own.
    EXPECT_NE(text_page(1).find(sjis(u8"<p>内容　：　") + shown + "</br></p>"), std::string::npos);
}

TEST_F(Posting, NewestMessageStandsFirstAndThePageBreaksAfterAHundred) {
    b.MessageNo = 5;
    b.CurrentPage = 3;
    board::make_new_text_page(3);
    post("name=n&title=t&text=older");
    post("name=n&title=t&text=newer");
    std::string page3 = text_page(3);
    EXPECT_LT(page3.find("newer"), page3.find("older"));
    EXPECT_EQ(b.MessageNo, 7);
    b.MessageNo = 99;
    post("name=n&title=t&text=hundredth");
    EXPECT_EQ(read_file("DATA/MESSAGE/0.ini"), "message=100\r\npage=3\r\n") << "the 100th stays on its page";
    EXPECT_FALSE(file_exists(board::text_page_path(4)));
    std::string menu_before = read_file(board::paths::kMenuPage);
    b.MessageNo = 100;
    b.CurrentPage = 7;
    post("name=n&title=t&text=first+of+eight");
    EXPECT_EQ(read_file("DATA/MESSAGE/0.ini"), "message=1\r\npage=8\r\n");
    EXPECT_EQ(count(text_page(8), "<hr>"), 1);
    std::string menu = read_file(board::paths::kMenuPage);
    EXPECT_NE(menu.find(std::string(board::kPageLinkStart.substr(0, board::kPageLinkStart.size() - 1)) + "\r\n" +
                        board::page_link_line(8).substr(0, board::page_link_line(8).size() - 1) + "\r\n"),
              std::string::npos);
    EXPECT_NE(read_file(board::paths::kMainPage).find("wbk_text_8.html"), std::string::npos);
}

TEST_F(Posting, DeletionTakesOnlyItsBlockAndTheStartDoesNotBringItBack) {
    post("name=a%26b&title=%3Cone%3E&text=first");
    post("name=n2&title=t2&text=second");
    post("name=n3&title=t3&text=third");
    board::PageListing listing = board::list_page_messages(b, 1);
    ASSERT_EQ(listing.messages.size(), 3u);
    EXPECT_EQ(listing.messages[0].title, "t3") << "newest first";
    EXPECT_EQ(listing.messages[2].name, "a&b");
    EXPECT_EQ(listing.messages[2].title, "<one>");
    EXPECT_EQ(listing.messages[2].time, when);
    std::string before = text_page(1);
    std::string block = platform::stored_text(listing.messages[1].block);
    ASSERT_NE(before.find(block), std::string::npos);
    std::string counters = read_file(board::paths::kCounters);

    EXPECT_EQ(board::delete_message(b, 1, listing.messages[1]).result, board::DeleteResult::Done);
    std::string expected = before;
    expected.erase(expected.find(block), block.size());
    EXPECT_EQ(text_page(1), expected) << "nothing else on the page changes";
    EXPECT_EQ(read_file(board::message_record_path(2)), "") << "the record is emptied";
    EXPECT_EQ(read_file(board::paths::kCounters), counters);
    EXPECT_EQ(board::delete_message(b, 1, listing.messages[1]).result, board::DeleteResult::Gone);

    // The newest too: a start then renders neither again, and the next post has the next number.
    EXPECT_EQ(board::delete_message(b, 1, listing.messages[0]).result, board::DeleteResult::Done);
    std::string after = text_page(1);
    EXPECT_EQ(board::repair_pages(b), "");
    EXPECT_EQ(text_page(1), after);
    post("name=n&title=t&text=fourth");
    EXPECT_EQ(b.MessageNo, 4);
    EXPECT_EQ(count(text_page(1), "<hr>"), 2);

    // Before a board's first start its counters are only on the disk.
    write_file(board::paths::kCounters, "message=7\r\npage=3\r\n");
    board::Board stopped;
    EXPECT_EQ(board::current_page_for_deletion(stopped), 3);
}

// Pages the owner edited by hand, and equal messages: a deletion still
// empties the message's own record, and the start neither brings a deleted
// message back nor drops another in its place.
TEST_F(Posting, DeletionAndTheStartHoldOnEditedPagesAndEqualMessages) {
    post("name=n1&title=t1&text=one");
    post("name=n2&title=t2&text=two");
    post("name=n3&title=t3&text=typo");
    std::string page = text_page(1);
    page.replace(page.find("typo"), 4, "done");  // corrected by hand
    write_file(board::text_page_path(1), page);
    board::PageListing listing = board::list_page_messages(b, 1);
    ASSERT_EQ(listing.messages.size(), 3u);
    EXPECT_EQ(board::delete_message(b, 1, listing.messages[0]).result, board::DeleteResult::Done);
    EXPECT_EQ(read_file(board::message_record_path(3)), "") << "the block's position names its record";
    std::string after = text_page(1);
    EXPECT_EQ(board::repair_pages(b), "");
    EXPECT_EQ(text_page(1), after);

    // A block that lost its <hr> line is still a message of its own.
    post("name=n4&title=t4&text=four");
    page = text_page(1);
    page.erase(page.find("<hr>\r\n"), 6);
    write_file(board::text_page_path(1), page);
    EXPECT_EQ(board::repair_pages(b), "");
    EXPECT_EQ(text_page(1), page) << "the start counts it as a block and leaves the page alone";
    listing = board::list_page_messages(b, 1);
    ASSERT_EQ(listing.messages.size(), 3u);
    EXPECT_EQ(listing.messages[1].title, "t2");
    EXPECT_EQ(board::delete_message(b, 1, listing.messages[0]).result, board::DeleteResult::Done);
    EXPECT_EQ(count(text_page(1), "<p>時間"), 2) << "only the message chosen goes";
    EXPECT_EQ(read_file(board::message_record_path(4)), "");
    after = text_page(1);
    EXPECT_EQ(board::repair_pages(b), "");
    EXPECT_EQ(text_page(1), after);

    // Two equal messages and a deletion cut off after its record: the start
    // takes one of the two equal blocks away, not the newest message.
    post("name=d&title=d&text=same");
    post("name=d&title=d&text=same");
    post("name=n&title=n&text=newest");
    write_file(board::message_record_path(b.MessageNo - 1), "");
    EXPECT_EQ(board::repair_pages(b), "");
    page = text_page(1);
    EXPECT_EQ(count(page, "same"), 1);
    EXPECT_EQ(count(page, "newest"), 1);
}

TEST_F(Posting, AfterTheLastPageComesPageOneWithoutANewLink) {
    post("name=n&title=t&text=old");
    std::string menu = read_file(board::paths::kMenuPage);
    b.MessageNo = 100;
    b.CurrentPage = 100000000;
    post("name=n&title=t&text=wrapped");
    EXPECT_EQ(b.CurrentPage, 1);
    EXPECT_EQ(count(text_page(1), "<hr>"), 1);
    EXPECT_EQ(text_page(1).find("old"), std::string::npos);
    EXPECT_EQ(count(read_file(board::paths::kMenuPage), "pagelink('wbk_select_"), 1);
}

TEST_F(Posting, TextPageWithoutStartMarkerIsCopiedUnchanged) {
    post("name=n&title=t&text=x");
    write_file(board::text_page_path(1), "<html>no markers</html>\r\n");
    post("name=n&title=t&text=y");
    EXPECT_EQ(text_page(1), "<html>no markers</html>\r\n");
}

TEST_F(Posting, ScriptIsEscapedOnThePageAndRawInTheRecord) {
    std::string record = stored("name=%3Cb%3E&title=%22q%27&text=%3Cscript%3Ealert(1)%3C%2Fscript%3E%26");
    EXPECT_NE(record.find("<script>alert(1)</script>&"), std::string::npos);
    std::string page = text_page(1);
    EXPECT_EQ(page.find("<script>"), std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;&amp;</br>"), std::string::npos);
    EXPECT_NE(page.find("&lt;b&gt;"), std::string::npos);
    EXPECT_NE(page.find("&quot;q&#39;"), std::string::npos);
}

TEST_F(Posting, CharacterReferencesShowAsTheirCharacters) {
    // A reference that the 109-byte reads of the record cut in two counts whole.
    std::string text = std::string(105, 'x') + "&#128512;";
    std::string record = stored("name=%26%23x20BB7%3B&title=t&text=" + std::string(105, 'x') + "%26%23128512%3B");
    EXPECT_NE(record.find("\r\n" + text + "\r\n"), std::string::npos);
    std::string page = text_page(1);
    EXPECT_NE(page.find(text + "</br></p>"), std::string::npos);
    EXPECT_NE(page.find(sjis(u8"<p>名前　：　&#x20BB7;\r\n")), std::string::npos);
    for (const char* kept : {"&#1;", "&#X1F600;", "&#x10FFFF;", "&#0000065;", "&#xD7FF;&#xE000;"})
        EXPECT_EQ(board::escape_html(kept), kept);
    for (const char* escaped : {"&#0;", "&#xD800;", "&#xDFFF;", "&#x110000;", "&#12345678;", "&#x0000041;", "&#;",
                                "&#x;", "&#65", "&#6 5;", "&#x1G;", "&amp;", "&#-1;"})
        EXPECT_EQ(board::escape_html(escaped), "&amp;" + std::string(escaped + 1)) << escaped;
}

TEST_F(Posting, CutsNeverEndInsideACharacterReference) {
    std::string emoji = "&#128512;", sent = "%26%23128512%3B";
    auto times = [](const std::string& s, int n) { std::string out; while (n-- > 0) out += s; return out; };
    // 250 emoji in the text, 12 in the name and the title: whole ones stay.
    std::string record = stored("name=" + times(sent, 12) + "&title=ab" + times(sent, 12) + "&text=" + times(sent, 250));
    EXPECT_EQ(record, "ClientIpAddress=127.0.0.1\r\nab" + times(emoji, 11) + "\r\n" + times(emoji, 11) + "\r\n" + when +
                          "\r\n" + times(emoji, 122) + "\r\n");
    // A title of 101 bytes fits the record; its page line of 100 drops the last reference whole.
    EXPECT_NE(text_page(1).find(sjis(u8"<p>題名　：　") + "ab" + times(emoji, 10) + "</p>"), std::string::npos);
    // A value that fits keeps its bytes, a literal "&#1" and a lone lead byte at the end included.
    record = stored("name=%26%231&title=" + std::string(99, 't') + "%26%23&text=" + std::string(1100, 'x') + "%82");
    EXPECT_NE(record.find("\r\n" + std::string(99, 't') + "&#\r\n&#1\r\n"), std::string::npos);
    EXPECT_NE(record.find(std::string(1100, 'x') + "\x82\r\n"), std::string::npos);
}

TEST_F(Posting, LineBreaksInNameAndTitleBecomeBlanks) {
    std::string record = stored("name=a%0D%0Ab&title=c%0Ad&text=x");
    EXPECT_EQ(record, "ClientIpAddress=127.0.0.1\r\nc d\r\na  b\r\n" + when + "\r\nx\r\n");
}

TEST_F(Posting, ShortRecordShowsItsMissingValuesAsEmpty) {
    EXPECT_NE(board::block_of_stored("ClientIpAddress=1.2.3.4\r\nonly title\r\n").find(sjis(u8"<p>時間　：　</p>\n<p>名前　：　</p>\n<p>題名　：　only title\n</p>")),
              std::string::npos);
}

TEST_F(Posting, PostThatCannotStoreTheCountersUsesUpNoNumber) {
    post("name=n&title=t&text=first");
    make_dirs("DATA/MESSAGE/0_work.ini");  // the counters file cannot be written
    EXPECT_NE(post("name=n&title=t&text=lost").find(sjis(u8"伝言板サーバーが不安定になっています。")), std::string::npos);
    EXPECT_EQ(b.MessageNo, 1);
    ASSERT_EQ(std::rename("DATA/MESSAGE/0_work.ini", "DATA/aside"), 0);
    post("name=n&title=t&text=second");
    EXPECT_EQ(read_file("DATA/MESSAGE/0.ini"), "message=2\r\npage=1\r\n");
    EXPECT_EQ(count(text_page(1), "<hr>"), 2);
}

TEST_F(Posting, UncreatableRecordFailsWithTheErrorPage) {
    ASSERT_EQ(std::system("rm -rf DATA/MESSAGE && touch DATA/MESSAGE"), 0);
    std::string reply = post("name=n&title=t&text=x");
    EXPECT_NE(reply.find(sjis(u8"伝言板サーバーが不安定になっています。")), std::string::npos);
}
