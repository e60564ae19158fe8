#include "board/session.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "board/board_reply.h"
#include "board/form.h"
#include "board/pages.h"
#include "board/paths.h"
#include "board/views/phone.h"
#include "board/request_failure.h"
#include "platform/fs.h"
#include "platform/net.h"
#include "platform/text_file.h"

namespace board {
namespace {

// Session lines are read 127 bytes at a time: the longest line (an IPv6
// address of 39 characters in brackets, a cookie of 19 digits, the time and
// the line end) has 111; an IPv4 one has at most 85.
constexpr size_t kSessionLineSize = 128;
constexpr FieldRules kLoginField{101, false};

// Text between key and the next ':' (or the line's end) of a session line;
// a value in brackets (an IPv6 address, whose groups the ':' also parts) is
// the text between them.
std::optional<std::string_view> session_field(std::string_view line, std::string_view key) {
    size_t at = line.find(key);
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view value = line.substr(at + key.size());
    if (!value.empty() && value.front() == '[') {
        size_t close = value.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        return value.substr(1, close - 1);
    }
    return value.substr(0, value.find(':'));
}

// The session file's stored bytes; empty when there is none yet. A file that
// cannot be read ends the request: nothing is written over sessions that
// could not be read.
std::string read_sessions(Board& b) {
    std::string stored;
    platform::FileStatus s = platform::read_file(paths::kSessions, stored);
    if (s.failed()) fail_request("cannot read the session file: " + platform::reason_text(s));
    hold_sessions(b, s.ok() ? std::make_shared<const std::string>(stored) : nullptr);
    return stored;
}

// True when the session file's stored bytes hold a line of this address and
// cookie, read line by line as the file is.
bool sessions_hold(std::string_view stored, std::string_view address, std::string_view cookie) {
    platform::TextReader in;
    in.open_view(stored);
    char line[kSessionLineSize];
    size_t n;
    while ((n = in.read_line(line, sizeof line)) > 0)
        if (session_line_matches(std::string_view(line, n), address, cookie)) return true;
    return false;
}

// Commits a group that replaces the session file with stored, then holds
// those bytes; a failure leaves the held sessions unknown (the file may be
// either) and ends the request.
void commit_sessions(Board& b, platform::FileGroup& group, std::string stored) {
    try {
        commit_or_fail(group);
    } catch (...) {
        hold_sessions(b, nullptr);
        throw;
    }
    hold_sessions(b, std::make_shared<const std::string>(std::move(stored)));
}

// The login log's failure, for the owner. The front end shows it without
// making the caller wait.
void tell_owner_log_failed(Board& b) {
    if (b.owner_notice) b.owner_notice("サーバーが不安定です。\n管理者に問い合わせして下さい。", "エラーメッセージ");
}

}  // namespace

bool session_line_matches(std::string_view line, std::string_view address, std::string_view cookie) {
    if (address.empty() || cookie.empty()) return false;
    auto ip = session_field(line, "ipaddress=");
    auto id = session_field(line, ":cookieid=");
    return ip && id && *ip == address && *id == cookie;
}

// The cookie is the only key to a session when every visitor comes through
// the same proxy address: 63 bits from the strong source leave nothing to
// find by trying cookies, however many sessions are open. Written in decimal,
// as the session lines and cookies of earlier (smaller) values are.
std::uint64_t draw_cookie_value(Board& b) {
    constexpr std::uint64_t kCookieRange = 0x7FFFFFFFFFFFFFFFull;  // values 1 .. 2^63 - 1
    return b.random() % kCookieRange + 1;
}

std::string session_line(Board& b, const std::string& address, std::uint64_t cookie) {
    // An IPv6 address stands in brackets, as in a URL, so that its own ':' are
    // not taken for the ones between the fields; an IPv4 one as always.
    return "ipaddress=" + platform::net::url_host(address) + ":cookieid=" + std::to_string(cookie) +
           ":time=" + platform::timestamp_text(b.clock());
}

// The line goes in whole or not at all: the old lines and the new one are
// written aside and moved over the file, after the pages of the login reply,
// so that a session exists only once its reply could be made.
std::string plan_session_line(Board& b, platform::FileGroup& group, const std::string& address, std::uint64_t cookie) {
    std::string old;
    platform::FileStatus s = platform::read_file(paths::kSessions, old);
    if (s.failed()) fail_request("cannot read the session file: " + platform::reason_text(s));
    if (s.missing()) {
        platform::make_directory(paths::kData);
        platform::make_directory(paths::kSessionDir);
    }
    std::string stored = old + platform::stored_text(session_line(b, address, cookie));
    group.replace(paths::kSessions, paths::kSessionsWork, stored,
                  s.missing() ? platform::FileGroup::Undo::Remove : platform::FileGroup::Undo::Restore, old);
    return stored;
}

void hold_sessions(Board& b, std::shared_ptr<const std::string> stored) {
    std::lock_guard<std::mutex> guard(b.sessions_lock);
    b.held_sessions = std::move(stored);
}

void load_held_sessions(Board& b) {
    std::string stored;
    platform::FileStatus s = platform::read_file(paths::kSessions, stored);
    hold_sessions(b, s.ok() ? std::make_shared<const std::string>(std::move(stored)) : nullptr);
}

std::optional<bool> held_session_check(Board& b, const server::Request& request) {
    const std::optional<std::string>& cookie = request.session_cookie;
    if (!cookie) return false;
    std::shared_ptr<const std::string> held;
    {
        std::lock_guard<std::mutex> guard(b.sessions_lock);
        held = b.held_sessions;
    }
    if (!held) return std::nullopt;
    return sessions_hold(*held, request.ClientAddress, *cookie);
}

std::string login_log_path(const platform::LocalTime& t) {
    return "DATA/LOG/wbklog_" + std::to_string(t.year) + std::to_string(t.month) + std::to_string(t.day) + ".log";
}

void login_log(Board& b, const std::string& address, LoginOutcome outcome) {
    if (b.LogEnabled.load() != 1) return;
    platform::LocalTime now = b.clock();
    std::string path = login_log_path(now);
    platform::TextWriter out;
    platform::FileStatus opened = out.open(path, platform::TextWriter::Mode::Append);
    if (!opened.ok()) {
        platform::make_directory(paths::kLogDir);
        opened = out.open(path, platform::TextWriter::Mode::Append);
    }
    bool written = opened.ok();
    if (written) {
        const char* word = outcome == LoginOutcome::Success ? "true" : outcome == LoginOutcome::Failure ? "false" : "paused";
        out.write(std::string("Login=") + word + " ： IP=" + address +
                  " : Time=" + platform::timestamp_text(now));
        written = out.close().ok();
    }
    // A line that cannot be written (a log that cannot be opened, a full
    // disk) is told once until a line is written again.
    if (!written && !b.log_failing) tell_owner_log_failed(b);
    b.log_failing = !written;
}

namespace {

constexpr std::int64_t kGuessWindow = 15 * 60;  // failures counted within it
constexpr int kGuessesAllowed = 5;
constexpr std::int64_t kFirstBlock = 60, kLongestBlock = 60 * 60;
constexpr size_t kGuessersTracked = 4096;  // the oldest is dropped beyond it

// An address's record of guessing, made afresh once it has been quiet for a
// whole window; with the table full, the quietest address makes room.
Board::Guessing& guessing_of(Board& b, const std::string& address, std::int64_t now) {
    auto quiet_since = [](const Board::Guessing& g) { return std::max(g.last_failure, g.blocked_until); };
    auto found = b.guessing.find(address);
    if (found == b.guessing.end() && b.guessing.size() >= kGuessersTracked) {
        auto quietest = b.guessing.begin();
        for (auto i = b.guessing.begin(); i != b.guessing.end(); ++i)
            if (quiet_since(i->second) < quiet_since(quietest->second)) quietest = i;
        b.guessing.erase(quietest);
    }
    Board::Guessing& g = b.guessing[address];
    if (now - quiet_since(g) > kGuessWindow) g = Board::Guessing{};
    return g;
}

// Counts a wrong ID or password; the fifth within the window blocks the
// address for a minute, and each further one doubles that, up to an hour.
void count_failure(Board::Guessing& g, std::int64_t now) {
    if (g.failures == 0 || (g.block == 0 && now - g.first_failure > kGuessWindow)) {
        g.failures = 0;
        g.first_failure = now;
    }
    g.failures += 1;
    g.last_failure = now;
    if (g.failures < kGuessesAllowed) return;
    g.block = g.block == 0 ? kFirstBlock : std::min(g.block * 2, kLongestBlock);
    g.blocked_until = now + g.block;
}

}  // namespace

LoginResult login(Board& b, const server::Request& request, server::Reply& reply, View view) {
    // An address that is guessing gets the paused page without a comparison
    // (and costs no more than a failure), so that nobody takes the refusal
    // for a wrong password; its refusals reach the login log at most once a
    // minute, so guessing cannot fill the disk through it.
    std::int64_t now = b.clock().epoch_seconds;
    Board::Guessing& guess = guessing_of(b, request.ClientAddress, now);
    if (now < guess.blocked_until) {
        if (now - guess.last_logged >= 60) {
            guess.last_logged = now;
            login_log(b, request.ClientAddress, LoginOutcome::Paused);
        }
        int minutes_left = static_cast<int>((guess.blocked_until - now + 59) / 60);
        std::string page = view == View::Phone ? phone_paused_login_page(minutes_left) : paused_login_page_text(minutes_left);
        server::file_reply(reply, page, "text/html\n", cache_header(b));
        return LoginResult::Guessing;
    }
    auto id = form_field(request.body, "id", kLoginField);
    if (!id) return LoginResult::NoId;
    if (id->empty()) return LoginResult::EmptyId;
    auto password = form_field(request.body, "password", kLoginField);
    if (!password) return LoginResult::NoPassword;
    if (password->empty()) return LoginResult::EmptyPassword;
    // Values are compared as text: up to a decoded zero byte.
    std::string id_text(id->c_str());
    std::string password_text(password->c_str());
    if (id_text != b.LoginId || password_text != b.LoginPassword) {
        count_failure(guess, now);
        login_log(b, request.ClientAddress, LoginOutcome::Failure);
        return LoginResult::Wrong;
    }
    b.guessing.erase(request.ClientAddress);
    std::uint64_t cookie = draw_cookie_value(b);
    platform::FileGroup group;
    // No barrier before the session: a power cut that keeps it and loses a
    // page of its reply leaves a whole login, since every reply writes
    // those pages again.
    std::string main_page = plan_board_reply(b, group, b.CurrentPage, true);
    std::string sessions = plan_session_line(b, group, request.ClientAddress, cookie);
    commit_sessions(b, group, std::move(sessions));
    send_board_reply(b, reply, main_page, cookie, view);
    login_log(b, request.ClientAddress, LoginOutcome::Success);
    return LoginResult::LoggedIn;
}

bool session_check(Board& b, const server::Request& request) {
    // The held copy changes in step with the file: the file is read only
    // while the copy is unknown.
    if (std::optional<bool> held = held_session_check(b, request)) return *held;
    const std::string& cookie = *request.session_cookie;
    std::string stored;
    platform::FileStatus s = platform::read_file(paths::kSessions, stored);
    if (s.failed()) {
        hold_sessions(b, nullptr);
        fail_request("cannot read the session file: " + platform::reason_text(s));
    }
    if (s.missing()) {
        // There is none until the first login: made empty, as a check always has.
        platform::make_directory(paths::kData);
        platform::make_directory(paths::kSessionDir);
        platform::WriteHandle create;
        bool made = create.open(paths::kSessions, platform::WriteHandle::Mode::Append).ok() && create.close().ok();
        hold_sessions(b, made ? std::make_shared<const std::string>() : nullptr);
        if (!made) fail_request("cannot create the session file");
        return false;
    }
    auto held = std::make_shared<const std::string>(std::move(stored));
    hold_sessions(b, held);
    return sessions_hold(*held, request.ClientAddress, cookie);
}

void logout(Board& b, const server::Request& request) {
    const std::optional<std::string>& cookie = request.session_cookie;
    if (!cookie) return;
    platform::TextReader in;
    in.open_bytes(read_sessions(b));
    const std::string old = in.stored();
    std::string kept;
    bool dropped = false;
    char line[kSessionLineSize];
    size_t n;
    while ((n = in.read_line(line, sizeof line)) > 0) {
        std::string_view text(line, n);
        if (session_line_matches(text, request.ClientAddress, *cookie))
            dropped = true;
        else
            kept += text;
    }
    if (!dropped) return;  // nothing to remove: the file stays as it is
    // A session that cannot be removed is told (the error page), not taken for gone.
    platform::FileGroup group;
    std::string stored = platform::stored_text(kept);
    group.replace(paths::kSessions, paths::kSessionsWork, stored, platform::FileGroup::Undo::Restore, old);
    commit_sessions(b, group, std::move(stored));
}

void hourly_session_sweep(Board& b) {
    platform::BoardLockGuard guard(b.lock);
    platform::LocalTime now = b.clock();
    if (now.minute != 0) {
        if (b.sweep_done) {
            b.sweep_done = false;
            platform::remove_file(paths::kSessionsWork);
        }
        return;
    }
    if (b.sweep_done) return;
    // No sessions yet: nothing to sweep. A file that cannot be read stays as
    // it is, and the sweep is tried again at the next call of this minute.
    platform::TextReader in;
    if (!in.open(paths::kSessions).ok()) return;
    std::string kept;
    int previous = now.hour == 0 ? 23 : now.hour - 1;
    char line[kSessionLineSize];
    while (in.read_line(line, sizeof line) > 0) {
        const char* time = std::strstr(line, "time=");
        if (!time) break;
        // The hour stands 16 characters after the "t" of "time=".
        char hour_text[3] = {0, 0, 0};
        if (std::strlen(time) > 16) hour_text[0] = time[16];
        if (std::strlen(time) > 17) hour_text[1] = time[17];
        int hour = std::atoi(hour_text);
        if (hour < 0 || hour > 23) return;  // the file stays as it was; tried again
        if (hour == now.hour || hour == previous) kept += line;
    }
    platform::AtomicFile out(paths::kSessions, paths::kSessionsWork);
    out.write(kept);
    if (out.commit().ok()) {
        b.sweep_done = true;
        hold_sessions(b, std::make_shared<const std::string>(platform::stored_text(kept)));
    } else {
        hold_sessions(b, nullptr);
    }
}

Upkeep::Upkeep(Board& b, std::chrono::milliseconds every)
    : thread_([this, &b, every] {
          std::unique_lock<std::mutex> lock(mutex_);
          do {
              lock.unlock();
              hourly_session_sweep(b);
              lock.lock();
          } while (!wake_.wait_for(lock, every, [this] { return ending_; }));
      }) {}

Upkeep::~Upkeep() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ending_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

}  // namespace board
