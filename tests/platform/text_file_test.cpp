#include <gtest/gtest.h>

#include "platform/file_faults.h"
#include "platform/text_file.h"
#include "support/test_support.h"

using namespace testing_support;
using platform::AtomicFile;
using platform::LineEnds;
using platform::TextReader;
using platform::TextWriter;

class TextFileTest : public TempDirTest {};

TEST_F(TextFileTest, LineFeedsAreStoredAsCrLfAlsoAfterACr) {
    TextWriter w;
    ASSERT_TRUE(w.open("f.txt", TextWriter::Mode::Truncate).ok());
    w.write(std::string_view("a\nb\r\nc\rd"));
    ASSERT_TRUE(w.close().ok());
    EXPECT_EQ(read_file("f.txt"), "a\r\nb\r\r\nc\rd");
}

TEST_F(TextFileTest, ReadingTurnsCrLfIntoOneLineFeedAndKeepsALoneCr) {
    write_file("f.txt", "one\r\ntwo\r\r\nthree\rfour\nlast");
    TextReader r;
    ASSERT_TRUE(r.open("f.txt").ok());
    char line[100];
    std::vector<std::string> lines;
    while (size_t n = r.read_line(line, sizeof line)) lines.emplace_back(line, n);
    EXPECT_EQ(lines, (std::vector<std::string>{"one\n", "two\r\n", "three\rfour\n", "last"}));
}

TEST_F(TextFileTest, BinaryLineEndsKeepTheCr) {
    write_file("f.txt", "ID=x\r\nPASSWORD=y\n");
    TextReader r;
    ASSERT_TRUE(r.open("f.txt", LineEnds::Binary).ok());
    char line[100];
    ASSERT_EQ(r.read_line(line, sizeof line), 6u);
    EXPECT_STREQ(line, "ID=x\r\n");
}

TEST_F(TextFileTest, LongLinesComeInPiecesLikeFgets) {
    std::string long_line(600, 'x');
    write_file("f.txt", long_line + "\r\nshort\r\n");
    TextReader r;
    ASSERT_TRUE(r.open("f.txt").ok());
    char line[500];
    EXPECT_EQ(r.read_line(line, sizeof line), 499u);
    EXPECT_EQ(r.read_line(line, sizeof line), 102u);  // 101 bytes and the line feed
    EXPECT_EQ(std::string(line), std::string(101, 'x') + "\n");
    EXPECT_EQ(r.read_line(line, sizeof line), 6u);
    EXPECT_EQ(r.read_line(line, sizeof line), 0u);
    write_file("g.txt", "xxx\r\nz");
    ASSERT_TRUE(r.open("g.txt").ok());
    char small[5];
    EXPECT_EQ(r.read_line(small, sizeof small), 4u);
    EXPECT_STREQ(small, "xxx\n") << "a CR LF whose CR takes the last place";
    EXPECT_EQ(r.read_line(small, sizeof small), 1u);
}

TEST_F(TextFileTest, MissingIsToldApartFromUnreadable) {
    TextReader r;
    EXPECT_TRUE(r.open("none.txt").missing());
    make_dirs("sub");
    EXPECT_TRUE(r.open("sub").failed()) << "a directory is not a missing file";
    char line[10];
    EXPECT_EQ(r.read_line(line, sizeof line), 0u);
    platform::RawReader raw;
    EXPECT_FALSE(raw.open("none.txt"));
}

TEST_F(TextFileTest, RawReaderRefusesDirectories) {
    make_dirs("sub");
    platform::RawReader raw;
    EXPECT_FALSE(raw.open("sub"));
}

TEST_F(TextFileTest, AtomicFileReplacesOnlyOnCommit) {
    write_file("page.html", "old");
    AtomicFile f("page.html", "page_work.html");
    f.write(std::string_view("new\n"));
    EXPECT_EQ(read_file("page.html"), "old");  // untouched until commit
    ASSERT_TRUE(f.commit().ok());
    EXPECT_EQ(read_file("page.html"), "new\r\n");
    EXPECT_FALSE(file_exists("page_work.html"));
}

TEST_F(TextFileTest, AtomicFileInAMissingDirectoryFailsWithoutWriting) {
    AtomicFile f("nodir/page.html", "nodir/page_work.html");
    EXPECT_TRUE(f.commit().missing());
    EXPECT_FALSE(file_exists("nodir"));
}

// A group whose second rename fails, with the disk then full for good: the
// first target's put-back fails too, and the owner is still told of the
// file whose call failed first.
TEST_F(TextFileTest, GroupNamesTheFirstFailureNotAPutBacks) {
    write_file("a.txt", "old a");
    write_file("b.txt", "old b");
    static bool failing;
    failing = false;
    platform::file_fault_hook = [](platform::FileOp op, const std::string& path) {
        if (op == platform::FileOp::Rename && path == "b.txt") failing = true;
        return failing ? platform::FileFault::DiskFull : platform::FileFault::None;
    };
    platform::FileGroup group;
    group.replace("a.txt", "a_work.txt", "new a", platform::FileGroup::Undo::Restore, "old a");
    group.replace("b.txt", "b_work.txt", "new b", platform::FileGroup::Undo::Restore, "old b");
    platform::FileStatus s = group.commit();
    platform::file_fault_hook = nullptr;
    EXPECT_TRUE(s.failed());
    EXPECT_EQ(group.failed_file(), "b.txt");
}

TEST(WorkName, InsertsWorkBeforeTheExtension) {
    EXPECT_EQ(platform::work_name_for("DATA/MESSAGE/0.ini"), "DATA/MESSAGE/0_work.ini");
    EXPECT_EQ(platform::work_name_for("DATA/HTML/wbk_main.html"), "DATA/HTML/wbk_main_work.html");
    EXPECT_EQ(platform::work_name_for("DATA.d/file"), "DATA.d/file_work");
}
