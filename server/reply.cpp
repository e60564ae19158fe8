#include "server/reply.h"

#include <cstring>
#include <string>

namespace server {

void file_reply(Reply& reply, platform::RawReader& file, std::string_view content_type,
                std::string_view extra_header) {
    long long size = file.size();
    std::string header = "HTTP/1.0 200 OK\n";
    header += extra_header;
    header += "Content-Type: ";
    header += content_type;
    header += "Content-Length: " + std::to_string(size) + "\n\n";

    char buf[kSendPiece];
    size_t h = header.size() < kSendPiece ? header.size() : kSendPiece;
    std::memcpy(buf, header.data(), h);
    if (h < header.size()) {  // a header longer than one piece goes out on its own
        reply.send(header.data(), header.size());
        h = 0;
    }
    size_t n = h + file.read(buf + h, kSendPiece - h);
    reply.send(buf, n);
    while (n == kSendPiece) {
        n = file.read(buf, kSendPiece);
        reply.send(buf, n);
    }
    file.close();
}

void not_found_reply(Reply& reply) {
    static const char text[] =
        "HTTP/1.0 200 OK\n"
        "Content-Type: text/html\n"
        "Content-Length: 78\n\n"
        "<HTML><HEAD><TITLE>エラー</TITLE></HEAD><BODY><H1>Not found</H1></BODY></HTML>";
    static_assert(sizeof text - 1 == 138, "the not-found reply is 138 bytes");
    reply.send(text, sizeof text - 1);
}

void error_page_reply(Reply& reply) {
    static const char text[] =
        "HTTP/1.0 200 OK\n"
        "Content-Type: text/html\n"
        "Content-Length: 170\n\n"
        "<HTML><HEAD><TITLE>エラー</TITLE></HEAD><BODY>"
        "<H1>伝言板サーバーが不安定になっています。</H1>"
        "<H1>伝言板サーバーを管理している人に、問い合わせて下さい。</H1>"
        "</BODY></HTML>";
    static_assert(sizeof text - 1 == 16 + 24 + 21 + 170, "the error page body is 170 bytes");
    reply.send(text, sizeof text - 1);
}

std::string_view content_type_for(std::string_view name) {
    static const struct {
        const char* ext;
        const char* type;
    } table[] = {
        {".htm", "text/html\n"},  {".HTM", "text/html\n"}, {".jpg", "image/jpeg\n"},
        {".JPG", "image/jpeg\n"}, {".gif", "image/gif\n"}, {".GIF", "image/gif\n"},
        {".png", "image/png\n"},  {".PNG", "image/png\n"},
    };
    for (const auto& row : table)
        if (name.find(row.ext) != std::string_view::npos) return row.type;
    return "text/plain\n";
}

}  // namespace server
