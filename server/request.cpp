#include "server/request.h"

#include <cctype>
#include <cstdio>

#include "platform/net.h"

namespace server {

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string_view trim_blanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// Where the headers end: the index of the first body byte, or npos while the
// blank line has not arrived. Both CR LF and bare line-feed ends count.
static size_t body_start(std::string_view text) {
    for (size_t i = text.find('\n'); i != std::string_view::npos; i = text.find('\n', i + 1)) {
        size_t next = i + 1;
        if (next < text.size() && text[next] == '\n') return next + 1;
        if (next + 1 < text.size() && text[next] == '\r' && text[next + 1] == '\n') return next + 2;
    }
    return std::string_view::npos;
}

std::string_view request_headers(std::string_view text) {
    size_t first_eol = text.find('\n');
    if (first_eol == std::string_view::npos) return {};
    size_t end = body_start(text);
    if (end == std::string_view::npos) end = text.size();
    if (end <= first_eol + 1) return {};
    return text.substr(first_eol + 1, end - first_eol - 1);
}

std::string_view request_body(std::string_view text) {
    size_t start = body_start(text);
    return start == std::string_view::npos ? std::string_view{} : text.substr(start);
}

bool request_complete(std::string_view data, size_t cap) {
    if (data.size() >= cap) return true;
    size_t start = body_start(data);
    if (start == std::string_view::npos) return false;
    size_t length = 0;
    for_each_header(data.substr(0, start), "Content-Length", [&](std::string_view v) {
        for (char c : v) {
            if (c < '0' || c > '9') break;
            length = length * 10 + static_cast<size_t>(c - '0');
            if (length > cap) break;
        }
        return true;
    });
    return data.size() - start >= length;
}

std::string_view cookie_value(std::string_view text, std::string_view name) {
    std::string_view found;
    for_each_header(text, "Cookie", [&](std::string_view value) {
        while (!value.empty()) {
            size_t semi = value.find(';');
            std::string_view cookie = trim_blanks(value.substr(0, semi));
            value = semi == std::string_view::npos ? std::string_view{} : value.substr(semi + 1);
            size_t eq = cookie.find('=');
            if (eq == std::string_view::npos || trim_blanks(cookie.substr(0, eq)) != name) continue;
            found = trim_blanks(cookie.substr(eq + 1));
            return true;
        }
        return false;
    });
    return found;
}

std::optional<std::string> session_cookie(std::string_view text) {
    constexpr size_t kCookieMax = 99;  // a session line holds no longer value
    std::string_view v = cookie_value(text, "SESSIONID");
    if (v.empty() || v.size() > kCookieMax) return std::nullopt;
    return std::string(v);
}

// The first header named name, trimmed; nothing when there is none.
static std::optional<std::string> first_header(std::string_view text, std::string_view name) {
    std::optional<std::string> found;
    for_each_header(text, name, [&](std::string_view value) {
        found = std::string(value);
        return true;
    });
    return found;
}

// The right-most element of a comma-separated header's last occurrence: what
// the nearest proxy wrote. Empty when there is no such header.
static std::string_view last_listed(std::string_view text, std::string_view name) {
    std::string_view last;
    for_each_header(text, name, [&](std::string_view value) {
        size_t comma = value.rfind(',');
        last = trim_blanks(comma == std::string_view::npos ? value : value.substr(comma + 1));
        return false;
    });
    return last;
}

Request parse_request(std::string_view text, std::string peer_address, const std::optional<std::string>& trusted_proxy) {
    RequestLine line = parse_request_line(text);
    Request r;
    r.method = line.method;
    r.path = line.path;
    r.has_path = line.has_path;
    r.query = line.query;
    r.body = request_body(text);
    r.session_cookie = session_cookie(text);
    r.origin = first_header(text, "Origin");
    r.host = first_header(text, "Host");
    r.ClientAddress = std::move(peer_address);
    for_each_header(text, "User-Agent", [&](std::string_view value) {
        r.user_agent = value;
        return true;
    });
    r.view_cookie = cookie_value(text, "VIEW");
    r.seen_cookie = cookie_value(text, "SEEN");
    for_each_header(text, "If-Modified-Since", [&](std::string_view value) {
        r.if_modified_since = value;
        return true;
    });
    if (trusted_proxy && r.ClientAddress == *trusted_proxy) {
        std::string_view forwarded = last_listed(text, "X-Forwarded-For");
        if (auto address = platform::net::address_text(forwarded)) r.ClientAddress = std::move(*address);
        if (equals_ignoring_case(last_listed(text, "X-Forwarded-Proto"), "https")) r.scheme = "https";
    }
    return r;
}

namespace {

constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
long long days_from_civil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

bool take_number(std::string_view& text, size_t digits, int& value) {
    if (text.size() < digits) return false;
    value = 0;
    for (size_t i = 0; i < digits; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    text.remove_prefix(digits);
    return true;
}

bool take_text(std::string_view& text, std::string_view expected) {
    if (text.substr(0, expected.size()) != expected) return false;
    text.remove_prefix(expected.size());
    return true;
}

}  // namespace

std::optional<long long> parse_http_date(std::string_view text) {
    // "Sun, 06 Nov 1994 08:49:37 GMT"
    if (text.size() != 29 || text.substr(3, 2) != ", ") return std::nullopt;
    text.remove_prefix(5);
    int day = 0, year = 0, hour = 0, minute = 0, second = 0, month = 0;
    if (!take_number(text, 2, day) || !take_text(text, " ")) return std::nullopt;
    while (month < 12 && text.substr(0, 3) != kMonths[month]) ++month;
    if (month == 12) return std::nullopt;
    text.remove_prefix(3);
    if (!take_text(text, " ") || !take_number(text, 4, year) || !take_text(text, " ") ||
        !take_number(text, 2, hour) || !take_text(text, ":") || !take_number(text, 2, minute) ||
        !take_text(text, ":") || !take_number(text, 2, second) || text != " GMT")
        return std::nullopt;
    if (day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    return days_from_civil(year, static_cast<unsigned>(month + 1), static_cast<unsigned>(day)) * 86400 +
           hour * 3600 + minute * 60 + second;
}

long long utc_epoch_seconds(int year, int month, int day, int hour, int minute, int second) {
    return days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
           hour * 3600LL + minute * 60LL + second;
}

std::string http_date(long long epoch_seconds) {
    long long days = epoch_seconds >= 0 ? epoch_seconds / 86400 : (epoch_seconds - 86399) / 86400;
    long long seconds = epoch_seconds - days * 86400;
    // The civil date of a day number (the inverse of days_from_civil).
    long long z = days + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const long long y = static_cast<long long>(yoe) + era * 400 + (m <= 2);
    char text[80];
    std::snprintf(text, sizeof text, "%s, %02u %s %04lld %02lld:%02lld:%02lld GMT",
                  kWeekdays[((days % 7) + 11) % 7], d, kMonths[m - 1], y, seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
    return text;
}

bool body_cut_short(std::string_view data, size_t cap) {
    return body_start(data) != std::string_view::npos && !request_complete(data, cap);
}

RequestLine parse_request_line(std::string_view text) {
    RequestLine r;
    std::string_view line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t sp = line.find(' ');
    r.method = line.substr(0, sp);
    if (sp == std::string_view::npos) return r;
    std::string_view target = line.substr(sp + 1);
    while (!target.empty() && target.front() == ' ') target.remove_prefix(1);
    target = target.substr(0, target.find(' '));
    size_t question = target.find('?');
    if (question != std::string_view::npos) r.query = target.substr(question + 1);
    size_t slash = target.find('/');
    if (slash == std::string_view::npos) return r;
    r.has_path = true;
    r.path = target.substr(slash + 1);
    r.path = r.path.substr(0, r.path.find('?'));
    return r;
}

}  // namespace server
