// Every file call of every operation made to fail in turn, or the process
// stopped right after it, and the board checked afterwards: now, and after a
// start on what is left on the disk. For each operation its file calls are
// counted first; then, for every call K and every fault, the operation runs
// on a fresh copy of its board and the checks below must hold. The
// power-loss group at the end starts the board on every state a power cut
// could leave during each operation, and applies the same checks.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <unordered_set>
#include <vector>

#include "board/board_reply.h"
#include "board/pages.h"
#include "board/paths.h"
#include "board/posting.h"
#include "board/routes.h"
#include "board/session.h"
#include "board/state.h"
#include "platform/file_faults.h"
#include "platform/fs.h"
#include "support/test_support.h"
#include "window/control.h"

using namespace testing_support;
using platform::FileFault;
using platform::FileOp;

namespace {

enum class Fault { DiskFullOnce, DiskFullForGood, IoError, Permission, TooManyFiles, Crash };
const Fault kFaults[] = {Fault::DiskFullOnce, Fault::DiskFullForGood, Fault::IoError,
                         Fault::Permission,   Fault::TooManyFiles,    Fault::Crash};
const char* fault_name(Fault f) {
    switch (f) {
        case Fault::DiskFullOnce: return "disk full once";
        case Fault::DiskFullForGood: return "disk full for good";
        case Fault::IoError: return "I/O error";
        case Fault::Permission: return "permission";
        case Fault::TooManyFiles: return "too many open files";
        case Fault::Crash: return "crash after the call";
    }
    return "?";
}

// The seam's state: calls counted from 1; call `target` gets `fault`.
struct Injector {
    int calls = 0;
    int target = 0;  // 0: count only
    Fault fault = Fault::IoError;
    bool crashed = false;
    std::string hit;  // the call that got the fault
} injector;

FileFault inject(FileOp op, const std::string& path) {
    Injector& in = injector;
    int k = ++in.calls;
    if (in.crashed) return FileFault::IoError;  // nothing more reaches the disk
    if (in.target == 0 || k < in.target) return FileFault::None;
    if (k == in.target) in.hit = std::string(platform::file_op_name(op)) + " " + path;
    bool write_like = op == FileOp::Write || op == FileOp::Sync;
    switch (in.fault) {
        // From call K on the disk has no room: every call that needs room fails.
        case Fault::DiskFullForGood: return write_like ? FileFault::DiskFull : FileFault::None;
        case Fault::Crash:
            if (k == in.target) in.crashed = true;
            return FileFault::None;
        default: break;
    }
    if (k != in.target) return FileFault::None;
    switch (in.fault) {
        case Fault::DiskFullOnce: return FileFault::DiskFull;
        case Fault::IoError: return FileFault::IoError;
        case Fault::Permission: return FileFault::Permission;
        default: return FileFault::TooManyFiles;
    }
}

std::map<std::string, std::string> snapshot() {
    std::map<std::string, std::string> files;
    std::function<void(const std::string&)> walk = [&](const std::string& dir) {
        for (const std::string& name : list_dir(dir)) {
            std::string path = dir + "/" + name;
            std::string bytes;
            if (platform::read_file(path, bytes).ok())
                files[path] = bytes;
            else
                walk(path);
        }
    };
    walk("DATA");
    return files;
}

void restore(const std::map<std::string, std::string>& files) {
    std::error_code error;
    std::filesystem::remove_all("DATA", error);
    ASSERT_FALSE(error) << error.message();
    for (const auto& [path, bytes] : files) {
        make_dirs(path.substr(0, path.find_last_of('/')));
        write_file(path, bytes);
    }
}

int count(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
    return n;
}

bool is_error_page(const std::string& reply) {
    return reply.find(sjis(u8"伝言板サーバーが不安定になっています。")) != std::string::npos;
}

class FileFaults : public TempDirTest {
protected:
    // The boards live in memory (/dev/shm) where there is one: the faults and
    // the power cuts are the seam's, so a sync on the disk would only cost time.
    void SetUp() override {
        TempDirTest::SetUp();
        char templ[] = "/dev/shm/komorebi-faults-XXXXXX";
        if (const char* made = mkdtemp(templ)) {
            memory_dir_ = made;
            ASSERT_TRUE(platform::change_directory(memory_dir_));
        }
    }
    void TearDown() override {
        platform::file_fault_hook = nullptr;
        platform::file_call_observer = nullptr;
        if (!memory_dir_.empty()) {
            EXPECT_TRUE(platform::change_directory(dir_));
            std::error_code error;
            std::filesystem::remove_all(memory_dir_, error);
        }
        TempDirTest::TearDown();
    }

