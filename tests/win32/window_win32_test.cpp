// The Windows window: class, menu, accelerators, panel, status painting, the
// dialogs driven through their controls, the exit confirmation and the owner
// notices. Needs a display (run under xvfb-run); the message boxes are a
// scripted stand-in, everything else is the real window.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <iterator>
#include <thread>

#include "board/pages.h"
#include "board/routes.h"
#include "server/request.h"
#include "server/listener.h"
#include "support/test_support.h"
#include "win32/win32_test_support.h"
#include "window/win32/app.h"
#include "window/win32/dialogs.h"
#include "window/win32/resource.h"
#include "window/win32/wide_text.h"

using namespace testing_support;
using window::Owner;
using window::win32::App;
using window::win32::to_shift_jis;
using window::win32::to_wide;

namespace {

struct Shown {
    std::string text, caption;
    Owner owner;
};

// Message boxes that answer from a script. while_open runs as if the box's
// own message loop were turning, so that a test can send the window messages
// then.
struct FakeBoxes {
    std::vector<Shown> shown;
    std::deque<bool> answers;  // Yes/No answers in order; none left means No
    std::function<void()> while_open;
    window::MessageBoxes boxes() {
        return {[this](const std::string& t, const std::string& c, Owner o) {
                    shown.push_back({t, c, o});
                    if (while_open) while_open();
                },
                [this](const std::string& t, const std::string& c, Owner o) {
                    shown.push_back({t, c, o});
                    if (while_open) while_open();
                    bool yes = !answers.empty() && answers.front();
                    if (!answers.empty()) answers.pop_front();
                    return yes;
                }};
    }
};

// Works a modal dialog from inside its own message loop: a thread timer runs
// one step per tick against the open dialog. A dialog still open after the
// last step is cancelled and the test fails.
class DialogScript {
public:
    using Step = std::function<void(HWND dialog)>;
    DialogScript(App& app, std::vector<Step> steps) : app_(app), steps_(steps.begin(), steps.end()) {}
    // Runs what opens the dialog (it returns when the dialog has ended).
    void run(const std::function<void()>& open) {
        current_ = this;
        UINT_PTR timer = ::SetTimer(nullptr, 0, 20, tick);
        open();
        ::KillTimer(nullptr, timer);
        current_ = nullptr;
        EXPECT_TRUE(steps_.empty()) << steps_.size() << " steps were not run";
    }
    // Opens the dialog through the main window's menu command.
    void run_command(int command) {
        run([this, command] { ::SendMessageW(app_.main, WM_COMMAND, command, 0); });
    }
    std::wstring caption;  // the dialog's title, as the first step saw it

private:
    static void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD) {
        DialogScript* self = current_;
        if (!self || !self->app_.dialog) return;
        HWND dialog = self->app_.dialog;
        if (self->caption.empty()) {
            wchar_t text[256] = {};
            ::GetWindowTextW(dialog, text, 256);
            self->caption = text;
        }
        if (!self->steps_.empty()) {
            Step step = self->steps_.front();
            self->steps_.pop_front();
            step(dialog);
        } else if (++self->idle_ticks_ > 50) {
            ADD_FAILURE() << "the dialog stayed open after its script";
            ::SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        }
    }
    static inline DialogScript* current_ = nullptr;
    App& app_;
    std::deque<Step> steps_;
    int idle_ticks_ = 0;
};

void set_text(HWND dialog, int id, const std::wstring& text) { ::SetDlgItemTextW(dialog, id, text.c_str()); }
void click(HWND dialog, int id) { ::SendMessageW(::GetDlgItem(dialog, id), BM_CLICK, 0, 0); }
void press(HWND dialog, int id) { ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }

std::wstring window_text(HWND w) {
    wchar_t text[1024] = {};
    ::GetWindowTextW(w, text, 1024);
    return text;
}

std::vector<std::wstring> child_texts(HWND parent) {
    std::vector<std::wstring> texts;
    ::EnumChildWindows(
        parent,
        [](HWND child, LPARAM out) {
            reinterpret_cast<std::vector<std::wstring>*>(out)->push_back(window_text(child));
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&texts));
    return texts;
}

bool contains(const std::vector<std::wstring>& texts, const std::wstring& text) {
    for (const auto& t : texts)
        if (t == text) return true;
    return false;
}

