#include "window/win32/app.h"

#include <commctrl.h>

#include <algorithm>
#include <memory>
#include <string>

#include "window/win32/dialogs.h"
#include "window/win32/resource.h"
#include "window/win32/wide_text.h"

namespace window::win32 {
namespace {

constexpr int kTextMax = 100;  // the title and class name buffers, in wide characters
constexpr int kWidth = 550;
constexpr int kHeight = 300;
constexpr int kPanelX = 10;
constexpr int kPanelY = 10;
constexpr int kPanelWidth = 190;
constexpr int kPanelHeight = 110;
constexpr int kIpv6UrlY = 250;  // the IPv6 URL's line, below the log line, while it is shown

struct Notice {
    std::string text;
    std::string caption;
};

std::wstring load_text(HINSTANCE instance, UINT id) {
    wchar_t buffer[kTextMax + 1] = {};
    ::LoadStringW(instance, id, buffer, kTextMax);
    return buffer;
}

HWND owner_window(const App& app, Owner owner) {
    switch (owner) {
        case Owner::Main: return app.main;
        case Owner::Dialog: return app.dialog ? app.dialog : app.main;
        case Owner::None: break;
    }
    return nullptr;
}

int show_box(const App& app, const std::string& text, const std::string& caption, Owner owner, UINT buttons) {
    HWND window = owner_window(app, owner);
    // A box without an owner still keeps this thread's windows from being
    // used while it is open, so no dialog button can run twice meanwhile.
    UINT modality = window ? MB_APPLMODAL : MB_TASKMODAL;
    return ::MessageBoxW(window, to_wide(text).c_str(), to_wide(caption).c_str(), buttons | modality);
}

// What the window procedure does before every message: the deferred status
// refresh after a panel button or a dialog change.
// The title shows private reading while it is on, and the proxy; the warning
// while the board still uses the default ID and password stands in the
// status area's spare space beside the indicator, as the console prints it
// below its status, without stopping anything (the title cannot hold all three).
void update_title(App& app) {
    if (!app.main) return;
    std::wstring title = load_text(app.instance, IDS_APP_TITLE);
    if (app.control.board.PrivateReading.load() == 1) title += to_wide("　［閲覧制限中］");
    title += to_wide(new_messages_title(app.unseen));
    if (app.control.server.trusted_proxy) title += to_wide("　［プロキシ経由］");
    ::SetWindowTextW(app.main, title.c_str());
    ::CheckMenuItem(::GetMenu(app.main), IDM_IPV6,
                    MF_BYCOMMAND | (app.control.server.listen_ipv6 ? MF_CHECKED : MF_UNCHECKED));
    bool warn = uses_default_credentials(app.control);
    if (warn != app.default_credentials) ::InvalidateRect(app.main, nullptr, TRUE);
    app.default_credentials = warn;
}

// The default ID and password's warning, wrapped in the space right of the
// status lines at the top, in red.
void paint_credentials_warning(HWND window, HDC dc, const Control& c) {
    int left = 0;
    for (const StatusPlacement& place : kStatusPlacements) {
        if (place.y > 100) continue;
        std::wstring text = to_wide(c.status[place.line]);
        SIZE size{};
        ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
        left = std::max(left, place.x + static_cast<int>(size.cx));
    }
    RECT client;
    ::GetClientRect(window, &client);
    RECT box{left + 12, kStatusPlacements[kHeading].y, client.right - 8, kStatusPlacements[kAddress].y - 4};
    std::wstring warning = to_wide("※ＩＤとパスワードが初期値のままです。変更して下さい。");
    ::SetTextColor(dc, RGB(192, 0, 0));
    ::SetBkMode(dc, TRANSPARENT);
    ::DrawTextW(dc, warning.c_str(), static_cast<int>(warning.size()), &box, DT_WORDBREAK | DT_NOPREFIX);
}

// The notice of unseen messages in the space right of the log line, in
// blue, two lines cut to fit; a click there marks them seen.
void paint_new_messages(HWND window, HDC dc, App& app) {
    app.notice_box = RECT{};
    std::string text = new_messages_text(app);
    if (text.empty()) return;
    const StatusPlacement& log = kStatusPlacements[kLog];
    std::wstring log_line = to_wide(app.control.status[log.line]);
    SIZE size{};
    ::GetTextExtentPoint32W(dc, log_line.c_str(), static_cast<int>(log_line.size()), &size);
    RECT client;
    ::GetClientRect(window, &client);
    HFONT font = ::CreateFontW(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, SHIFTJIS_CHARSET, OUT_DEFAULT_PRECIS,
                               CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, L"MS UI Gothic");
    HGDIOBJ old = ::SelectObject(dc, font);
    TEXTMETRICW metrics{};
    ::GetTextMetricsW(dc, &metrics);
    ::SetTextColor(dc, RGB(0, 0, 192));
    ::SetBkMode(dc, TRANSPARENT);
    int top = log.y + static_cast<int>(size.cy) / 2 - static_cast<int>(metrics.tmHeight);
    RECT box{log.x + static_cast<int>(size.cx) + 16, top, client.right - 8, top};
    for (size_t at = 0; at <= text.size();) {
        size_t end = text.find('\n', at);
        std::wstring line = to_wide(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        RECT row{box.left, box.bottom, box.right, box.bottom + metrics.tmHeight};
        ::DrawTextW(dc, line.c_str(), static_cast<int>(line.size()), &row,
                    DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
        box.bottom = row.bottom;
        if (end == std::string::npos) break;
        at = end + 1;
    }
    ::SelectObject(dc, old);
    ::DeleteObject(font);
    app.notice_box = box;
}

// A stored message from the board thread: one more unseen, the notice and
// the title show it, and the taskbar button flashes once while the window
// is not in front.
void show_new_message(App& app, LPARAM lparam) {
    std::unique_ptr<board::StoredMessage> message(reinterpret_cast<board::StoredMessage*>(lparam));
    if (!message) return;
    ++app.unseen;
    app.newest = std::move(*message);
    if (::GetForegroundWindow() != app.main) {
        FLASHWINFO flash{sizeof flash, app.main, FLASHW_ALL, 1, 0};
        ::FlashWindowEx(&flash);
    }
    ::InvalidateRect(app.main, nullptr, TRUE);
    update_title(app);
}

void before_each_message(App& app) { show_changes(app); }

// The window is 550 by 300 pixels; but where the menu bar's texts need two
// rows (wide fonts, large captions), that leaves no room for the last status
// line (or the lines below it: the IPv6 URL's, the router's), so the window
// then grows downwards just enough to show it whole.
// The router's line, while there is one, stands below the log line and the IPv6 URL's line.
int router_line_y(Control& c) { return ipv6_url_status(c).empty() ? kIpv6UrlY : kIpv6UrlY + 30; }
void fit_status_lines(HWND window, Control& c) {
    HDC dc = ::GetDC(window);
    TEXTMETRICW metrics{};
    ::GetTextMetricsW(dc, &metrics);
    ::ReleaseDC(window, dc);
    int last = kStatusPlacements.back().y;
    if (!ipv6_url_status(c).empty()) last = kIpv6UrlY;
    if (!router_status(c).empty()) last = router_line_y(c);
    int needed = last + metrics.tmHeight + 8;
    RECT client;
    ::GetClientRect(window, &client);
    if (client.bottom >= needed) return;
    RECT frame;
    ::GetWindowRect(window, &frame);
    ::SetWindowPos(window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top + needed - client.bottom,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void confirm_exit(App& app) {
    if (exit_confirmation(app.control)) ::DestroyWindow(app.main);
}

void show_notice(App& app, LPARAM lparam) {
    std::unique_ptr<Notice> notice(reinterpret_cast<Notice*>(lparam));
    if (notice) app.control.boxes.ok(notice->text, notice->caption, Owner::None);
}

LRESULT on_command(App& app, HWND window, WPARAM wparam, LPARAM lparam) {
    switch (LOWORD(wparam)) {
        case IDM_ABOUT: run_dialog(app, IDD_ABOUT); return 0;
        case IDM_EXIT: confirm_exit(app); return 0;
        case IDM_PORT: run_dialog(app, IDD_PORT); return 0;
        case IDM_LOG: run_dialog(app, IDD_LOG); return 0;
        case IDM_PRIVATE: run_dialog(app, IDD_PRIVATE); return 0;
        case IDM_UPNP: upnp_menu(app.control); return 0;
        case IDM_ID_PASSWORD:
            run_dialog(app, IDD_ID_PASSWORD);
            update_title(app);
            return 0;
        case IDM_RESET: run_dialog(app, IDD_RESET); return 0;
        case IDM_DELETE: run_dialog(app, IDD_DELETE); return 0;
        case IDM_SEEN: mark_seen(app); return 0;
        case IDM_FEED: feed_dialog(app.control); return 0;
        case IDM_IPV6: set_ipv6(app.control, !app.control.server.listen_ipv6, Owner::Main); return 0;
        default: return ::DefWindowProcW(window, WM_COMMAND, wparam, lparam);
    }
}

LRESULT CALLBACK main_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* app = reinterpret_cast<App*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!app) return ::DefWindowProcW(window, message, wparam, lparam);
    before_each_message(*app);
    switch (message) {
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = ::BeginPaint(window, &ps);
            paint_status(dc, app->control);
            if (std::string line = router_status(app->control); !line.empty()) {
                std::wstring text = to_wide(line);
                ::TextOutW(dc, kStatusPlacements[kLog].x, router_line_y(app->control), text.c_str(), static_cast<int>(text.size()));
            }
            if (app->default_credentials) paint_credentials_warning(window, dc, app->control);
            paint_new_messages(window, dc, *app);
            ::EndPaint(window, &ps);
            return 0;
        }
        case WM_LBUTTONDOWN: {
            POINT at{static_cast<short>(LOWORD(lparam)), static_cast<short>(HIWORD(lparam))};
            if (app->unseen > 0 && ::PtInRect(&app->notice_box, at)) mark_seen(*app);
            return 0;
        }
        case kNewMessageMessage: show_new_message(*app, lparam); return 0;
        case kRouterMessage:
            fit_status_lines(window, app->control);
            refresh_status(*app);
            return 0;
        case WM_COMMAND: return on_command(*app, window, wparam, lparam);
        case WM_CLOSE: confirm_exit(*app); return 0;
        case kOwnerNoticeMessage: show_notice(*app, lparam); return 0;
        case WM_DESTROY:
            app->notice_target = nullptr;
            ::PostQuitMessage(0);
            return 0;
        case WM_NCDESTROY:
            app->main = nullptr;
            app->panel = nullptr;
            return ::DefWindowProcW(window, message, wparam, lparam);
        default: return ::DefWindowProcW(window, message, wparam, lparam);
    }
}

}  // namespace

const std::array<StatusPlacement, kStatusLineCount> kStatusPlacements = {{
    {kHeading, 210, 30},
    {kState, 220, 60},
    {kIndicator, 270, 90},
    {kAddress, 10, 130},
    {kPort, 10, 160},
    {kUrl, 10, 190},
    {kLog, 10, 220},
}};

COLORREF status_background(StatusLine line, bool running_colour) {
    switch (line) {
        case kHeading:
        case kState: return ::GetSysColor(COLOR_WINDOW);
        case kIndicator: return running_colour ? RGB(0, 255, 0) : RGB(255, 255, 0);
        default: return RGB(255, 255, 255);
    }
}

void paint_status(HDC dc, const Control& c) {
    ::SetTextColor(dc, RGB(0, 0, 0));
    ::SetBkMode(dc, OPAQUE);
    for (const StatusPlacement& place : kStatusPlacements) {
        std::wstring text = to_wide(c.status[place.line]);
        ::SetBkColor(dc, status_background(place.line, c.running_colour));
        ::TextOutW(dc, place.x, place.y, text.c_str(), static_cast<int>(text.size()));
    }
    std::wstring ipv6_url = to_wide(ipv6_url_status(c));
    if (!ipv6_url.empty()) {
        ::SetBkColor(dc, RGB(255, 255, 255));
        ::TextOutW(dc, kStatusPlacements[kUrl].x, kIpv6UrlY, ipv6_url.c_str(), static_cast<int>(ipv6_url.size()));
    }
}

MessageBoxes message_boxes(App& app) {
    MessageBoxes boxes;
    boxes.ok = [&app](const std::string& text, const std::string& caption, Owner owner) {
        show_box(app, text, caption, owner, MB_OK);
    };
    boxes.yes_no = [&app](const std::string& text, const std::string& caption, Owner owner) {
        return show_box(app, text, caption, owner, MB_YESNO) == IDYES;
    };
    return boxes;
}

void connect_owner_notice(App& app) {
    std::atomic<HWND>* target = &app.notice_target;
    // The board thread must not wait for the owner: it posts a copy and goes on.
    app.control.board.owner_notice = [target](const std::string& text, const std::string& caption) {
        HWND window = target->load();
        if (!window) return;
        auto* notice = new Notice{text, caption};
        if (!::PostMessageW(window, kOwnerNoticeMessage, 0, reinterpret_cast<LPARAM>(notice))) delete notice;
    };
}

void connect_router(App& app) {
    std::atomic<HWND>* target = &app.notice_target;
    app.control.router_changed = [target] {
        if (HWND window = target->load()) ::PostMessageW(window, kRouterMessage, 0, 0);
    };
}

NotifierSetup notifier_setup(App& app) {
    NotifierSetup setup;
    setup.program = app.control.notify_program;
    setup.to_utf8 = shift_jis_to_utf8;
    setup.tell = app.control.board.owner_notice;
    // The window shows each message in its notice: only the queue's own notices are told, in a box.
    setup.print_each = false;
    std::function<void(const std::string&, const std::string&)> tell = setup.tell;
    setup.print = [tell](const std::string& line) {
        if (tell) tell(line.substr(0, line.find_last_not_of('\n') + 1), kConfirmCaption);
    };
    return setup;
}

void connect_new_messages(App& app, Notifier& notifier) {
    std::atomic<HWND>* target = &app.notice_target;
    // The board thread must not wait for the window: it posts a copy and goes on.
    window::connect_new_messages(app.control, notifier, [target](const board::StoredMessage& m) {
        HWND window = target->load();
        if (!window) return;
        auto* message = new board::StoredMessage(m);
        if (!::PostMessageW(window, kNewMessageMessage, 0, reinterpret_cast<LPARAM>(message))) delete message;
    });
}

void mark_seen(App& app) {
    if (app.unseen == 0) return;
    app.unseen = 0;
    app.newest = board::StoredMessage{};
    if (app.main) ::InvalidateRect(app.main, nullptr, TRUE);
    update_title(app);
}

std::string new_messages_text(const App& app) {
    return app.unseen > 0 ? new_messages_notice(app.unseen, app.newest) : std::string();
}

bool create_main_window(App& app, int show) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);

