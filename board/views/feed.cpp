#include "board/views/feed.h"

#include <array>
#include <cstdio>
#include <memory>
#include <vector>

#include "board/board_reply.h"
#include "board/deletion.h"
#include "board/pages.h"
#include "board/paths.h"
#include "board/posting.h"
#include "board/request_failure.h"
#include "board/views/phone.h"
#include "platform/clock.h"
#include "platform/unicode.h"

namespace board {
namespace {

// SHA-1 (FIPS 180-4), only for the name-based UUIDs of the entries' ids.
std::array<std::uint8_t, 20> sha1(std::string_view data) {
    std::uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::string m(data);
    const std::uint64_t bits = static_cast<std::uint64_t>(data.size()) * 8;
    m += '\x80';
    while (m.size() % 64 != 56) m += '\0';
    for (int i = 7; i >= 0; --i) m += static_cast<char>(bits >> (i * 8));
    auto rotl = [](std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); };
    for (size_t block = 0; block < m.size(); block += 64) {
        std::uint32_t w[80];
        for (int t = 0; t < 16; ++t)
            w[t] = static_cast<std::uint32_t>(static_cast<std::uint8_t>(m[block + 4 * t])) << 24 |
                   static_cast<std::uint32_t>(static_cast<std::uint8_t>(m[block + 4 * t + 1])) << 16 |
                   static_cast<std::uint32_t>(static_cast<std::uint8_t>(m[block + 4 * t + 2])) << 8 |
                   static_cast<std::uint32_t>(static_cast<std::uint8_t>(m[block + 4 * t + 3]));
        for (int t = 16; t < 80; ++t) w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int t = 0; t < 80; ++t) {
            std::uint32_t f, k;
            if (t < 20) f = (b & c) | (~b & d), k = 0x5A827999;
            else if (t < 40) f = b ^ c ^ d, k = 0x6ED9EBA1;
            else if (t < 60) f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
            else f = b ^ c ^ d, k = 0xCA62C1D6;
            std::uint32_t next = rotl(a, 5) + f + e + k + w[t];
            e = d, d = c, c = rotl(b, 30), b = a, a = next;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
    }
    std::array<std::uint8_t, 20> out;
    for (int i = 0; i < 20; ++i) out[i] = static_cast<std::uint8_t>(h[i / 4] >> (24 - 8 * (i % 4)));
    return out;
}

// The namespace of the board's name-based UUIDs (a random UUID, fixed here).
constexpr std::uint8_t kIdNamespace[16] = {0x6b, 0x6f, 0x8e, 0x31, 0x52, 0x7d, 0x4c, 0x0a,
                                           0x9b, 0x1e, 0x3f, 0x62, 0xd4, 0x15, 0xa8, 0x70};

// "urn:uuid:" and the version 5 UUID of name (RFC 9562).
std::string uuid_urn(std::string_view name) {
    std::string input(reinterpret_cast<const char*>(kIdNamespace), sizeof kIdNamespace);
    input += name;
    std::array<std::uint8_t, 20> hash = sha1(input);
    hash[6] = static_cast<std::uint8_t>((hash[6] & 0x0F) | 0x50);
    hash[8] = static_cast<std::uint8_t>((hash[8] & 0x3F) | 0x80);
    static const char kHex[] = "0123456789abcdef";
    std::string out = "urn:uuid:";
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        out += kHex[hash[i] >> 4];
        out += kHex[hash[i] & 15];
    }
    return out;
}