// Marks the Alt key as held in this thread's keyboard state.
struct AltKeyDown {
    BYTE keys[256];
    AltKeyDown() {
        ::GetKeyboardState(keys);
        BYTE down[256];
        std::copy(keys, keys + 256, down);
        down[VK_MENU] |= 0x80;
        ::SetKeyboardState(down);
    }
    ~AltKeyDown() { ::SetKeyboardState(keys); }
};

class WindowTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        control.boxes = fake.boxes();
        window::win32::connect_owner_notice(app);
        // Hidden: under wine every window shown costs two seconds of mapping,
        // and nothing here needs to be seen except where a test says so.
        ASSERT_TRUE(window::win32::create_main_window(app, SW_HIDE));
        server::network_initialisation(s);
        s.bind_address = "127.0.0.1";
        s.LocalAddress = "127.0.0.1";
        s.ListenPort = 0;
        window::win32::open_panel(app);
        window::win32::refresh_status(app);
        pump();
    }
    void TearDown() override {
        if (app.main) ::DestroyWindow(app.main);
        pump();
        window::win32::shut_down(app);
        TempDirTest::TearDown();
    }
    // Runs the messages waiting in the queue; remembers a quit message.
    void pump() {
        MSG m;
        while (::PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            if (m.message == WM_QUIT) {
                quit_posted = true;
                continue;
            }
            ::TranslateMessage(&m);
            ::DispatchMessageW(&m);
        }
    }
    void any_message() { ::SendMessageW(app.main, WM_NULL, 0, 0); }
    HWND panel_button(int id) { return ::GetDlgItem(app.panel, id); }
    std::uint16_t free_port() {
        testing_win32::Winsock winsock;
        std::uint16_t port = 0;
        ::closesocket(testing_win32::hold_port(port));
        return port;
    }

    board::Board b;
    server::Server s{board::request_handler(b)};
    FakeBoxes fake;
    window::Control control{s, b, {}};
    App app{control, ::GetModuleHandleW(nullptr)};
    bool quit_posted = false;
};

}  // namespace

TEST(WideText, ShiftJisAndUtf16RoundTrip) {
    const std::string sjis_text = "表示 version 1.0";  // 表 ends in the byte 0x5C
    EXPECT_EQ(to_wide(sjis_text), L"\u8868\u793A version 1.0");
    EXPECT_EQ(to_shift_jis(L"\u8868\u793A"), "\x95\x5C\x8E\xA6");
    EXPECT_EQ(to_shift_jis(to_wide(window::kAboutText)), window::kAboutText);
    EXPECT_EQ(to_shift_jis(L"caf\u00E9"), "caf?") << "what Shift_JIS lacks becomes ?";
    EXPECT_EQ(to_wide(""), L"");
}

TEST(WideText, CommandLineArgumentsLeaveOutTheProgram) {
    auto args = window::win32::command_line_arguments(L"komorebi.exe --dir \"C:\\\u8868 x\" --port 8080");
    EXPECT_EQ(args, (std::vector<std::wstring>{L"--dir", L"C:\\\u8868 x", L"--port", L"8080"}));
    EXPECT_TRUE(window::win32::command_line_arguments(L"").empty());
    EXPECT_TRUE(window::win32::command_line_arguments(L"komorebi.exe").empty());
}

TEST_F(WindowTest, MainWindowHasItsTitleClassIconsAndSize) {
    EXPECT_EQ(window_text(app.main), L"\u30B3\u30E2\u30EC\u30D3");  // コモレビ
    wchar_t class_name[64] = {};
    ::GetClassNameW(app.main, class_name, 64);
    EXPECT_STREQ(class_name, L"MY");
    RECT r;
    ::GetWindowRect(app.main, &r);
    EXPECT_EQ(r.right - r.left, 550);
    EXPECT_GE(r.bottom - r.top, 300);
    // 300 pixels, or more when a menu bar of two rows would hide the last line.
    HDC dc = ::GetDC(app.main);
    TEXTMETRICW metrics{};
    ::GetTextMetricsW(dc, &metrics);
    ::ReleaseDC(app.main, dc);
    RECT client;
    ::GetClientRect(app.main, &client);
    EXPECT_GE(client.bottom, 220 + metrics.tmHeight) << "the log line shows whole";
    if (r.bottom - r.top > 300) {
        EXPECT_LE(client.bottom, 220 + metrics.tmHeight + 10) << "no more than it needs";
    }
    EXPECT_NE(::GetClassLongPtrW(app.main, GCLP_HICON), 0);
    EXPECT_NE(::GetClassLongPtrW(app.main, GCLP_HICONSM), 0);
    EXPECT_EQ(::GetWindowLongW(app.main, GWL_STYLE) & WS_OVERLAPPEDWINDOW, WS_OVERLAPPEDWINDOW);
}