    // A started board with a clock that can move.
    void start(board::Board& b) {
        b.clock = [this] { return now; };
        ASSERT_EQ(board::prepare_to_serve(b), "");
    }
    std::string request(board::Board& b, const std::string& text, const std::string& address = "127.0.0.1") {
        Recorder rec;
        board::respond(b, server::parse_request(text, address), rec.reply);
        return rec.all();
    }
    std::string login(board::Board& b, const std::string& address = "127.0.0.1") {
        std::string reply = request(
            b, post_request("wbk_login.cgi", "id=" + b.LoginId + "&password=" + b.LoginPassword), address);
        size_t at = reply.find("SESSIONID=");
        if (at == std::string::npos) return {};
        at += 10;
        return reply.substr(at, reply.find(';', at) - at);
    }
    std::string post(board::Board& b, const std::string& cookie, const std::string& text) {
        return request(b, post_request("wbk_write.cgi", "name=n&title=t&text=" + text,
                                       "Cookie: SESSIONID=" + cookie + "\r\n"));
    }

    // The current page's messages taken off by a deletion: their records are empty.
    int deleted(const board::Board& b) {
        int n = 0;
        for (int k = 1; k <= b.MessageNo; ++k) {
            std::string record;
            n += platform::read_file(board::message_record_path(k), record).ok() && record.empty() ? 1 : 0;
        }
        return n;
    }

    // The files parse and agree with the counters: the counters and
    // credentials files whole, every page's markers in place once, every
    // block of the current page whole, MessageNo of them less those deleted, one menu
    // link per page, every session line whole, no work file left.
    void check_board(const board::Board& b, const std::string& when) {
        SCOPED_TRACE(when);
        const int blocks = b.MessageNo - deleted(b);
        std::string counters = read_file(board::paths::kCounters);
        EXPECT_EQ(counters, platform::stored_text(board::counters_text(b.MessageNo, b.CurrentPage)));
        std::string credentials = read_file(board::paths::kCredentials);
        EXPECT_EQ(credentials, "ID=" + b.LoginId + "\r\nPASSWORD=" + b.LoginPassword + "\r\n");
        auto marker = [](std::string_view m) { return std::string(m.substr(0, m.size() - 1)) + "\r\n"; };
        std::string page = read_file(board::text_page_path(b.CurrentPage));
        if (b.MessageNo > 0 || !page.empty()) {
            ASSERT_EQ(count(page, marker(board::kPlainStart)), 1);
            ASSERT_EQ(count(page, marker(board::kPlainEnd)), 1);
            size_t from = page.find(marker(board::kPlainStart)) + marker(board::kPlainStart).size();
            std::string section = page.substr(from, page.find(marker(board::kPlainEnd)) - from);
            EXPECT_EQ(count(section, "<hr>\r\n"), blocks) << "blocks on the current page";
            EXPECT_EQ(count(section, sjis(u8"<p>時間　：　")), blocks) << "every block whole";
            EXPECT_EQ(count(section, sjis(u8"<p>内容　：　")), blocks) << "every block whole";
        }
        std::string menu = read_file(board::paths::kMenuPage);
        if (!menu.empty()) {
            for (std::string_view m : {board::kPageLinkStart, board::kPageLinkEnd, board::kCurrentPageStart,
                                       board::kCurrentPageEnd, board::kUpdateTimeStart, board::kUpdateTimeEnd})
                EXPECT_EQ(count(menu, marker(m)), 1);
            EXPECT_EQ(count(menu, "wbk_select_"), b.CurrentPage) << "one link per page";
            EXPECT_EQ(count(menu, "wbk_select_" + std::to_string(b.CurrentPage) + ".cgi"), 1);
        }
        std::string main_page = read_file(board::paths::kMainPage);
        if (!main_page.empty()) {
            EXPECT_EQ(count(main_page, marker(board::kPlainEnd)), 1);
        }
        std::string sessions = read_file(board::paths::kSessions);
        EXPECT_TRUE(sessions.empty() || sessions.substr(sessions.size() - 2) == "\r\n") << "no torn session line";
        EXPECT_EQ(count(sessions, "ipaddress="), count(sessions, "\r\n"));
        EXPECT_EQ(count(sessions, ":time="), count(sessions, "\r\n"));
    }
    void check_no_work_files() {
        for (const char* dir : {"DATA", "DATA/MESSAGE", "DATA/HTML", "DATA/SESSION", "DATA/IDPASSWORD"})
            for (const std::string& name : list_dir(dir)) EXPECT_EQ(name.find("_work"), std::string::npos) << name;
    }
    // How often a posted text stands on the pages 1..CurrentPage + 1.
    int shown(const board::Board& b, const std::string& text) {
        int n = 0;
        for (int p = 1; p <= b.CurrentPage + 1; ++p) n += count(read_file(board::text_page_path(p)), text + "</br>");
        return n;
    }

