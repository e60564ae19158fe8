#include "window/notify.h"

#include "platform/process.h"

namespace window {
namespace {

std::string cut_to_fit(const std::string& text, size_t max_bytes) {
    std::string kept = cut_shift_jis(text, max_bytes);
    return kept.size() < text.size() ? kept + "…" : kept;
}

const char* const kOverflowLine = "【新着】通知プログラムの順番待ちが一杯のため、古い新着メッセージの通知を取りやめました。\n";

}  // namespace

std::string new_message_line(const board::StoredMessage& m) {
    return "【新着】" + printable(m.time) + "　名前：" + printable(m.name) + "　題名：" + printable(m.title) + "　（" +
           std::to_string(m.page) + "ページの" + std::to_string(m.position) + "件目）\n";
}

std::vector<std::string> notify_variables(const board::StoredMessage& m, const std::string& url,
                                          const std::function<std::string(const std::string&)>& to_utf8) {
    std::string page = std::to_string(m.page);
    return {"KOMOREBI_NAME=" + to_utf8(m.name),
            "KOMOREBI_TITLE=" + to_utf8(m.title),
            "KOMOREBI_TEXT=" + to_utf8(m.text),
            "KOMOREBI_TIME=" + to_utf8(m.time),
            "KOMOREBI_PAGE=" + page,
            "KOMOREBI_POSITION=" + std::to_string(m.position),
            "KOMOREBI_URL=" + (url.empty() ? std::string() : url + "wbk_text_" + page + ".html")};
}

std::string new_messages_notice(int unseen, const board::StoredMessage& newest) {
    return "新着メッセージ　" + std::to_string(unseen) + "件　" + printable(newest.time) + "\n" +
           cut_to_fit(printable(newest.name), 16) + "　" + cut_to_fit(printable(newest.title), 24);
}

std::string new_messages_title(int unseen) {
    return unseen > 0 ? "（新着 " + std::to_string(unseen) + "）" : std::string();
}

Notifier::Notifier(NotifierSetup setup) : setup_(std::move(setup)), thread_([this] { run(); }) {}

Notifier::~Notifier() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ending_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void Notifier::queue(const board::StoredMessage& m, const std::string& url) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (setup_.print && setup_.print_each) lines_.push_back(new_message_line(m));
        if (!setup_.program.empty()) {
            if (waiting_.size() >= kNotifyQueueMax) {
                waiting_.pop_front();
                if (!overflow_told_ && setup_.print) lines_.push_back(kOverflowLine);
                overflow_told_ = true;
            }
            waiting_.push_back({m, url});
        }
    }
    wake_.notify_one();
}

void Notifier::start_next(Waiting next) {
    std::string reason;
    if (program_.start(setup_.program, notify_variables(next.message, next.url, setup_.to_utf8), reason)) {
        started_ = std::chrono::steady_clock::now();
        start_failure_told_ = false;
        return;
    }
    if (start_failure_told_ || !setup_.tell) return;
    start_failure_told_ = true;
    setup_.tell("新着メッセージの通知プログラム[ " + setup_.program + " ]を起動できませんでした。\n（" + reason +
                    "）\n設定（notify=）を確認して下さい。",
                kErrorCaption);
}

void Notifier::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        bool running = program_.running();
        auto work = [&] { return ending_ || !lines_.empty() || (!running && !waiting_.empty()); };
        // While a program runs, a look every 50 ms whether it has ended.
        if (running)
            wake_.wait_for(lock, std::chrono::milliseconds(50), work);
        else
            wake_.wait(lock, work);
        const bool ending = ending_;
        std::vector<std::string> lines;
        lines.swap(lines_);
        lock.unlock();
        for (const std::string& line : lines) setup_.print(line);
        if (ending) return;
        if (program_.running()) {
            if (std::chrono::steady_clock::now() - started_ >= setup_.time_limit) {
                program_.end();
                if (!time_limit_told_ && setup_.print)
                    setup_.print("【新着】通知プログラムが" +
                                 std::to_string(std::chrono::duration_cast<std::chrono::seconds>(setup_.time_limit).count()) +
                                 "秒で終わらなかったため、終了させました。\n");
                time_limit_told_ = true;
            }
        } else if (running) {
            time_limit_told_ = false;  // ended in time
        }
        lock.lock();
        if (program_.running() || waiting_.empty()) continue;
        Waiting next = std::move(waiting_.front());
        waiting_.pop_front();
        if (waiting_.empty()) overflow_told_ = false;
        lock.unlock();
        start_next(std::move(next));
        lock.lock();
    }
}

void connect_new_messages(Control& c, Notifier& notifier, std::function<void(const board::StoredMessage&)> shown) {
    Control* control = &c;
    c.board.message_stored = [control, &notifier, shown](const board::StoredMessage& m) {
        if (shown) shown(m);
        std::string url;
        {
            std::lock_guard<std::mutex> guard(control->url_lock);
            url = control->shown_url;
        }
        notifier.queue(m, url);
    };
}

}  // namespace window