TEST_F(WindowTest, MenuBarHoldsItsItemsInOrder) {
    HMENU menu = ::GetMenu(app.main);
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(::GetMenuItemCount(menu), 11);  // the two menus and the nine items below
    auto text_at = [](HMENU m, int i) {
        wchar_t t[128] = {};
        ::GetMenuStringW(m, i, t, 128, MF_BYPOSITION);
        return std::wstring(t);
    };
    EXPECT_EQ(text_at(menu, 0), L"ファイル(&F)");
    HMENU file = ::GetSubMenu(menu, 0);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(::GetMenuItemID(file, 0), static_cast<UINT>(IDM_EXIT));
    EXPECT_EQ(text_at(file, 0), L"アプリケーションの終了(&X)");
    EXPECT_EQ(::GetMenuItemID(file, 2), static_cast<UINT>(IDM_IPV6));
    EXPECT_EQ(text_at(file, 2), L"ＩＰｖ６でも接続を待つ(&6)");
    for (UINT checked : {UINT{MF_CHECKED}, 0u}) {  // the item turns IPv6 on and off; its check mark shows which
        ::SendMessageW(app.main, WM_COMMAND, IDM_IPV6, 0);
        ::SendMessageW(app.main, WM_NULL, 0, 0);  // the change shows before the next message
        EXPECT_EQ(::GetMenuState(file, IDM_IPV6, MF_BYCOMMAND) & MF_CHECKED, checked);
    }
    EXPECT_EQ(text_at(menu, 1), L"ヘルプ(&H)");
    HMENU help = ::GetSubMenu(menu, 1);
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(::GetMenuItemID(help, 0), static_cast<UINT>(IDM_ABOUT));
    EXPECT_EQ(text_at(help, 0), L"バージョン情報(&A)...");
    const std::pair<UINT, const wchar_t*> items[] = {{32771, L"ポート番号の変更"},
                                                     {32772, L"ログの取得設定"},
                                                     {32777, L"閲覧制限の設定"},
                                                     {32774, L"ＩＤ＆パスワードの設定"},
                                                     {32776, L"メッセージのリセット"},
                                                     {32778, L"メッセージの削除"},
                                                     {32779, L"新着の確認"}, {32780, L"フィード"},
                                                     {32781, L"ルーターのポート開放の設定"}};
    for (int i = 0; i < static_cast<int>(std::size(items)); ++i) {
        EXPECT_EQ(::GetMenuItemID(menu, i + 2), items[i].first) << i;
        EXPECT_EQ(text_at(menu, i + 2), items[i].second) << i;
    }
}

TEST_F(WindowTest, AltQuestionMarkAndAltSlashOpenTheAboutBox) {
    HACCEL table = ::LoadAcceleratorsW(app.instance, MAKEINTRESOURCEW(IDR_MAIN));
    ASSERT_NE(table, nullptr);
    ACCEL entries[4];
    ASSERT_EQ(::CopyAcceleratorTableW(table, entries, 4), 2);
    for (const ACCEL& a : entries) {
        if (&a == entries + 2) break;
        EXPECT_EQ(a.cmd, IDM_ABOUT);
        EXPECT_TRUE(a.fVirt & FALT);
        EXPECT_FALSE(a.fVirt & FVIRTKEY) << "a typed character, not a key";
    }
    EXPECT_EQ(entries[0].key, '?');
    EXPECT_EQ(entries[1].key, '/');
    for (wchar_t typed : {L'?', L'/'}) {
        // What Alt with a character key delivers: WM_SYSCHAR with the Alt bit,
        // while the Alt key is down.
        MSG m{app.main, WM_SYSCHAR, static_cast<WPARAM>(typed), 1 << 29, 0, {0, 0}};
        int translated = 0;
        DialogScript about(app, {[](HWND d) { press(d, IDOK); }});
        // TranslateAccelerator sends the command at once: the about box runs inside it.
        about.run([&] {
            AltKeyDown alt;
            translated = ::TranslateAcceleratorW(app.main, table, &m);
        });
        EXPECT_NE(translated, 0) << static_cast<char>(typed);
        EXPECT_EQ(about.caption, L"バージョン情報") << static_cast<char>(typed);
    }
    MSG plain{app.main, WM_CHAR, L'?', 0, 0, {0, 0}};
    EXPECT_EQ(::TranslateAcceleratorW(app.main, table, &plain), 0) << "without Alt it is just a character";
}

