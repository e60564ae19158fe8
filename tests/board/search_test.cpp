#include <gtest/gtest.h>

#include "board/deletion.h"
#include "board/paths.h"
#include "board/routes.h"
#include "board/views/search.h"
#include "server/listener.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

// True when every word of the query (Shift_JIS) stands in the text as a page
// stores it.
bool matches(const std::string& page_text, const std::string& query) {
    board::SearchWords w = board::search_words(query);
    EXPECT_EQ(w.problem, board::QueryProblem::None) << query;
    board::Folded folded;
    board::fold_text(page_text, true, folded);
    for (const board::Folded& word : w.words)
        if (folded.find(word) == board::Folded::npos) return false;
    return true;
}

}  // namespace

TEST(SearchMatching, ReadersMatchesAndQueryProblems) {
    struct Case {
        const char* page;   // as the page stores it (narrow literals are Shift_JIS)
        const char* query;  // as typed
        bool found;
    };
    const Case cases[] = {
        {"ＡＢＣ", "abc", true},
        {"abc", "ＡＢＣ", true},
        {"Komorebi", "KOMOREBI", true},
        {"ｋｏｍｏｒｅｂｉ", "Komorebi", true},
        {"１２月", "12月", true},
        {"12", "１２", true},
        {"ｿﾌﾄ", "ソフト", true},
        {"ソフト", "ｿﾌﾄ", true},
        {"ｶﾞｲﾄﾞ", "ガイド", true},
        {"ﾊﾟﾝ", "パン", true},
        {"ﾊﾝ", "パン", false},
        {"ﾊﾟﾝ", "ハン", false},
        {"&lt;b&gt;", "<b>", true},
        {"Tom &amp; Jerry", "tom & jerry", true},
        {"&quot;a&quot; &#39;b&#39;", "\"a\" 'b'", true},
        {"&amp;lt;", "&lt;", true},
        {"&amp;lt;", "<", false},
        {"emoji &#128512;", "&#128512;", true},
        {"emoji &#x1F600;", "&#128512;", true},
        {"表", "\\", false},
        {"ソ", "\\", false},
        {"表\\n", "\\", true},
        {"表示", "示", true},
        {"ab</br>cd", "bc", false},
        {"ab</br>cd", "br", false},
        {"trip date fixed", "date trip", true},
        {"trip date fixed", "date　trip", true},
        {"trip date fixed", "date boat", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(matches(c.page, c.query), c.found) << testing::PrintToString(std::string(c.page)) << " / " << c.query;

    size_t page = 0;
    EXPECT_EQ(board::query_words("q=a+b%20c&p=3", page).words.size(), 3u);
    EXPECT_EQ(page, 3u);
    EXPECT_EQ(board::query_words("q=%82%60", page).words.front(), board::Folded(U"a")) << "Ａ percent-encoded";
    EXPECT_EQ(board::query_words("q=", page).problem, board::QueryProblem::Empty);
    EXPECT_EQ(board::query_words("", page).problem, board::QueryProblem::Empty);
    EXPECT_EQ(board::query_words("q=%8", page).problem, board::QueryProblem::BrokenEscape);
    EXPECT_EQ(board::query_words("q=%G1", page).problem, board::QueryProblem::BrokenEscape);
    EXPECT_EQ(board::query_words("q=%81", page).problem, board::QueryProblem::NotShiftJis);
    EXPECT_EQ(board::query_words("q=%FF", page).problem, board::QueryProblem::NotShiftJis);
    EXPECT_EQ(board::query_words("q=" + std::string(100, 'a'), page).problem, board::QueryProblem::None);
    EXPECT_EQ(board::query_words("q=" + std::string(101, 'a'), page).problem, board::QueryProblem::TooLong);
    EXPECT_EQ(board::query_words("q=a+b+c+d+e+f+g+h+i+j+k", page).problem, board::QueryProblem::TooLong);
}

TEST(SearchMatching, EveryHalfWidthFormFoldsToItsFullWidthForm) {
    const std::string full = sjis(u8"。「」、・ヲァィゥェォャュョッーアイウエオカキクケコサシスセソタチツテトナニヌネノ"
                                  u8"ハヒフヘホマミムメモヤユヨラリルレロワン゛゜");
    ASSERT_EQ(full.size(), 63u * 2);
    for (int i = 0; i < 63; ++i) {
        board::Folded half_folded, full_folded;
        board::fold_text(std::string(1, static_cast<char>(0xA1 + i)), true, half_folded);
        board::fold_text(full.substr(2 * i, 2), true, full_folded);
        EXPECT_EQ(half_folded, full_folded) << "half-width 0x" << std::hex << 0xA1 + i;
    }
}

// The board of two pages: message 1 (older) on page 1 holds the word, the
// 100 after it fill page 1 and start page 2. Searched over HTTP as a browser
// does, on the server's side thread.
class SearchBoard : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        load_fresh_board(b);
        cookie = login("127.0.0.1");
        post("name=Hana&title=%97%B7%8Ds%82%CC%93%FA%92%F6&text=%3Cb%3E+fixed");  // 旅行の日程
        for (int i = 2; i <= 101; ++i) post("name=n&title=t" + std::to_string(i) + "&text=other");
        ASSERT_EQ(b.CurrentPage, 2);
        ASSERT_TRUE(server::network_initialisation(s));
        s.bind_address = "127.0.0.1";
        s.ListenPort = 0;
    }
    void TearDown() override {
        server::stop(s);
        TempDirTest::TearDown();
    }
    std::string login(const std::string& client) {
        Recorder rec;
        board::respond(b, server::parse_request(post_request("wbk_login.cgi",
                                                              "id=quietharborlights&password=quietharborlights"),
                                                 client),
                       rec.reply);
        std::string reply = rec.all();
        size_t at = reply.find("SESSIONID=") + 10;
        return reply.substr(at, reply.find(';', at) - at);
    }
    void post(const std::string& body) {
        Recorder rec;
        board::respond(b,
                       server::parse_request(post_request("wbk_write.cgi", body, "Cookie: SESSIONID=" + cookie + "\r\n"),
                                             "127.0.0.1"),
                       rec.reply);
    }
    std::string get(const std::string& target, const std::string& headers = "") {
        return http_exchange(s.bound_port, "GET /" + target + " HTTP/1.0\r\n" + headers + "\r\n");
    }
    board::Board b;
    server::Server s{board::request_handler(b)};
    std::string cookie;
};

