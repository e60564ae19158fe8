#pragma once
// How the owner hears of each stored message: a line for the console (and
// the journal), the window's notice of unseen messages, and the owner's own
// program, run with the message in its environment.
//
// The threads, and what each touches: the board thread calls the board's
// message_stored hook, which only queues here (under the notifier's mutex)
// and posts to the window; the notifier's own thread prints the queued lines
// and runs the program, one at a time, and alone touches the running child.
// The front end sets everything in NotifierSetup before the hook is set.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "board/board.h"
#include "platform/process.h"
#include "window/control.h"

namespace window {

// Messages waiting for the program; a further one drops the oldest.
inline constexpr std::size_t kNotifyQueueMax = 8;
// A program still running after this long is ended.
inline constexpr std::chrono::milliseconds kNotifyTimeLimit{30000};

// "【新着】" and the message's time, name, title, page and number on the
// page, one line with its line feed (Shift_JIS). Control characters a
// visitor sent become blanks: the line goes to the owner's terminal.
std::string new_message_line(const board::StoredMessage& m);

// The owner's program's variables, "NAME=value" in UTF-8 (to_utf8 converts
// from Shift_JIS): KOMOREBI_NAME, _TITLE, _TEXT, _TIME, _PAGE, _POSITION and
// _URL, the text page's address (url: the board's, as board_url gives it).
std::vector<std::string> notify_variables(const board::StoredMessage& m, const std::string& url,
                                          const std::function<std::string(const std::string&)>& to_utf8);

// The window's notice while messages are unseen, two lines: "新着メッセージ
// N件" and the newest one's time, then its name and title, cut to fit.
std::string new_messages_notice(int unseen, const board::StoredMessage& newest);
// What the window's title gets: "（新着 N）"; empty when none are unseen.
std::string new_messages_title(int unseen);

struct NotifierSetup {
    std::string program;  // the path or name of the owner's program; empty: none runs
    std::chrono::milliseconds time_limit = kNotifyTimeLimit;
    std::function<std::string(const std::string&)> to_utf8;
    // The console's lines (Shift_JIS, each with its line feed): each stored
    // message's when print_each, and the queue's own notices; unset: none.
    std::function<void(const std::string&)> print;
    bool print_each = true;
    // A program that cannot be started, told once until one starts again.
    std::function<void(const std::string& text, const std::string& caption)> tell;
};

class Notifier {
public:
    explicit Notifier(NotifierSetup setup);
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;
    // A program still running is ended with what it started; the messages waiting go.
    ~Notifier();

    // Queues the message's line and its run of the program; never waits for either.
    void queue(const board::StoredMessage& m, const std::string& url);

private:
    struct Waiting {
        board::StoredMessage message;
        std::string url;
    };
    void run();
    void start_next(Waiting next);

    const NotifierSetup setup_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool ending_ = false;
    std::vector<std::string> lines_;  // to print, in order
    std::deque<Waiting> waiting_;     // for the program, oldest first
    bool overflow_told_ = false;      // since the queue last ran empty
    // The notifier thread's own: a start failure told, a time limit told,
    // since a program last started, or last ended in time.
    platform::ChildProcess program_;
    std::chrono::steady_clock::time_point started_;
    bool start_failure_told_ = false;
    bool time_limit_told_ = false;
    std::thread thread_;  // last: starts once the members above exist
};

// Sets the board's message_stored hook: each stored message goes to shown
// (the window's notice; may be empty) and to the notifier, with the address
// the status last showed (Control::shown_url). The caller clears the hook
// after the server has stopped.
void connect_new_messages(Control& c, Notifier& notifier, std::function<void(const board::StoredMessage&)> shown);

}  // namespace window