TEST_F(WindowTest, AboutBoxShowsTheNameVersionAndIcon) {
    std::vector<std::wstring> texts;
    HWND icon = nullptr;
    INT_PTR result = 0;
    DialogScript script(app, {[&](HWND d) {
                                  texts = child_texts(d);
                                  icon = ::GetDlgItem(d, IDC_ABOUT_ICON);
                              },
                              [](HWND d) { press(d, IDOK); }});
    script.run([&] { result = window::win32::run_dialog(app, IDD_ABOUT); });
    EXPECT_EQ(script.caption, L"バージョン情報");
    EXPECT_TRUE(contains(texts, to_wide(window::kAboutText)));
    EXPECT_NE(icon, nullptr);
    EXPECT_EQ(result, IDOK);
}

TEST_F(WindowTest, PanelSitsInTheTopLeftCornerWithItsButtons) {
    ASSERT_NE(app.panel, nullptr);
    EXPECT_EQ(::GetParent(app.panel), app.main);
    RECT r;
    ::GetWindowRect(app.panel, &r);
    ::MapWindowPoints(nullptr, app.main, reinterpret_cast<POINT*>(&r), 2);
    EXPECT_EQ(r.left, 10);
    EXPECT_EQ(r.top, 10);
    EXPECT_EQ(r.right - r.left, 190);
    EXPECT_EQ(r.bottom - r.top, 110);
    EXPECT_EQ(window_text(panel_button(IDC_START)), L"▲");
    EXPECT_EQ(window_text(panel_button(IDC_STOP)), L"■");
    std::vector<std::wstring> texts = child_texts(app.panel);
    EXPECT_TRUE(contains(texts, L"伝言板サーバーの再生／停止ボタン"));
    EXPECT_TRUE(contains(texts, L"再生"));
    EXPECT_TRUE(contains(texts, L"停止"));
}

TEST_F(WindowTest, StartAndStopShowAtOnce) {
    ::ShowWindow(app.main, SW_SHOW);  // a hidden window keeps no region to repaint
    EXPECT_EQ(control.status[window::kState], "[ 停止 ] しています。");
    ::ValidateRect(app.main, nullptr);
    ::SendMessageW(panel_button(IDC_START), BM_CLICK, 0, 0);
    EXPECT_EQ(s.ServerState, server::RunState::Running);
    // No message reaches the main window while the mouse rests: the panel shows the outcome itself.
    EXPECT_EQ(control.status[window::kState], "[ 稼動 ] しています。");
    EXPECT_EQ(control.status[window::kIndicator], "  ▲  ");
    EXPECT_TRUE(control.running_colour);
    EXPECT_TRUE(::GetUpdateRect(app.main, nullptr, FALSE)) << "the new lines are to be painted";
    EXPECT_EQ(http_exchange(s.bound_port, "GET / HTTP/1.0\r\n\r\n").substr(0, 15), "HTTP/1.0 200 OK");

    ::SendMessageW(panel_button(IDC_STOP), BM_CLICK, 0, 0);
    EXPECT_EQ(s.ServerState, server::RunState::Stopped);
    EXPECT_EQ(control.status[window::kState], "[ 停止 ] しています。");
    EXPECT_EQ(control.status[window::kIndicator], "  ■  ");
    EXPECT_FALSE(control.running_colour);
}