    std::wstring title = load_text(app.instance, IDS_APP_TITLE);
    std::wstring class_name = load_text(app.instance, IDS_CLASS_NAME);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = main_procedure;
    wc.hInstance = app.instance;
    wc.hIcon = ::LoadIconW(app.instance, MAKEINTRESOURCEW(IDI_LARGE));
    wc.hIconSm = static_cast<HICON>(::LoadImageW(app.instance, MAKEINTRESOURCEW(IDI_SMALL), IMAGE_ICON,
                                                 ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON), 0));
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszMenuName = MAKEINTRESOURCEW(IDR_MAIN);
    wc.lpszClassName = class_name.c_str();
    ::RegisterClassExW(&wc);

    app.main = ::CreateWindowExW(0, class_name.c_str(), title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, kWidth,
                                 kHeight, nullptr, nullptr, app.instance, &app);
    if (!app.main) return false;
    fit_status_lines(app.main, app.control);
    app.notice_target = app.main;
    ::ShowWindow(app.main, show);
    ::UpdateWindow(app.main);
    return true;
}

void open_panel(App& app) {
    app.control.panel_action = PanelAction::None;
    app.panel = ::CreateDialogParamW(app.instance, MAKEINTRESOURCEW(IDD_PANEL), app.main, panel_procedure,
                                     reinterpret_cast<LPARAM>(&app));
    if (!app.panel) return;
    ::MoveWindow(app.panel, kPanelX, kPanelY, kPanelWidth, kPanelHeight, TRUE);
    ::ShowWindow(app.panel, SW_SHOW);
    ::SetFocus(app.panel);
}

void show_changes(App& app) {
    if (!consume_changes(app.control) || !app.main) return;
    fit_status_lines(app.main, app.control);
    ::InvalidateRect(app.main, nullptr, TRUE);
    update_title(app);
}

void refresh_status(App& app) {
    status_refresh(app.control);
    if (app.main) ::InvalidateRect(app.main, nullptr, TRUE);
    update_title(app);
}

int run_message_loop(App& app) {
    app.accelerators = ::LoadAcceleratorsW(app.instance, MAKEINTRESOURCEW(IDR_MAIN));
    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (::TranslateAcceleratorW(app.main, app.accelerators, &message)) continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

void shut_down(App& app) {
    app.notice_target = nullptr;
    server::stop(app.control.server);
    app.control.server.ServerState = server::RunState::Stopped;
    router_end(app.control);
    app.control.router_changed = nullptr;
}

}  // namespace window::win32
