#pragma once
// What the search keeps between searches: for each text page it has read, the
// page's stamp then and a bit set of the folded page's one-, two- and
// three-character strings, so that a search reads only the pages that may
// hold every word. A page whose stamp changed (a post, a deletion, the reset,
// an edit by hand: every writer replaces the page by rename) is read again.
// Built by the first search after a start, not at the start. Its own mutex
// guards it, held a moment for each page, so that the owner's search and a
// visitor's go on side by side.
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/fs.h"

namespace board {

struct SearchIndex {
    static constexpr size_t kBits = 1 << 16;  // a page's set: 8 KiB
    struct PageBits {
        bool known = false;  // read since the start, with this stamp
        platform::FileStamp stamp;
        std::vector<std::uint64_t> bits;  // kBits bits; empty for a missing page
    };
    std::mutex mutex;
    std::unordered_map<int, PageBits> pages;  // by text page number
};

}  // namespace board
