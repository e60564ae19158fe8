#pragma once
// The replies: the file reply (the one shape every page goes out in), the
// not-found reply and the error page. Every header line ends in a bare line
// feed and the status line is "HTTP/1.0 200 OK" (see_other_reply's aside).
//
// A reply to a request that came through the owner's TLS proxy as https
// (the internet's way in) is hardened: every reply shape puts the hardening
// headers right after the status line, and the session cookie is sent only
// over https and out of the page scripts' reach. A reply to any other
// request keeps its bytes as they are.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "platform/sjis.h"
#include "platform/text_file.h"

namespace server {

struct Request;

// Where a reply's bytes go: the connection, or a recorder in tests.
class Reply {
public:
    using Send = std::function<void(const char* data, size_t n)>;
    // Takes the reply's last part as an open file, to be sent as the connection drains.
    using Stream = std::function<void(platform::RawReader file)>;
    explicit Reply(Send send, Stream stream = {}) : send_(std::move(send)), stream_(std::move(stream)) {}
    void send(const char* data, size_t n) {
        if (!started_ && before_first_send_) before_first_send_();
        started_ = true;
        send_(data, n);
    }
    // Runs once, right before the first byte goes out.
    void before_first_send(std::function<void()> hook) { before_first_send_ = std::move(hook); }
    // Set where the reply is made, before anything is sent: the request's hardening.
    void harden(bool hardened) { hardened_ = hardened; }
    bool hardened() const { return hardened_; }
    // True once any send (also an empty one) has been made.
    bool started() const { return started_; }
    bool streams() const { return static_cast<bool>(stream_); }
    void stream(platform::RawReader file) { stream_(std::move(file)); }

private:
    Send send_;
    Stream stream_;
    std::function<void()> before_first_send_;
    bool started_ = false;
    bool hardened_ = false;
};

// True when the request came through the trusted proxy as https: the scheme
// is "https" only from that peer (see parse_request).
bool needs_hardening(const Request& request);

// The header lines every hardened reply carries after its status line
// (framing by the board's own pages only, no type guessing, no address of
// the board's pages sent to other sites); empty for any other reply.
std::string_view hardening_headers(const Reply& reply);

// The session cookie's header line: "Set-Cookie: SESSIONID=<value>;\n", and
// on a hardened reply "Set-Cookie: SESSIONID=<value>; Path=/; Secure;
// HttpOnly; SameSite=Lax\n".
std::string session_cookie_line(const Reply& reply, std::string_view value);

// No send carries more than this many bytes.
inline constexpr size_t kSendPiece = 1024;

// Sends an open file as stored bytes behind its header (a reply that streams
// takes the file itself, after the header); extra_header, when
// given, is one more header line (ending in a line feed) after the status line.
void file_reply(Reply& reply, platform::RawReader& file, std::string_view content_type,
                std::string_view extra_header = {});
// The same reply for a file already read whole (the pages the board rewrites:
// no handle stays open on them while the connection drains).
void file_reply(Reply& reply, std::string_view bytes, std::string_view content_type,
                std::string_view extra_header = {});
void not_found_reply(Reply& reply);
// "303 See Other" to location (an address relative to the request's), with
// extra_header: the browser asks for that page with a GET, so a reload of
// it sends no form again.
void see_other_reply(Reply& reply, std::string_view location, std::string_view extra_header = {});
void error_page_reply(Reply& reply);
// "304 Not Modified": the header lines (extra_header, each ending in a line
// feed) and no body.
void not_modified_reply(Reply& reply, std::string_view extra_header = {});

// "text/html\n", "image/jpeg\n", "image/gif\n", "image/png\n" or "text/plain\n".
std::string_view content_type_for(std::string_view file_name);

}  // namespace server
