#include "board/views/search.h"

#include "platform/sjis.h"

#include <array>
#include <cstdint>
#include <iterator>

#include "board/board_reply.h"
#include "board/deletion.h"
#include "board/flood.h"
#include "board/pages.h"
#include "board/views/phone.h"
#include "board/posting.h"
#include "board/session.h"
#include "board/state.h"
#include "platform/fs.h"
#include "platform/text_file.h"

namespace board {
namespace {

// Units no Shift_JIS character folds to: a numeric reference's character
// (beyond every double-byte code), and a byte that starts or ends no
// character, which nothing a query holds can match.
constexpr char32_t kReferenceBase = 0x10000;
constexpr char32_t kStrayByte = 0x200000;
constexpr char32_t kFieldBreak = 0;  // between a message's fields: no word spans two

using platform::sjis::is_lead_byte;
using platform::sjis::is_second_byte;

char32_t fold_ascii(char32_t c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

// Half-width katakana 0xA1..0xDF: the full-width form, and the forms with
// the voiced (0xDE) and semi-voiced (0xDF) mark after it (0: none).
constexpr std::uint16_t kKana[63] = {
    0x8142, 0x8175, 0x8176, 0x8141, 0x8145, 0x8392, 0x8340, 0x8342, 0x8344, 0x8346, 0x8348, 0x8383, 0x8385,
    0x8387, 0x8362, 0x815B, 0x8341, 0x8343, 0x8345, 0x8347, 0x8349, 0x834A, 0x834C, 0x834E, 0x8350, 0x8352,
    0x8354, 0x8356, 0x8358, 0x835A, 0x835C, 0x835E, 0x8360, 0x8363, 0x8365, 0x8367, 0x8369, 0x836A, 0x836B,
    0x836C, 0x836D, 0x836E, 0x8371, 0x8374, 0x8377, 0x837A, 0x837D, 0x837E, 0x8380, 0x8381, 0x8382, 0x8384,
    0x8386, 0x8388, 0x8389, 0x838A, 0x838B, 0x838C, 0x838D, 0x838F, 0x8393, 0x814A, 0x814B};
constexpr std::uint16_t kVoicedKana[63] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x8394, 0, 0, 0x834B, 0x834D, 0x834F, 0x8351, 0x8353,
    0x8355, 0x8357, 0x8359, 0x835B, 0x835D, 0x835F, 0x8361, 0x8364, 0x8366, 0x8368, 0, 0, 0, 0, 0, 0x836F, 0x8372,
    0x8375, 0x8378, 0x837B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr std::uint16_t kSemiVoicedKana[63] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x8370, 0x8373, 0x8376, 0x8379, 0x837C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

// The full-width forms of ASCII symbols in the first double-byte row (lead
// 0x81), by trail byte; the row's other characters fold to themselves.
constexpr std::array<char, 256> row_81_symbols() {
    std::array<char, 256> t{};
    const std::pair<unsigned char, char> forms[] = {
        {0x40, ' '}, {0x49, '!'}, {0x94, '#'}, {0x90, '$'}, {0x93, '%'}, {0x95, '&'}, {0x69, '('}, {0x6A, ')'},
        {0x96, '*'}, {0x7B, '+'}, {0x43, ','}, {0x7C, '-'}, {0x44, '.'}, {0x5E, '/'}, {0x46, ':'}, {0x47, ';'},
        {0x83, '<'}, {0x81, '='}, {0x84, '>'}, {0x48, '?'}, {0x97, '@'}, {0x6D, '['}, {0x5F, '\\'}, {0x6E, ']'},
        {0x4F, '^'}, {0x51, '_'}, {0x4D, '`'}, {0x6F, '{'}, {0x62, '|'}, {0x70, '}'}, {0x60, '~'}};
    for (const auto& [trail, ascii] : forms) t[trail] = ascii;
    return t;
}
constexpr std::array<char, 256> kRow81 = row_81_symbols();

char32_t fold_double(unsigned char lead, unsigned char trail) {
    if (lead == 0x81 && kRow81[trail] != 0) return static_cast<unsigned char>(kRow81[trail]);
    if (lead == 0x82) {
        if (trail >= 0x4F && trail <= 0x58) return U'0' + (trail - 0x4F);  // ０..９
        if (trail >= 0x60 && trail <= 0x79) return U'a' + (trail - 0x60);  // Ａ..Ｚ
        if (trail >= 0x81 && trail <= 0x9A) return U'a' + (trail - 0x81);  // ａ..ｚ
    }
    return static_cast<char32_t>(lead) << 8 | trail;
}

// The character a numeric reference names, folded as its Shift_JIS form
// would be where the two are easy to tell alike.
char32_t fold_code_point(std::uint32_t v) {
    if (v < 0x80) return fold_ascii(v);
    if (v == 0x3000) return U' ';
    if (v >= 0xFF01 && v <= 0xFF5E) return fold_ascii(v - 0xFEE0);           // full-width ASCII
    if (v >= 0xFF61 && v <= 0xFF9F) return kKana[v - 0xFF61];                 // half-width katakana
    return kReferenceBase + v;
}

int digit_of(char c, bool hex) {
    if (c >= '0' && c <= '9') return c - '0';
    if (hex && c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// For text starting with "&#": the length of a numeric reference naming a
// Unicode scalar value ("&#" 1 to 7 digits ";" or "&#x" 1 to 6 hex digits
// ";"), with its value; 0 when it is none.
size_t numeric_reference(std::string_view text, std::uint32_t& value) {
    size_t i = 2;
    bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
    if (hex) ++i;
    const size_t first = i;
    value = 0;
    for (; i < text.size() && i - first < (hex ? 6u : 7u); ++i) {
        int d = digit_of(text[i], hex);
        if (d < 0) break;
        value = value * (hex ? 16 : 10) + static_cast<std::uint32_t>(d);
    }
    if (i == first || i == text.size() || text[i] != ';') return 0;
    bool scalar = value >= 1 && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF);
    return scalar ? i + 1 : 0;
}

// The page's named escapes: their length and character; 0 for none.
size_t named_escape(std::string_view text, char32_t& c) {
    static const std::pair<std::string_view, char> kEscapes[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}};
    for (const auto& [escape, ch] : kEscapes)
        if (text.compare(0, escape.size(), escape) == 0) return c = static_cast<unsigned char>(ch), escape.size();
    return 0;
}

}  // namespace

void fold_text(std::string_view sjis, bool page, Folded& out) {
    const size_t base = out.size();
    out.resize(base + sjis.size());
    char32_t* o = out.data() + base;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(sjis.data());
    const size_t n = sjis.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = s[i];
        if (c < 0x80) {
            if (c == '&' && i + 1 < n) {
                std::string_view rest = sjis.substr(i);
                char32_t named = 0;
                std::uint32_t value = 0;
                size_t len = rest[1] == '#' ? numeric_reference(rest, value) : page ? named_escape(rest, named) : 0;
                if (len != 0) {
                    *o++ = rest[1] == '#' ? fold_code_point(value) : named;
                    i += len;
                    continue;
                }
            } else if (page && c == '<' && sjis.compare(i, 5, "</br>") == 0) {
                *o++ = U'\n';
                i += 5;
                continue;
            }
            *o++ = fold_ascii(c);
            ++i;
        } else if (is_lead_byte(c) && i + 1 < n && is_second_byte(s[i + 1])) {
            *o++ = fold_double(c, s[i + 1]);
            i += 2;
        } else if (c >= 0xA1 && c <= 0xDF) {
            unsigned char mark = i + 1 < n ? s[i + 1] : 0;
            std::uint16_t marked = mark == 0xDE ? kVoicedKana[c - 0xA1] : mark == 0xDF ? kSemiVoicedKana[c - 0xA1] : 0;
            *o++ = marked ? marked : kKana[c - 0xA1];
            i += marked ? 2 : 1;
        } else {
            *o++ = kStrayByte + c;
            ++i;
        }
    }
    out.resize(static_cast<size_t>(o - out.data()));
}

namespace {

bool is_blank(char32_t c) { return c == U' ' || c < 0x20; }

// False when text holds a byte no Shift_JIS character starts with, or a
// lead byte without its trail byte.
bool is_shift_jis(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80 || (c >= 0xA1 && c <= 0xDF)) continue;
        if (!is_lead_byte(c) || i + 1 >= text.size() || !is_second_byte(text[i + 1])) return false;
        ++i;
    }
    return true;
}

