#include <gtest/gtest.h>

#include <utility>

#include "board/pages.h"
#include "board/paths.h"
#include "board/request_failure.h"
#include "support/test_support.h"

using namespace testing_support;
using board::RewriteResult;
using board::Section;
using board::SectionMode;

class Pages : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        make_dirs("DATA/HTML");
    }
    // A page as stored: text with CR LF line ends.
    void page(const std::string& text) { write_file("DATA/HTML/p.html", crlf(text)); }
    RewriteResult rewrite(std::vector<Section> sections) {
        return board::rewrite_sections("DATA/HTML/p.html", "DATA/HTML/p_work.html", sections);
    }
    std::string stored() { return read_file("DATA/HTML/p.html"); }
    static Section plain(const std::string& lines, SectionMode mode) {
        return Section{board::kPlainStart, board::kPlainEnd, lines, mode};
    }
    std::string start = std::string(board::kPlainStart);
    std::string end = std::string(board::kPlainEnd);
};

TEST_F(Pages, TemplatesAreWrittenByteForByte) {
    board::write_main_template(1);
    board::write_menu_template();
    board::write_input_template();
    board::write_text_template();
    EXPECT_EQ(read_file("DATA/HTML/wbk_main.html"), expected_page("main_page.html"));
    EXPECT_EQ(read_file("DATA/HTML/wbk_menu.html"), expected_page("menu_page.html"));
    EXPECT_EQ(read_file("DATA/HTML/wbk_input.html"), expected_page("input_page.html"));
    EXPECT_EQ(read_file("DATA/HTML/wbk_text_1.html"), expected_page("text_page.html"));
    EXPECT_EQ(list_dir("DATA/HTML").size(), 4u) << "no work file stays behind";
}

TEST_F(Pages, MarkersAreTheirShiftJisBytes) {
    EXPECT_EQ(board::kPlainStart.size(), 34u);
    EXPECT_EQ(board::kCurrentPageStart.size(), 46u);
    EXPECT_EQ(board::kUpdateTimeEnd.size(), 44u);
    EXPECT_EQ(board::kPageLinkStart.size(), 48u);
    EXPECT_EQ(std::string(board::kPlainStart), sjis(u8"<!--プログラムポイント　開始//-->\n"));
}

TEST_F(Pages, ReplaceModeSwapsTheSectionAndLeavesNoWorkFile) {
    page("head\n" + start + "old 1\nold 2\n" + end + "tail\n");
    EXPECT_EQ(rewrite({plain("new\n", SectionMode::Replace)}), RewriteResult::Written);
    EXPECT_EQ(stored(), crlf("head\n" + start + "new\n" + end + "tail\n"));
    EXPECT_FALSE(file_exists("DATA/HTML/p_work.html"));
}

TEST_F(Pages, PrependModeKeepsTheOldLinesAfterTheNewOnes) {
    page(start + "old\n" + end);
    rewrite({plain("new\n", SectionMode::Prepend)});
    EXPECT_EQ(stored(), crlf(start + "new\nold\n" + end));
}

TEST_F(Pages, PageWithoutTheStartMarkerComesOutUnchanged) {
    page("a\nb\n" + end);
    EXPECT_EQ(rewrite({plain("new\n", SectionMode::Replace)}), RewriteResult::Unchanged);
    EXPECT_EQ(stored(), crlf("a\nb\n" + end));
}

TEST_F(Pages, StartMarkerWithoutEndMarkerDropsTheRestOfThePage) {
    page("a\n" + start + "b\nc\n");
    rewrite({plain("new\n", SectionMode::Replace)});
    EXPECT_EQ(stored(), crlf("a\n" + start + "new\n"));
}

TEST_F(Pages, DoubledStartMarkerGetsTheNewLinesTwice) {
    page(start + start + "x\n" + end);
    rewrite({plain("new\n", SectionMode::Replace)});
    EXPECT_EQ(stored(), crlf(start + "new\n" + start + "new\n" + end));
}

