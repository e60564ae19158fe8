#include "board/state.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "board/flood.h"
#include "board/paths.h"
#include "platform/fs.h"
#include "platform/net.h"
#include "platform/text_file.h"

namespace board {

int parse_int(const char* text) {
    errno = 0;
    long long v = std::strtoll(text, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

static platform::FileStatus write_lines(const char* path, std::initializer_list<std::string> lines) {
    platform::AtomicFile file(path, platform::work_name_for(path));
    for (const std::string& line : lines) file.write(line);
    return file.commit();
}

std::string counters_text(int message_no, int current_page) {
    return "message=" + std::to_string(message_no) + "\n" + "page=" + std::to_string(current_page) + "\n";
}

platform::FileStatus write_counters(int message_no, int current_page) {
    return write_lines(paths::kCounters, {counters_text(message_no, current_page)});
}

platform::FileStatus write_credentials(const std::string& id, const std::string& password) {
    return write_lines(paths::kCredentials, {"ID=" + id + "\n", "PASSWORD=" + password + "\n"});
}

// Moves the text after key to the start of line and returns true when the
// line holds key.
static bool take_value_after(char* line, const char* key) {
    char* at = std::strstr(line, key);
    if (!at) return false;
    char* value = at + std::strlen(key);
    std::memmove(line, value, std::strlen(value) + 1);
    return true;
}

static std::string credential_value(char* line) {
    size_t n = std::strlen(line);
    if (n >= 2 && line[n - 2] == '\r' && line[n - 1] == '\n')
        n -= 2;
    else if (n >= 1 && line[n - 1] == '\n')
        n -= 1;
    return std::string(line, n < kCredentialMax ? n : kCredentialMax);
}

// A counter after key: the value when it lies in low..high (and then found),
// low otherwise.
static void take_counter(char* line, const char* key, int low, int high, std::int32_t& counter, bool& found) {
    if (!take_value_after(line, key)) return;
    int v = parse_int(line);
    bool valid = v >= low && v <= high;
    counter = valid ? v : low;
    found = found || valid;
}

// What cannot be read is assumed as on a new board: no messages on page 1.
// Only a file that does not exist is made with its defaults: one that
// exists but cannot be read stops the load with nothing changed or written.
static bool unreadable(const platform::FileStatus& s, const char* file, FileTrouble* trouble) {
    if (!s.failed()) return false;
    if (trouble) *trouble = FileTrouble{file, s};
    return true;
}

// The counters file's lines from in, from its first line on; false when it
// has none.
static bool take_counters(platform::TextReader& in, std::int32_t& message_no, std::int32_t& current_page,
                          bool& message_found, bool& page_found) {
    char line[500];
    if (in.read_line(line, sizeof line) == 0) return false;
    do {
        take_counter(line, "message=", 0, 100, message_no, message_found);
        take_counter(line, "page=", 1, 100000000, current_page, page_found);
    } while (in.read_line(line, sizeof line) > 0);
    return true;
}

StoredCounters read_stored_counters() {
    StoredCounters c;
    platform::TextReader in;
    if (!in.open(paths::kCounters).ok()) return c;
    bool message_found = false, page_found = false;
    take_counters(in, c.message_no, c.current_page, message_found, page_found);
    return c;
}

static LoadResult load_counters(Board& b, FileTrouble* trouble) {
    platform::TextReader in;
    platform::FileStatus opened = in.open(paths::kCounters);
    if (unreadable(opened, paths::kCounters, trouble)) return LoadResult::StateUnreadable;
    b.MessageNo = 0;
    b.CurrentPage = 1;
    b.ShownPage = 1;
    if (opened.missing()) {
        platform::make_directory(paths::kData);
        platform::make_directory(paths::kMessageDir);
        if (!write_counters(0, 1).ok()) return LoadResult::CountersUncreatable;
        if (!in.open(paths::kCounters).ok()) return LoadResult::CountersUnreadable;
    }
    bool message_found = false;
    bool page_found = false;
    if (!take_counters(in, b.MessageNo, b.CurrentPage, message_found, page_found)) return LoadResult::CountersInvalid;
    b.ShownPage = b.CurrentPage;
    return message_found && page_found ? LoadResult::Loaded : LoadResult::CountersInvalid;
}

static LoadResult load_credentials(Board& b, FileTrouble* trouble) {
    platform::TextReader in;
    platform::FileStatus opened = in.open(paths::kCredentials, platform::LineEnds::Binary);
    if (unreadable(opened, paths::kCredentials, trouble)) return LoadResult::StateUnreadable;
    if (opened.missing()) {
        platform::make_directory(paths::kIdPasswordDir);
        if (!write_credentials(kDefaultCredential, kDefaultCredential).ok()) return LoadResult::CredentialsUncreatable;
        if (!in.open(paths::kCredentials, platform::LineEnds::Binary).ok()) return LoadResult::CredentialsUnreadable;
    }
    char line[200];
    while (in.read_line(line, sizeof line) > 0) {
        if (take_value_after(line, "ID=")) b.LoginId = credential_value(line);
        if (take_value_after(line, "PASSWORD=")) b.LoginPassword = credential_value(line);
    }
    if (!b.LoginId.empty() && !b.LoginPassword.empty()) return LoadResult::Loaded;
    if (!write_credentials(kDefaultCredential, kDefaultCredential).ok()) return LoadResult::CredentialsUnwritable;
    b.LoginId = kDefaultCredential;
    b.LoginPassword = kDefaultCredential;
    return LoadResult::Loaded;
}

OwnerSettings load_owner_settings(platform::FileStatus* status) {
    OwnerSettings settings;
    platform::TextReader in;
    platform::FileStatus opened = in.open(paths::kSettings);
    if (status) *status = opened;
    if (!opened.ok()) return settings;
    char line[1100];  // a program's path may be long
    while (in.read_line(line, sizeof line) > 0) {
        if (take_value_after(line, "notify=")) {
            std::string program(line);
            while (!program.empty() && std::isspace(static_cast<unsigned char>(program.back()))) program.pop_back();
            settings.notify = program;
            continue;  // a path may hold "port=" or "log="
        }
        if (take_value_after(line, "port=")) {
            int v = parse_int(line);
            if (v >= 0 && v <= 65535) settings.port = static_cast<std::uint16_t>(v);
        }
        if (take_value_after(line, "log=")) settings.log = parse_int(line) == 1 ? 1 : 0;
        if (take_value_after(line, "private=")) settings.private_reading = parse_int(line) == 1 ? 1 : 0;
        // A value out of range (or a limit above what is kept) is the default.
        auto limit = [&line](const char* key, int low, int high, int& value) {
            if (!take_value_after(line, key)) return;
            int v = parse_int(line);
            if (v >= low && v <= high) value = v;
        };
        limit("post_limit=", 0, kPostLimitMax, settings.post_limits.burst);
        limit("post_limit_seconds=", 1, 24 * 60 * 60, settings.post_limits.burst_seconds);
        limit("post_limit_hour=", 0, kPostLimitMax, settings.post_limits.hourly);
        // Only a written 0 turns the phone view off; junk keeps the default.
        if (take_value_after(line, "phone=")) settings.phone = line[0] == '0' && parse_int(line) == 0 ? 0 : 1;
        if (take_value_after(line, "feed_token=")) {
            std::string token(line);
            while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) token.pop_back();
            if (token.size() == 32 && token.find_first_not_of("0123456789abcdef") == std::string::npos)
                settings.feed_token = token;
        }
        if (take_value_after(line, "search=")) settings.search = parse_int(line) == 1 ? 1 : 0;
        if (take_value_after(line, "upnp=")) settings.upnp = parse_int(line) == 1 ? 1 : 0;
        if (take_value_after(line, "proxy=")) {
            std::string address(line);
            while (!address.empty() && std::isspace(static_cast<unsigned char>(address.back()))) address.pop_back();
            if (auto text = platform::net::address_text(address)) settings.proxy = *text;
        }
        if (take_value_after(line, "ipv6=")) settings.ipv6 = parse_int(line) == 1 ? 1 : 0;
    }
    return settings;
}

bool save_owner_settings(const OwnerSettings& settings) {
    platform::make_directory(paths::kData);
    // The proxy line only when there is a proxy, a limit's line only when it
    // is not the default, the phone line only when the phone view is off, the
    // search, notify and feed_token lines only when set, the upnp and ipv6 lines only when on: the
    // file of a board without them
    // stays as it was.
    const PostLimits& limits = settings.post_limits;
    const PostLimits defaults;
    auto line_unless_default = [](const char* key, int value, int default_value) {
        return value == default_value ? std::string() : key + std::to_string(value) + "\n";
    };
    return write_lines(paths::kSettings,
                       {"port=" + std::to_string(settings.port) + "\n", "log=" + std::to_string(settings.log) + "\n",
                        "private=" + std::to_string(settings.private_reading) + "\n",
                        settings.proxy.empty() ? "" : "proxy=" + settings.proxy + "\n",
                        line_unless_default("post_limit=", limits.burst, defaults.burst),
                        line_unless_default("post_limit_seconds=", limits.burst_seconds, defaults.burst_seconds),
                        line_unless_default("post_limit_hour=", limits.hourly, defaults.hourly),
                        settings.phone == 0 ? "phone=0\n" : "",
                        settings.search ? "search=" + std::to_string(*settings.search) + "\n" : "",
                        settings.notify.empty() ? "" : "notify=" + settings.notify + "\n",
                        settings.feed_token.empty() ? "" : "feed_token=" + settings.feed_token + "\n",
                        settings.upnp == 1 ? "upnp=1\n" : "",
                        settings.ipv6 == 1 ? "ipv6=1\n" : ""})
        .ok();
}

LoadResult load_board_state(Board& b, FileTrouble* trouble) {
    // The credentials are loaded even when the counters are not, so that the
    // owner's visitors can still log in.
    LoadResult counters = load_counters(b, trouble);
    if (counters == LoadResult::StateUnreadable) return counters;
    LoadResult credentials = load_credentials(b, trouble);
    if (credentials == LoadResult::StateUnreadable) return credentials;
    return counters != LoadResult::Loaded ? counters : credentials;
}

}  // namespace board