// A form value's percent escapes and "+" undone; false at a "%" without two
// hexadecimal digits.
bool percent_decode(std::string_view value, std::string& out) {
    out.clear();
    for (size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (c == '+') {
            out += ' ';
        } else if (c != '%') {
            out += c;
        } else {
            int hi = i + 2 < value.size() ? digit_of(value[i + 1], true) : -1;
            int lo = hi >= 0 ? digit_of(value[i + 2], true) : -1;
            if (hi < 0 || lo < 0) return false;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        }
    }
    return true;
}

// Whether word stands in text, in time linear in both (Knuth-Morris-Pratt):
// a query such as 99 "a" and a "b" against a page of long "a" runs must cost
// what an ordinary one does, not the product of the two lengths.
bool contains(const Folded& text, const Folded& word, std::vector<size_t>& border) {
    if (word.empty()) return true;
    border.assign(word.size(), 0);  // border[i]: the longest proper border of word[0..i]
    for (size_t i = 1, k = 0; i < word.size(); ++i) {
        while (k > 0 && word[i] != word[k]) k = border[k - 1];
        if (word[i] == word[k]) ++k;
        border[i] = k;
    }
    for (size_t i = 0, k = 0; i < text.size(); ++i) {
        while (k > 0 && text[i] != word[k]) k = border[k - 1];
        if (text[i] == word[k] && ++k == word.size()) return true;
    }
    return false;
}

