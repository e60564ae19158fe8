#include "harness.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "board/board.h"
#include "board/board_reply.h"
#include "board/form.h"
#include "board/pages.h"
#include "board/paths.h"
#include "board/posting.h"
#include "board/session.h"
#include "board/state.h"
#include "platform/clock.h"
#include "board/routes.h"
#include "server/reply.h"
#include "server/request.h"

namespace komorebi_fuzz {
namespace {

using sv = std::string_view;
constexpr size_t npos = sv::npos;

void print_and_abort(const std::string& what) {
    std::fprintf(stderr, "komorebi fuzz check failed: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

FailureHandler g_handler = print_and_abort;

[[noreturn]] void fail(const std::string& what) {
    g_handler(what);
    std::abort();  // a handler that returns is no handler
}

#define CHECK(cond, what)                                                      \
    do {                                                                       \
        if (!(cond)) fail(std::string(what) + " (" #cond ", line " + std::to_string(__LINE__) + ")"); \
    } while (0)

// Shows a piece of an input in a failure message.
std::string shown(sv s) {
    std::string out;
    for (char c : s.substr(0, 200)) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F && c != '\\') {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        }
    }
    if (s.size() > 200) out += "...";
    return "\"" + out + "\"";
}

// True when inner lies inside outer (an empty view may stand anywhere).
bool within(sv inner, sv outer) {
    if (inner.empty()) return true;
    return inner.data() >= outer.data() && inner.data() + inner.size() <= outer.data() + outer.size();
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_ignoring_case(sv a, sv b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

sv trimmed(sv s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

std::vector<sv> split(sv s, char sep) {
    std::vector<sv> parts;
    size_t at = 0;
    for (;;) {
        size_t next = s.find(sep, at);
        parts.push_back(s.substr(at, next == npos ? npos : next - at));
        if (next == npos) return parts;
        at = next + 1;
    }
}

// ---------------------------------------------------------------------------
// Reference readings of the request, written from the documented rules.

// The first body byte: right after the first empty line that follows a line
// feed (an empty line is a bare line feed or CR LF). npos while there is none.
size_t expected_body_start(sv text) {
    size_t i = text.find('\n');
    while (i != npos) {
        sv after = text.substr(i + 1);
        if (after.substr(0, 1) == "\n") return i + 2;
        if (after.substr(0, 2) == "\r\n") return i + 3;
        i = text.find('\n', i + 1);
    }
    return npos;
}

// Header lines: after the request line, up to the body.
std::vector<sv> header_lines(sv text) {
    size_t first = text.find('\n');
    if (first == npos) return {};
    size_t end = expected_body_start(text);
    if (end == npos) end = text.size();
    if (end <= first + 1) return {};
    return split(text.substr(first + 1, end - first - 1), '\n');
}

std::vector<sv> expected_header_values(sv text, sv name) {
    std::vector<sv> values;
    for (sv line : header_lines(text)) {
        size_t colon = line.find(':');
        if (colon == npos) continue;
        if (same_ignoring_case(trimmed(line.substr(0, colon)), name)) values.push_back(trimmed(line.substr(colon + 1)));
    }
    return values;
}

bool expected_complete(sv data, size_t cap) {
    if (data.size() >= cap) return true;
    size_t start = expected_body_start(data);
    if (start == npos) return false;
    std::vector<sv> lengths = expected_header_values(data.substr(0, start), "content-length");
    size_t length = 0;
    if (!lengths.empty()) {
        for (char c : lengths.front()) {
            if (c < '0' || c > '9') break;
            length = std::min<size_t>(length * 10 + static_cast<size_t>(c - '0'), cap + 1);
        }
    }
    return length <= cap && data.size() - start >= length;
}

bool is_lead_byte(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return (u >= 0x81 && u <= 0x9F) || (u >= 0xE0 && u <= 0xFC);
}

// A numeric character reference as a browser sends it, at the start of text:
// "&#" and 1 to 7 decimal digits or "&#x" ("&#X") and 1 to 6 hexadecimal
// digits, then ";", naming 1 to 10FFFF but no surrogate. Its length, or 0.
size_t reference_at(sv text) {
    if (text.substr(0, 2) != "&#") return 0;
    size_t i = 2;
    bool hex = text.size() > 2 && (text[2] == 'x' || text[2] == 'X');
    if (hex) ++i;
    const char* digits = hex ? "0123456789abcdefABCDEF" : "0123456789";
    size_t end = text.find_first_not_of(digits, i);
    if (end == npos || text[end] != ';' || end == i || end - i > (hex ? 6u : 7u)) return 0;
    unsigned long value = std::stoul(std::string(text.substr(i, end - i)), nullptr, hex ? 16 : 10);
    return value >= 1 && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF) ? end + 1 : 0;
}

// The longest start of text of at most max bytes that splits no character:
// a lead byte and the byte after it stay together, and with references so
// does a whole numeric character reference.
sv whole_start(sv text, size_t max, bool references) {
    size_t i = 0;
    for (;;) {
        if (i >= text.size()) return text;
        size_t width = is_lead_byte(text[i]) && i + 1 < text.size() ? 2 : 1;
        if (references && reference_at(text.substr(i)) != 0) width = reference_at(text.substr(i));
        if (i + width > max) return text.substr(0, i);
        i += width;
    }
}

// form_field as documented: the key counts only whole at a field boundary,
// the first such occurrence wins; "+" is a blank; "%" with two following
// characters is a byte (digits 0-9 and A-F, anything else 0); an escape that
// has not both characters before the end adds nothing and ends the value. A
// value longer than its bound keeps its whole characters within the bound.
std::optional<std::string> expected_field(sv body, sv key, board::FieldRules rules) {
    std::string wanted = std::string(key) + "=";
    size_t at = npos;
    for (size_t p = 0; p + wanted.size() <= body.size(); ++p) {
        if ((p == 0 || body[p - 1] == '&') && body.substr(p, wanted.size()) == wanted) {
            at = p + wanted.size();
            break;
        }
    }
    if (at == npos) return std::nullopt;
    auto digit = [](char c) -> int {
        const char* digits = "0123456789ABCDEF";
        const char* hit = std::char_traits<char>::find(digits, 16, c);
        return hit ? static_cast<int>(hit - digits) : 0;
    };
    std::string value;
    sv rest = body.substr(at);
    while (!rest.empty() && rest.front() != '&') {
        if (rest.front() == '+') {
            value += ' ';
            rest.remove_prefix(1);
        } else if (rest.front() == '%') {
            if (rest.size() < 3) break;
            int byte = digit(rest[1]) * 16 + digit(rest[2]);
            rest.remove_prefix(3);
            if (byte == 0 && rules.zero_ends_value) break;
            value += static_cast<char>(byte);
        } else {
            value += rest.front();
            rest.remove_prefix(1);
        }
    }
    if (value.size() > rules.max_bytes) value = std::string(whole_start(value, rules.max_bytes, rules.whole_references));
    return value;
}

// The first SESSIONID cookie of the Cookie headers decides: its trimmed value
// when that is 1 to 99 bytes long, nothing otherwise.
std::optional<std::string> expected_cookie(sv text) {
    for (sv header : expected_header_values(text, "cookie")) {
        for (sv piece : split(header, ';')) {
            sv cookie = trimmed(piece);
            size_t eq = cookie.find('=');
            if (eq == npos || trimmed(cookie.substr(0, eq)) != "SESSIONID") continue;
            sv value = trimmed(cookie.substr(eq + 1));
            if (value.empty() || value.size() > 99) return std::nullopt;
            return std::string(value);
        }
    }
    return std::nullopt;
}

// A request from another site's page: an Origin header that is not "http://"
// and the Host header (any case); without Origin, the board's own.
bool expected_foreign(sv text) {
    auto origins = expected_header_values(text, "origin");
    if (origins.empty()) return false;
    auto hosts = expected_header_values(text, "host");
    if (hosts.empty()) return true;
    return !same_ignoring_case(origins.front(), "http://" + std::string(hosts.front()));
}

// A session line's field: the text after key up to the next ':', or, when
// it opens with "[" (an IPv6 address), the text up to "]".
std::optional<sv> line_field(sv line, sv key) {
    size_t at = line.find(key);
    if (at == npos) return std::nullopt;
    sv value = line.substr(at + key.size());
    if (value.substr(0, 1) != "[") return value.substr(0, value.find(':'));
    size_t close = value.find(']');
    if (close == npos) return std::nullopt;
    return value.substr(1, close - 1);
}

bool expected_line_match(sv line, sv address, sv cookie) {
    if (address.empty() || cookie.empty()) return false;
    auto ip = line_field(line, "ipaddress=");
    auto id = line_field(line, ":cookieid=");
    return ip && id && *ip == address && *id == cookie;
}

// A path may be served when it names something under DATA/HTML: not empty,
// no leading "/", no ".." segment, no backslash, colon or control byte, and
// "DATA/HTML/" and the path together at most 999 characters.
bool expected_servable(sv path) {
    if (path.empty() || path.front() == '/' || path.size() + 10 > 999) return false;
    for (char c : path) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || c == '\\' || c == ':') return false;
    }
    for (sv segment : split(path, '/'))
        if (segment == "..") return false;
    return true;
}

// Where a served name ends up once "." and ".." are resolved: never above DATA/HTML.
bool stays_under_html(sv name) {
    sv prefix = "DATA/HTML/";
    if (name.substr(0, prefix.size()) != prefix) return false;
    int depth = 0;
    for (sv segment : split(name.substr(prefix.size()), '/')) {
        if (segment == "..") --depth;
        else if (!segment.empty() && segment != ".") ++depth;
        if (depth < 0) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------

void check_request_reading(sv text, size_t small_cap) {
    // request_complete against the reference, at the real cap and a small one.
    for (size_t cap : {server::kRequestBufferSize, small_cap}) {
        bool got = server::request_complete(text, cap);
        CHECK(got == expected_complete(text, cap),
              "request_complete(cap " + std::to_string(cap) + ") of " + shown(text) + " gave " + (got ? "true" : "false"));
        // More bytes never make a complete request incomplete.
        sv prefix = text.substr(0, text.size() / 2);
        if (server::request_complete(prefix, cap))
            CHECK(got, "a complete prefix of " + shown(text) + " but not the whole");
    }

    server::RequestLine line = server::parse_request_line(text);
    sv first = text.substr(0, text.find('\n'));
    CHECK(within(line.method, first) && within(line.path, first), "request line parts outside the first line");
    CHECK(line.method.find(' ') == npos, "method holds a blank: " + shown(line.method));
    CHECK(line.path.find_first_of(" ?\n") == npos, "path holds a blank, '?' or line feed: " + shown(line.path));
    CHECK(line.method.empty() || line.method.data() == text.data(), "method does not start the request");
    {
        sv l = first;
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        size_t sp = l.find(' ');
        CHECK(line.method == l.substr(0, sp), "method of " + shown(text) + " is " + shown(line.method));
        sv target = sp == npos ? sv{} : l.substr(sp + 1);
        while (!target.empty() && target.front() == ' ') target.remove_prefix(1);
        target = target.substr(0, target.find(' '));
        size_t slash = target.find('/');
        CHECK(line.has_path == (slash != npos), "has_path of " + shown(text));
        if (slash != npos) {
            sv path = target.substr(slash + 1);
            path = path.substr(0, path.find('?'));
            CHECK(line.path == path, "path of " + shown(text) + " is " + shown(line.path));
        }
    }

    sv body = server::request_body(text);
    size_t start = expected_body_start(text);
    CHECK(body == (start == npos ? sv{} : text.substr(start)), "request_body of " + shown(text));
    CHECK(within(body, text), "body outside the request");
    sv headers = server::request_headers(text);
    CHECK(within(headers, text), "headers outside the request");
    CHECK(start == npos || headers.empty() || headers.data() + headers.size() == text.data() + start,
          "headers do not end where the body starts");

    for (sv name : {sv("Cookie"), sv("Content-Length"), sv("Host")}) {
        std::vector<sv> want = expected_header_values(text, name);
        std::vector<sv> got;
        server::for_each_header(text, name, [&](sv value) {
            got.push_back(value);
            return false;
        });
        CHECK(got == want, "for_each_header(" + std::string(name) + ") of " + shown(text) + ": " +
                               std::to_string(got.size()) + " values, expected " + std::to_string(want.size()));
        for (sv v : got) {
            CHECK(within(v, headers), "header value outside the headers");
            CHECK(v == trimmed(v) && v.find('\n') == npos, "header value not trimmed: " + shown(v));
        }
        // Returning true stops the visits at the first value.
        size_t visits = 0;
        server::for_each_header(text, name, [&](sv) {
            ++visits;
            return true;
        });
        CHECK(visits == std::min<size_t>(want.size(), 1), "for_each_header goes on after true");
    }

    auto cookie = server::session_cookie(text);
    auto want_cookie = expected_cookie(text);
    CHECK(cookie == want_cookie, "session_cookie of " + shown(text) + " is " + (cookie ? shown(*cookie) : "none") +
                                     ", expected " + (want_cookie ? shown(*want_cookie) : "none"));

    std::string name = board::served_file_name(line.path);
    if (name.empty()) {
        CHECK(!expected_servable(line.path), "served_file_name refuses " + shown(line.path));
    } else {
        CHECK(expected_servable(line.path), "served_file_name lets through " + shown(line.path));
        CHECK(name == "DATA/HTML/" + std::string(line.path) && name.size() <= 999, "served name " + shown(name));
        CHECK(stays_under_html(name), "served name leaves DATA/HTML: " + shown(name));
    }
    // The path as a whole (blanks, line feeds, any byte) too.
    sv raw = text.substr(0, 1200);
    std::string raw_name = board::served_file_name(raw);
    CHECK(raw_name.empty() != expected_servable(raw), "served_file_name of " + shown(raw));
    if (!raw_name.empty()) CHECK(stays_under_html(raw_name), "served name leaves DATA/HTML: " + shown(raw_name));

    int page = board::selected_page(line.path);
    CHECK(page >= 1 && page <= 100000000, "selected page " + std::to_string(page));
    size_t at = line.path.find("wbk_select_");
    if (at != npos) {
        sv number = line.path.substr(at + 11);
        number = number.substr(0, number.find('.'));
        if (!number.empty() && number.size() <= 9 && number.find_first_not_of("0123456789") == npos) {
            int value = std::atoi(std::string(number).c_str());
            int want = value >= 1 && value <= 100000000 ? value : 1;
            CHECK(page == want, "selected page of " + shown(line.path) + " is " + std::to_string(page));
        }
    }
}

void check_forms(sv text) {
    static const char* const keys[] = {"id", "password", "name", "title", "text"};
    static const board::FieldRules rules[] = {{101, false}, {1101, true}, {3, false}, {0, true},
                                              {101, false, true}, {1101, true, true}, {12, true, true}};
    for (sv body : {server::request_body(text), text}) {
        for (const char* key : keys) {
            for (const board::FieldRules& r : rules) {
                auto got = board::form_field(body, key, r);
                auto want = expected_field(body, key, r);
                CHECK(got == want, std::string("form_field(") + key + ", " + std::to_string(r.max_bytes) + ") of " +
                                       shown(body) + " is " + (got ? shown(*got) : "none") + ", expected " +
                                       (want ? shown(*want) : "none"));
                if (got) CHECK(got->size() <= r.max_bytes, "form value longer than its bound");
            }
        }
    }
}

void check_session_lines(sv text) {
    std::vector<sv> parts = split(text, '\x01');
    sv line = parts[0];
    sv address = parts.size() > 1 ? parts[1] : sv("127.0.0.1");
    sv cookie = parts.size() > 2 ? parts[2] : sv("42");
    bool got = board::session_line_matches(line, address, cookie);
    CHECK(got == expected_line_match(line, address, cookie),
          "session_line_matches(" + shown(line) + ", " + shown(address) + ", " + shown(cookie) + ")");

    // A line as the login writes it belongs to its own address and cookie
    // only: an address holding ':' (IPv6, of hexadecimal digits, ':' and
    // '.') stands in brackets.
    bool v6 = address.find(':') != npos;
    bool writable = v6 ? address.find_first_not_of("0123456789abcdefABCDEF:.") == npos : address.substr(0, 1) != "[";
    if (!address.empty() && !cookie.empty() && writable && cookie.find(':') == npos && cookie.front() != '[') {
        std::string a(address), c(cookie);
        std::string stored = "ipaddress=" + (v6 ? "[" + a + "]" : a) + ":cookieid=" + c + ":time=Thu Apr 28 00:06:25 2011\n";
        CHECK(board::session_line_matches(stored, a, c), "a stored session line does not match: " + shown(stored));
        CHECK(!board::session_line_matches(stored, a, c + "0"), "a session line matches another cookie");
        CHECK(!board::session_line_matches(stored, a + "0", c), "a session line matches another address");
    }
}

// A numeric character reference at the start of s ("&#" 1 to 7 digits ";" or
// "&#x" 1 to 6 hexadecimal digits ";") naming a Unicode scalar value: its
// length; 0 for anything else.
size_t expected_reference(sv s) {
    if (s.substr(0, 2) != "&#") return 0;
    bool hex = s.size() > 2 && (s[2] == 'x' || s[2] == 'X');
    size_t start = hex ? 3 : 2;
    size_t end = s.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789", start);
    if (end == npos || s[end] != ';' || end == start || end - start > (hex ? 6u : 7u)) return 0;
    unsigned long value = std::stoul(std::string(s.substr(start, end - start)), nullptr, hex ? 16 : 10);
    if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    return end + 1;
}

// escape_html as documented: such references stay, the five markup bytes are
// escaped, every other byte stays.
std::string expected_escaped(sv text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (size_t n = expected_reference(text.substr(i))) {
            out += text.substr(i, n);
            i += n;
            continue;
        }
        static const std::pair<char, sv> refs[] = {{'&', "&amp;"}, {'<', "&lt;"}, {'>', "&gt;"}, {'"', "&quot;"}, {'\'', "&#39;"}};
        bool escaped = false;
        for (const auto& ref : refs) {
            if (text[i] == ref.first) {
                out += ref.second;
                escaped = true;
            }
        }
        if (!escaped) out += text[i];
        ++i;
    }
    return out;
}

void check_escaping(sv text) {
    std::string escaped = board::escape_html(text.substr(0, 2000));
    CHECK(escaped.find_first_of("<>\"'") == npos, "escape_html leaves markup: " + shown(escaped));
    std::string back;
    for (size_t i = 0; i < escaped.size();) {
        static const std::pair<sv, char> refs[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&#39;", '\''}};
        bool matched = false;
        if (escaped[i] == '&') {
            for (const auto& ref : refs) {
                if (sv(escaped).substr(i, ref.first.size()) == ref.first) {
                    back += ref.second;
                    i += ref.first.size();
                    matched = true;
                    break;
                }
            }
            if (size_t n = matched ? 0 : expected_reference(sv(escaped).substr(i))) {
                back += escaped.substr(i, n);  // a character reference the text holds itself
                i += n;
                matched = true;
            }
            CHECK(matched, "escape_html leaves a bare '&'");
        } else {
            back += escaped[i++];
        }
    }
    // A reference "&#39;" that the text holds itself reads back as the quote it names.
    std::string want(text.substr(0, 2000));
    for (size_t at = want.find("&#39;"); at != npos; at = want.find("&#39;", at + 1)) want.replace(at, 5, "'");
    CHECK(back == want, "escape_html loses bytes");
    CHECK(escaped == expected_escaped(text.substr(0, 2000)), "escape_html of " + shown(text.substr(0, 200)) + " is " + shown(escaped));
}

// ---------------------------------------------------------------------------
// The board run.

std::string read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

// A stored page's lines without their CR LF ends; every line feed must come
// after a CR, as text-mode files are stored.
std::vector<std::string> page_lines(const std::string& path, const std::string& bytes) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < bytes.size()) {
        size_t lf = bytes.find('\n', at);
        CHECK(lf != npos, path + " does not end in a line end");
        CHECK(lf > at && bytes[lf - 1] == '\r', path + " holds a line feed without CR");
        lines.push_back(bytes.substr(at, lf - 1 - at));
        at = lf + 1;
    }
    return lines;
}

sv without_lf(sv marker) { return marker.substr(0, marker.size() - 1); }

// The stored bytes between a page's start and end markers, each of which it
// must hold exactly once, in this order.
std::string section(const std::string& path, const std::string& bytes, sv start, sv end) {
    std::vector<std::string> lines = page_lines(path, bytes);
    size_t begin = npos, finish = npos;
    size_t offset = 0, begin_offset = 0, end_offset = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == without_lf(start)) {
            CHECK(begin == npos, path + " holds a start marker twice");
            begin = i;
            begin_offset = offset + lines[i].size() + 2;
        }
        if (lines[i] == without_lf(end)) {
            CHECK(finish == npos, path + " holds an end marker twice");
            finish = i;
            end_offset = offset;
        }
        offset += lines[i].size() + 2;
    }
    CHECK(begin != npos && finish != npos && begin < finish, path + " lost its markers");
    return bytes.substr(begin_offset, end_offset - begin_offset);
}

struct Block {
    std::string bytes;  // as stored, from the time line to the "<hr>" line's CR LF
    std::string time, name, title, text;
    bool time_closed = false, name_closed = false, title_closed = false;  // "</p>" on the value's own line
};

// The message blocks of a text page's section, newest first.
std::vector<Block> blocks_of(const std::string& path, const std::string& sect) {
    static const sv labels[] = {"<p>時間　：　", "<p>名前　：　", "<p>題名　：　", "<p>内容　：　"};
    std::vector<Block> blocks;
    std::vector<std::string> lines = page_lines(path, sect);
    Block current;
    int next_label = 0;
    bool open_value = false;  // a value line whose "</p>" stands on the next line
    for (const std::string& l : lines) {
        current.bytes += l + "\r\n";
        if (open_value) {
            CHECK(l == "</p>", path + ": a value line is not followed by </p>: " + shown(l));
            open_value = false;
            continue;
        }
        if (next_label == 4) {
            CHECK(l == "<hr>", path + ": a block does not end in <hr>: " + shown(l));
            blocks.push_back(current);
            current = Block{};
            next_label = 0;
            continue;
        }
        sv label = labels[next_label];
        CHECK(sv(l).substr(0, label.size()) == label, path + ": a block line lacks its label: " + shown(l));
        std::string value = l.substr(label.size());
        bool closed = value.size() >= 4 && value.substr(value.size() - 4) == "</p>";
        if (closed) value.resize(value.size() - 4);
        // The time, name and title lines keep their line feed when they are
        // used whole; the text always closes on its own line.
        if (next_label == 3) CHECK(closed, path + ": the text line is not closed");
        open_value = !closed;
        std::string* fields[] = {&current.time, &current.name, &current.title, &current.text};
        *fields[next_label] = value;
        bool* closings[] = {&current.time_closed, &current.name_closed, &current.title_closed, nullptr};
        if (closings[next_label]) *closings[next_label] = closed;
        ++next_label;
    }
    CHECK(next_label == 0 && !open_value, path + ": the section ends inside a block");
    return blocks;
}

struct Preset {
    int message_no;
    int page;
    bool log;
    bool session;  // a session line for 127.0.0.1 and cookie 42 exists before the first request
    bool sweep;    // the hourly sweep runs after each request
    bool other_client;
};

Preset preset_from(std::uint8_t b) {
    static const int messages[] = {0, 1, 99, 100};
    static const int pages[] = {1, 2, 99999999, 100000000};
    return Preset{messages[b & 3], pages[(b >> 2) & 3], (b & 0x10) != 0,
                  (b & 0x20) != 0, (b & 0x40) != 0, (b & 0x80) != 0};
}

constexpr std::uint64_t kRandom = 41;  // the cookie value drawn is this plus one
constexpr size_t kMaxRequests = 12;
constexpr int kSearchesPerRun = 2;

std::pair<int, int> advanced(int message_no, int page) {
    if (++message_no > 100) {
        message_no = 1;
        if (++page > 100000000) page = 1;
    }
    return {message_no, page};
}

// The display text: the record's text lines read back (the text and the
// record's last line feed) in reads of at most 109 bytes, each line's end
// shown as "</br>". A CR right before the line feed is part of that end only
// when both come in one read. Reads cut no character reference.
std::string expected_display_text(const std::string& text) {
    std::string read_back = text + "\n";
    std::string out;
    for (size_t at = 0; at < read_back.size();) {
        size_t lf = read_back.find('\n', at);
        sv line = sv(read_back).substr(at, lf - at);
        at = lf + 1;
        if (!line.empty() && line.back() == '\r' && line.size() % 109 != 0) line.remove_suffix(1);
        out += expected_escaped(line) + "</br>";
    }
    return out;
}

std::string replaced_all(std::string s, sv from, sv to) {
    for (size_t at = s.find(from); at != npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
    return s;
}

// Name and title as the record keeps them: up to a zero byte, line breaks as blanks.
std::string record_line(const std::string& value) {
    std::string out(value.c_str());
    std::replace(out.begin(), out.end(), '\r', ' ');
    std::replace(out.begin(), out.end(), '\n', ' ');
    return out;
}

// A name or title as the block shows it: whole with its line feed when the
// record line is at most 100 bytes, else the whole characters (references
// among them) of its first 100 bytes, as read in one read of 109.
std::string shown_value(const std::string& record) {
    if (record.size() + 1 <= 100) return expected_escaped(record);  // its "</p>" stands on the next line
    std::string read = (record + "\n").substr(0, 109);
    return expected_escaped(whole_start(read, 100, true));
}

struct Reply {
    std::vector<std::string> sends;
    std::string all() const {
        std::string s;
        for (const auto& p : sends) s += p;
        return s;
    }
};

const char kErrorBody[] =
    "<HTML><HEAD><TITLE>エラー</TITLE></HEAD><BODY><H1>伝言板サーバーが不安定になっています。</H1>"
    "<H1>伝言板サーバーを管理している人に、問い合わせて下さい。</H1></BODY></HTML>";
const char kNotFoundBody[] = "<HTML><HEAD><TITLE>エラー</TITLE></HEAD><BODY><H1>Not found</H1></BODY></HTML>";

// A reply is nothing, or one file reply: status line, optional cookie line,
// content type, length, blank line and exactly that many body bytes. Returns
// the body; sets cookie when the reply sets one.
std::string check_reply_shape(const Reply& r, sv request, std::optional<std::string>& cookie) {
    std::string all = r.all();
    if (all.empty()) return {};
    CHECK(sv(all).substr(0, 16) == "HTTP/1.0 200 OK\n", "reply without its status line to " + shown(request));
    size_t blank = all.find("\n\n");
    CHECK(blank != npos, "reply header without its end");
    std::string header = all.substr(0, blank + 1);
    std::string body = all.substr(blank + 2);
    size_t cl = header.find("Content-Length: ");
    CHECK(cl != npos, "reply without Content-Length");
    size_t length = std::strtoul(header.c_str() + cl + 16, nullptr, 10);
    CHECK(length == body.size(), "Content-Length " + std::to_string(length) + " for a body of " +
                                     std::to_string(body.size()) + " bytes");
    CHECK(header.find("\r") == npos, "a header line ends in CR");
    size_t set = header.find("Set-Cookie: SESSIONID=");
    if (set != npos) cookie = header.substr(set + 22, header.find(';', set) - set - 22);
    for (size_t i = 0; i < r.sends.size(); ++i)
        CHECK(r.sends[i].size() <= server::kSendPiece || (i == 0 && r.sends[i].size() == header.size() + 1),
              "a send of " + std::to_string(r.sends[i].size()) + " bytes");
    return body;
}

void check_no_work_files() {
    std::error_code ec;
    for (const char* dir : {"DATA/HTML", "DATA/MESSAGE", "DATA/SESSION", "DATA/IDPASSWORD"}) {
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
            std::string name = entry.path().filename().string();
            CHECK(name.find("_work") == npos, "a work file is left behind: " + name);
        }
    }
}

void check_counters(const board::Board& b) {
    CHECK(b.MessageNo >= 0 && b.MessageNo <= 100, "MessageNo " + std::to_string(b.MessageNo));
    CHECK(b.CurrentPage >= 1 && b.CurrentPage <= 100000000, "CurrentPage " + std::to_string(b.CurrentPage));
    std::string stored = read_bytes(board::paths::kCounters);
    std::string want = "message=" + std::to_string(b.MessageNo) + "\r\npage=" + std::to_string(b.CurrentPage) + "\r\n";
    CHECK(stored == want, "the counters file holds " + shown(stored) + ", expected " + shown(want));
}

void check_session_file(sv address, const std::optional<std::string>& new_cookie) {
    std::string bytes = read_bytes(board::paths::kSessions);
    bool found = false;
    for (const std::string& l : page_lines(board::paths::kSessions, bytes)) {
        size_t id = l.find(":cookieid=");
        size_t time = l.find(":time=");
        CHECK(l.substr(0, 10) == "ipaddress=" && id != npos && time != npos && time > id,
              "a malformed session line: " + shown(l));
        std::string digits = l.substr(id + 10, time - id - 10);
        CHECK(!digits.empty() && digits.find_first_not_of("0123456789") == npos, "a session line's cookie: " + shown(l));
        CHECK(l.size() - time - 6 == 24, "a session line's time: " + shown(l));
        if (new_cookie && board::session_line_matches(l, address, *new_cookie)) found = true;
    }
    if (new_cookie) CHECK(found, "no session line for the cookie just given out");
}

class BoardRun {
public:
    explicit BoardRun(const Preset& p) : preset_(p), address_(p.other_client ? "10.0.0.7" : "127.0.0.1") {
        std::error_code ec;
        std::filesystem::remove_all("DATA", ec);
        CHECK(!ec, "cannot clear DATA: " + ec.message());
        std::filesystem::create_directories("DATA/MESSAGE", ec);
        CHECK(board::write_counters(p.message_no, p.page).ok(), "cannot write the counters file");
        b_.clock = [this] {
            // One second later at every look; hour 0, so the sweep keeps
            // what this run stores.
            platform::LocalTime t;
            t.year = 2011;
            t.month = 4;
            t.day = 28;
            t.weekday = 4;
            t.minute = static_cast<int>(ticks_ / 60 % 60);
            t.second = static_cast<int>(ticks_ % 60);
            ++ticks_;
            return t;
        };
        b_.random = [] { return kRandom; };
        b_.LogEnabled = p.log ? 1 : 0;
        CHECK(board::load_board_state(b_) == board::LoadResult::Loaded, "the board does not load");
        CHECK(b_.MessageNo == p.message_no && b_.CurrentPage == p.page, "the board loads other counters");
        if (p.session) {
            platform::FileGroup group;
            board::plan_session_line(b_, group, "127.0.0.1", kRandom + 1);
            CHECK(group.commit().ok(), "cannot store the session line");
        }
        if (p.page == 100000000) {
            // The board is about to go round to page 1, which holds messages
            // from long ago: the first message there must clear them.
            board::write_text_template();
            std::string old;
            for (int i = 0; i < 2; ++i)
                old += "<p>時間　：　2001年1月1日0時0分0秒\n</p>\n<p>名前　：　old\n</p>\n<p>題名　：　old\n</p>\n"
                       "<p>内容　：　old</br></p>\n<hr>\n";
            CHECK(board::rewrite_sections(board::paths::kTextPage1, board::paths::kTextWork,
                                          {board::Section{board::kPlainStart, board::kPlainEnd, old,
                                                          board::SectionMode::Prepend}}) ==
                      board::RewriteResult::Written,
                  "cannot write the old text page 1");
        }
    }

