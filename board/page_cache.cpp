#include "board/page_cache.h"

namespace board {
namespace {

constexpr auto kLongestKept = std::chrono::seconds(1);
constexpr size_t kBytesKept = 1 << 20;  // a few full pages; beyond it the copies start over

}  // namespace

std::shared_ptr<const std::string> PageCache::read(const std::string& name, platform::FileStatus& status) {
    // Taken before the read: a replace that lands during the read makes
    // the copy stale at once, never a stale copy look current.
    std::uint64_t changed = platform::files_changed.load(std::memory_order_acquire);
    platform::FileStamp stamp = platform::file_stamp(name);
    Clock::time_point now = Clock::now();
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto found = copies_.find(name);
        if (found != copies_.end() && found->second.files_changed == changed && found->second.stamp == stamp &&
            stamp.written != 0 && now - found->second.read_at < kLongestKept) {
            status = {};
            return found->second.bytes;
        }
    }
    std::string bytes;
    status = platform::read_file(name, bytes);
    if (!status.ok()) return nullptr;
    auto shared = std::make_shared<const std::string>(std::move(bytes));
    std::lock_guard<std::mutex> guard(mutex_);
    Copy& copy = copies_[name];
    bytes_kept_ -= copy.bytes ? copy.bytes->size() : 0;
    if (bytes_kept_ + shared->size() > kBytesKept) {
        copies_.clear();
        bytes_kept_ = 0;
    }
    copies_[name] = Copy{changed, stamp, now, shared};
    bytes_kept_ += shared->size();
    return shared;
}

void PageCache::clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    copies_.clear();
    bytes_kept_ = 0;
}

}  // namespace board