    struct Operation {
        std::string name;
        std::function<void(board::Board&)> prepare;  // the board before: built once, then copied
        // Runs the operation; returns what the visitor or the owner was told.
        std::function<std::string(board::Board&, window::Control&)> run;
        // Checks after a restart, given the answer (empty after a crash).
        std::function<void(board::Board&, const std::string& answer, bool crashed)> after;
        bool starts_itself = false;  // the operation is the start: the board is only loaded before it
    };

    // Counts the operation's calls, then fails each in turn with each fault.
    void run_all(const Operation& op) {
        std::map<std::string, std::string> before;
        {
            board::Board b;
            start(b);
            op.prepare(b);
            before = snapshot();
        }
        platform::file_fault_hook = inject;
        int calls = 0;
        {
            restore(before);
            board::Board b;
            loaded(b, op);
            server::Server s{board::request_handler(b)};
            window::Control c{s, b, yes_boxes()};
            injector = Injector{};
            op.run(b, c);
            calls = injector.calls;
        }
        ASSERT_GT(calls, 0);
        int cases = 0;
        for (int k = 1; k <= calls; ++k) {
            for (Fault fault : kFaults) {
                restore(before);
                board::Board b;
                injector = Injector{};
                loaded(b, op);
                server::Server s{board::request_handler(b)};
                window::Control c{s, b, yes_boxes()};
                injector = Injector{0, k, fault, false, {}};
                std::string answer = op.run(b, c);
                bool crashed = injector.crashed;
                std::string hit = injector.hit;
                injector = Injector{};
                SCOPED_TRACE(op.name + ", call " + std::to_string(k) + " (" + hit + "), " + fault_name(fault));
                if (!crashed && !op.starts_itself) check_board(b, "now");
                if (!crashed) check_no_work_files();  // a failed group takes its work files away itself
                check_started(op, crashed ? std::string() : answer, crashed);
                ++cases;
                if (HasFatalFailure()) return;
            }
        }
        platform::file_fault_hook = nullptr;
        std::printf("%s: %d file calls, %d cases\n", op.name.c_str(), calls, cases);
        RecordProperty("cases", cases);
    }

    // A board started on what is on the disk now: its files agree, the
    // operation is as its answer says (or whole or absent when it was cut
    // off), and the board then serves and takes a post.
    void check_started(const Operation& op, const std::string& answer, bool crashed) {
        board::Board again;
        start(again);
        check_board(again, "after a restart");
        check_no_work_files();
        op.after(again, answer, crashed);
        std::string cookie = login(again);
        ASSERT_FALSE(cookie.empty());
        int messages = again.MessageNo;
        EXPECT_FALSE(is_error_page(post(again, cookie, "afterwards")));
        EXPECT_EQ(again.MessageNo, messages == 100 ? 1 : messages + 1);
        check_board(again, "after the next post");
    }

