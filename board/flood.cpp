#include "board/flood.h"

#include <algorithm>

namespace board {
namespace {

constexpr std::int64_t kHour = 60 * 60;
constexpr std::int64_t kNoticeGap = 60;  // seconds between two notices to the owner, at least

// The address's record; with the table full, the address whose last post is
// oldest makes room.
Board::Posting& posting_of(Board& b, const std::string& address) {
    auto found = b.posting.find(address);
    if (found != b.posting.end()) return found->second;
    if (b.posting.size() >= kFloodAddressesKept) {
        auto last = [](const Board::Posting& p) { return p.times.empty() ? INT64_MIN : p.times.back(); };
        auto quietest = b.posting.begin();
        for (auto i = b.posting.begin(); i != b.posting.end(); ++i)
            if (last(i->second) < last(quietest->second)) quietest = i;
        b.posting.erase(quietest);
    }
    return b.posting[address];
}

// Seconds until the limit of `allowed` acts within `window` seconds lets one
// more through; 0 when it does now. times are oldest first.
std::int64_t wait_for(const std::deque<std::int64_t>& times, int allowed, std::int64_t window, std::int64_t now) {
    if (allowed <= 0 || times.size() < static_cast<size_t>(allowed)) return 0;
    std::int64_t leaves = times[times.size() - static_cast<size_t>(allowed)] + window;
    return leaves > now ? leaves - now : 0;
}

// The owner hears of a spell once: at its first refusal, unless another
// spell was told less than a minute ago; those are counted into the next.
void tell_owner(Board& b, const std::string& address, std::int64_t now) {
    if (now - b.flood_told < kNoticeGap) {
        b.flood_untold += 1;
        return;
    }
    std::string text = "[ " + address + " ]からの投稿が続いたため、このＩＰアドレスからの投稿を一時停止しました（" +
                       post_limits_text(b.post_limits) + "まで）。";
    if (b.flood_untold > 0) text += "ほかに" + std::to_string(b.flood_untold) + "件のＩＰアドレスも一時停止しています。";
    b.flood_told = now;
    b.flood_untold = 0;
    if (b.owner_notice) b.owner_notice(text, "お知らせ");
}

}  // namespace

std::string post_limits_text(const PostLimits& limits) {
    std::string text;
    if (limits.burst > 0) text += std::to_string(limits.burst_seconds) + "秒に" + std::to_string(limits.burst) + "件";
    if (limits.burst > 0 && limits.hourly > 0) text += "、";
    if (limits.hourly > 0) text += "１時間に" + std::to_string(limits.hourly) + "件";
    return text;
}

bool flood_allows(Board& b, const std::string& address, FloodKind kind, std::int64_t now,
                  std::int64_t* retry_after) {
    (void)kind;  // posts are the one kind counted yet
    const PostLimits& l = b.post_limits;
    int burst = std::min(l.burst, kPostLimitMax), hourly = std::min(l.hourly, kPostLimitMax);
    if (burst <= 0 && hourly <= 0) return true;
    Board::Posting& p = posting_of(b, address);
    std::int64_t burst_window = std::max(l.burst_seconds, 1);
    std::int64_t wait = std::max(wait_for(p.times, burst, burst_window, now), wait_for(p.times, hourly, kHour, now));
    if (wait > 0) {
        if (!p.refused) tell_owner(b, address, now);
        p.refused = true;
        if (retry_after) *retry_after = wait;
        return false;
    }
    p.refused = false;
    p.times.push_back(now);
    // Only the newest acts as many as a limit allows can still make it wait.
    size_t keep = static_cast<size_t>(std::max(burst, hourly));
    while (p.times.size() > keep) p.times.pop_front();
    return true;
}

}  // namespace board
