#pragma once
// Reading a request: when it is whole, and the one parse that turns its text
// into the record the handlers read (method, path, body, session cookie).
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace server {

// RequestBuffer holds at most this many bytes of a request (and a zero byte).
inline constexpr size_t kRequestBufferSize = 16384;

// A request as the handlers see it. The views point into the received text
// (RequestBuffer's contents), which outlives the request's handling.
struct Request {
    std::string_view method;                    // the request line's first word
    std::string_view path;                      // the target after its first "/", cut at " " or "?"
    std::string_view query;                     // the target's text after its first "?", up to the first " "
    bool has_path = false;                      // false when the target holds no "/"
    std::string_view body;                      // the bytes after the blank line that ends the headers
    std::optional<std::string> session_cookie;  // the SESSIONID cookie's value
    std::optional<std::string> origin;          // the first Origin header, trimmed
    std::optional<std::string> host;            // the first Host header, trimmed
    std::string ClientAddress;                  // the client's address text, IPv4 or IPv6 (see parse_request)
    std::string scheme = "http";                // how the client reached the board: "http" or "https"
    std::string_view user_agent;                // the first User-Agent header, trimmed; empty when none
    std::string_view view_cookie;               // the VIEW cookie's value (the visitor's choice of layout)
    std::string_view seen_cookie;               // the SEEN cookie's value (what the visitor last saw)
    std::string_view if_modified_since;         // the first If-Modified-Since header, trimmed; empty when none
};

// Parses a received request once; nothing is read from its text afterwards.
// peer_address is the connection's other end. Only when it is trusted_proxy
// (the owner's TLS proxy) are the proxy's headers believed: the client is the
// right-most address of X-Forwarded-For (the one the proxy itself added; the
// peer when there is none or it is neither an IPv4 nor an IPv6 address),
// written as platform::net::address_text writes it, and the scheme
// is X-Forwarded-Proto's. From any other peer those headers are ignored, so
// that nobody chooses their own address.
Request parse_request(std::string_view text, std::string peer_address,
                      const std::optional<std::string>& trusted_proxy = std::nullopt);

// True when data holds the whole request: the blank line that ends the
// headers, then as many body bytes as Content-Length says (or cap bytes).
bool request_complete(std::string_view data, size_t cap = kRequestBufferSize);
// True when the headers are whole but the body is shorter than Content-Length
// says: a request cut off, not to be handled.
bool body_cut_short(std::string_view data, size_t cap = kRequestBufferSize);

struct RequestLine {
    std::string_view method;  // the request line's first word
    std::string_view path;    // the target after its first "/", cut at " " or "?"
    bool has_path = false;    // false when the target holds no "/"
    std::string_view query;   // the target's text after its first "?", up to the first " "
};
RequestLine parse_request_line(std::string_view text);

// The value of the SESSIONID cookie of the Cookie headers; nothing when there
// is none, it is empty, or it is too long to stand in a session line.
std::optional<std::string> session_cookie(std::string_view text);
// The value of the cookie called name, trimmed; empty when there is none.
std::string_view cookie_value(std::string_view text, std::string_view name);

// The header block: everything after the request line up to the blank line.
std::string_view request_headers(std::string_view text);
// The bytes after the blank line that ends the headers; empty when none.
std::string_view request_body(std::string_view text);
// An HTTP date (IMF-fixdate, "Sun, 06 Nov 1994 08:49:37 GMT") as seconds
// since 1970; nothing when the text is not one. http_date writes one.
std::optional<long long> parse_http_date(std::string_view text);
std::string http_date(long long epoch_seconds);
// Seconds since 1970 of a date and time in UTC (proleptic Gregorian calendar).
long long utc_epoch_seconds(int year, int month, int day, int hour, int minute, int second);

bool equals_ignoring_case(std::string_view a, std::string_view b);
std::string_view trim_blanks(std::string_view s);

// The value of each header named name (any case), trimmed, in order; calls
// visit for each until it returns true.
template <class Visit>
void for_each_header(std::string_view text, std::string_view name, Visit visit) {
    std::string_view headers = request_headers(text);
    while (!headers.empty()) {
        size_t eol = headers.find('\n');
        std::string_view line = headers.substr(0, eol);
        headers = eol == std::string_view::npos ? std::string_view{} : headers.substr(eol + 1);
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        if (!equals_ignoring_case(trim_blanks(line.substr(0, colon)), name)) continue;
        if (visit(trim_blanks(line.substr(colon + 1)))) return;
    }
}

}  // namespace server
