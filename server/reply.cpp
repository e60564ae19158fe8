#include "server/reply.h"

#include <cstring>
#include <string>

#include "server/request.h"

namespace server {

bool needs_hardening(const Request& request) { return request.scheme == "https"; }

std::string_view hardening_headers(const Reply& reply) {
    if (!reply.hardened()) return {};
    return "X-Frame-Options: SAMEORIGIN\n"
           "X-Content-Type-Options: nosniff\n"
           "Referrer-Policy: same-origin\n";
}

std::string session_cookie_line(const Reply& reply, std::string_view value) {
    std::string line = "Set-Cookie: SESSIONID=";
    line += value;
    line += reply.hardened() ? "; Path=/; Secure; HttpOnly; SameSite=Lax\n" : ";\n";
    return line;
}

namespace {

// Cuts the reply into sends of kSendPiece bytes: the header and the file as
// one stream, every piece full but the last, which is short (empty when the
// stream fills its last piece exactly).
class PieceCutter {
public:
    explicit PieceCutter(Reply& reply) : reply_(reply) {}
    void add(const char* data, size_t n) {
        while (n > 0) {
            if (used_ == 0 && n >= kSendPiece) {  // a whole piece: no copy
                reply_.send(data, kSendPiece);
                data += kSendPiece;
                n -= kSendPiece;
                continue;
            }
            size_t take = n < kSendPiece - used_ ? n : kSendPiece - used_;
            std::memcpy(piece_ + used_, data, take);
            used_ += take;
            data += take;
            n -= take;
            if (used_ == kSendPiece) {
                reply_.send(piece_, kSendPiece);
                used_ = 0;
            }
        }
    }
    void finish() { reply_.send(piece_, used_); }

private:
    Reply& reply_;
    char piece_[kSendPiece];
    size_t used_ = 0;
};

}  // namespace

void file_reply(Reply& reply, platform::RawReader& file, std::string_view content_type,
                std::string_view extra_header) {
    long long size = file.size();
    std::string header = "HTTP/1.0 200 OK\n";
    header += hardening_headers(reply);
    header += extra_header;
    header += "Content-Type: ";
    header += content_type;
    header += "Content-Length: " + std::to_string(size) + "\n\n";
    if (reply.streams()) {
        reply.send(header.data(), header.size());
        return reply.stream(std::move(file));
    }
    PieceCutter pieces(reply);
    pieces.add(header.data(), header.size());
    // The file is read in blocks of many pieces: fewer read calls, same sends.
    char block[16 * kSendPiece];
    while (size_t n = file.read(block, sizeof block)) pieces.add(block, n);
    pieces.finish();
    file.close();
}

void file_reply(Reply& reply, std::string_view bytes, std::string_view content_type, std::string_view extra_header) {
    std::string header = "HTTP/1.0 200 OK\n";
    header += hardening_headers(reply);
    header += extra_header;
    header += "Content-Type: ";
    header += content_type;
    header += "Content-Length: " + std::to_string(bytes.size()) + "\n\n";
    PieceCutter pieces(reply);
    pieces.add(header.data(), header.size());
    pieces.add(bytes.data(), bytes.size());
    pieces.finish();
}

namespace {

// A fixed reply as one send: on a hardened reply, the hardening headers after its status line.
void send_fixed(Reply& reply, std::string_view text) {
    std::string_view extra = hardening_headers(reply);
    if (extra.empty()) return reply.send(text.data(), text.size());
    constexpr std::string_view kStatus = "HTTP/1.0 200 OK\n";
    std::string hardened(kStatus);
    hardened += extra;
    hardened += text.substr(kStatus.size());
    reply.send(hardened.data(), hardened.size());
}

}  // namespace

void see_other_reply(Reply& reply, std::string_view location, std::string_view extra_header) {
    std::string text = "HTTP/1.0 303 See Other\n";
    text += hardening_headers(reply);
    text += "Location: ";
    text += location;
    text += "\n";
    text += extra_header;
    text += "Content-Length: 0\n\n";
    reply.send(text.data(), text.size());
}

void not_found_reply(Reply& reply) {
    static const char text[] =
        "HTTP/1.0 200 OK\n"
        "Content-Type: text/html\n"
        "Content-Length: 78\n\n"
        "<HTML><HEAD><TITLE>エラー</TITLE></HEAD><BODY><H1>Not found</H1></BODY></HTML>";
    static_assert(sizeof text - 1 == 138, "the not-found reply is 138 bytes");
    send_fixed(reply, {text, sizeof text - 1});
}

void not_modified_reply(Reply& reply, std::string_view extra_header) {
    std::string header = "HTTP/1.0 304 Not Modified\n";
    header += hardening_headers(reply);
    header += extra_header;
    header += "\n";
    reply.send(header.data(), header.size());
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
    send_fixed(reply, {text, sizeof text - 1});
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
