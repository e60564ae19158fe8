#include "window/console/console.h"

#include <langinfo.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/net.h"
#include "platform/unicode.h"
#include "window/notify.h"

namespace window::console {
namespace {

std::string terminal_charset() {
    static const std::string charset = [] {
        std::setlocale(LC_CTYPE, "");
        std::string cs = nl_langinfo(CODESET);
        // A plain C locale cannot show Japanese; today's terminals take UTF-8.
        if (cs.empty() || cs == "ANSI_X3.4-1968" || cs == "ASCII") cs = "UTF-8";
        return cs;
    }();
    return charset;
}

// lossy (when given) is set when a character had no form in the target set.
std::string convert(const std::string& text, const char* to, const char* from, bool* lossy = nullptr) {
    return platform::convert_text(text, to, from, "?", lossy);
}

// The console's output; the board thread's owner notices come through it too.
struct Screen {
    std::FILE* out;
    std::mutex mutex;
    void print(const std::string& sjis) {
        std::lock_guard<std::mutex> guard(mutex);
        std::fputs(to_terminal(sjis).c_str(), out);
        std::fflush(out);
    }
};

// Reads lines from the input.
class Input {
public:
    explicit Input(int fd) : fd_(fd) {}
    bool read_line(std::string& line) {
        for (;;) {
            size_t lf = pending_.find('\n');
            if (lf != std::string::npos) {
                line = pending_.substr(0, lf);
                pending_.erase(0, lf + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return true;
            }
            if (eof_) {
                if (pending_.empty()) return false;
                line.swap(pending_);
                pending_.clear();
                return true;
            }
            char buf[4096];
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0)
                eof_ = true;
            else
                pending_.append(buf, static_cast<size_t>(n));
        }
    }
private:
    int fd_;
    std::string pending_;
    bool eof_ = false;
};

struct Session {
    Control& c;
    Screen& screen;
    Input& input;
    bool colour;

    bool ask(const std::string& prompt_sjis, std::string& answer, bool* lossy = nullptr) {
        screen.print(prompt_sjis);
        if (!input.read_line(answer)) return false;
        answer = from_terminal(answer, lossy);
        return true;
    }

    void show_status() {
        status_refresh(c);
        std::string text;
        for (int i = 0; i < kStatusLineCount; ++i) {
            std::string line = c.status[i];
            if (i == kIndicator && colour) {
                screen.print(std::string(c.running_colour ? "\x1b[30;42m" : "\x1b[30;43m"));
                screen.print(line);
                screen.print(std::string("\x1b[0m\n"));
                continue;
            }
            screen.print(line + "\n");
        }
        if (!ipv6_url_status(c).empty()) screen.print(ipv6_url_status(c) + "\n");
        if (!private_reading_status(c).empty()) screen.print(private_reading_status(c) + "\n");
        if (!proxy_status(c).empty()) screen.print(proxy_status(c) + "\n");
        if (!router_status(c).empty()) screen.print(router_status(c) + "\n");
        if (uses_default_credentials(c))
            screen.print("※ＩＤとパスワードが初期値のままです。[id]コマンドで変更して下さい。\n");
    }

    void port() {
        screen.print("ポート番号の設定\n・０～６５５３５の範囲で設定して下さい。\n・初期値は[ 53790 ]に設定しています。\n");
        for (;;) {
            std::string text;
            if (!ask("ポート番号 (空行でキャンセル): ", text) || text.empty()) return;
            if (port_dialog_ok(c, text) == Dialog::Ends) return;
        }
    }

    // The two dialogs of two choices, as prompts: 1 or 2, then the confirmation.
    void two_choices(const std::string& menu, const std::uint8_t& pending, void (*choose)(Control&, std::uint8_t),
                     Dialog (*ok)(Control&)) {
        screen.print(menu);
        for (;;) {
            std::string choice;
            std::string current = pending == 1 ? "1" : "2";
            if (!ask("選択 [" + current + "] (1/2、空行で選択のままＯＫ、c でキャンセル): ", choice)) return;
            if (choice == "c") return;
            if (choice == "1") choose(c, 1);
            if (choice == "2") choose(c, 0);
            if (ok(c) == Dialog::Ends) return;
        }
    }

    void log() {
        two_choices("ログの取得\n  1: ログを取得する\n  2: ログを取得しない\n", c.pending_log_choice, log_dialog_choose,
                    log_dialog_ok);
    }