TEST_F(SearchBoard, FindsTheMessageOnPageOneAndSeesThePageChange) {
    ASSERT_EQ(server::start(s), server::StartResult::Started);
    // "日程" percent-encoded in Shift_JIS.
    std::string reply = get("wbk_search.cgi?q=%93%FA%92%F6");
    ASSERT_EQ(reply.compare(0, 16, "HTTP/1.0 200 OK\n"), 0) << reply;
    std::string body = reply_body(reply);
    EXPECT_NE(body.find(sjis(u8"メッセージは1件です。")), std::string::npos);
    EXPECT_NE(body.find(sjis(u8"<a href='wbk_text_1.html'>1ページ</a>の100番目")), std::string::npos);
    EXPECT_NE(body.find(sjis(u8"<p>題名　：　旅行の日程\r\n</p>")), std::string::npos) << "the block as it stands";
    // A phone's result links the message itself: the page's oldest is its first.
    const std::string iphone = "User-Agent: Mozilla/5.0 (iPhone) Mobile\r\n";
    std::string phone = reply_body(get("wbk_search.cgi?q=%93%FA%92%F6", iphone));
    EXPECT_NE(phone.find(sjis(u8"<a href='wbk_phone_1.html#m1'>1ページ</a>の100番目")), std::string::npos) << phone;
    EXPECT_EQ(board::search_pages(b, board::search_words("other"), 0, 0).count, 100u) << "counted past the shown";
    board::SearchResult newest = board::search_pages(b, board::search_words("other"), 0, 2);
    ASSERT_EQ(newest.hits.size(), 2u);
    EXPECT_EQ(newest.hits[0].page, 2) << "the newest page first";
    EXPECT_EQ(newest.hits[1].page, 1);
    EXPECT_EQ(newest.hits[1].position, 1);
    EXPECT_NE(reply_body(get("wbk_search.cgi?q=%3Cb%3E")).find(sjis(u8"メッセージは1件です。")), std::string::npos);

    // A page changed since the last search is read again: a new message is
    // found, and a deleted one is not.
    EXPECT_NE(reply_body(get("wbk_search.cgi?q=later")).find(sjis(u8"見つかりませんでした")), std::string::npos);
    post("name=n&title=later&text=x");
    EXPECT_NE(reply_body(get("wbk_search.cgi?q=later")).find(sjis(u8"メッセージは1件です。")), std::string::npos);
    board::PageListing listing = board::list_page_messages(b, 1);
    ASSERT_EQ(listing.messages.size(), 100u);
    ASSERT_EQ(board::delete_message(b, 1, listing.messages.back()).result, board::DeleteResult::Done);
    EXPECT_NE(reply_body(get("wbk_search.cgi?q=%93%FA%92%F6")).find(sjis(u8"見つかりませんでした")),
              std::string::npos);
    // A bad query gets the search page with its reason, never the error page.
    std::string bad = reply_body(get("wbk_search.cgi?q=%8"));
    EXPECT_NE(bad.find(sjis(u8"<title>コモレビ　－検索－</title>")), std::string::npos);
    EXPECT_NE(bad.find(sjis(u8"読み取れませんでした")), std::string::npos);

    // A phone gets the results in the phone view, linking the phone pages.
    phone = reply_body(get("wbk_search.cgi?q=later", iphone));
    EXPECT_NE(phone.find("name=\"viewport\""), std::string::npos);
    EXPECT_NE(phone.find(sjis(u8"<a href='wbk_phone_2.html#m2'>2ページ</a>の1番目")), std::string::npos) << phone;
    // Searches count toward the visitor's flood control: ten within 30
    // seconds, then a note on the search page instead of results.
    const std::string refusal = sjis(u8"このＩＰアドレスからの検索を一時停止しています。");
    std::string first = reply_body(get("wbk_search.cgi?q=other"));
    EXPECT_EQ(first.find(refusal), std::string::npos);
    std::string last;
    for (int i = 0; i < 10; ++i) last = reply_body(get("wbk_search.cgi?q=other"));
    EXPECT_NE(last.find(refusal), std::string::npos);
    EXPECT_EQ(last.find(sjis(u8"メッセージは")), std::string::npos) << "a refused search searches nothing";
}

