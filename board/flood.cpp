#include "board/flood.h"

#include <algorithm>

namespace board {
namespace {

constexpr std::int64_t kHour = 60 * 60;
constexpr std::int64_t kNoticeGap = 60;  // seconds between two notices to the owner, at least

// The address's record; with the table full, the address idle longest makes
// room. A refused try counts as activity: a flooder stays remembered.
Board::Posting& posting_of(std::unordered_map<std::string, Board::Posting>& table, const std::string& address) {
    auto found = table.find(address);
    if (found != table.end()) return found->second;
    if (table.size() >= kFloodAddressesKept) {
        auto quietest = table.begin();
        for (auto i = table.begin(); i != table.end(); ++i)
            if (i->second.last_try < quietest->second.last_try) quietest = i;
        table.erase(quietest);
    }
    return table[address];
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

namespace {

// The limits of one kind of act over its table: true, and the act counted,
// when the address is within them; false with the wait, and spell_begins
// set on the first refusal of a spell.
bool within_limits(std::unordered_map<std::string, Board::Posting>& table, const PostLimits& l,
                   const std::string& address, std::int64_t now, std::int64_t* retry_after, bool& spell_begins) {
    int burst = std::min(l.burst, kPostLimitMax), hourly = std::min(l.hourly, kPostLimitMax);
    if (burst <= 0 && hourly <= 0) return true;
    Board::Posting& p = posting_of(table, address);
    p.last_try = now;
    std::int64_t burst_window = std::max(l.burst_seconds, 1);
    std::int64_t wait = std::max(wait_for(p.times, burst, burst_window, now), wait_for(p.times, hourly, kHour, now));
    if (wait > 0) {
        spell_begins = !p.refused;
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

}  // namespace

bool flood_allows(Board& b, const std::string& address, FloodKind kind, std::int64_t now,
                  std::int64_t* retry_after) {
    bool spell_begins = false;
    if (kind == FloodKind::Search) {
        // Searches take no board lock; their table has a lock of its own.
        std::lock_guard<std::mutex> guard(b.search_flood_lock);
        return within_limits(b.searching, kSearchLimits, address, now, retry_after, spell_begins);
    }
    if (within_limits(b.posting, b.post_limits, address, now, retry_after, spell_begins)) return true;
    if (spell_begins) tell_owner(b, address, now);
    return false;
}

}  // namespace board