    void loaded(board::Board& b, const Operation& op) {
        if (!op.starts_itself) return start(b);
        b.clock = [this] { return now; };
    }

    window::MessageBoxes yes_boxes() {
        return {[this](const std::string& t, const std::string&, window::Owner) { told = t; },
                [](const std::string&, const std::string&, window::Owner) { return true; }};
    }

    // A posting operation whose text must be on its page exactly once when
    // the visitor got the board, on none when the error page, and wholly
    // there or absent after a crash.
    Operation posting(const std::string& name, int messages_before) {
        return {name,
                [this, messages_before](board::Board& b) {
                    cookie_ = login(b);
                    for (int i = 0; i < messages_before; ++i) post(b, cookie_, "m" + std::to_string(i));
                },
                [this](board::Board& b, window::Control&) {
                    now.second = 26;  // a second later: the menu's update time changes too
                    return post(b, cookie_, "THEPOST");
                },
                [this](board::Board& b, const std::string& answer, bool crashed) {
                    int n = shown(b, "THEPOST");
                    if (crashed)
                        EXPECT_LE(n, 1);
                    else if (is_error_page(answer))
                        EXPECT_EQ(n, 0) << "a post that got the error page is on no page";
                    else
                        EXPECT_EQ(n, 1) << "a post that got the board is on its page once";
                }};
    }

    // Deletes the message whose text is `text` from the current page through
    // the control logic; the others stay, and the deleted one is gone when the
    // owner was told so, there when told of a failure.
    Operation deletion(const std::string& name, const std::string& text) {
        return {name,
                [this](board::Board& b) {
                    cookie_ = login(b);
                    for (const char* m : {"m0", "m1", "m2"}) post(b, cookie_, m);
                },
                [this, text](board::Board& b, window::Control& c) {
                    told.clear();
                    int page = 0;
                    board::PageListing listing;
                    // The page's read may get the fault: the owner is told, and nothing changes.
                    if (!window::delete_dialog_show(c, std::to_string(b.CurrentPage), page, listing)) return told;
                    for (const board::PageMessage& m : listing.messages)
                        if (m.block.find(text + "</br>") != std::string::npos) window::delete_dialog_ok(c, page, m);
                    return told;
                },
                [this, text](board::Board& b, const std::string& answer, bool crashed) {
                    bool done = answer.find(sjis(u8"正常に終了しました")) != std::string::npos;
                    int n = shown(b, text);
                    if (done) {
                        EXPECT_EQ(n, 0) << "a deletion told as done is done";
                    } else if (!crashed) {
                        EXPECT_EQ(n, 1) << "a failed deletion changes nothing";
                    }
                    for (const char* m : {"m0", "m1", "m2"}) {
                        if (m != text) { EXPECT_EQ(shown(b, m), 1) << m; }
                    }
                    EXPECT_EQ(b.MessageNo, 3) << "the counters stay";
                }};
    }

    // A login beside another visitor's session.
    Operation login_operation() {
        return {"login", [this](board::Board& b) { login(b, "10.0.0.9"); },
                [this](board::Board& b, window::Control&) {
                    now.second = 26;  // a second later: the menu's update time changes too
                    login_cookie_ = login(b);
                    return login_cookie_;
                },
                [this](board::Board& b, const std::string& answer, bool) {
                    if (!answer.empty()) {
                        std::string reload =
                            post_request("wbk_reload.cgi", "", "Cookie: SESSIONID=" + login_cookie_ + "\r\n");
                        EXPECT_NE(request(b, reload).find("wbk_text_"), std::string::npos)
                            << "a login that got its cookie works after a restart";
                    }
                    EXPECT_EQ(count(read_file(board::paths::kSessions), "10.0.0.9"), 1)
                        << "the other visitor's session stays";
                }};
    }

    Operation logout_operation() {
        return {"logout", [this](board::Board& b) { cookie_ = login(b); },
                [this](board::Board& b, window::Control&) {
                    return request(b, post_request("wbk_logout.cgi", "", "Cookie: SESSIONID=" + cookie_ + "\r\n"));
                },
                [this](board::Board&, const std::string& answer, bool crashed) {
                    int left = count(read_file(board::paths::kSessions), ":cookieid=" + cookie_ + ":");
                    if (!crashed && !is_error_page(answer)) { EXPECT_EQ(left, 0) << "a logout told as done is done"; }
                }};
    }

