#include "window/router.h"

namespace window {

static const char* const kSeeGuide = "（ガイドの「外部からの接続」を参照して下さい）";

std::string router_status_line(const platform::RouterAnswer& answer) {
    switch (answer.outcome) {
        case platform::RouterOutcome::Mapped:
            return "外部からのＵＲＬは [ http://" + answer.outside_address + ":" + std::to_string(answer.outside_port) +
                   "/ ] です。";
        case platform::RouterOutcome::NoRouter:
            return std::string("ルーターが見つからないため、外部からは接続できません。") + kSeeGuide;
        case platform::RouterOutcome::Refused:
            return "ルーターがポートの開放を断ったため（" + answer.reason + "）、外部からは接続できません。" + kSeeGuide;
        case platform::RouterOutcome::NoOutsideAddress: break;
    }
    std::string address = answer.outside_address.empty() ? "なし" : answer.outside_address;
    return "ルーターの外側のアドレスが[ " + address +
           " ]のため（前にもう一台のルーターか、プロバイダーのアドレス変換があります）、外部からは接続できません。" +
           kSeeGuide;
}

RouterKeeper::RouterKeeper(std::function<void()> changed) : changed_(std::move(changed)), thread_([this] { run(); }) {}

RouterKeeper::~RouterKeeper() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void RouterKeeper::follow(std::optional<RouterTarget> target) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        wanted_ = std::move(target);
    }
    wake_.notify_all();
}

std::string RouterKeeper::status_line() {
    std::lock_guard<std::mutex> guard(mutex_);
    return line_;
}

// The router is asked without the lock held, so that follow and
// status_line never wait for it; a change of target meanwhile is taken
// at the next turn.
void RouterKeeper::run() {
    platform::RouterPort port;
    std::optional<RouterTarget> held;
    bool mapped = false;
    // Without a lease to renew, the thread wakes once a day and sleeps on
    // (a finite time: some systems' waits misread the clock's largest).
    auto no_renewal = [] { return std::chrono::steady_clock::now() + std::chrono::hours(24); };
    auto renew_at = no_renewal();
    auto show = [this](const std::string& line) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            line_ = line;
        }
        if (changed_) changed_();
    };
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait_until(lock, renew_at, [&] { return quit_ || wanted_ != held; });
        if (quit_) break;
        std::optional<RouterTarget> wanted = wanted_;
        bool renew = wanted == held && mapped && std::chrono::steady_clock::now() >= renew_at;
        if (wanted == held && !renew) {
            if (!mapped) renew_at = no_renewal();
            continue;
        }
        lock.unlock();
        platform::RouterAnswer answer;
        if (renew) {
            answer = port.renew(kRouterLeaseSeconds, kRouterSearchMs);
        } else {
            port.close();
            held = wanted;
            if (wanted) {
                show(kRouterSearchingLine);
                answer = port.open(wanted->port, wanted->local_address, kRouterDescription, kRouterLeaseSeconds,
                                   kRouterSearchMs);
            }
        }
        mapped = held && answer.outcome == platform::RouterOutcome::Mapped;
        renew_at = mapped ? std::chrono::steady_clock::now() +
                                std::chrono::seconds(kRouterLeaseSeconds - kRouterRenewBeforeSeconds)
                          : no_renewal();
        show(held ? router_status_line(answer) : std::string());
        lock.lock();
    }
    lock.unlock();
    port.close();
}

}  // namespace window