bool all_words_in(const Folded& text, const std::vector<Folded>& words) {
    std::vector<size_t> border;
    for (const Folded& w : words)
        if (!contains(text, w, border)) return false;
    return true;
}

// The message section of a stored page: from the line after its start
// marker to its end marker (the whole page when they are missing).
std::string_view message_section(const std::string& stored) {
    static const std::string_view start = kPlainStart.substr(0, kPlainStart.size() - 1);
    static const std::string_view end = kPlainEnd.substr(0, kPlainEnd.size() - 1);
    std::string_view page(stored);
    size_t from = page.find(start);
    if (from == std::string_view::npos) return page;
    from += start.size();
    size_t to = page.find(end, from);
    return page.substr(from, to == std::string_view::npos ? std::string_view::npos : to - from);
}

}  // namespace

SearchWords search_words(std::string_view sjis) {
    SearchWords w;
    w.text = std::string(sjis);
    if (!is_shift_jis(sjis)) return w.problem = QueryProblem::NotShiftJis, w;
    Folded folded;
    fold_text(sjis, false, folded);
    if (folded.size() > kQueryCharactersMax) return w.problem = QueryProblem::TooLong, w;
    for (size_t i = 0; i < folded.size();) {
        while (i < folded.size() && is_blank(folded[i])) ++i;
        size_t start = i;
        while (i < folded.size() && !is_blank(folded[i])) ++i;
        if (i > start) w.words.push_back(folded.substr(start, i - start));
    }
    if (w.words.size() > kQueryWordsMax) w.problem = QueryProblem::TooLong;
    else if (w.words.empty()) w.problem = QueryProblem::Empty;
    return w;
}

SearchWords query_words(std::string_view query, size_t& page) {
    page = 1;
    std::string_view q;
    bool q_found = false;
    while (!query.empty()) {
        size_t amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
        if (!q_found && pair.compare(0, 2, "q=") == 0) {
            q = pair.substr(2);
            q_found = true;
        } else if (pair.compare(0, 2, "p=") == 0) {
            size_t k = 0;
            for (char c : pair.substr(2)) {
                if (c < '0' || c > '9' || k > 100000000) break;
                k = k * 10 + static_cast<size_t>(c - '0');
            }
            page = k >= 1 ? k : 1;
        }
    }
    std::string decoded;
    if (!percent_decode(q, decoded)) {
        SearchWords w;
        w.problem = QueryProblem::BrokenEscape;
        return w;
    }
    return search_words(decoded);
}