    // The reset of a board of 101 messages: page 1 full, page 2 with one.
    Operation reset_operation() {
        return {"the message reset",
                [this](board::Board& b) {
                    cookie_ = login(b);
                    for (int i = 0; i < 101; ++i) post(b, cookie_, "m" + std::to_string(i));
                },
                [this](board::Board&, window::Control& c) {
                    told.clear();
                    window::message_reset_dialog_ok(c);
                    return told;
                },
                [this](board::Board& b, const std::string& answer, bool crashed) {
                    bool done = answer.find(sjis(u8"正常に終了しました")) != std::string::npos;
                    if (done) { EXPECT_EQ(b.MessageNo, 0); }
                    if (!crashed && !done) { EXPECT_EQ(b.CurrentPage, 2) << "a failed reset changes nothing"; }
                    if (b.MessageNo != 0) {
                        EXPECT_EQ(count(read_file(board::text_page_path(1)), sjis(u8"<p>時間　：　")), 100)
                            << "a reset the counters do not show left page 1 as it was";
                    }
                }};
    }

    Operation id_change_operation() {
        return {"the ID change and a settings change", [](board::Board&) {},
                [](board::Board&, window::Control& c) {
                    board::save_owner_settings({8080, 1, 0});
                    return window::id_password_dialog_ok(c, "owner", "secret") == window::Dialog::Ends ? c.board.LoginId
                                                                                                         : std::string();
                },
                [](board::Board& b, const std::string& answer, bool) {
                    if (answer == "owner") { EXPECT_EQ(b.LoginPassword, "secret") << "a change told as done is kept"; }
                    bool old_pair = b.LoginId == "quietharborlights" && b.LoginPassword == "quietharborlights";
                    bool new_pair = b.LoginId == "owner" && b.LoginPassword == "secret";
                    EXPECT_TRUE(old_pair || new_pair) << b.LoginId << " / " << b.LoginPassword;
                    board::OwnerSettings kept = board::load_owner_settings();
                    EXPECT_TRUE(kept.port == 53790 || kept.port == 8080);
                }};
    }