    void private_reading() {
        two_choices("閲覧制限の設定\n  1: ログインした人だけが閲覧できる\n  2: 誰でも閲覧できる\n", c.pending_private_choice,
                    private_dialog_choose, private_dialog_ok);
    }

    void id() {
        screen.print("IDとパスワードの変更を行います。\n新しいIDと新しいパスワードを入力して下さい。\n"
                     "・ID　（半角５０文字まで、全角２５文字までです。）\n"
                     "・パスワード　（半角５０文字まで、全角２５文字までです。）\n");
        for (;;) {
            std::string id, password;
            bool lossy = false;
            if (!ask("ID (空行でキャンセル): ", id, &lossy) || id.empty()) return;
            if (!ask("パスワード: ", password, &lossy)) return;
            if (lossy) {
                id_password_unrepresentable(c);
                continue;
            }
            if (id_password_dialog_ok(c, id, password) == Dialog::Ends) return;
        }
    }

    void reset() {
        screen.print("メッセージを０個、ページを１ページ目に設定します。\n"
                     "※メッセージを保存する場合は、\n    ＨＴＭＬフォルダーのコピーをとって、保存して下さい。\n");
        std::string answer;
        if (!ask("実行しますか？ (y=ＯＫ / n=キャンセル): ", answer)) return;
        if (answer == "y" || answer == "Y") message_reset_dialog_ok(c);
    }

    // The message deletion: the page's messages listed, one chosen by its
    // position, then the confirmation. "delete PAGE POSITION" skips the two
    // prompts; "delete PAGE" the first.
    void delete_message(const std::string& command_arguments) {
        // Answers come through ask, already in Shift_JIS; the command line's
        // arguments are taken into it here, once.
        const std::string arguments = from_terminal(command_arguments);
        std::string page_text, position_text;
        size_t blank = arguments.find(' ');
        page_text = arguments.substr(0, blank);
        if (blank != std::string::npos) position_text = arguments.substr(arguments.find_first_not_of(' ', blank));
        if (page_text.empty()) page_text = std::to_string(delete_dialog_first_page(c));
        // A position given with the command asks nothing but the confirmation.
        const bool given = !position_text.empty();
        for (;;) {
            int page = 0;
            board::PageListing listing;
            if (!delete_dialog_show(c, page_text, page, listing)) return;
            if (position_text.empty()) {
                screen.print("[ " + std::to_string(page) + " ]ページのメッセージ（新しい順）\n");
                if (listing.messages.empty()) screen.print("  メッセージはありません。\n");
                for (const board::PageMessage& m : listing.messages) screen.print(delete_list_line(m) + "\n");
                std::string answer;
                if (!ask("削除するメッセージの番号 (p ページ番号で別のページ、空行でキャンセル): ", answer) || answer.empty())
                    return;
                if (answer[0] == 'p') {
                    page_text = answer.substr(1);
                    continue;
                }
                position_text = answer;
            }
            std::optional<int> position = parse_page_text(position_text);
            position_text.clear();
            if (!position || *position > static_cast<int>(listing.messages.size())) {
                screen.print("その番号のメッセージは、このページにありません。\n");
                if (given) return;
                continue;
            }
            if (delete_dialog_ok(c, page, listing.messages[*position - 1]) == Dialog::Ends || given) return;
        }
    }

    // The owner's search: the messages found, each with its page and
    // position for "delete PAGE POSITION".
    void search(const std::string& command_arguments) {
        const std::string words = from_terminal(command_arguments);
        std::vector<board::SearchHit> hits;
        if (!delete_dialog_search(c, words, hits)) return;
        screen.print("[ " + words + " ]を含むメッセージ（新しい順、ページ 番号 時間 名前 題名）\n");
        for (const board::SearchHit& h : hits) screen.print(search_list_line(h) + "\n");
        screen.print("削除するには delete ページ番号 番号 と入力して下さい。\n");
    }