void append_utf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// A character XML 1.0 allows in a document.
bool xml_character(std::uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

// The character a reference at the start of text names ("&amp;" and the
// page's other escapes, "&#N;", "&#xN;"), with its length; 0 when none.
size_t reference_at(std::string_view text, std::uint32_t& c) {
    static constexpr std::pair<std::string_view, char> kNamed[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&#39;", '\''}};
    for (const auto& [name, character] : kNamed)
        if (text.substr(0, name.size()) == name) return c = static_cast<unsigned char>(character), name.size();
    if (text.size() < 4 || text[1] != '#') return 0;
    bool hex = text[2] == 'x' || text[2] == 'X';
    size_t i = hex ? 3 : 2;
    std::uint32_t value = 0;
    size_t digits = 0;
    for (; i < text.size() && digits < 8; ++i, ++digits) {
        char d = text[i];
        int v = d >= '0' && d <= '9' ? d - '0'
                : hex && d >= 'a' && d <= 'f' ? d - 'a' + 10
                : hex && d >= 'A' && d <= 'F' ? d - 'A' + 10
                                              : -1;
        if (v < 0) break;
        value = value * (hex ? 16 : 10) + static_cast<std::uint32_t>(v);
    }
    if (digits == 0 || i >= text.size() || text[i] != ';' || value > 0x10FFFF) return 0;
    c = value;
    return i + 1;
}

// A character for the feed's text: escaped where XML needs it, a blank for
// what XML cannot hold.
void append_xml_character(std::string& out, std::uint32_t c) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else if (c == '"') out += "&quot;";
    else if (c == '\r') {}  // a line break is its line feed
    else if (!xml_character(c) || c == '\t') out += ' ';
    else append_utf8(out, c);
}

// The numbers of a page's date-time text "Y年M月D日h時m分s秒".
std::optional<std::array<int, 6>> date_time_numbers(std::string_view text) {
    std::array<int, 6> n{};
    size_t count = 0;
    for (size_t i = 0; i < text.size();) {
        if (text[i] < '0' || text[i] > '9') {
            ++i;
            continue;
        }
        if (count == n.size()) return std::nullopt;
        long value = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
            if ((value = value * 10 + (text[i] - '0')) > 99999) return std::nullopt;
        n[count++] = static_cast<int>(value);
    }
    if (count != n.size() || n[1] < 1 || n[1] > 12 || n[2] < 1 || n[2] > 31 || n[3] > 23 || n[4] > 59 || n[5] > 60)
        return std::nullopt;
    return n;
}

std::string offset_text(long long offset_seconds) {
    long long minutes = (offset_seconds < 0 ? -offset_seconds : offset_seconds) / 60;
    char text[48];
    std::snprintf(text, sizeof text, "%c%02lld:%02lld", offset_seconds < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return text;
}

std::string iso_date_time(const std::array<int, 6>& n, long long offset_seconds) {
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", n[0], n[1], n[2], n[3], n[4], n[5]);
    return text + offset_text(offset_seconds);
}

// The page that exists, or null; one that cannot be read ends the request.
std::shared_ptr<const std::string> stored_page(Board& b, const std::string& name) {
    platform::FileStatus s;
    std::shared_ptr<const std::string> bytes = b.pages.read(name, s);
    if (!s.ok() && !s.missing()) fail_request("cannot read " + name + ": " + platform::reason_text(s));
    return bytes;
}

std::string attribute(std::string_view text) {
    std::string out;
    for (char c : text) append_xml_character(out, static_cast<unsigned char>(c));
    return out;
}

struct Entry {
    std::string id, updated, xml;
};

// The entry of the block at index i of a page's blocks (newest first).
Entry feed_entry(const Board& b, int page, const std::vector<std::string>& blocks, size_t i,
                 const std::string& base) {
    const std::string& block = blocks[i];
    int equal_older = 0;
    for (size_t j = i + 1; j < blocks.size(); ++j) equal_older += blocks[j] == block;
    Entry e;
    e.id = uuid_urn("wbk_text_" + std::to_string(page) + ".html\n" + block + "\n" + std::to_string(equal_older));
    std::string time(block_field(block, "時間"));
    e.updated = feed_date_time(time).value_or("1970-01-01T00:00:00Z");
    const int position = static_cast<int>(blocks.size() - i);  // from the page's oldest
    std::string link = b.PhoneView.load() == 1
                           ? "wbk_phone_" + std::to_string(page) + ".html#m" + std::to_string(position)
                           : "wbk_text_" + std::to_string(page) + ".html";
    std::string text = feed_text(block_field(block, "内容"), true);
    while (!text.empty() && text.back() == '\n') text.pop_back();  // the record's last line feed
    e.xml = "<entry>\n<id>" + e.id + "</id>\n<title type=\"text\">" + feed_text(block_field(block, "題名"), false) +
            "</title>\n<author><name>" + feed_text(block_field(block, "名前"), false) + "</name></author>\n<updated>" +
            e.updated + "</updated>\n<link rel=\"alternate\" type=\"text/html\" href=\"" + base + link +
            "\"/>\n<content type=\"text\">" + text + "</content>\n</entry>\n";
    return e;
}

// Two reads of a page with the same bytes (the page copies are read anew
// after a second even when the page is unchanged).
bool same_copy(const std::shared_ptr<const std::string>& a, const std::shared_ptr<const std::string>& b) {
    return a == b || (a && b && *a == *b);
}

// The page numbers the menu links to, newest first; page 1 when it links none.
std::vector<int> feed_pages(const std::shared_ptr<const std::string>& menu) {
    std::vector<int> pages = menu ? linked_pages(*menu) : std::vector<int>{};
    if (pages.empty()) pages.push_back(1);
    return pages;
}

}  // namespace

std::string_view feed_path_token(std::string_view path) {
    static constexpr std::string_view kPrefix = "wbk_feed_", kSuffix = ".xml";
    if (path.size() != kPrefix.size() + 32 + kSuffix.size() || path.substr(0, kPrefix.size()) != kPrefix ||
        path.substr(path.size() - kSuffix.size()) != kSuffix)
        return {};
    std::string_view token = path.substr(kPrefix.size(), 32);
    return valid_feed_token(token) ? token : std::string_view{};
}

std::string secret_feed_path(const std::string& token) { return "wbk_feed_" + token + ".xml"; }

bool valid_feed_token(std::string_view token) {
    if (token.size() != 32) return false;
    for (char c : token)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::string feed_token(Board& b) {
    std::lock_guard<std::mutex> guard(b.feed_lock);
    return b.feed_token;
}

std::string new_feed_token(Board& b) {
    char text[33];
    std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(b.random()),
                  static_cast<unsigned long long>(b.random()));
    set_feed_token(b, text);
    return text;
}

void set_feed_token(Board& b, const std::string& token) {
    std::lock_guard<std::mutex> guard(b.feed_lock);
    b.feed_token = valid_feed_token(token) ? token : std::string();
}

std::optional<std::string> feed_date_time(std::string_view page_time) {
    std::optional<std::array<int, 6>> n = date_time_numbers(page_time);
    if (!n) return std::nullopt;
    const auto& v = *n;
    platform::LocalTime local = platform::make_local_time(v[0], v[1], v[2], v[3], v[4], v[5]);
    long long offset = server::utc_epoch_seconds(v[0], v[1], v[2], v[3], v[4], v[5]) - local.epoch_seconds;
    // A time the local clock skipped (the start of summer time) is taken
    // with the offset mktime chose; one beyond a day off is no local time.
    if (offset > 18 * 3600 || offset < -18 * 3600) return std::nullopt;
    return iso_date_time(v, offset);
}

std::string feed_text(std::string_view page_text, bool line_breaks) {
    std::string sjis;
    sjis.reserve(page_text.size());
    for (size_t i = 0; i < page_text.size(); ++i) {
        if (line_breaks && page_text.substr(i, 5) == "</br>") {
            sjis += '\n';
            i += 4;
        } else {
            sjis += page_text[i];
        }
    }
    // Shift_JIS trail bytes are never '&', so references are found in the UTF-8 text.
    std::string utf8 = platform::shift_jis_to_utf8(sjis);
    std::string out;
    out.reserve(utf8.size() + utf8.size() / 8);
    for (size_t i = 0; i < utf8.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        std::uint32_t named = 0;
        size_t length = c == '&' ? reference_at(std::string_view(utf8).substr(i), named) : 0;
        if (length != 0) {
            append_xml_character(out, named);
            i += length - 1;
        } else if (c < 0x80) {
            append_xml_character(out, c);
        } else {
            out += static_cast<char>(c);  // UTF-8 from the conversion, whole characters
        }
    }
    return out;
}

std::shared_ptr<const std::string> feed_bytes(Board& b, const std::string& base, std::string_view self_path,
                                              std::int64_t& changed) {
    std::shared_ptr<const std::string> menu = stored_page(b, paths::kMenuPage);
    const std::vector<int> pages = feed_pages(menu);
    Board::FeedCopy kept;
    {
        std::lock_guard<std::mutex> guard(b.feed_lock);
        kept = b.feed_copy;
    }
    // The kept feed holds while the menu and every text page it read are the
    // same copies: then the same pages give the same entries.
    const std::string self = base + std::string(self_path);
    if (kept.bytes && kept.base == self && !kept.pages.empty() && same_copy(kept.pages[0], menu) &&
        kept.pages.size() <= pages.size() + 1) {
        bool same = true;
        for (size_t i = 1; i < kept.pages.size() && same; ++i)
            same = same_copy(stored_page(b, text_page_path(pages[i - 1])), kept.pages[i]);
        if (same) return changed = kept.changed, kept.bytes;
    }

    std::vector<std::shared_ptr<const std::string>> read{menu};
    std::vector<Entry> entries;
    const std::string link_base = attribute(base);
    for (size_t p = 0; p < pages.size() && entries.size() < static_cast<size_t>(kFeedEntries); ++p) {
        std::shared_ptr<const std::string> text = stored_page(b, text_page_path(pages[p]));
        read.push_back(text);
        if (!text) continue;
        std::vector<std::string> blocks = split_message_blocks(*text).blocks;
        for (size_t i = 0; i < blocks.size() && entries.size() < static_cast<size_t>(kFeedEntries); ++i)
            entries.push_back(feed_entry(b, pages[p], blocks, i, link_base));
    }
    std::string ids;
    for (const Entry& e : entries) ids += e.id;
    platform::LocalTime now = b.clock();
    changed = kept.bytes && kept.entries == ids ? kept.changed : now.epoch_seconds;

    static const std::string kTitle = platform::shift_jis_to_utf8("コモレビ");
    std::string updated;
    if (!entries.empty()) {
        updated = entries.front().updated;
    } else {
        std::array<int, 6> n{now.year, now.month, now.day, now.hour, now.minute, now.second};
        updated = iso_date_time(n, server::utc_epoch_seconds(n[0], n[1], n[2], n[3], n[4], n[5]) - now.epoch_seconds);
    }
    std::string t = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<feed xmlns=\"http://www.w3.org/2005/Atom\">\n";
    t += "<id>" + uuid_urn("wbk_feed.xml") + "</id>\n<title type=\"text\">" + kTitle + "</title>\n";
    t += "<updated>" + updated + "</updated>\n";
    t += "<link rel=\"self\" type=\"application/atom+xml\" href=\"" + attribute(self) + "\"/>\n";
    t += "<link rel=\"alternate\" type=\"text/html\" href=\"" + attribute(base.empty() ? "./" : base) + "\"/>\n";
    for (const Entry& e : entries) t += e.xml;
    t += "</feed>\n";
    auto bytes = std::make_shared<const std::string>(std::move(t));
    std::lock_guard<std::mutex> guard(b.feed_lock);
    b.feed_copy = Board::FeedCopy{std::move(read), self, std::move(ids), bytes, changed};
    return bytes;
}

void feed_reply(Board& b, const server::Request& request, server::Reply& reply, std::string_view self_path) {
    std::string base = request.host ? request.scheme + "://" + *request.host + "/" : std::string();
    std::int64_t changed = 0;
    std::shared_ptr<const std::string> bytes = feed_bytes(b, base, self_path, changed);
    // A reader told the present second could miss a change later in that
    // second: it is told the second before, and asks once more.
    const std::int64_t now = b.clock().epoch_seconds;
    std::string headers = "Last-Modified: " + server::http_date(changed < now ? changed : now - 1) + "\n";
    headers += cache_header(b);
    std::optional<long long> since = server::parse_http_date(request.if_modified_since);
    if (since && *since >= changed) return server::not_modified_reply(reply, headers);
    server::file_reply(reply, *bytes, "application/atom+xml; charset=utf-8\n", headers);
}

}  // namespace board