    std::string memory_dir_;
    platform::LocalTime now = fixed_clock(2011, 4, 28, 0, 6, 25)();
    std::string cookie_;
    std::string login_cookie_;
    std::string told;
};

TEST_F(FileFaults, FirstPost) { run_all(posting("the first post", 0)); }
TEST_F(FileFaults, FiftyFirstPost) { run_all(posting("the 51st post", 50)); }
TEST_F(FileFaults, PostThatStartsANewPage) { run_all(posting("the 101st post", 100)); }

TEST_F(FileFaults, Login) { run_all(login_operation()); }

TEST_F(FileFaults, Logout) { run_all(logout_operation()); }

TEST_F(FileFaults, ReloadAndPageSelect) {
    run_all({"reload and page select",
             [this](board::Board& b) {
                 cookie_ = login(b);
                 post(b, cookie_, "one");
             },
             [this](board::Board& b, window::Control&) {
                 request(b, "GET /wbk_select_1.cgi HTTP/1.0\r\n\r\n");
                 return request(b, post_request("wbk_reload.cgi", "", "Cookie: SESSIONID=" + cookie_ + "\r\n"));
             },
             [this](board::Board& b, const std::string&, bool) { EXPECT_EQ(shown(b, "one"), 1); }});
}

TEST_F(FileFaults, Sweep) {
    run_all({"the hourly sweep",
             [this](board::Board& b) {
                 login(b, "10.0.0.1");  // at 00:06: swept at 02:00
                 now.hour = 2;
                 login(b, "10.0.0.2");
             },
             [this](board::Board& b, window::Control&) {
                 now.hour = 2;
                 now.minute = 0;
                 board::hourly_session_sweep(b);
                 return std::string();
             },
             [this](board::Board&, const std::string&, bool) {
                 std::string sessions = read_file(board::paths::kSessions);
                 EXPECT_EQ(count(sessions, "10.0.0.2"), 1) << "a session of this hour stays";
                 EXPECT_LE(count(sessions, "10.0.0.1"), 1);
             }});
}

TEST_F(FileFaults, Reset) { run_all(reset_operation()); }

TEST_F(FileFaults, DeletionOfTheNewestMessage) { run_all(deletion("deleting the newest", "m2")); }
TEST_F(FileFaults, DeletionOfAMessageInTheMiddle) { run_all(deletion("deleting one in the middle", "m1")); }

TEST_F(FileFaults, IdChangeAndSettings) { run_all(id_change_operation()); }

TEST_F(FileFaults, StartThatRepairsAPostCutOff) {
    // A post stopped after its page and before its counters: the start takes its block away.
    run_all({"a start with its repair",
             [this](board::Board& b) {
                 cookie_ = login(b);
                 for (int i = 0; i < 3; ++i) post(b, cookie_, "m" + std::to_string(i));
                 std::string counters = read_file(board::paths::kCounters);
                 post(b, cookie_, "CUT");
                 write_file(board::paths::kCounters, counters);
             },
             [](board::Board& b, window::Control&) { return board::prepare_to_serve(b); },
             [this](board::Board& b, const std::string&, bool) {
                 EXPECT_EQ(shown(b, "CUT"), 0);
                 EXPECT_EQ(b.MessageNo, 3);
             },
             true});
}

// A kill keeps what the system holds in memory; a power cut keeps only what
// reached the disk. An operation's file calls are recorded once, on a board
// whose files are all on the disk, and from them every state a power cut
// could leave after each call is built: any of the writes, creates, renames
// and removes not yet synced may be lost, a rename whole or not at all, a
// synced file's bytes kept, a folder's entries kept only once the folder was
// synced, in no order among those not synced. A board started on each state
// must pass the checks above: the operation whole when its answer was given,
// whole or absent when the power went before it.
struct RecordedCall {
    FileOp op;
    std::string path, from, data;
    bool append;
};
std::vector<RecordedCall> recorded_calls;

void record_call(const platform::FileCall& c) {
    recorded_calls.push_back({c.op, std::string(c.path), std::string(c.from), std::string(c.data), c.append});
}

std::pair<std::string, std::string> split_path(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return {path.substr(0, slash), path.substr(slash + 1)};
}

// The disk in the model: folders name inodes. What is on the disk is kept
// apart from the changes made since the last sync of their folder (entries)
// or of their file (bytes), in the order they were made.
class DiskModel {
public:
    explicit DiskModel(const std::map<std::string, std::string>& files) {
        for (const auto& [path, bytes] : files) {
            auto [dir, name] = split_path(path);
            disk_entries_[dir][name] = now_entries_[dir][name] = new_inode(bytes);
        }
    }

    void apply(const RecordedCall& call) {
        auto [dir, name] = split_path(call.path);
        switch (call.op) {
            case FileOp::Open: {
                auto at = now_entries_[dir].find(name);
                if (at == now_entries_[dir].end()) {
                    int inode = new_inode("");
                    now_entries_[dir][name] = inode;
                    pending_.push_back({Change::Link, dir, name, {}, inode, 0, {}});
                } else if (!call.append) {
                    pending_.push_back({Change::Truncate, dir, name, {}, at->second, 0, {}});
                    now_bytes_[at->second].clear();
                }
                break;
            }
            case FileOp::Write: {
                // A write goes on at the end: a file is written from its start after it is
                // truncated, or appended to.
                int inode = now_entries_[dir].at(name);
                pending_.push_back({Change::Write, dir, name, {}, inode, now_bytes_[inode].size(), call.data});
                now_bytes_[inode] += call.data;
                break;
            }
            case FileOp::Sync: settle([&](const Change& c) { return c.is_data() && c.inode == now_entries_[dir].at(name); }); break;
            case FileOp::Rename: {
                auto [from_dir, from_name] = split_path(call.from);
                EXPECT_EQ(from_dir, dir) << "a work file stands beside its target";
                int inode = now_entries_[dir].at(from_name);
                now_entries_[dir].erase(from_name);
                now_entries_[dir][name] = inode;
                pending_.push_back({Change::Rename, dir, name, from_name, inode, 0, {}});
                break;
            }
            case FileOp::Remove:
                now_entries_[dir].erase(name);
                pending_.push_back({Change::Unlink, dir, name, {}, -1, 0, {}});
                break;
            case FileOp::DirectorySync: {
                const std::string folder = call.path;
                settle([&](const Change& c) { return !c.is_data() && c.dir == folder; });
                break;
            }
            case FileOp::Read: break;
        }
    }