    void help() {
        screen.print("コマンド:\n"
                     "  start   伝言板サーバーを開始する (▲)\n"
                     "  stop    伝言板サーバーを停止する (■)\n"
                     "  port    ポート番号の変更\n"
                     "  log     ログの取得設定\n"
                     "  private 閲覧制限の設定\n"
                     "  upnp    ルーターのポート開放の設定\n"
                     "  ipv6    ＩＰｖ６での接続の切り替え (オン／オフ)\n"
                     "  id      ＩＤ＆パスワードの設定\n"
                     "  reset   メッセージのリセット\n"
                     "  delete  メッセージの削除 (delete ページ番号 番号 でも可)\n"
                     "  search  メッセージの検索 (search 言葉 …)\n"
                     "  feed    フィードのアドレスの表示 (feed new で新しい秘密のアドレス)\n"
                     "  about   バージョン情報\n"
                     "  status  状態の表示\n"
                     "  quit    アプリケーションの終了\n"
                     "  help    この一覧\n");
    }
};

MessageBoxes console_boxes(Screen& screen, Input& input) {
    MessageBoxes boxes;
    boxes.ok = [&screen](const std::string& text, const std::string& caption, Owner) {
        screen.print("【" + caption + "】\n" + text + "\n");
    };
    boxes.yes_no = [&screen, &input](const std::string& text, const std::string& caption, Owner) {
        screen.print("【" + caption + "】\n" + text + " (y/n): ");
        std::string answer;
        if (!input.read_line(answer)) return false;
        return answer == "y" || answer == "Y" || answer == "yes";
    };
    return boxes;
}

}  // namespace

std::string to_terminal(const std::string& sjis) { return convert(sjis, terminal_charset().c_str(), "CP932"); }

std::string from_terminal(const std::string& text, bool* lossy) {
    return convert(text, "CP932", terminal_charset().c_str(), lossy);
}

std::string to_utf8(const std::string& sjis) { return convert(sjis, "UTF-8", "CP932"); }

int run_console(Control& c, int input_fd, std::FILE* out, bool start) {
    Screen screen{out, {}};
    Input input(input_fd);
    c.boxes = console_boxes(screen, input);
    c.board.owner_notice = [&screen](const std::string& text, const std::string& caption) {
        screen.print("\n【" + caption + "】\n" + text + "\n");
    };
    // Each stored message's line, and the owner's program, on the notifier's thread.
    Notifier notifier({c.notify_program, kNotifyTimeLimit, to_utf8, [&screen](const std::string& line) { screen.print(line); },
                       true, c.board.owner_notice});
    connect_new_messages(c, notifier, nullptr);
    // The router's answer comes on its own thread, after the status was printed.
    c.router_changed = [&c, &screen] {
        std::string line = router_status(c);
        if (!line.empty()) screen.print("\n" + line + "\n");
    };
    Session session{c, screen, input, static_cast<bool>(::isatty(::fileno(out)))};
    if (start) start_server(c, Owner::Main);
    session.show_status();
    screen.print("help でコマンドの一覧を表示します。\n");
    for (;;) {
        std::string command;
        screen.print("> ");
        if (!input.read_line(command)) break;
        while (!command.empty() && command.back() == ' ') command.pop_back();
        while (!command.empty() && command.front() == ' ') command.erase(0, 1);
        if (command.empty()) continue;
        if (command == "start") {
            panel_start(c);
        } else if (command == "stop") {
            panel_stop(c);
        } else if (command == "port") {
            session.port();
        } else if (command == "log") {
            session.log();
        } else if (command == "ipv6") {
            set_ipv6(c, !c.server.listen_ipv6, Owner::Main);
        } else if (command == "private") {
            session.private_reading();
        } else if (command == "upnp") {
            upnp_menu(c);
        } else if (command == "id") {
            session.id();
        } else if (command == "reset") {
            session.reset();
        } else if (command == "delete" || command.compare(0, 7, "delete ") == 0) {
            session.delete_message(command.size() > 7 ? command.substr(command.find_first_not_of(' ', 6)) : "");
        } else if (command == "search" || command.compare(0, 7, "search ") == 0) {
            session.search(command.size() > 7 ? command.substr(command.find_first_not_of(' ', 6)) : "");
        } else if (command == "feed") {
            screen.print(feed_addresses(c));
            continue;
        } else if (command == "feed new") {
            if (c.boxes.yes_no("新しいアドレスを作ると、今の秘密のアドレスでは読めなくなります。\n宜しいですか？。",
                               kConfirmCaption, Owner::Main) &&
                feed_new_address(c))
                screen.print(feed_addresses(c));
            continue;
        } else if (command == "about") {
            screen.print(std::string("【バージョン情報】\n") + kAboutText + "\n");
            continue;
        } else if (command == "status") {
        } else if (command == "help" || command == "?") {
            session.help();
            continue;
        } else if (command == "quit" || command == "exit") {
            if (exit_confirmation(c)) break;
        } else {
            screen.print("不明なコマンドです: " + from_terminal(command) + "\n");
            session.help();
            continue;
        }
        consume_changes(c);
        session.show_status();
    }
    // The board thread may call the hooks until the server has stopped.
    server::stop(c.server);
    router_end(c);
    c.router_changed = nullptr;
    c.board.message_stored = nullptr;
    c.board.owner_notice = nullptr;
    return 0;
}

// What a service tells its journal at start, a line each: where it serves,
// the data folder, private reading, the proxy, and the default credentials
// when they are still in use. Flushed at once: the journal reads a pipe.
static void print_service_summary(Control& c, std::FILE* out) {
    const server::Server& s = c.server;
    if (s.ServerState.load() == server::RunState::Running)
        std::fprintf(out, "komorebi: serving http://%s:%u/\n",
                     s.LocalAddress ? platform::net::url_host(*s.LocalAddress).c_str() : "?",
                     static_cast<unsigned>(s.bound_port));
    else
        std::fprintf(out, "komorebi: not serving (--start starts the server)\n");
    char here[4096];
    std::fprintf(out, "komorebi: data folder %s/DATA\n", ::getcwd(here, sizeof here) ? here : ".");
    std::fprintf(out, "komorebi: private reading %s\n",
                 c.board.PrivateReading.load() == 1 ? "on (only visitors who logged in read the pages)" : "off");
    if (s.trusted_proxy)
        std::fprintf(out, "komorebi: trusted proxy %s (X-Forwarded-For and X-Forwarded-Proto believed from it only)\n",
                     s.trusted_proxy->c_str());
    else
        std::fprintf(out, "komorebi: trusted proxy none (X-Forwarded-For and X-Forwarded-Proto are ignored)\n");
    if (s.listen_ipv6)
        std::fprintf(out, "komorebi: IPv6 on (also listening on IPv6), global address %s\n",
                     s.GlobalIpv6 ? s.GlobalIpv6->c_str() : "none");
    if (uses_default_credentials(c))
        std::fprintf(out, "komorebi: warning: the ID and password are still the defaults; set them with the console "
                          "(komorebi --dir FOLDER, then the id command)\n");
    std::fflush(out);
}

int run_without_console(Control& c, bool start) {
    c.board.owner_notice = [](const std::string& text, const std::string& caption) {
        std::fprintf(stderr, "%s\n%s\n", to_terminal(caption).c_str(), to_terminal(text).c_str());
    };
    // The console's line for each stored message goes to the journal, flushed at once.
    Notifier notifier({c.notify_program, kNotifyTimeLimit, to_utf8,
                       [](const std::string& line) {
                           std::fputs(to_terminal(line).c_str(), stdout);
                           std::fflush(stdout);
                       },
                       true, c.board.owner_notice});
    connect_new_messages(c, notifier, nullptr);
    c.router_changed = [&c] {
        std::string line = router_status(c);
        if (line.empty()) return;
        std::fputs(("komorebi: " + to_terminal(line) + "\n").c_str(), stdout);
        std::fflush(stdout);
    };
    server::StartResult started = start ? server::start(c.server) : server::StartResult::Started;
    if (started != server::StartResult::Started) {
        std::fprintf(stderr, "komorebi: the server did not start (code %d): %s\n", static_cast<int>(started),
                     c.server.start_error.c_str());
        server::stop(c.server);
        c.router_changed = nullptr;
        c.board.message_stored = nullptr;
        c.board.owner_notice = nullptr;
        return 1;
    }
    router_follow(c);
    status_refresh(c);  // the address the new messages' program is told
    print_service_summary(c, stdout);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    // Blocked in every thread, so the signals wait for sigtimedwait below.
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) == 0 && (sig == SIGINT || sig == SIGTERM)) break;
    }
    server::stop(c.server);
    router_end(c);
    c.router_changed = nullptr;
    c.board.message_stored = nullptr;
    c.board.owner_notice = nullptr;
    return 0;
}

}  // namespace window::console