    void serve(sv request) {
        // A search reads pages down from the current one for up to its time
        // limit (3 s when the presets' high page numbers have no pages below
        // them): two a run keep a run within the fuzzer's timeout.
        if (server::parse_request_line(request).path == "wbk_search.cgi" && ++searches_ > kSearchesPerRun) return;
        const int message_before = b_.MessageNo;
        const int page_before = b_.CurrentPage;
        const std::string page_path = board::text_page_path(page_before);
        const std::string page_bytes_before = read_bytes(page_path);
        const bool page_existed = exists(page_path);
        const std::optional<std::string> cookie_sent = expected_cookie(request);
        const bool foreign = expected_foreign(request);
        const bool had_session = cookie_sent && has_session(*cookie_sent) && !foreign;
        // The run's clock stands at second 0: an address that has failed five
        // times is still refused.
        const auto guess = b_.guessing.find(address_);
        const bool guessing = guess != b_.guessing.end() && guess->second.blocked_until > 0;

        // The model below reads the frameset's bytes. A request that might
        // choose the phone view (a phone word, the layout cookie or query, a
        // phone page's address anywhere in it) is served with the phone view
        // off, and every other one with it on: both must give those bytes.
        static const sv kPhoneMarks[] = {"Mobi", "Android", "iPhone", "iPad", "VIEW", "?phone", "?pc", "wbk_phone_"};
        bool marked = false;
        for (sv mark : kPhoneMarks) marked = marked || request.find(mark) != npos;
        b_.PhoneView = marked ? 0 : 1;

        Reply reply;
        server::Reply out([&](const char* d, size_t n) { reply.sends.emplace_back(d, n); });
        {
            platform::BoardLockGuard guard(b_.lock);
            board::respond(b_, server::parse_request(request, address_), out);
        }
        std::optional<std::string> cookie;
        std::string body = check_reply_shape(reply, request, cookie);
        CHECK(body != kErrorBody, "the error page for " + shown(request));

        server::RequestLine line = server::parse_request_line(request);
        if (line.has_path && line.method == "GET") check_get(line.path, reply, body);
        const Route route = route_of(line);
        const std::optional<std::string> request_cookie = expected_cookie(request);
        if (route == Route::Write || route == Route::Reload) {
            // Only a session of this client and cookie opens the board.
            CHECK(body == read_bytes(had_session ? board::paths::kMainPage : board::paths::kLoginPage),
                  std::string(had_session ? "a session" : "no session") + " got the wrong page for " + shown(request));
        } else if (route == Route::Login) {
            CHECK(cookie.has_value() == (credentials_match(server::request_body(request)) && !guessing && !foreign),
                  std::string("a login ") + (cookie ? "succeeded" : "failed") + ": " + shown(request));
            // A paused address is told so (the clock stands still: the whole
            // first minute of the pause is left), not shown the login page.
            const std::string expected = cookie                  ? read_bytes(board::paths::kMainPage)
                                         : guessing && !foreign ? board::paused_login_page_text(1)
                                                                : read_bytes(board::paths::kLoginPage);
            CHECK(body == expected, "a login got the wrong page");
        } else if (route == Route::Logout) {
            CHECK(body == read_bytes(board::paths::kLoginPage), "a logout did not get the login page");
            if (request_cookie && !foreign)
                CHECK(!has_session(*request_cookie), "a session outlived its logout");
        } else if (route == Route::None) {
            CHECK(line.method == "GET" || reply.sends.empty(), "a reply to " + shown(request));
        }
        CHECK(!cookie || route == Route::Login, "a cookie given out without a login");

        if (preset_.sweep) board::hourly_session_sweep(b_);
        check_counters(b_);
        check_no_work_files();

        const bool posted = b_.MessageNo != message_before || b_.CurrentPage != page_before;
        CHECK(!posted || (route == Route::Write && had_session), "the counters moved for " + shown(request));
        if (posted) {
            CHECK(std::make_pair(b_.MessageNo, b_.CurrentPage) == advanced(message_before, page_before),
                  "the counters moved from " + std::to_string(message_before) + "/" + std::to_string(page_before) +
                      " to " + std::to_string(b_.MessageNo) + "/" + std::to_string(b_.CurrentPage));
            check_post(request, page_bytes_before, page_existed);
        } else if (page_existed) {
            CHECK(read_bytes(page_path) == page_bytes_before, "a request that posted nothing changed " + page_path);
        }
        if (cookie) {
            CHECK(*cookie == std::to_string(kRandom + 1), "cookie " + shown(*cookie));
        }
        if (exists(board::paths::kSessions)) check_session_file(address_, cookie);
        check_pages();
    }

private:
    enum class Route { None, Login, Write, Reload, Logout };

