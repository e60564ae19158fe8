#pragma once
// The pages a GET reads whole (the board's wbk_ pages and the login page),
// kept in memory between changes, so that a GET of an unchanged page costs
// one look at the file (its stamp) instead of opening and reading it. A copy
// holds while this process has committed no file group since it was read
// (platform::files_changed), the file's stamp is the one it had, and for a
// second at most: a page the owner edits by hand shows at once, unless the
// edit keeps its size within the file system's time step, then within a
// second. Used from the event loop and the board thread; its own mutex
// guards it, never held during a file call.
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/fs.h"
#include "platform/text_file.h"

namespace board {

class PageCache {
public:
    // The page's stored bytes, read now or kept; null with status telling
    // missing from failed.
    std::shared_ptr<const std::string> read(const std::string& name, platform::FileStatus& status);
    void clear();

private:
    using Clock = std::chrono::steady_clock;
    struct Copy {
        std::uint64_t files_changed = 0;  // platform::files_changed before the read
        platform::FileStamp stamp;        // the file's, before the read
        Clock::time_point read_at;
        std::shared_ptr<const std::string> bytes;
    };
    std::mutex mutex_;
    std::unordered_map<std::string, Copy> copies_;
    size_t bytes_kept_ = 0;
};

}  // namespace board
