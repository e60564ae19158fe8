#include <gtest/gtest.h>

#include "server/reply.h"
#include "support/test_support.h"

using namespace testing_support;

class FileReply : public TempDirTest {
protected:
    Recorder send_file(const std::string& bytes, const std::string& type, const std::string& extra = "") {
        write_file("f", bytes);
        platform::RawReader file;
        EXPECT_TRUE(file.open("f"));
        Recorder rec;
        server::file_reply(rec.reply, file, type, extra);
        return rec;
    }
};

TEST_F(FileReply, ThreeThousandBytesBehindA62ByteHeaderGoOutInThreeSends) {
    std::string bytes(3000, 'x');
    Recorder rec = send_file(bytes, "text/html\n");
    ASSERT_EQ(rec.sends.size(), 3u);
    EXPECT_EQ(rec.sends[0].size(), 1024u);
    EXPECT_EQ(rec.sends[1].size(), 1024u);
    EXPECT_EQ(rec.sends[2].size(), 1014u);
    EXPECT_EQ(rec.all(), "HTTP/1.0 200 OK\nContent-Type: text/html\nContent-Length: 3000\n\n" + bytes);
}

TEST_F(FileReply, ALargeFileIsCutIntoFullPiecesAcrossReadBlocks) {
    // 63 header bytes + 40897 = 40 full pieces and an empty last send; the
    // file spans several read blocks and its bytes must come out in order.
    std::string bytes;
    for (int i = 0; bytes.size() < 40897; ++i) bytes += std::to_string(i) + ",";
    bytes.resize(40897);
    Recorder rec = send_file(bytes, "text/html\n");
    ASSERT_EQ(rec.sends.size(), 41u);
    for (size_t i = 0; i < 40; ++i) EXPECT_EQ(rec.sends[i].size(), 1024u) << i;
    EXPECT_EQ(rec.sends[40].size(), 0u);
    EXPECT_EQ(rec.all(), "HTTP/1.0 200 OK\nContent-Type: text/html\nContent-Length: 40897\n\n" + bytes);
}

TEST_F(FileReply, EmptyFileIsTheHeaderAlone) {
    Recorder rec = send_file("", "text/plain\n");
    ASSERT_EQ(rec.sends.size(), 1u);
    EXPECT_EQ(rec.sends[0], "HTTP/1.0 200 OK\nContent-Type: text/plain\nContent-Length: 0\n\n");
}

TEST_F(FileReply, ExtraHeaderStandsAfterTheStatusLine) {
    Recorder rec = send_file("x", "text/html\n", "Set-Cookie: SESSIONID=812;\n");
    EXPECT_EQ(rec.all(), "HTTP/1.0 200 OK\nSet-Cookie: SESSIONID=812;\nContent-Type: text/html\nContent-Length: 1\n\nx");
}

TEST(FixedReplies, NotFoundIs138BytesWithStatus200) {
    Recorder rec;
    server::not_found_reply(rec.reply);
    ASSERT_EQ(rec.sends.size(), 1u);
    EXPECT_EQ(rec.sends[0].size(), 138u);
    EXPECT_EQ(rec.sends[0], "HTTP/1.0 200 OK\nContent-Type: text/html\nContent-Length: 78\n\n" +
                                sjis(u8"<HTML><HEAD><TITLE>エラー</TITLE></HEAD><BODY><H1>Not found</H1></BODY></HTML>"));
}

TEST(FixedReplies, ErrorPageBodyIs170Bytes) {
    Recorder rec;
    server::error_page_reply(rec.reply);
    ASSERT_EQ(rec.sends.size(), 1u);
    std::string body = reply_body(rec.sends[0]);
    EXPECT_EQ(body.size(), 170u);
    EXPECT_EQ(body, sjis(u8"<HTML><HEAD><TITLE>エラー</TITLE></HEAD><BODY><H1>伝言板サーバーが不安定になっています。</H1>"
                         "<H1>伝言板サーバーを管理している人に、問い合わせて下さい。</H1></BODY></HTML>"));
    EXPECT_EQ(rec.sends[0].substr(0, 61), "HTTP/1.0 200 OK\nContent-Type: text/html\nContent-Length: 170\n\n");
}

TEST(ContentTypes, FirstMatchAnywhereInTheNameDecides) {
    EXPECT_EQ(server::content_type_for("DATA/HTML/a.html"), "text/html\n");
    EXPECT_EQ(server::content_type_for("DATA/HTML/A.HTM"), "text/html\n");
    EXPECT_EQ(server::content_type_for("DATA/HTML/a.Htm"), "text/plain\n");
    EXPECT_EQ(server::content_type_for("DATA/HTML/a.JPG"), "image/jpeg\n");
    EXPECT_EQ(server::content_type_for("DATA/HTML/a.jpeg"), "text/plain\n");
    EXPECT_EQ(server::content_type_for("DATA/HTML/a.gif"), "image/gif\n");
    EXPECT_EQ(server::content_type_for("DATA/HTML/a.PNG"), "image/png\n");
    EXPECT_EQ(server::content_type_for("DATA/HTML/a.css"), "text/plain\n");
    EXPECT_EQ(server::content_type_for("DATA/HTML/a.htm.png"), "text/html\n");
}