    size_t pending() const { return pending_.size(); }

    // The files when, of the changes not yet on the disk, those kept[i] reached it.
    std::map<std::string, std::string> after_power_cut(const std::vector<bool>& kept) const {
        auto entries = disk_entries_;
        std::vector<std::string> bytes = disk_bytes_;
        for (size_t i = 0; i < pending_.size(); ++i)
            if (kept[i]) pending_[i].apply(entries, bytes);
        std::map<std::string, std::string> files;
        for (const auto& [dir, names] : entries)
            for (const auto& [name, inode] : names) files[dir + "/" + name] = bytes[inode];
        return files;
    }

    std::string describe(size_t i) const {
        static const char* const kinds[] = {"create", "rename to", "remove", "truncation of", "write of"};
        return std::string(kinds[pending_[i].kind]) + " " + pending_[i].dir + "/" + pending_[i].name;
    }

private:
    using Entries = std::map<std::string, std::map<std::string, int>>;
    struct Change {
        enum Kind { Link, Rename, Unlink, Truncate, Write } kind;
        std::string dir, name, from;
        int inode;
        size_t offset;
        std::string data;

        bool is_data() const { return kind == Truncate || kind == Write; }
        void apply(Entries& entries, std::vector<std::string>& bytes) const {
            std::map<std::string, int>& names = entries[dir];
            switch (kind) {
                case Link: names[name] = inode; break;
                case Rename: {
                    auto source = names.find(from);
                    if (source != names.end() && source->second == inode) names.erase(source);
                    names[name] = inode;
                    break;
                }
                case Unlink: names.erase(name); break;
                case Truncate: bytes[inode].clear(); break;
                case Write: {
                    std::string& b = bytes[inode];
                    if (b.size() < offset + data.size()) b.resize(offset + data.size(), '\0');
                    b.replace(offset, data.size(), data);
                    break;
                }
            }
        }
    };

    int new_inode(const std::string& bytes) {
        disk_bytes_.push_back(bytes);
        now_bytes_.push_back(bytes);
        return static_cast<int>(disk_bytes_.size()) - 1;
    }
    // The changes that a sync puts on the disk, in their order.
    template <class Which>
    void settle(Which which) {
        std::vector<Change> left;
        for (const Change& c : pending_) {
            if (which(c))
                c.apply(disk_entries_, disk_bytes_);
            else
                left.push_back(c);
        }
        pending_ = std::move(left);
    }

    Entries disk_entries_, now_entries_;
    std::vector<std::string> disk_bytes_, now_bytes_;
    std::vector<Change> pending_;
};

// Which of n changes not yet synced reach the disk: every choice while they
// are few; beyond that none, all, each alone lost or alone kept, the first
// j of them (the order a journal keeps) and a fixed sample of the rest.
std::vector<std::vector<bool>> power_cut_choices(size_t n) {
    constexpr size_t kEvery = 12, kSample = 2048;
    std::vector<std::vector<bool>> choices;
    if (n <= kEvery) {
        for (size_t bits = 0; bits < (size_t{1} << n); ++bits) {
            std::vector<bool> kept(n);
            for (size_t i = 0; i < n; ++i) kept[i] = (bits >> i & 1) != 0;
            choices.push_back(kept);
        }
        return choices;
    }
    for (size_t j = 0; j <= n; ++j) {
        std::vector<bool> prefix(n, false), lost(n, true), alone(n, false);
        for (size_t i = 0; i < j; ++i) prefix[i] = true;
        choices.push_back(prefix);
        if (j < n) {
            lost[j] = false;
            alone[j] = true;
            choices.push_back(lost);
            choices.push_back(alone);
        }
    }
    std::uint64_t seed = 0x9E3779B97F4A7C15ull;
    while (choices.size() < kSample) {
        std::vector<bool> kept(n);
        for (size_t i = 0; i < n; ++i) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            kept[i] = (seed >> 33 & 1) != 0;
        }
        choices.push_back(kept);
    }
    return choices;
}