    // POST routing: the first action name the path holds decides.
    static Route route_of(const server::RequestLine& line) {
        if (!line.has_path || line.method != "POST") return Route::None;
        if (line.path.find("wbk_login.cgi") != npos) return Route::Login;
        if (line.path.find("wbk_write.cgi") != npos) return Route::Write;
        if (line.path.find("wbk_reload.cgi") != npos) return Route::Reload;
        if (line.path.find("wbk_logout.cgi") != npos) return Route::Logout;
        return Route::None;
    }

    bool has_session(const std::string& cookie) const {
        std::string bytes = read_bytes(board::paths::kSessions);
        for (const std::string& l : page_lines(board::paths::kSessions, bytes))
            if (expected_line_match(l, address_, cookie)) return true;
        return false;
    }

    // The login form matches the credentials: both fields there and not
    // empty, compared up to a decoded zero byte.
    bool credentials_match(sv body) const {
        auto id = expected_field(body, "id", {101, false});
        auto password = expected_field(body, "password", {101, false});
        return id && password && !id->empty() && !password->empty() && std::string(id->c_str()) == b_.LoginId &&
               std::string(password->c_str()) == b_.LoginPassword;
    }

    void check_get(sv path, const Reply& reply, const std::string& body) {
        if (path.find("wbk_select_") != npos) {
            CHECK(reply.sends.empty(), "a page select got a reply");
            return;
        }
        if (path == "wbk_search.cgi") {
            // Whatever the query, the search page: never the error or not-found page.
            CHECK(body.find("<title>コモレビ　－検索－</title>") != npos, "GET " + shown(path) + " did not get the search page");
            return;
        }
        std::string name = path.empty() ? std::string(board::paths::kLoginPage) : board::served_file_name(path);
        if (!name.empty() && name.find(".ini") == npos && exists(name)) {
            CHECK(stays_under_html(name), "served from outside DATA/HTML: " + shown(name));
            CHECK(body == read_bytes(name), "the reply to GET " + shown(path) + " is not " + name);
        } else {
            CHECK(body == kNotFoundBody, "GET " + shown(path) + " did not get the not-found reply");
        }
    }

