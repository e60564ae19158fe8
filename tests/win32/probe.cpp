// Finds the windows of the running Komorebi program for the wine test, which
// clicks them with xdotool: prints screen positions and texts, nothing more.
// It never presses a button or sends a command itself. (The menu bar's items
// cannot be located from another process under wine; the test reaches them
// with the keyboard.)
//
//   probe wait TITLE SECONDS        wait for a top-level window with this title
//   probe gone TITLE SECONDS        wait until no such window is left
//   probe panel ID                  centre of a control of the start/stop panel
//   probe control TITLE ID          centre of a control of a top-level window (dialog, message box)
//   probe text TITLE ID             the control's text, UTF-8 (ID 0: the window's own title)
//   probe client                    the main window's client area: left top width height
//   probe window                    the main window with its menu bar: left top width height
//   probe placement TITLE           a top-level window (a dialog): left top width height
// Exit status 1 when the window or control is not there.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string to_utf8(const std::wstring& text) {
    int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

// By its class alone: the title grows a warning while the board keeps the
// default ID and password.
HWND main_window() { return ::FindWindowW(L"MY", nullptr); }

HWND visible_window(const std::wstring& title) {
    HWND w = ::FindWindowW(nullptr, title.c_str());
    return w && ::IsWindowVisible(w) ? w : nullptr;
}

int print_centre(const RECT& r) {
    std::printf("%ld %ld\n", (r.left + r.right) / 2, (r.top + r.bottom) / 2);
    return 0;
}

int print_control_centre(HWND parent, int id) {
    HWND control = parent ? ::GetDlgItem(parent, id) : nullptr;
    RECT r;
    if (!control || !::GetWindowRect(control, &r)) return 1;
    return print_centre(r);
}

int wait_for(const std::wstring& title, int seconds, bool present) {
    for (int i = 0; i < seconds * 10; ++i) {
        if ((visible_window(title) != nullptr) == present) return 0;
        ::Sleep(100);
    }
    return 1;
}

int print_text(HWND window, int id) {
    HWND control = id == 0 ? window : (window ? ::GetDlgItem(window, id) : nullptr);
    if (!control) return 1;
    wchar_t text[4096] = {};
    ::GetWindowTextW(control, text, 4096);
    std::printf("%s\n", to_utf8(text).c_str());
    return 0;
}

// The open pop-up menu is a window of class #32768. Each pop-up of the main
// window holds one item, so the menu's centre is its item's.
int print_client() {
    HWND main = main_window();
    RECT r;
    if (!main || !::GetClientRect(main, &r)) return 1;
    POINT origin{0, 0};
    ::ClientToScreen(main, &origin);
    std::printf("%ld %ld %ld %ld\n", origin.x, origin.y, r.right, r.bottom);
    return 0;
}

int print_window(HWND window) {
    RECT r;
    if (!window || !::GetWindowRect(window, &r)) return 1;
    std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    auto text_arg = [&](int i) { return std::wstring(i < argc ? argv[i] : L""); };
    auto number_arg = [&](int i) { return i < argc ? static_cast<int>(std::wcstol(argv[i], nullptr, 10)) : 0; };
    std::wstring command = text_arg(1);
    if (command == L"wait") return wait_for(text_arg(2), number_arg(3), true);
    if (command == L"gone") return wait_for(text_arg(2), number_arg(3), false);
    if (command == L"panel") {
        HWND main = main_window();
        HWND panel = main ? ::FindWindowExW(main, nullptr, L"#32770", nullptr) : nullptr;
        return print_control_centre(panel, number_arg(2));
    }
    if (command == L"control") return print_control_centre(visible_window(text_arg(2)), number_arg(3));
    if (command == L"text") return print_text(visible_window(text_arg(2)), number_arg(3));
    if (command == L"client") return print_client();
    if (command == L"window") return print_window(main_window());
    if (command == L"placement") return print_window(visible_window(text_arg(2)));
    std::fprintf(stderr, "probe: unknown command %s\n", to_utf8(command).c_str());
    return 2;
}