class PowerLoss : public FileFaults {
protected:
    void run_power_cuts(const Operation& op) {
        restore({});  // each operation on a board of its own, from the same time on
        now = fixed_clock(2011, 4, 28, 0, 6, 25)();
        {
            board::Board b;
            start(b);
            op.prepare(b);
        }
        std::map<std::string, std::string> before;
        std::string answer;
        {
            board::Board b;
            loaded(b, op);
            server::Server s{board::request_handler(b)};
            window::Control c{s, b, yes_boxes()};
            before = snapshot();  // all of it on the disk
            recorded_calls.clear();
            platform::file_call_observer = record_call;
            answer = op.run(b, c);
            platform::file_call_observer = nullptr;
        }
        const std::vector<RecordedCall> calls = recorded_calls;
        ASSERT_FALSE(calls.empty());
        DiskModel disk(before);
        std::unordered_set<size_t> seen_cut, seen_answered;
        int states = 0, answered = 0, broken = 0;
        for (size_t k = 0; k <= calls.size(); ++k) {
            if (k > 0) disk.apply(calls[k - 1]);
            // After the last call the answer was given: the operation must be whole.
            const bool after_answer = k == calls.size();
            for (const std::vector<bool>& kept : power_cut_choices(disk.pending())) {
                std::map<std::string, std::string> files = disk.after_power_cut(kept);
                std::string key;
                for (const auto& [path, bytes] : files) key += path + '\0' + std::to_string(bytes.size()) + '\0' + bytes;
                if (!(after_answer ? seen_answered : seen_cut).insert(std::hash<std::string>{}(key)).second) continue;
                ++states;
                answered += after_answer ? 1 : 0;
                testing::TestPartResultArray failures;
                {
                    testing::ScopedFakeTestPartResultReporter intercept(
                        testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
                    restore(files);
                    check_started(op, after_answer ? answer : std::string(), !after_answer);
                }
                if (failures.size() == 0) continue;
                if (++broken > 3) continue;  // the first few are enough to see the fault
                std::string lost;
                for (size_t i = 0; i < kept.size(); ++i)
                    if (!kept[i]) lost += "\n  lost: " + disk.describe(i);
                std::string after = k == 0 ? "before the first call"
                                           : "after call " + std::to_string(k) + " (" +
                                                 platform::file_op_name(calls[k - 1].op) + " " + calls[k - 1].path + ")";
                for (int i = 0; i < failures.size(); ++i)
                    ADD_FAILURE() << op.name << ", power cut " << after << lost << "\n" << failures.GetTestPartResult(i).message();
            }
        }
        std::printf("%s: %zu file calls, %d states after a power cut (%d after the answer), %d broken\n", op.name.c_str(),
                    calls.size(), states, answered, broken);
        RecordProperty("states", states);
        EXPECT_EQ(broken, 0) << "states that break the board";
    }
};

TEST_F(PowerLoss, Posts) {
    run_power_cuts(posting("the first post", 0));
    run_power_cuts(posting("the 51st post", 50));
    run_power_cuts(posting("the 101st post", 100));
}

TEST_F(PowerLoss, LoginAndLogout) {
    run_power_cuts(login_operation());
    run_power_cuts(logout_operation());
}

TEST_F(PowerLoss, Reset) { run_power_cuts(reset_operation()); }

TEST_F(PowerLoss, Deletions) {
    run_power_cuts(deletion("deleting the newest", "m2"));
    run_power_cuts(deletion("deleting one in the middle", "m1"));
}

TEST_F(PowerLoss, IdChangeAndSettings) { run_power_cuts(id_change_operation()); }

}  // namespace
