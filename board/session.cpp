#include "board/session.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "board/board_reply.h"
#include "board/form.h"
#include "board/paths.h"
#include "board/request_failure.h"
#include "platform/fs.h"
#include "platform/text_file.h"

namespace board {
namespace {

constexpr size_t kSessionLineSize = 100;  // session lines are read 99 bytes at a time
constexpr FieldRules kLoginField{101, false};

// Text between key and the next ':' (or the line's end) of a session line.
std::optional<std::string_view> session_field(std::string_view line, std::string_view key) {
    size_t at = line.find(key);
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view value = line.substr(at + key.size());
    return value.substr(0, value.find(':'));
}

// Opens the session file for appending, making its directories when missing.
bool append_to_sessions(platform::TextWriter& out) {
    if (out.open(paths::kSessions, platform::TextWriter::Mode::Append)) return true;
    platform::make_directory(paths::kData);
    platform::make_directory(paths::kSessionDir);
    return out.open(paths::kSessions, platform::TextWriter::Mode::Append);
}

// Opens the session file for reading; when there is none yet, creates it empty
// (the reader then stays closed: there are no lines).
void open_sessions(platform::TextReader& in) {
    if (in.open(paths::kSessions)) return;
    platform::TextWriter create;
    if (!append_to_sessions(create) || !create.close()) fail_request("cannot create the session file");
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

std::int32_t draw_cookie_value(Board& b) {
    return static_cast<std::int32_t>(b.random() % 2147483647u) + 1;
}

// The line goes in whole or not at all: the old lines and the new one are
// written aside and moved over the file. An append that a full disk cut short
// would leave a piece of a line, and the next login's line glued to it.
void store_session_line(Board& b, const std::string& address, std::int32_t cookie) {
    std::string line = "ipaddress=" + address + ":cookieid=" + std::to_string(cookie) +
                       ":time=" + platform::timestamp_text(b.clock());
    platform::TextReader in;
    open_sessions(in);
    platform::AtomicFile out(paths::kSessions, paths::kSessionsWork);
    if (!out.ok()) fail_request("cannot open the session file");
    char piece[kSessionLineSize];
    size_t n;
    while ((n = in.read_line(piece, sizeof piece)) > 0) out.out().write(std::string_view(piece, n));
    in.close();
    out.out().write(line);
    if (!out.commit()) fail_request("cannot write the session file");
}

std::string login_log_path(const platform::LocalTime& t) {
    return "DATA/LOG/wbklog_" + std::to_string(t.year) + std::to_string(t.month) + std::to_string(t.day) + ".log";
}

void login_log(Board& b, const std::string& address, bool success) {
    if (b.LogEnabled.load() != 1) return;
    platform::LocalTime now = b.clock();
    std::string path = login_log_path(now);
    platform::TextWriter out;
    if (!out.open(path, platform::TextWriter::Mode::Append)) {
        platform::make_directory(paths::kLogDir);
        if (!out.open(path, platform::TextWriter::Mode::Append)) return tell_owner_log_failed(b);
    }
    out.write(std::string("Login=") + (success ? "true" : "false") + " ： IP=" + address +
              " : Time=" + platform::timestamp_text(now));
    // A line the disk does not take (a full disk) is told once until a line is written again.
    bool written = out.close();
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

LoginResult login(Board& b, const server::Request& request, server::Reply& reply) {
    // An address that is guessing gets the login page without a comparison
    // (and costs no more than a failure); its refusals reach the login log
    // at most once a minute, so guessing cannot fill the disk through it.
    std::int64_t now = b.clock().epoch_seconds;
    Board::Guessing& guess = guessing_of(b, request.ClientAddress, now);
    if (now < guess.blocked_until) {
        if (now - guess.last_logged >= 60) {
            guess.last_logged = now;
            login_log(b, request.ClientAddress, false);
        }
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
        login_log(b, request.ClientAddress, false);
        return LoginResult::Wrong;
    }
    b.guessing.erase(request.ClientAddress);
    std::int32_t cookie = draw_cookie_value(b);
    store_session_line(b, request.ClientAddress, cookie);
    board_reply(b, reply, cookie);
    login_log(b, request.ClientAddress, true);
    return LoginResult::LoggedIn;
}

bool session_check(Board&, const server::Request& request) {
    const std::optional<std::string>& cookie = request.session_cookie;
    if (!cookie) return false;
    platform::TextReader in;
    open_sessions(in);
    char line[kSessionLineSize];
    size_t n;
    while ((n = in.read_line(line, sizeof line)) > 0)
        if (session_line_matches(std::string_view(line, n), request.ClientAddress, *cookie)) return true;
    return false;
}

void logout(Board&, const server::Request& request) {
    const std::optional<std::string>& cookie = request.session_cookie;
    if (!cookie) return;
    platform::TextReader in;
    open_sessions(in);
    if (!in.is_open()) return;
    platform::AtomicFile out(paths::kSessions, paths::kSessionsWork);
    if (!out.ok()) fail_request("cannot create the session work file");
    bool dropped = false;
    char line[kSessionLineSize];
    size_t n;
    while ((n = in.read_line(line, sizeof line)) > 0) {
        std::string_view text(line, n);
        if (session_line_matches(text, request.ClientAddress, *cookie))
            dropped = true;
        else
            out.out().write(text);
    }
    in.close();
    if (!dropped) return;  // nothing to remove: the file stays as it is
    if (!out.commit()) fail_request("cannot write the session file");
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
    platform::TextReader in;
    if (!in.open(paths::kSessions)) return;  // no sessions yet: nothing to sweep
    platform::AtomicFile out(paths::kSessions, paths::kSessionsWork);
    if (!out.ok()) return;  // tried again at the next call of this minute
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
        if (hour == now.hour || hour == previous) out.out().write(line);
    }
    in.close();
    if (out.commit()) b.sweep_done = true;
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