namespace {

// The bit of a page's set for a string of one to three folded characters,
// and a second one from the same hash: both are set for each such string
// the page holds.
std::pair<size_t, size_t> gram_bits(const char32_t* g, size_t n) {
    std::uint64_t h = 0x9E3779B97F4A7C15ull * (n + 1);
    for (size_t i = 0; i < n; ++i) h = (h ^ g[i]) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 29;
    return {static_cast<size_t>(h % SearchIndex::kBits), static_cast<size_t>((h >> 32) % SearchIndex::kBits)};
}

void set_grams(const Folded& text, std::vector<std::uint64_t>& bits) {
    bits.assign(SearchIndex::kBits / 64, 0);
    for (size_t i = 0; i < text.size(); ++i) {
        for (size_t n = 1; n <= 3 && i + n <= text.size(); ++n) {
            auto [x, y] = gram_bits(text.data() + i, n);
            bits[x / 64] |= std::uint64_t{1} << (x % 64);
            bits[y / 64] |= std::uint64_t{1} << (y % 64);
        }
    }
}

bool has_bits(const std::vector<std::uint64_t>& bits, std::pair<size_t, size_t> xy) {
    return (bits[xy.first / 64] >> (xy.first % 64) & 1) && (bits[xy.second / 64] >> (xy.second % 64) & 1);
}

// False when the page's set shows that some word is not on it: a word of
// three characters or more needs each of its three-character strings, a
// shorter one itself.
bool may_hold(const std::vector<std::uint64_t>& bits, const std::vector<Folded>& words) {
    for (const Folded& w : words) {
        size_t n = w.size() < 3 ? w.size() : 3;
        for (size_t i = 0; i + n <= w.size(); ++i)
            if (!has_bits(bits, gram_bits(w.data() + i, n))) return false;
    }
    return true;
}

}  // namespace

SearchResult search_pages(Board& b, const SearchWords& words, size_t first, size_t limit,
                          std::chrono::milliseconds time_limit) {
    SearchResult r;
    if (words.problem != QueryProblem::None) return r;
    const auto deadline = std::chrono::steady_clock::now() + time_limit;
    // The index's lock is held a moment a page, never over a read: the
    // owner's search never waits for a visitor's whole scan.
    auto& known = b.search_index.pages;
    const int current = read_stored_counters().current_page;
    {
        std::lock_guard<std::mutex> guard(b.search_index.mutex);
        for (auto it = known.begin(); it != known.end();)  // pages a reset left behind
            it = it->first > current ? known.erase(it) : std::next(it);
    }
    std::string stored;
    Folded folded;
    for (int page = current; page >= 1; --page) {
        if (std::chrono::steady_clock::now() >= deadline) {
            r.stopped = true;
            break;
        }
        const std::string path = text_page_path(page);
        // Taken before the read: a replace during the read makes the next
        // search read the page again.
        platform::FileStamp stamp = platform::file_stamp(path);
        bool read_now;
        {
            std::lock_guard<std::mutex> guard(b.search_index.mutex);
            const SearchIndex::PageBits& bits = known[page];
            read_now = !bits.known || !(bits.stamp == stamp) || stamp.written == 0;
            if (!read_now && (bits.bits.empty() || !may_hold(bits.bits, words.words))) continue;
        }
        platform::FileStatus s = platform::read_file(path, stored);
        if (s.missing() || !s.ok()) {
            std::lock_guard<std::mutex> guard(b.search_index.mutex);
            if (s.missing())
                known[page] = {true, stamp, {}};
            else
                known[page].known = false;
            if (!s.missing() && r.failed_file.empty()) r.failed_file = path;
            continue;
        }
        // The whole section at once first: most pages hold no word at all.
        folded.clear();
        fold_text(message_section(stored), true, folded);
        if (read_now) {
            SearchIndex::PageBits fresh{true, stamp, {}};
            set_grams(folded, fresh.bits);
            std::lock_guard<std::mutex> guard(b.search_index.mutex);
            known[page] = std::move(fresh);
        }
        if (!all_words_in(folded, words.words)) continue;
        // Then message by message, split as the deletion splits the page.
        std::vector<std::string> blocks = split_message_blocks(stored).blocks;
        for (size_t i = 0; i < blocks.size(); ++i) {
            const std::string& block = blocks[i];
            folded.clear();
            for (const char* label : {"名前", "題名", "内容"}) {
                fold_text(block_field(block, label), true, folded);
                folded += kFieldBreak;
            }
            if (!all_words_in(folded, words.words)) continue;
            if (r.count++ < first || r.hits.size() >= limit) continue;
            SearchHit hit;
            hit.page = page;
            hit.position = static_cast<int>(i + 1);
            hit.from_oldest = static_cast<int>(blocks.size() - i);
            hit.time = unescape_page_text(block_field(block, "時間"));
            hit.name = unescape_page_text(block_field(block, "名前"));
            hit.title = unescape_page_text(block_field(block, "題名"));
            hit.block = block;
            r.hits.push_back(std::move(hit));
        }
    }
    return r;
}

