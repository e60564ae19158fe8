#include "window/control.h"

#include "board/form.h"
#include "board/paths.h"
#include "board/state.h"
#include "board/views/feed.h"
#include "platform/fs.h"
#include "window/options.h"

namespace window {
namespace {

std::string open_failed(const std::string& file) {
    return std::string("[") + file + "]ファイルのオープンに失敗しました。\n何度も発生する場合は再起動して下さい。";
}

// The credentials file's reader takes any line holding "ID=" or "PASSWORD="
// for that key, so a value holding one would be read back as the wrong one.
// Compared byte by byte, as the reader does.
bool holds_key_of_credentials_file(const std::string& value) {
    return value.find("ID=") != std::string::npos || value.find("PASSWORD=") != std::string::npos;
}

}  // namespace

// While the server runs, the port it really listens on (port 0 lets the system choose).
static std::string shown_port(const server::Server& s) {
    bool running = s.ServerState.load() == server::RunState::Running;
    return std::to_string(running ? s.bound_port : s.ListenPort);
}

std::string board_url(const server::Server& s) {
    if (!s.LocalAddress) return {};
    std::string port = shown_port(s);
    return "http://" + platform::net::url_host(*s.LocalAddress) + (port == "80" ? "" : ":" + port) + "/";
}

std::string ipv6_url_status(const Control& c) {
    const server::Server& s = c.server;
    if (!s.listen_ipv6 || !s.GlobalIpv6) return "";
    std::string port = shown_port(s);
    return "ＩＰｖ６のＵＲＬは [ http://[" + *s.GlobalIpv6 + "]" + (port == "80" ? "" : ":" + port) + "/ ] です。";
}

void status_refresh(Control& c) {
    const server::Server& s = c.server;
    bool running = s.ServerState.load() == server::RunState::Running;
    std::string address = s.LocalAddress ? *s.LocalAddress : "不明";
    std::string port = shown_port(s);
    c.status[kHeading] = "現在、伝言板サーバーは、";
    c.status[kState] = running ? "[ 稼動 ] しています。" : "[ 停止 ] しています。";
    c.status[kIndicator] = running ? "  ▲  " : "  ■  ";
    c.status[kAddress] = "伝言板サーバーのＩＰアドレスは [ " + address + " ] です。";
    c.status[kPort] = "伝言板サーバーのポート番号は [ " + port + " ] です。";
    if (!s.LocalAddress)
        c.status[kUrl] = "ＵＲＬは [ ＩＰアドレスが不明のため、ありません ] です。";
    else
        c.status[kUrl] = "ＵＲＬは [ " + board_url(s) + " ] です。";
    c.status[kLog] = c.board.LogEnabled.load() == 1 ? "ＬＯＧ情報を取得しています。" : "ＬＯＧ情報を取得していません。";
    c.running_colour = running;
    std::lock_guard<std::mutex> guard(c.url_lock);
    c.shown_url = board_url(s);
}

bool consume_changes(Control& c) {
    bool changed = c.panel_action != PanelAction::None || c.port_changed || c.log_changed || c.private_changed ||
                   c.upnp_changed || c.ipv6_changed;
    if (changed) status_refresh(c);
    c.panel_action = PanelAction::None;
    c.port_changed = false;
    c.log_changed = false;
    c.private_changed = false;
    c.upnp_changed = false;
    c.ipv6_changed = false;
    return changed;
}

bool start_server(Control& c, Owner owner) {
    server::Server& s = c.server;
    server::StartResult r = server::start(s);
    std::string menu_notice;
    {
        platform::BoardLockGuard guard(c.board.lock);
        menu_notice.swap(c.board.menu_notice);
    }
    if (!menu_notice.empty()) c.boxes.ok(menu_notice, kConfirmCaption, owner);
    router_follow(c);
    if (r == server::StartResult::Started || r == server::StartResult::AlreadyRunning) return true;
    std::string text = "伝言板サーバーを開始できませんでした。\n";
    std::string port = "ポート番号[ " + std::to_string(s.ListenPort) + " ]";
    std::string reason = s.start_reason.empty() ? "" : "\n（" + s.start_reason + "）";
    switch (r) {
        case server::StartResult::BindFailed:
            if (!s.LocalAddress) {
                text += "このコンピューターのＩＰアドレスが分かりません。\n--bind オプションでＩＰアドレスを指定して下さい。";
                break;
            }
            text += "ＩＰアドレス[ " + (s.failed_address.empty() ? *s.LocalAddress : s.failed_address) + " ]の" + port +
                    "は、他のアプリケーションが使用しているか、使用できません。\n" +
                    "ポート番号を変更するか、他のアプリケーションを終了して下さい。" + reason;
            break;
        case server::StartResult::ListenFailed: text += port + "で接続を待つことができませんでした。" + reason; break;
        case server::StartResult::NoSocket: text += "通信の準備（ソケットの作成）に失敗しました。" + reason; break;
        default: text += "伝言板のファイルか通信の準備に失敗しました。\nDATA フォルダーを確認して下さい。" + reason; break;
    }
    c.boxes.ok(text, kErrorCaption, owner);
    return false;
}

platform::DataLock lock_data_folder() {
    platform::make_directory(board::paths::kData);
    return platform::DataLock(std::string(board::paths::kData) + "/komorebi.lock");
}

void load_owner_settings(Control& c, std::optional<std::uint16_t> port_option, bool private_option,
                         std::optional<std::string> proxy_option, std::optional<std::string> notify_option,
                         bool upnp_option) {
    platform::FileStatus read;
    board::OwnerSettings settings = board::load_owner_settings(&read);
    // A settings file that exists but cannot be read is never written over
    // with the defaults taken for it: this run's changes stay this run's.
    c.settings_unreadable = read.failed();
    c.kept_proxy = settings.proxy;
    c.kept_post_limits = settings.post_limits;
    {
        platform::BoardLockGuard guard(c.board.lock);
        c.board.post_limits = settings.post_limits;
    }
    c.kept_phone = settings.phone;
    c.board.PhoneView = settings.phone;
    c.kept_search = settings.search;
    c.board.SearchForm = settings.search.value_or(0);
    c.kept_notify = settings.notify;
    board::set_feed_token(c.board, settings.feed_token);
    c.notify_program = notify_option ? *notify_option : settings.notify;
    if (proxy_option) c.server.trusted_proxy = proxy_option;
    else if (!settings.proxy.empty()) c.server.trusted_proxy = settings.proxy;
    else c.server.trusted_proxy.reset();
    c.kept_port = settings.port;
    c.server.ListenPort = port_option ? *port_option : settings.port;
    server::set_ipv6(c.server, settings.ipv6 == 1);
    c.board.LogEnabled = settings.log;
    c.pending_log_choice = settings.log;
    c.kept_private = settings.private_reading;
    c.board.PrivateReading = private_option ? 1 : settings.private_reading;
    c.pending_private_choice = c.board.PrivateReading.load();
    c.kept_upnp = settings.upnp;
    c.upnp = upnp_option ? 1 : settings.upnp;
}

void panel_start(Control& c) {
    c.panel_action = PanelAction::Start;
    start_server(c, Owner::Main);
}

void panel_stop(Control& c) {
    c.panel_action = PanelAction::Stop;
    server::stop(c.server);
    router_follow(c);
}

// Keeps the port, the log choice and private reading for the next launch
// (and the proxy and the program as the file named them); a box says so
// when the settings file cannot be written.
static bool owner_settings_saved(Control& c, Owner owner = Owner::Dialog) {
    if (!c.settings_unreadable &&
        board::save_owner_settings({c.kept_port, c.board.LogEnabled.load(), c.kept_private, c.kept_proxy,
                                    c.kept_post_limits, c.kept_phone, c.kept_search, c.kept_notify,
                                    board::feed_token(c.board), c.kept_upnp,
                                    static_cast<std::uint8_t>(c.server.listen_ipv6 ? 1 : 0)}))
        return true;
    c.boxes.ok(open_failed(board::paths::kSettings), kErrorCaption, owner);
    return false;
}

static void save_owner_settings(Control& c) { owner_settings_saved(c); }

Dialog port_dialog_ok(Control& c, const std::string& text) {
    if (text.empty()) return Dialog::StaysOpen;
    std::optional<std::uint16_t> port = parse_port_text(text);
    if (!port) {
        c.boxes.ok("ポート番号[ " + text + " ]は、設定できません。\n０～６５５３５の範囲で入力して下さい。",
                   kConfirmCaption, Owner::Dialog);
        return Dialog::StaysOpen;
    }
    if (!c.boxes.yes_no("ポート番号を[ " + std::to_string(*port) + " ]に変更します。\n宜しいですか？。",
                        kConfirmCaption, Owner::Dialog))
        return Dialog::StaysOpen;
    server::set_port(c.server, *port);
    c.kept_port = *port;
    save_owner_settings(c);
    if (c.server.ServerState.load() == server::RunState::Running) {
        server::stop(c.server);
        start_server(c, Owner::Dialog);
    }
    c.port_changed = true;
    return Dialog::Ends;
}

void set_ipv6(Control& c, bool on, Owner owner) {
    if (on == c.server.listen_ipv6) return;
    // Turning it on first says, once a run, that visitors from the internet
    // can then reach the board.
    if (on) internet_warning(c, owner);
    server::set_ipv6(c.server, on);
    save_owner_settings(c);
    if (c.server.ServerState.load() == server::RunState::Running) {
        server::stop(c.server);
        start_server(c, owner);
    }
    c.ipv6_changed = true;
}

void log_dialog_choose(Control& c, std::uint8_t choice) { c.pending_log_choice = choice ? 1 : 0; }

// OK in a dialog of two choices: true when the owner confirmed the choice.
static bool choice_confirmed(Control& c, std::uint8_t choice, const char* on_text, const char* off_text) {
    std::string text = std::string("[ ") + (choice == 1 ? on_text : off_text) + " ]に、設定します。\n宜しいですか？。";
    return c.boxes.yes_no(text, kConfirmCaption, Owner::Dialog);
}

Dialog log_dialog_ok(Control& c) {
    if (!choice_confirmed(c, c.pending_log_choice, "ログを取得する", "ログを停止する")) return Dialog::StaysOpen;
    c.board.LogEnabled = c.pending_log_choice;
    save_owner_settings(c);
    c.log_changed = true;
    return Dialog::Ends;
}

void private_dialog_choose(Control& c, std::uint8_t choice) { c.pending_private_choice = choice ? 1 : 0; }

Dialog private_dialog_ok(Control& c) {
    if (!choice_confirmed(c, c.pending_private_choice, "ログインした人だけが閲覧できる", "誰でも閲覧できる"))
        return Dialog::StaysOpen;
    c.board.PrivateReading = c.pending_private_choice;
    c.kept_private = c.pending_private_choice;
    save_owner_settings(c);
    c.private_changed = true;
    return Dialog::Ends;
}

std::string feed_addresses(Control& c) {
    std::string token = board::feed_token(c.board);
    if (token.empty()) {
        board::new_feed_token(c.board);
        if (!owner_settings_saved(c, Owner::Main)) {
            board::set_feed_token(c.board, {});
            return {};
        }
        token = board::feed_token(c.board);
    }
    std::string url = board_url(c.server);
    std::string lines;
    if (c.board.PrivateReading.load() != 1)
        lines += "フィードのアドレス　：　" + url + std::string(board::kFeedPath) + "\n";
    lines += "秘密のフィードのアドレス　：　" + url + board::secret_feed_path(token) + "\n";
    return lines;
}

bool feed_new_address(Control& c) {
    std::string old = board::feed_token(c.board);
    board::new_feed_token(c.board);
    if (owner_settings_saved(c, Owner::Main)) return true;
    board::set_feed_token(c.board, old);
    return false;
}

void feed_dialog(Control& c) {
    std::string addresses = feed_addresses(c);
    if (addresses.empty()) return;
    if (!c.boxes.yes_no(addresses + "\n秘密のアドレスを知っている人は、誰でも伝言板を読めます。\n"
                                    "新しい秘密のアドレスを作りますか？",
                        "フィードのアドレス", Owner::Main))
        return;
    if (!c.boxes.yes_no("新しいアドレスを作ると、今の秘密のアドレスでは読めなくなります。\n宜しいですか？。",
                        kConfirmCaption, Owner::Main))
        return;
    if (feed_new_address(c)) c.boxes.ok(feed_addresses(c), "フィードのアドレス", Owner::Main);
}

std::string private_reading_status(const Control& c) {
    return c.board.PrivateReading.load() == 1 ? "閲覧制限をしています。（ログインした人だけが閲覧できます）" : "";
}

std::string proxy_status(const Control& c) {
    if (!c.server.trusted_proxy) return "";
    return "プロキシ[ " + *c.server.trusted_proxy + " ]経由の接続は、転送元のＩＰアドレスで扱います。";
}

std::string router_status(Control& c) {
    return c.upnp == 1 && c.router ? c.router->status_line() : "";
}

void router_follow(Control& c) {
    const server::Server& s = c.server;
    bool running = s.ServerState.load() == server::RunState::Running;
    if (!c.router) {
        if (c.upnp != 1 || !running) return;  // nothing of the router while it is not asked for
        c.router = std::make_unique<RouterKeeper>([&c] {
            if (c.router_changed) c.router_changed();
        });
    }
    if (c.upnp != 1 || !running) {
        c.router->follow(std::nullopt);
        return;
    }
    // The server listens on its address alone; a loopback one (or none) is
    // left to the router client, which takes the address the router is reached from.
    std::string address = s.LocalAddress ? *s.LocalAddress : "";
    if (address.compare(0, 4, "127.") == 0) address.clear();
    c.router->follow(RouterTarget{s.bound_port, address});
}

void router_end(Control& c) { c.router.reset(); }

void internet_warning(Control& c, Owner owner) {
    if (c.internet_warned) return;
    c.internet_warned = true;
    std::string text = "インターネットからの訪問者が、この伝言板に接続できるようになります。\n"
                       "ＩＤとパスワードを知っている人は、誰でもログインして書き込めます。";
    if (uses_default_credentials(c))
        text += "\n※ＩＤとパスワードが初期値のままです。先に[ＩＤ＆パスワードの設定]で変更して下さい。";
    if (c.board.PrivateReading.load() != 1)
        text += "\n※閲覧制限（ログインした人だけが閲覧できる）にすることをお勧めします。";
    c.boxes.ok(text, kConfirmCaption, owner);
}

void upnp_menu(Control& c) {
    std::uint8_t choice = c.upnp == 1 ? 0 : 1;
    if (choice == 1) internet_warning(c, Owner::Main);
    std::string text = std::string("ルーターのポート開放を[ ") + (choice == 1 ? "する" : "しない") +
                       " ]に、設定します。\n宜しいですか？。";
    if (!c.boxes.yes_no(text, kConfirmCaption, Owner::Main)) return;
    c.upnp = choice;
    c.kept_upnp = choice;
    save_owner_settings(c);
    router_follow(c);
    c.upnp_changed = true;
}

Dialog id_password_unrepresentable(Control& c) {
    c.boxes.ok("[ＩＤ]か[パスワード]に、使用できない文字が含まれています。\n半角英数字か、全角文字で入力して下さい。",
               kConfirmCaption, Owner::Dialog);
    return Dialog::StaysOpen;
}

Dialog id_password_dialog_ok(Control& c, const std::string& typed_id, const std::string& typed_password) {
    std::string id = cut_shift_jis(typed_id, 50);
    std::string password = cut_shift_jis(typed_password, 50);
    if (id.empty()) {
        c.boxes.ok("[ＩＤ]が、入力されていませんでした。", kConfirmCaption, Owner::Dialog);
        return Dialog::StaysOpen;
    }
    if (password.empty()) {
        c.boxes.ok("[パスワード]が、入力されていませんでした。", kConfirmCaption, Owner::Dialog);
        return Dialog::StaysOpen;
    }
    if (holds_key_of_credentials_file(id) || holds_key_of_credentials_file(password)) {
        c.boxes.ok("[ＩＤ]か[パスワード]に、「ID=」か「PASSWORD=」を含めることはできません。\n別の文字列を入力して下さい。",
                   kConfirmCaption, Owner::Dialog);
        return Dialog::StaysOpen;
    }
    std::string pair = "ＩＤを、[　" + id + "　]\nパスワードを、[　" + password + "　]\n";
    if (!c.boxes.yes_no(pair + "に変更します。\n宜しいですか？。", kConfirmCaption, Owner::Dialog))
        return Dialog::StaysOpen;
    bool written;
    {
        platform::BoardLockGuard guard(c.board.lock);
        // A board that has never started has no folder for them yet.
        platform::make_directory(board::paths::kData);
        platform::make_directory(board::paths::kIdPasswordDir);
        written = board::write_credentials(id, password).ok();
        if (written) {
            c.board.LoginId = id;
            c.board.LoginPassword = password;
        }
    }
    if (!written)
        c.boxes.ok(open_failed(board::paths::kCredentials), kErrorCaption, Owner::Dialog);
    else
        c.boxes.ok(pair + "に変更しました。", kConfirmCaption, Owner::Dialog);
    return Dialog::Ends;
}

bool exit_confirmation(Control& c) {
    return c.boxes.yes_no("コモレビ\nアプリケーションを終了します。\n宜しいですか？。", kConfirmCaption, Owner::Main);
}

board::ResetResult message_reset(Control& c) {
    // The box waits for the owner; the server must not wait with it, so it
    // is shown after the reset has released the board lock.
    board::ResetOutcome outcome = board::reset_messages(c.board);
    if (outcome.file && std::string_view(outcome.file) == board::paths::kCounters)
        c.boxes.ok(open_failed(outcome.file), kErrorCaption, Owner::None);
    else if (outcome.result != board::ResetResult::Done)
        c.boxes.ok(open_failed(outcome.file), kConfirmCaption, Owner::Dialog);
    return outcome.result;
}

void message_reset_dialog_ok(Control& c) {
    if (message_reset(c) == board::ResetResult::Done)
        c.boxes.ok("メッセージ数＝０\nページ番号＝１\nに設定しました。\n[メッセージのリセット]処理が正常に終了しました。",
                   kConfirmCaption, Owner::Dialog);
    else
        c.boxes.ok("[メッセージのリセット]処理が正常に動きませんでした。\n動作を確認するか、\nうまく動かない時は、申し訳ありませんが、使用を停止して下さい。",
                   kConfirmCaption, Owner::Dialog);
}

int delete_dialog_first_page(Control& c) { return board::current_page_for_deletion(c.board); }

bool delete_dialog_show(Control& c, const std::string& page_text, int& page, board::PageListing& listing) {
    std::optional<int> number = parse_page_text(page_text);
    listing = number ? board::list_page_messages(c.board, *number) : board::PageListing{};
    if (!listing.failed_file.empty()) {
        c.boxes.ok(open_failed(listing.failed_file), kErrorCaption, Owner::Dialog);
        return false;
    }
    if (!listing.exists) {
        c.boxes.ok("[ " + page_text + " ]ページは、ありません。\nページ番号を確認して下さい。", kConfirmCaption, Owner::Dialog);
        return false;
    }
    page = *number;
    return true;
}

std::string delete_list_line(const board::PageMessage& m) {
    auto cut = [](const std::string& text, size_t max_bytes) {
        std::string kept = cut_shift_jis(text, max_bytes);
        return kept.size() < text.size() ? kept + "…" : kept;
    };
    std::string position = std::to_string(m.position);
    if (position.size() < 3) position.insert(0, 3 - position.size(), ' ');
    return position + "  " + printable(m.time) + "  " + cut(printable(m.name), 16) + "  " + cut(printable(m.title), 32);
}

bool delete_dialog_search(Control& c, const std::string& text, std::vector<board::SearchHit>& hits) {
    hits.clear();
    board::SearchWords words = board::search_words(text);
    switch (words.problem) {
        case board::QueryProblem::None: break;
        case board::QueryProblem::Empty:
            c.boxes.ok("検索する言葉を入力して下さい。", kConfirmCaption, Owner::Dialog);
            return false;
        case board::QueryProblem::BrokenEscape:
        case board::QueryProblem::NotShiftJis:
            c.boxes.ok("検索する言葉に使えない文字が含まれています。入力し直して下さい。", kConfirmCaption, Owner::Dialog);
            return false;
        case board::QueryProblem::TooLong:
            c.boxes.ok("検索する言葉は、１００文字・１０語までです。短くして下さい。", kConfirmCaption, Owner::Dialog);
            return false;
    }
    board::SearchResult r = board::search_pages(c.board, words, 0, kOwnerHitsMax);
    if (!r.failed_file.empty()) c.boxes.ok(open_failed(r.failed_file), kErrorCaption, Owner::Dialog);
    if (r.count == 0 && !r.stopped) {
        c.boxes.ok("[ " + text + " ]を含むメッセージは、見つかりませんでした。", kConfirmCaption, Owner::Dialog);
        return false;
    }
    std::string note;
    if (r.stopped) note += "時間がかかりすぎるため、検索を途中で打ち切りました。\n";
    if (r.count > r.hits.size())
        note += std::to_string(r.count) + "件のうち、新しい" + std::to_string(r.hits.size()) +
                "件を表示します。\n言葉を増やして絞り込んで下さい。";
    if (!note.empty()) c.boxes.ok(note, kConfirmCaption, Owner::Dialog);
    hits = std::move(r.hits);
    return !hits.empty();
}

std::string search_list_line(const board::SearchHit& h) {
    std::string page = std::to_string(h.page);
    if (page.size() < 5) page.insert(0, 5 - page.size(), ' ');
    return page + " " + delete_list_line(page_message_of(h));
}

board::PageMessage page_message_of(const board::SearchHit& h) {
    return board::PageMessage{h.position, h.time, h.name, h.title, h.block};
}

void delete_dialog_none_chosen(Control& c) {
    c.boxes.ok("削除するメッセージを、一覧から選んで下さい。", kConfirmCaption, Owner::Dialog);
}

Dialog delete_dialog_ok(Control& c, int page, const board::PageMessage& m) {
    std::string which = "ページ　：　" + std::to_string(page) + "\n時間　：　" + printable(m.time) + "\n名前　：　" +
                        printable(m.name) + "\n題名　：　" + printable(m.title) + "\n";
    if (!c.boxes.yes_no("次のメッセージを削除します。\n" + which + "宜しいですか？。", kConfirmCaption, Owner::Dialog))
        return Dialog::StaysOpen;
    // The box waits for the owner, so it is shown after the deletion has released the board lock.
    board::DeleteOutcome outcome = board::delete_message(c.board, page, m);
    switch (outcome.result) {
        case board::DeleteResult::Done:
            c.boxes.ok("次のメッセージを削除しました。\n" + which + "[メッセージの削除]処理が正常に終了しました。",
                       kConfirmCaption, Owner::Dialog);
            return Dialog::Ends;
        case board::DeleteResult::Gone:
            c.boxes.ok("このメッセージは、すでにページにありません。\nページを表示し直して下さい。", kConfirmCaption,
                       Owner::Dialog);
            return Dialog::StaysOpen;
        case board::DeleteResult::Failed: break;
    }
    c.boxes.ok(open_failed(outcome.file), kErrorCaption, Owner::Dialog);
    return Dialog::StaysOpen;
}

bool uses_default_credentials(Control& c) {
    platform::BoardLockGuard guard(c.board.lock);
    return c.board.LoginId == board::kDefaultCredential && c.board.LoginPassword == board::kDefaultCredential;
}

std::optional<int> parse_page_text(const std::string& text) {
    std::string_view t(text);
    for (bool trimmed = true; trimmed;) {  // " ", tab and "　" (81 40) around the number
        trimmed = false;
        for (std::string_view blank : {std::string_view(" "), std::string_view("\t"), std::string_view("\x81\x40")}) {
            if (t.substr(0, blank.size()) == blank) t.remove_prefix(blank.size()), trimmed = true;
            if (t.size() >= blank.size() && t.substr(t.size() - blank.size()) == blank)
                t.remove_suffix(blank.size()), trimmed = true;
        }
    }
    std::string digits;
    for (size_t at = 0; at < t.size();) {
        unsigned char c = static_cast<unsigned char>(t[at]);
        unsigned char next = at + 1 < t.size() ? static_cast<unsigned char>(t[at + 1]) : 0;
        if (c >= '0' && c <= '9') {
            digits += static_cast<char>(c);
            at += 1;
        } else if (c == 0x82 && next >= 0x4F && next <= 0x58) {  // "０" to "９"
            digits += static_cast<char>('0' + (next - 0x4F));
            at += 2;
        } else {
            return std::nullopt;
        }
    }
    if (digits.empty() || digits.size() > 9) return std::nullopt;
    long value = std::stol(digits);
    if (value < 1 || value > 100000000) return std::nullopt;
    return static_cast<int>(value);
}

std::string cut_shift_jis(const std::string& text, size_t max_bytes) {
    return text.substr(0, board::whole_characters(text, max_bytes));
}

std::string printable(std::string_view visitor_text) {
    std::string out(visitor_text);
    for (size_t i = 0; i < out.size(); ++i) {
        unsigned char u = static_cast<unsigned char>(out[i]);
        if (platform::sjis::is_lead_byte(out[i])) {
            if (i + 1 < out.size() && platform::sjis::is_second_byte(out[i + 1]))
                ++i;  // a whole double-byte character
            else
                out[i] = ' ';
        } else if (u < 0x20 || u == 0x7F || u == 0x80 || u == 0xA0 || u >= 0xFD) {
            out[i] = ' ';
        }
    }
    return out;
}

}  // namespace window