// Paints the lines on a blue bitmap and checks each line's text cell: no blue
// left (the background is opaque) and mostly the line's own background.
static void expect_backgrounds(const window::Control& c) {
    HDC screen = ::GetDC(nullptr);
    HDC dc = ::CreateCompatibleDC(screen);
    HBITMAP bitmap = ::CreateCompatibleBitmap(screen, 550, 300);
    ::ReleaseDC(nullptr, screen);
    HGDIOBJ old = ::SelectObject(dc, bitmap);
    const COLORREF blue = RGB(0, 0, 255);
    HBRUSH brush = ::CreateSolidBrush(blue);
    RECT all{0, 0, 550, 300};
    ::FillRect(dc, &all, brush);
    ::DeleteObject(brush);
    window::win32::paint_status(dc, c);
    for (const auto& place : window::win32::kStatusPlacements) {
        std::wstring text = to_wide(c.status[place.line]);
        SIZE size{};
        ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
        COLORREF expected = window::win32::status_background(place.line, c.running_colour);
        int blue_left = 0, background = 0, total = 0;
        for (int y = place.y; y < place.y + size.cy && y < 300; ++y)
            for (int x = place.x; x < place.x + size.cx && x < 550; ++x) {
                COLORREF p = ::GetPixel(dc, x, y);
                blue_left += p == blue;
                background += p == expected;
                ++total;
            }
        EXPECT_GT(total, 0) << place.line;
        EXPECT_EQ(blue_left, 0) << "line " << place.line;
        EXPECT_GT(background * 2, total) << "line " << place.line;
    }
    ::SelectObject(dc, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(dc);
}

TEST_F(WindowTest, EachLineIsPaintedOnItsBackground) {
    EXPECT_EQ(window::win32::status_background(window::kIndicator, false), RGB(255, 255, 0));
    EXPECT_EQ(window::win32::status_background(window::kIndicator, true), RGB(0, 255, 0));
    EXPECT_EQ(window::win32::status_background(window::kLog, true), RGB(255, 255, 255));
    expect_backgrounds(control);
    ::SendMessageW(panel_button(IDC_START), BM_CLICK, 0, 0);
    any_message();
    ASSERT_TRUE(control.running_colour);
    expect_backgrounds(control);
}

TEST_F(WindowTest, PortDialogRefusesOutOfRangeThenMovesARunningServer) {
    ::SendMessageW(panel_button(IDC_START), BM_CLICK, 0, 0);
    any_message();
    ASSERT_EQ(s.ServerState, server::RunState::Running);
    std::uint16_t fresh = free_port();
    fake.answers = {true};
    int empty_edit = -1;
    std::vector<std::wstring> texts;
    DialogScript script(app, {[&](HWND d) {
                                  empty_edit = ::GetWindowTextLengthW(::GetDlgItem(d, IDC_EDIT_PORT));
                                  texts = child_texts(d);
                                  set_text(d, IDC_EDIT_PORT, L"65536");
                                  press(d, IDOK);
                              },
                              [&](HWND d) {
                                  set_text(d, IDC_EDIT_PORT, std::to_wstring(fresh));
                                  press(d, IDOK);
                              }});
    script.run_command(IDM_PORT);
    EXPECT_EQ(script.caption, L"ポート番号の設定");
    EXPECT_EQ(empty_edit, 0) << "the edit box does not show the current port";
    EXPECT_TRUE(contains(texts, L"・０～６５５３５の範囲で設定して下さい。"));
    EXPECT_TRUE(contains(texts, L"・初期値は[ 53790 ]に設定しています。"));
    ASSERT_EQ(fake.shown.size(), 2u);
    EXPECT_EQ(fake.shown[0].text, "ポート番号[ 65536 ]は、設定できません。\n０～６５５３５の範囲で入力して下さい。");
    EXPECT_EQ(fake.shown[0].owner, Owner::Dialog);
    EXPECT_EQ(fake.shown[1].text, "ポート番号を[ " + std::to_string(fresh) + " ]に変更します。\n宜しいですか？。");
    EXPECT_EQ(s.ListenPort, fresh);
    EXPECT_EQ(s.ServerState, server::RunState::Running);
    EXPECT_EQ(s.bound_port, fresh);
    EXPECT_EQ(http_exchange(fresh, "GET / HTTP/1.0\r\n\r\n").substr(0, 15), "HTTP/1.0 200 OK");
    EXPECT_NE(control.status[window::kPort].find(std::to_string(fresh)), std::string::npos)
        << "the port changed flag refreshed the status";
}

TEST_F(WindowTest, PortDialogReadsTheWholeTextWithFullWidthDigits) {
    fake.answers = {false};
    DialogScript script(app, {[](HWND d) {
                                  set_text(d, IDC_EDIT_PORT, L"123456");
                                  press(d, IDOK);
                              },
                              [](HWND d) {
                                  set_text(d, IDC_EDIT_PORT, L" \uFF11\uFF12\uFF13\uFF14\uFF15 ");
                                  press(d, IDOK);
                              },
                              [](HWND d) { press(d, IDCANCEL); }});
    script.run_command(IDM_PORT);
    ASSERT_EQ(fake.shown.size(), 2u);
    EXPECT_EQ(fake.shown[0].text, "ポート番号[ 123456 ]は、設定できません。\n０～６５５３５の範囲で入力して下さい。");
    EXPECT_EQ(fake.shown[1].text, "ポート番号を[ 12345 ]に変更します。\n宜しいですか？。");
    EXPECT_EQ(s.ListenPort, 0) << "No leaves the port";
}

TEST_F(WindowTest, LogDialogKeepsTheChoiceThroughACancel) {
    bool on_checked = true, off_checked = false;
    DialogScript first(app, {[&](HWND d) {
                                 on_checked = ::IsDlgButtonChecked(d, IDC_LOG_ON) == BST_CHECKED;
                                 off_checked = ::IsDlgButtonChecked(d, IDC_LOG_OFF) == BST_CHECKED;
                                 click(d, IDC_LOG_ON);
                             },
                             [](HWND d) { press(d, IDCANCEL); }});
    first.run_command(IDM_LOG);
    EXPECT_EQ(first.caption, L"ログの取得");
    EXPECT_FALSE(on_checked);
    EXPECT_TRUE(off_checked);
    EXPECT_EQ(b.LogEnabled, 0);
    EXPECT_EQ(control.pending_log_choice, 1);

    fake.answers = {true};
    DialogScript second(app, {[&](HWND d) {
                                  on_checked = ::IsDlgButtonChecked(d, IDC_LOG_ON) == BST_CHECKED;
                                  press(d, IDOK);
                              }});
    second.run_command(IDM_LOG);
    EXPECT_TRUE(on_checked) << "the cancelled choice shows again";
    ASSERT_EQ(fake.shown.size(), 1u);
    EXPECT_EQ(fake.shown[0].text, "[ ログを取得する ]に、設定します。\n宜しいですか？。");
    EXPECT_EQ(b.LogEnabled, 1);
    EXPECT_EQ(control.status[window::kLog], "ＬＯＧ情報を取得しています。");
}

TEST_F(WindowTest, PrivateReadingDialogSwitchesItAndTheTitleShowsIt) {
    fake.answers = {true};
    DialogScript script(app, {[&](HWND d) {
        click(d, IDC_PRIVATE_ON);
        press(d, IDOK);
    }});
    script.run_command(IDM_PRIVATE);
    EXPECT_EQ(script.caption, L"閲覧制限の設定");
    ASSERT_EQ(fake.shown.size(), 1u);
    EXPECT_EQ(fake.shown[0].text, "[ ログインした人だけが閲覧できる ]に、設定します。\n宜しいですか？。");
    EXPECT_EQ(b.PrivateReading, 1);
    EXPECT_NE(read_file("DATA/settings.ini").find("private=1"), std::string::npos) << "kept for the next launch";
    any_message();
    wchar_t title[200] = {};
    ::GetWindowTextW(app.main, title, 200);
    EXPECT_NE(std::wstring(title).find(L"［閲覧制限中］"), std::wstring::npos);
}

TEST_F(WindowTest, IdPasswordDialogStoresTypedJapaneseAsShiftJis) {
    make_dirs("DATA/IDPASSWORD");
    b.LoginId = b.LoginPassword = board::kDefaultCredential;
    window::win32::refresh_status(app);
    EXPECT_TRUE(app.default_credentials) << "the window warns of the default pair";
    fake.answers = {true};
    DialogScript script(app, {[](HWND d) { press(d, IDOK); },  // both empty
                              [](HWND d) {
                                  set_text(d, IDC_EDIT_ID, L"表示名");
                                  set_text(d, IDC_EDIT_PASSWORD, L"pass word");
                                  press(d, IDOK);
                              }});
    script.run_command(IDM_ID_PASSWORD);
    EXPECT_EQ(script.caption, L"IDとパスワードの変更");
    ASSERT_EQ(fake.shown.size(), 3u);
    EXPECT_EQ(fake.shown[0].text, "[ＩＤ]が、入力されていませんでした。");
    EXPECT_EQ(read_file("DATA/IDPASSWORD/idpassword.ini"), "ID=表示名\r\nPASSWORD=pass word\r\n");
    EXPECT_EQ(b.LoginId, "表示名");
    EXPECT_EQ(b.LoginPassword, "pass word");
    EXPECT_EQ(fake.shown[2].text, "ＩＤを、[　表示名　]\nパスワードを、[　pass word　]\nに変更しました。");
    EXPECT_FALSE(app.default_credentials) << "the warning goes with the default pair";
}

TEST_F(WindowTest, ResetWithoutDataShowsBothBoxesAndTheWindowKeepsWorking) {
    b.CurrentPage = 3;
    b.MessageNo = 40;
    // While a box is open, the server must not wait for it: no box may be
    // shown while the board lock is held.
    int boxes_under_the_lock = 0;
    fake.while_open = [&] {
        if (!b.lock.try_lock()) {
            ++boxes_under_the_lock;
            return;
        }
        b.lock.unlock();
        any_message();
    };
    std::vector<std::wstring> texts;
    DialogScript script(app, {[&](HWND d) {
                                  texts = child_texts(d);
                                  press(d, IDOK);
                              }});
    script.run_command(IDM_RESET);
    EXPECT_EQ(script.caption, L"メッセージのリセット");
    EXPECT_TRUE(contains(texts, L"メッセージを０個、ページを１ページ目に設定します。\n実行する場合は、ＯＫボタンを押して下さい。\n"
                                L"やめる場合は、キャンセルボタンを押して下さい。\n\n※メッセージを保存する場合は、\n"
                                L"    ＨＴＭＬフォルダーのコピーをとって、保存して下さい。"));
    ASSERT_EQ(fake.shown.size(), 2u);
    EXPECT_EQ(fake.shown[0].text,
              "[DATA/MESSAGE/0.ini]ファイルのオープンに失敗しました。\n何度も発生する場合は再起動して下さい。");
    EXPECT_EQ(fake.shown[0].caption, "エラーメッセージ");
    EXPECT_EQ(fake.shown[0].owner, Owner::None);
    EXPECT_EQ(fake.shown[1].owner, Owner::Dialog);
    EXPECT_EQ(b.CurrentPage, 3) << "a failed reset leaves the counters as the disk has them";
    EXPECT_EQ(b.MessageNo, 40);
    EXPECT_EQ(boxes_under_the_lock, 0);
}

TEST_F(WindowTest, DeleteDialogSearchesEveryPageAndDeletesTheMessageFound) {
    make_dirs("DATA/MESSAGE");
    make_dirs("DATA/HTML");
    write_file("DATA/MESSAGE/0.ini", "message=1\r\npage=2\r\n");
    auto block = [](const std::string& title) {
        return "<p>時間　：　2026年12月8日1時0分0秒\n</p>\n<p>名前　：　花\n</p>\n<p>題名　：　" + title +
               "\n</p>\n<p>内容　：　text</p>\n<hr>\n";
    };
    auto page = [](const std::string& blocks) {
        return crlf(std::string(board::kPlainStart) + blocks + std::string(board::kPlainEnd));
    };
    write_file("DATA/HTML/wbk_text_1.html", page(block("other") + block("旅行の日程")));
    write_file("DATA/HTML/wbk_text_2.html", page(block("another")));
    fake.answers = {true};
    std::vector<std::wstring> found;
    DialogScript script(app, {[](HWND d) {
                                  set_text(d, IDC_DELETE_WORDS, L"ニッテイ 日程");
                                  press(d, IDC_DELETE_FIND);  // no match: a box, the list stays
                                  set_text(d, IDC_DELETE_WORDS, L"日程");
                                  press(d, IDC_DELETE_FIND);
                              },
                              [&](HWND d) {
                                  HWND list = ::GetDlgItem(d, IDC_DELETE_LIST);
                                  LRESULT n = ::SendMessageW(list, LB_GETCOUNT, 0, 0);
                                  for (LRESULT i = 0; i < n; ++i) {
                                      wchar_t text[256] = {};
                                      ::SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text));
                                      found.push_back(text);
                                  }
                                  ::SendMessageW(list, LB_SETCURSEL, 0, 0);
                                  press(d, IDOK);
                              }});
    script.run_command(IDM_DELETE);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0], L"    1   2  2026年12月8日1時0分0秒  花  旅行の日程") << "page, position, time, name, title";
    ASSERT_GE(fake.shown.size(), 2u);
    EXPECT_EQ(fake.shown[0].text, "[ ニッテイ 日程 ]を含むメッセージは、見つかりませんでした。");
    EXPECT_EQ(read_file("DATA/HTML/wbk_text_1.html"), page(block("other"))) << "the message found is deleted";
}

