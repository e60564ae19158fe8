// The Win32 file calls and the strong random source.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <set>

#include "platform/fs.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/random.h"
#include "platform/text_file.h"
#include "support/test_support.h"

using namespace testing_support;

class WindowsFiles : public TempDirTest {};

TEST_F(WindowsFiles, TextWriterStoresCrLfAndTheReaderGivesLineFeedsBack) {
    {
        platform::TextWriter out;
        ASSERT_TRUE(out.open("a.txt", platform::TextWriter::Mode::Truncate).ok());
        out.write("one\ntwo\r\nthree");
        ASSERT_TRUE(out.close().ok());
    }
    EXPECT_EQ(read_file("a.txt"), "one\r\ntwo\r\r\nthree");
    platform::TextReader in;
    ASSERT_TRUE(in.open("a.txt").ok());
    EXPECT_TRUE(platform::TextReader().open("none.txt").missing());
    EXPECT_TRUE(platform::TextReader().open("nodir/none.txt").missing());
    char line[64];
    ASSERT_GT(in.read_line(line, sizeof line), 0u);
    EXPECT_STREQ(line, "one\n");
    ASSERT_GT(in.read_line(line, sizeof line), 0u);
    EXPECT_STREQ(line, "two\r\n");
}

TEST_F(WindowsFiles, ReplaceFileMovesOverAnExistingFile) {
    write_file("target.ini", "old contents that are longer\r\n");
    write_file("work.ini", "new\r\n");
    ASSERT_TRUE(platform::replace_file("work.ini", "target.ini").ok());
    EXPECT_EQ(read_file("target.ini"), "new\r\n");
    EXPECT_FALSE(file_exists("work.ini"));
}

TEST_F(WindowsFiles, ReplaceFileFailsWithoutItsSource) {
    write_file("target.ini", "kept");
    EXPECT_FALSE(platform::replace_file("missing.ini", "target.ini").ok());
    EXPECT_EQ(read_file("target.ini"), "kept");
}

TEST_F(WindowsFiles, AtomicFileCommitReplacesTheTargetAndLeavesNoWorkFile) {
    write_file("0.ini", "message=5\r\npage=2\r\n");
    {
        platform::AtomicFile file("0.ini", "0_work.ini");
        file.write("message=0\npage=1\n");
        ASSERT_TRUE(file.commit().ok());
    }
    EXPECT_EQ(read_file("0.ini"), "message=0\r\npage=1\r\n");
    EXPECT_EQ(list_dir("."), std::vector<std::string>{"0.ini"});
}

