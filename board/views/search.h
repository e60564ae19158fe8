#pragma once
// Keyword search over the stored text pages: the words of a query, the
// folding that makes a match what a reader means, the scan of every page and
// the search page. A search reads pages whole (each replaced by rename, so
// it sees a page old or new, never torn) without the board lock, and writes
// nothing; it runs on the server's side thread or the owner's front end.
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "board/board.h"
#include "board/view.h"
#include "server/reply.h"
#include "server/request.h"

namespace board {

// A query holds at most this many characters and words (the form's limits).
inline constexpr size_t kQueryCharactersMax = 100;
inline constexpr size_t kQueryWordsMax = 10;
// Matches shown on one result page.
inline constexpr size_t kHitsPerPage = 20;
// A search over the whole board stops past this, with what it found so far.
inline constexpr std::chrono::milliseconds kSearchTimeLimit{3000};

// The folded form of a text: one unit a character. Latin letters are lower
// case, full-width Latin letters, digits, symbols and the full-width blank
// are their ASCII forms, half-width katakana (with a following voiced or
// semi-voiced mark) their full-width forms, and numeric character references
// the character they name; other double-byte characters are lead << 8 | trail.
using Folded = std::u32string;

// Folds Shift_JIS text as a page shows it (page: "&lt;" and the other
// escapes undone, "</br>" a line break) or as a query gives it (only
// numeric references undone), appending to out.
void fold_text(std::string_view sjis, bool page, Folded& out);

enum class QueryProblem { None, Empty, BrokenEscape, NotShiftJis, TooLong };

struct SearchWords {
    std::vector<Folded> words;
    std::string text;  // the query's Shift_JIS text as given
    QueryProblem problem = QueryProblem::None;
};
// The words of Shift_JIS text, split at blanks (ASCII or full-width).
SearchWords search_words(std::string_view sjis);
// The words of a request's query string: "q" percent-encoded in Shift_JIS
// ("+" a blank). page gets "p" (1 when absent or not a number).
SearchWords query_words(std::string_view query, size_t& page);

// A message every word stands in (its name, title or text).
struct SearchHit {
    int page = 0;
    int position = 0;                // 1: the newest on its page
    int from_oldest = 0;             // 1: the oldest on its page (its phone page's anchor "#m<n>")
    std::string time, name, title;   // as the page shows them, the escapes undone
    std::string block;               // the block's lines on its page
};

struct SearchResult {
    size_t count = 0;                // the matches found in all
    std::vector<SearchHit> hits;     // the matches from `first`, at most `limit`, newest first
    bool stopped = false;            // the time limit ended the scan before page 1
    std::string failed_file;         // a page that exists but could not be read (skipped)
};

// Scans text pages from the current page (as the counters file says) down
// to page 1, each newest first, reading only the pages b.search_index does
// not rule out.
SearchResult search_pages(Board& b, const SearchWords& words, size_t first, size_t limit,
                          std::chrono::milliseconds time_limit = kSearchTimeLimit);

// The search form: a text field "q" and a button, its results shown in the
// frame named target (none: in the page's own).
std::string search_form_lines(std::string_view target, std::string_view value = {});

// GET /wbk_search.cgi: with private reading on, a visitor without a session
// gets the login page; else the search page with the results. Called on the
// side thread without the board lock (board_locked false: the lock is taken
// only for a session check the held sessions cannot answer), or with it held.
void search_reply(Board& b, const server::Request& request, server::Reply& reply, View view,
                  bool board_locked = false);
// The page for a search that finds the others' searches filling the queue.
void search_busy_reply(Board& b, server::Reply& reply, View view);
// True for the path of a search.
bool is_search_path(std::string_view path);

}  // namespace board