TEST_F(Pages, MarkerWithTrailingBlankOrWithoutLineFeedIsAnOrdinaryLine) {
    std::string blank = start.substr(0, start.size() - 1) + " \n";
    std::string last = start.substr(0, start.size() - 1);
    page(blank + "x\n" + last);
    EXPECT_EQ(rewrite({plain("new\n", SectionMode::Replace)}), RewriteResult::Unchanged);
    EXPECT_EQ(stored(), crlf(blank + "x\n") + last);
}

TEST_F(Pages, LongLinePassesThroughUnchanged) {
    std::string long_line(600, 'L');
    page(long_line + "\n" + start + end + long_line + "\n");
    rewrite({plain("new\n", SectionMode::Replace)});
    EXPECT_EQ(stored(), crlf(long_line + "\n" + start + "new\n" + end + long_line + "\n"));
}

TEST_F(Pages, SeveralSectionsInOnePass) {
    std::string cps(board::kCurrentPageStart), cpe(board::kCurrentPageEnd);
    std::string uts(board::kUpdateTimeStart), ute(board::kUpdateTimeEnd);
    page(cps + "1\n" + cpe + "mid\n" + uts + "t\n" + ute);
    rewrite({Section{board::kCurrentPageStart, board::kCurrentPageEnd, "P\n", SectionMode::Replace},
             Section{board::kUpdateTimeStart, board::kUpdateTimeEnd, "T\n", SectionMode::Replace}});
    EXPECT_EQ(stored(), crlf(cps + "P\n" + cpe + "mid\n" + uts + "T\n" + ute));
}

TEST_F(Pages, ARewriteThatChangesNoByteWritesNothing) {
    page(start + "same\n" + end);
    EXPECT_EQ(rewrite({plain("same\n", SectionMode::Replace)}), RewriteResult::Unchanged);
    // A page stored with bare line feeds does change: it is written with CR LF.
    write_file("DATA/HTML/p.html", start + "same\n" + end);
    EXPECT_EQ(rewrite({plain("same\n", SectionMode::Replace)}), RewriteResult::Written);
    EXPECT_EQ(stored(), crlf(start + "same\n" + end));
}

TEST_F(Pages, MissingPageAndUncreatableWorkFileAreReported) {
    EXPECT_EQ(rewrite({plain("x\n", SectionMode::Replace)}), RewriteResult::PageMissing);
    page(start + end);
    EXPECT_EQ(board::rewrite_sections("DATA/HTML/p.html", "DATA/NODIR/w.html", {plain("x\n", SectionMode::Replace)}),
              RewriteResult::WorkFileFailed);
    EXPECT_EQ(stored(), crlf(start + end));
}

TEST(PageLink, DoubleQuotesStandAroundTheHrefValue) {
    EXPECT_EQ(board::page_link_line(1),
              "<a href=\"javascript:pagelink('wbk_select_1.cgi','wbk_text_1.html')\">1</a>\n");
    EXPECT_EQ(board::page_link_line(1).size(), 74u);
    EXPECT_EQ(board::page_link_line(12),
              "<a href=\"javascript:pagelink('wbk_select_12.cgi','wbk_text_12.html')\">12</a>\n");
    for (auto [page, quote] : {std::pair{9, 66u}, {10, 68u}, {100000000, 82u}}) {
        std::string line = board::page_link_line(page);
        EXPECT_EQ(line[8], '"');
        EXPECT_EQ(line.find('"', 9), quote) << page;
        EXPECT_EQ(line[quote + 1], '>');
    }
}

TEST_F(Pages, NewTextPageCopiesPageOneWithAnEmptyMessageSection) {
    board::write_text_template();
    std::string page1 = read_file("DATA/HTML/wbk_text_1.html");
    size_t at = page1.find(crlf(end));
    write_file("DATA/HTML/wbk_text_1.html", page1.substr(0, at) + "<p>message</p>\r\n<hr>\r\n" + page1.substr(at));
    board::make_new_text_page(3);
    EXPECT_EQ(read_file("DATA/HTML/wbk_text_3.html"), expected_page("text_page.html"));
}