namespace {

// The query as a form sends it: Shift_JIS bytes percent-encoded, "+" a blank.
std::string percent_encode(std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if ((u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || u == '-' || u == '_' ||
            u == '.' || u == '~') {
            out += c;
        } else if (u == ' ') {
            out += '+';
        } else {
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 15];
        }
    }
    return out;
}

std::string note_line(std::string_view text) { return "<p>" + std::string(text) + "</p>\n"; }

std::string problem_note(QueryProblem p) {
    switch (p) {
        case QueryProblem::None:
        case QueryProblem::Empty: return {};
        case QueryProblem::BrokenEscape: return note_line("検索する言葉を読み取れませんでした。もう一度入力して下さい。");
        case QueryProblem::NotShiftJis: return note_line("検索する言葉に使えない文字が含まれています。入力し直して下さい。");
        case QueryProblem::TooLong: return note_line("検索する言葉は、１００文字・１０語までです。短くして下さい。");
    }
    return {};
}

// The search page: the form, then the notes and the results.
// A phone gets it in the phone view's frame (its viewport and stylesheet,
// a way back to the board and to the desktop view). Shown again from the
// browser's back-forward cache, the page asks the board again: with private
// reading on, after a logout that gives the login page.
std::string search_page_text(const std::string& value, const std::string& body, bool phone) {
    std::string t;
    if (phone) {
        t += phone_head();
        t += "<title>コモレビ　－検索－</title>\n";
        t += reload_from_cache_script({});
        t += "</head>\n<body>\n<main>\n<h1>検索</h1>\n"
             "<p class='top'><a href='./?phone'>伝言板に戻る</a></p>\n"
             "<hr>\n";
        t += phone_search_form(value);
        t += "<hr>\n";
        t += body;
        t += "</main>\n";
        t += phone_page_end();
        return platform::stored_text(t);
    } else {
        t += "<!DOCTYPE HTML PUBLIC '-//W3C//DTD HTML 4.01 Transitional//EN' \n"
             "'http://www.w3.org/TR/html4/loose.dtd'>\n"
             "<html>\n"
             "<head>\n"
             "<meta http-equiv='Content-Type' content='text/html;charset=Shift_JIS'>\n"
             "<title>コモレビ　－検索－</title>\n";
        t += reload_from_cache_script({});
        t += "</head>\n"
             "<body>\n"
             "<h1>検索</h1>\n";
    }
    t += "<hr>\n";
    t += search_form_lines({}, value);
    t += "<hr>\n";
    t += body;
    t += "</body>\n</html>\n";
    return platform::stored_text(t);
}

// The links to the other result pages, a few on either side of this one.
std::string result_page_links(const std::string& query, size_t page, size_t pages) {
    if (pages <= 1) return {};
    std::string base = "wbk_search.cgi?q=" + percent_encode(query) + "&amp;p=";
    std::string t = "<p>結果のページ：";
    auto link = [&](size_t k, const std::string& label) {
        t += "　<a href='" + base + std::to_string(k) + "'>" + label + "</a>";
    };
    if (page > 1) link(page - 1, "前へ");
    size_t from = page > 5 ? page - 5 : 1, to = page + 5 < pages ? page + 5 : pages;
    for (size_t k = from; k <= to; ++k) {
        if (k == page) t += "　" + std::to_string(k);
        else link(k, std::to_string(k));
    }
    if (page < pages) link(page + 1, "次へ");
    return t + "</p>\n";
}