    void check_post(sv request, const std::string& page_before, bool page_existed) {
        const std::string page_path = board::text_page_path(b_.CurrentPage);
        const std::string bytes = read_bytes(page_path);
        std::vector<Block> blocks =
            blocks_of(page_path, section(page_path, bytes, board::kPlainStart, board::kPlainEnd));
        CHECK(!blocks.empty(), "a post left no block on " + page_path);
        if (b_.MessageNo == 1) {
            CHECK(blocks.size() == 1, "the first message of a page stands beside others");
        } else if (page_existed) {
            // The new block stands above the page's earlier section, which is unchanged.
            std::string old = section(page_path, page_before, board::kPlainStart, board::kPlainEnd);
            std::string now = section(page_path, bytes, board::kPlainStart, board::kPlainEnd);
            CHECK(now.size() == blocks[0].bytes.size() + old.size() && now.substr(blocks[0].bytes.size()) == old,
                  "a post changed the earlier blocks of " + page_path);
        } else {
            CHECK(blocks.size() == 1, "a post on a new page left other blocks");
        }

        sv body = server::request_body(request);
        auto name = board::form_field(body, "name", {101, false, true});
        auto title = board::form_field(body, "title", {101, false, true});
        auto text = board::form_field(body, "text", {1101, true, true});
        CHECK(name && title && text, "a post without its three fields was stored");
        const Block& top = blocks[0];
        std::string name_line = record_line(*name), title_line = record_line(*title);
        CHECK(top.name == shown_value(name_line) && top.name_closed == (name_line.size() + 1 > 100),
              "shown name " + shown(top.name) + " for " + shown(*name));
        CHECK(top.title == shown_value(title_line) && top.title_closed == (title_line.size() + 1 > 100),
              "shown title " + shown(top.title) + " for " + shown(*title));
        CHECK(!top.time_closed, "the time is shown cut");
        CHECK(top.time.size() > 6 && sv(top.time).substr(top.time.size() - sv("秒").size()) == "秒" &&
                  top.time.substr(0, 4) == "2011",
              "shown time " + shown(top.time));
        CHECK(top.text == expected_display_text(*text), "shown text " + shown(top.text) + " for " + shown(*text));

        if (b_.MessageNo == 1 && b_.CurrentPage != 1) linked_.insert(b_.CurrentPage);
    }