TEST_F(SearchBoard, PrivateReadingNeedsTheSessionToSearch) {
    b.PrivateReading = 1;
    ASSERT_EQ(server::start(s), server::StartResult::Started);
    std::string login_page = expected_page("login_page.html");
    EXPECT_EQ(reply_body(get("wbk_search.cgi?q=other")), login_page);
    EXPECT_EQ(reply_body(get("wbk_search.cgi?q=other", "Cookie: SESSIONID=12345\r\n")), login_page);
    std::string found = get("wbk_search.cgi?q=other", "Cookie: SESSIONID=" + cookie + "\r\n");
    EXPECT_NE(reply_body(found).find(sjis(u8"メッセージは100件です。")), std::string::npos);
    EXPECT_NE(found.find("Cache-Control: no-store"), std::string::npos);
}

// Matching costs time linear in the page: a word that almost matches
// everywhere (99 "a" and a "b" against runs of 98 "a") costs what an ordinary one does.
TEST_F(SearchBoard, APathologicalWordCostsWhatAnOrdinaryOneDoes) {
    std::string runs;
    for (int i = 0; i < 11; ++i) runs += std::string(98, 'a') + "b";
    for (int i = 0; i < 40; ++i) post("name=n&title=t&text=" + runs);
    auto cost = [this](const std::string& query) {
        board::SearchWords words = board::search_words(query);
        auto least = std::chrono::steady_clock::duration::max();
        for (int i = 0; i < 5; ++i) {
            auto t0 = std::chrono::steady_clock::now();
            board::search_pages(b, words, 0, 20);
            least = std::min(least, std::chrono::steady_clock::now() - t0);
        }
        return std::chrono::duration<double, std::milli>(least).count();
    };
    auto ordinary = cost("ab"), pathological = cost(std::string(99, 'a') + "b");
    EXPECT_LT(pathological, 2 * ordinary) << pathological << " ms against " << ordinary << " ms";
}