void send_page(const Board& b, server::Reply& reply, const std::string& text) {
    server::file_reply(reply, text, "text/html\n", cache_header(b));
}

}  // namespace

std::string search_form_lines(std::string_view target, std::string_view value) {
    std::string t = "<form name='search' method='get' action='wbk_search.cgi'";
    if (!target.empty()) t += " target='" + std::string(target) + "'";
    t += ">\n<input type='text' name='q' size='20' maxlength='100' value='" + escape_html(value) + "'>\n";
    t += "<input type='submit' value='検索'>\n</form>\n";
    return t;
}

bool is_search_path(std::string_view path) { return path == "wbk_search.cgi"; }

void search_reply(Board& b, const server::Request& request, server::Reply& reply, View view, bool board_locked) {
    bool phone = view == View::Phone;
    if (b.PrivateReading.load() == 1) {
        // As a GET is checked: from the held sessions, else from the file
        // under the board lock.
        std::optional<bool> held = board_locked ? std::nullopt : held_session_check(b, request);
        bool allowed = false;
        if (held) {
            allowed = *held;
        } else if (board_locked) {
            allowed = session_check(b, request);
        } else {
            platform::BoardLockGuard guard(b.lock);
            allowed = session_check(b, request);
        }
        if (!allowed) {
            if (phone) return phone_login_reply(b, reply);
            if (board_locked) return login_page_reply(b, reply, view);
            if (stored_login_page_reply(b, reply, {}, view)) return;
            platform::BoardLockGuard guard(b.lock);
            return login_page_reply(b, reply, view);
        }
    }
    size_t page = 1;
    SearchWords words = query_words(request.query, page);
    std::string body = problem_note(words.problem);
    // Searches count toward the visitor's flood control, on their own limits.
    std::int64_t wait = 0;
    bool refused = words.problem == QueryProblem::None &&
                   !flood_allows(b, request.ClientAddress, FloodKind::Search, b.clock().epoch_seconds, &wait);
    if (refused)
        body += note_line("検索が続いたため、このＩＰアドレスからの検索を一時停止しています。" +
                          std::to_string(wait) + "秒ほどしてから、もう一度検索して下さい。");
    if (words.problem == QueryProblem::None && !refused) {
        SearchResult r = search_pages(b, words, (page - 1) * kHitsPerPage, kHitsPerPage);
        std::string shown = escape_html(words.text);
        if (r.stopped)
            body += note_line("時間がかかりすぎるため、検索を途中で打ち切りました。それまでに見つかったメッセージを表示しています。");
        if (!r.failed_file.empty()) body += note_line("[" + r.failed_file + "]を読み込めなかったため、そのページは検索していません。");
        if (r.count == 0) {
            body += note_line("「" + shown + "」を含むメッセージは見つかりませんでした。");
        } else {
            body += note_line("「" + shown + "」を含むメッセージは" + std::to_string(r.count) + "件です。");
            body += "<hr>\n";
            for (const SearchHit& hit : r.hits) {
                std::string n = std::to_string(hit.page);
                // A phone's link reaches the message itself.
                std::string target = phone ? "wbk_phone_" + n + ".html#m" + std::to_string(hit.from_oldest)
                                           : "wbk_text_" + n + ".html";
                body += "<p><a href='" + target + "'>" + n + "ページ</a>の" + std::to_string(hit.position) + "番目</p>\n";
                body += hit.block;
            }
            body += result_page_links(words.text, page, (r.count + kHitsPerPage - 1) / kHitsPerPage);
        }
    }
    send_page(b, reply, search_page_text(words.text, body, phone));
}

void search_busy_reply(Board& b, server::Reply& reply, View view) {
    send_page(b, reply, search_page_text({}, note_line("ほかの検索が込み合っています。しばらくしてから、もう一度検索して下さい。"),
                                         view == View::Phone));
}

}  // namespace board