TEST_F(WindowTest, ResetCancelChangesNothing) {
    b.CurrentPage = 3;
    b.MessageNo = 40;
    DialogScript script(app, {[](HWND d) { press(d, IDCANCEL); }});
    script.run_command(IDM_RESET);
    EXPECT_TRUE(fake.shown.empty());
    EXPECT_EQ(b.CurrentPage, 3);
    EXPECT_EQ(b.MessageNo, 40);
}

TEST_F(WindowTest, ExitAsksFirstAndNoKeepsEverythingRunning) {
    ::SendMessageW(panel_button(IDC_START), BM_CLICK, 0, 0);
    fake.answers = {false};
    ::SendMessageW(app.main, WM_CLOSE, 0, 0);
    ASSERT_EQ(fake.shown.size(), 1u);
    EXPECT_EQ(fake.shown[0].text, "コモレビ\nアプリケーションを終了します。\n宜しいですか？。");
    EXPECT_EQ(fake.shown[0].caption, "確認メッセージ");
    EXPECT_EQ(fake.shown[0].owner, Owner::Main);
    EXPECT_TRUE(::IsWindow(app.main));
    EXPECT_EQ(s.ServerState, server::RunState::Running);

    HWND main = app.main;
    fake.answers = {true};
    ::SendMessageW(app.main, WM_COMMAND, IDM_EXIT, 0);
    EXPECT_EQ(fake.shown.size(), 2u);
    EXPECT_FALSE(::IsWindow(main));
    EXPECT_EQ(app.main, nullptr);
    pump();
    EXPECT_TRUE(quit_posted);
    window::win32::shut_down(app);
    EXPECT_EQ(s.ServerState, server::RunState::Stopped);
}