    void check_pages() {
        if (exists(board::paths::kMainPage)) {
            std::string main = read_bytes(board::paths::kMainPage);
            std::string frame = section(board::paths::kMainPage, main, board::kPlainStart, board::kPlainEnd);
            // Every request that moves the counters sends the board reply,
            // which points the frame at the current page.
            CHECK(frame == replaced_all(board::frame_line(b_.CurrentPage), "\n", "\r\n"),
                  "the main page's frame is " + shown(frame));
        }
        if (exists(board::paths::kMenuPage)) {
            std::string menu = read_bytes(board::paths::kMenuPage);
            std::string current = section(board::paths::kMenuPage, menu, board::kCurrentPageStart, board::kCurrentPageEnd);
            CHECK(page_lines(board::paths::kMenuPage, current).size() == 1, "the menu's current page section");
            section(board::paths::kMenuPage, menu, board::kUpdateTimeStart, board::kUpdateTimeEnd);
            std::string links = section(board::paths::kMenuPage, menu, board::kPageLinkStart, board::kPageLinkEnd);
            std::vector<std::string> lines = page_lines(board::paths::kMenuPage, links);
            std::set<std::string> seen;
            for (const std::string& l : lines) CHECK(seen.insert(l).second, "a page link stands twice: " + shown(l));
            for (int page : linked_) {
                std::string link = board::page_link_line(page);
                link.pop_back();
                CHECK(seen.count(link) == 1, "the menu lacks the link to page " + std::to_string(page));
            }
        }
        if (exists(board::paths::kTextPage1))
            blocks_of(board::paths::kTextPage1,
                      section(board::paths::kTextPage1, read_bytes(board::paths::kTextPage1), board::kPlainStart,
                              board::kPlainEnd));
        if (b_.CurrentPage != 1 && exists(board::text_page_path(b_.CurrentPage))) {
            std::string path = board::text_page_path(b_.CurrentPage);
            blocks_of(path, section(path, read_bytes(path), board::kPlainStart, board::kPlainEnd));
        }
    }

    Preset preset_;
    std::string address_;
    board::Board b_;
    std::int64_t ticks_ = 0;
    int searches_ = 0;
    std::set<int> linked_;
};

}  // namespace

void set_failure_handler(FailureHandler handler) { g_handler = handler ? handler : print_and_abort; }

void check_parsers(const std::uint8_t* data, size_t size) {
    sv text(reinterpret_cast<const char*>(data), size);
    size_t small_cap = size == 0 ? 1 : 1 + data[0] % 200;
    check_request_reading(text, small_cap);
    check_forms(text);
    check_session_lines(text);
    check_escaping(text);
}

void run_board(const std::uint8_t* data, size_t size) {
    if (size == 0) return;
    BoardRun run(preset_from(data[0]));
    sv rest(reinterpret_cast<const char*>(data + 1), size - 1);
    sv separator(kRequestSeparator);
    for (size_t n = 0; n < kMaxRequests && !rest.empty(); ++n) {
        size_t cut = rest.find(separator);
        sv request = rest.substr(0, cut);
        rest = cut == npos ? sv{} : rest.substr(cut + separator.size());
        // The listener never hands on more than its buffer holds.
        run.serve(request.substr(0, server::kRequestBufferSize));
    }
}

}  // namespace komorebi_fuzz