TEST_F(Pages, NewTextPageForPageOneOnlyWritesItsTemplate) {
    board::make_new_text_page(1);
    EXPECT_EQ(read_file("DATA/HTML/wbk_text_1.html"), expected_page("text_page.html"));
    EXPECT_EQ(list_dir("DATA/HTML").size(), 1u);
}

TEST_F(Pages, TemplateThatCannotBeWrittenFailsTheRequest) {
    ASSERT_EQ(std::system("rm -rf DATA/HTML && mkdir -p DATA && touch DATA/HTML"), 0);
    EXPECT_THROW(board::write_text_template(), board::RequestFailure);
    EXPECT_THROW(board::ensure_page(board::paths::kMenuPage, board::menu_template_text), board::RequestFailure);
}

TEST_F(Pages, SearchFormGoesIntoAnExistingMenuWhereItsTemplateHasItAndOutAgain) {
    board::write_menu_template();
    const std::string without = read_file(board::paths::kMenuPage);
    board::Board b;
    b.SearchForm = 1;
    EXPECT_EQ(board::place_search_form(b), "");
    const std::string with = read_file(board::paths::kMenuPage);
    EXPECT_EQ(with, crlf(board::menu_template_for(b)));
    EXPECT_NE(with.find("action='wbk_search.cgi' target='wbk_text'"), std::string::npos);
    EXPECT_EQ(board::place_search_form(b), "");
    EXPECT_EQ(read_file(board::paths::kMenuPage), with) << "placed once";
    b.SearchForm = 0;
    EXPECT_EQ(board::place_search_form(b), "");
    EXPECT_EQ(read_file(board::paths::kMenuPage), without);
}

TEST_F(Pages, SearchFormLeavesAMenuWithBrokenMarkersAsItIsAndSaysSoOnce) {
    board::Board b;
    b.SearchForm = 1;
    board::write_menu_template();
    ASSERT_EQ(board::place_search_form(b), "");
    const std::string with = read_file(board::paths::kMenuPage), tail = "<hr>\r\n</html>\r\n";
    const std::string start_marker(board::kSearchStart.substr(0, board::kSearchStart.size() - 1)),
        end_marker(board::kSearchEnd.substr(0, board::kSearchEnd.size() - 1));
    auto without = [](std::string t, const std::string& cut) { return t.erase(t.find(cut), cut.size()); };
    for (const std::string& broken : {without(with, end_marker), without(with, start_marker), with + start_marker + tail, with + end_marker + tail,
                                      without(without(with, start_marker), end_marker) + end_marker + start_marker + tail}) {
        write_file(board::paths::kMenuPage, broken);
        for (int form : {0, 1, 0}) {
            b.SearchForm = form;
            EXPECT_EQ(board::place_search_form(b), "");
            EXPECT_EQ(read_file(board::paths::kMenuPage), broken);
        }
        EXPECT_EQ(std::exchange(b.menu_notice, ""), board::kSearchMarkersNotice) << "told once";
        write_file(board::paths::kMenuPage, with);
        b.SearchForm = 1;
        EXPECT_EQ(board::place_search_form(b), "");
        EXPECT_EQ(b.menu_notice, "") << "whole markers again";
    }
}

TEST_F(Pages, ResetReportsAPageItCannotWriteFromItsTemplateAsMissing) {
    make_dirs("DATA/MESSAGE");
    write_file("DATA/MESSAGE/0.ini", "message=0\r\npage=1\r\n");
    make_dirs("DATA/HTML/wbk_text_1_work.html");  // text page 1 cannot be written
    board::Board b;
    board::ResetOutcome outcome = board::reset_messages(b);
    EXPECT_EQ(outcome.result, board::ResetResult::TextPage1);
    EXPECT_STREQ(outcome.file, board::paths::kTextPage1);
    EXPECT_EQ(read_file(board::paths::kMainPage), expected_page("main_page.html")) << "the step before stays done";
}