TEST_F(WindowTest, OwnerNoticeFromTheAcceptThreadIsShownByTheWindow) {
    std::thread accept_side([this] { b.owner_notice("サーバーが不安定です。\n管理者に問い合わせして下さい。", "エラーメッセージ"); });
    accept_side.join();
    EXPECT_TRUE(fake.shown.empty()) << "the accept thread only posts";
    pump();
    ASSERT_EQ(fake.shown.size(), 1u);
    EXPECT_EQ(fake.shown[0].text, "サーバーが不安定です。\n管理者に問い合わせして下さい。");
    EXPECT_EQ(fake.shown[0].caption, "エラーメッセージ");
    EXPECT_EQ(fake.shown[0].owner, Owner::None);
}

TEST_F(WindowTest, NoticesAfterTheWindowIsGoneAreDropped) {
    ::DestroyWindow(app.main);
    pump();
    b.owner_notice("late", "エラーメッセージ");
    pump();
    EXPECT_TRUE(fake.shown.empty());
}

TEST_F(WindowTest, NewMessagesShowInTheTitleAndTheStatusUntilSeen) {
    load_fresh_board(b);
    window::Notifier notifier(window::win32::notifier_setup(app));
    window::win32::connect_new_messages(app, notifier);
    // Two posts on another thread, as the board thread makes them.
    std::thread board_side([this] {
        std::string cookie = logged_in_cookie(b);
        for (const char* body : {"name=n1&title=t1&text=first", "name=%96%BC%91O&title=%91%E8%96%BC&text=second"}) {
            Recorder rec;
            board::respond(b, server::parse_request(post_request("wbk_write.cgi", body, cookie), "127.0.0.1"), rec.reply);
        }
    });
    board_side.join();
    EXPECT_EQ(window_text(app.main), L"コモレビ") << "the board thread only posts";
    pump();
    EXPECT_EQ(window_text(app.main), L"コモレビ（新着 2）");
    EXPECT_EQ(window::win32::new_messages_text(app), "新着メッセージ　2件　2011年4月28日0時6分25秒\n名前　題名");
    ::SendMessageW(app.main, WM_COMMAND, IDM_SEEN, 0);
    EXPECT_EQ(window_text(app.main), L"コモレビ");
    EXPECT_EQ(window::win32::new_messages_text(app), "");

    // Another one, then a click on the notice where the window painted it.
    b.message_stored(board::StoredMessage{"2011年4月28日0時7分00秒", "n3", "t3", "third", 1, 3});
    pump();
    EXPECT_EQ(window_text(app.main), L"コモレビ（新着 1）");
    ::ShowWindow(app.main, SW_SHOWNOACTIVATE);
    ::UpdateWindow(app.main);
    RECT box = app.notice_box;
    ASSERT_LT(box.left, box.right) << "the notice was painted";
    ::SendMessageW(app.main, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM((box.left + box.right) / 2, (box.top + box.bottom) / 2));
    EXPECT_EQ(window_text(app.main), L"コモレビ");
    EXPECT_TRUE(fake.shown.empty());
    b.message_stored = nullptr;
}