TEST_F(WindowsFiles, AtomicFileLeavesTheTargetWhenTheMoveIsRefused) {
    write_file("0.ini", "message=5\r\n");
    // Windows refuses to replace a file that another handle holds open
    // without delete sharing: the target must survive intact.
    HANDLE held = ::CreateFileW(L"0.ini", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    {
        platform::AtomicFile file("0.ini", "0_work.ini");
        file.write("message=0\n");
        EXPECT_FALSE(file.commit().ok());
    }
    ::CloseHandle(held);
    EXPECT_EQ(read_file("0.ini"), "message=5\r\n");
    EXPECT_FALSE(file_exists("0_work.ini"));
}

TEST_F(WindowsFiles, RemoveFileReportsWhetherAFileWentAway) {
    write_file("x.txt", "x");
    EXPECT_TRUE(platform::remove_file("x.txt").ok());
    EXPECT_FALSE(file_exists("x.txt"));
    EXPECT_TRUE(platform::remove_file("x.txt").missing());
}

TEST_F(WindowsFiles, MakeDirectoryMakesOneLevelOnly) {
    platform::make_directory("DATA");
    platform::make_directory("DATA");  // an existing directory is no error
    EXPECT_TRUE(file_exists("DATA"));
    platform::make_directory("A/B");
    EXPECT_FALSE(file_exists("A/B"));
    EXPECT_FALSE(file_exists("A"));
}

TEST_F(WindowsFiles, ADirectoryIsNotARegularFile) {
    platform::make_directory("DATA");
    write_file("f.html", "<html>");
    platform::RawReader reader;
    EXPECT_TRUE(reader.open("f.html"));
    EXPECT_EQ(reader.size(), 6);
    reader.close();
    EXPECT_FALSE(reader.open("DATA"));
}

TEST_F(WindowsFiles, WriteHandleWritesSyncsAndAppends) {
    platform::WriteHandle out;
    ASSERT_TRUE(out.open("s.txt", platform::WriteHandle::Mode::Truncate).ok());
    ASSERT_TRUE(out.write("data", 4).ok());
    EXPECT_TRUE(out.sync().ok());
    ASSERT_TRUE(out.close().ok());
    ASSERT_TRUE(out.open("s.txt", platform::WriteHandle::Mode::Append).ok());
    ASSERT_TRUE(out.write("+", 1).ok());
    ASSERT_TRUE(out.close().ok());
    EXPECT_EQ(read_file("s.txt"), "data+");
    std::string bytes;
    EXPECT_TRUE(platform::read_file("s.txt", bytes).ok());
    EXPECT_EQ(bytes, "data+");
}

TEST_F(WindowsFiles, PathsAreShiftJisWhateverTheAnsiCodePage) {
    // "表示" in Shift_JIS: the second byte of 表 is 0x5C, the backslash, which
    // a byte-wise or wrong-code-page conversion would take for a separator.
    const std::string name = "\x95\x5C\x8E\xA6";
    platform::make_directory(name);
    ASSERT_TRUE(platform::change_directory(name));
    wchar_t cwd[MAX_PATH];
    ::GetCurrentDirectoryW(MAX_PATH, cwd);
    std::wstring here = cwd;
    EXPECT_EQ(here.substr(here.size() - 2), L"\u8868\u793A");
    EXPECT_TRUE(platform::change_directory(".."));
    EXPECT_FALSE(platform::change_directory("no such directory"));
}

// The owner's program gets its variables in its environment only: cmd's
// "set" shows a value as it is, and no metacharacter in it runs anything.
TEST_F(WindowsFiles, OwnersProgramGetsItsVariablesAndIsEndedOnRequest) {
    char here[MAX_PATH];
    ASSERT_NE(::GetCurrentDirectoryA(MAX_PATH, here), 0u);
    write_file("notify.cmd", "@echo off\r\nset KOMOREBI_NAME> name.txt\r\necho done> done.txt\r\n");
    platform::ChildProcess child;
    std::string reason;
    ASSERT_TRUE(child.start(std::string(here) + "\\notify.cmd", {"KOMOREBI_NAME=a&echo made>made.txt|\"x%PATH%"}, reason))
        << reason;
    for (int i = 0; i < 500 && child.running(); ++i) ::Sleep(20);
    EXPECT_FALSE(child.running());
    EXPECT_EQ(read_file("name.txt"), "KOMOREBI_NAME=a&echo made>made.txt|\"x%PATH%\r\n");
    EXPECT_FALSE(file_exists("made.txt"));

    write_file("forever.cmd", "@echo off\r\n:again\r\ngoto again\r\n");
    ASSERT_TRUE(child.start(std::string(here) + "\\forever.cmd", {}, reason)) << reason;
    ::Sleep(300);
    EXPECT_TRUE(child.running());
    child.end();
    EXPECT_FALSE(child.running());

    EXPECT_FALSE(child.start(std::string(here) + "\\no-such-program.exe", {}, reason));
    EXPECT_FALSE(reason.empty());
}

// A program still running holds no socket of the board's: the port it
// listened on can be bound again once the board closes it.
TEST_F(WindowsFiles, OwnersProgramInheritsNoSocket) {
    namespace net = platform::net;
    ASSERT_TRUE(net::startup());
    net::Socket listener = net::kInvalidSocket;
    ASSERT_EQ(net::listen_on("127.0.0.1", 0, listener), net::ListenResult::Ok);
    std::uint16_t port = net::local_port(listener);
    char here[MAX_PATH];
    ASSERT_NE(::GetCurrentDirectoryA(MAX_PATH, here), 0u);
    write_file("forever.cmd", "@echo off\r\n:again\r\ngoto again\r\n");
    platform::ChildProcess child;
    std::string reason;
    ASSERT_TRUE(child.start(std::string(here) + "\\forever.cmd", {}, reason)) << reason;
    ::Sleep(300);
    ASSERT_TRUE(child.running());
    net::close_socket(listener);
    int error = 0;
    EXPECT_EQ(net::listen_on("127.0.0.1", port, listener, &error), net::ListenResult::Ok) << error;
    net::close_socket(listener);
    child.end();
    net::cleanup();
}

TEST(WindowsRandom, DrawsVaryingValues) {
    std::set<std::uint64_t> seen;
    for (int i = 0; i < 64; ++i) seen.insert(platform::secure_random_u64());
    EXPECT_EQ(seen.size(), 64u);
    bool high_bit = false;
    for (std::uint64_t v : seen) high_bit = high_bit || (v >> 62) != 0;
    EXPECT_TRUE(high_bit) << "all 64 bits are drawn";
}
