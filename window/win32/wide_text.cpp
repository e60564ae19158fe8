#include "window/win32/wide_text.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

namespace window::win32 {
namespace {
constexpr UINT kShiftJis = 932;
}

std::wstring to_wide(const std::string& shift_jis) {
    if (shift_jis.empty()) return std::wstring();
    int size = static_cast<int>(shift_jis.size());
    int n = ::MultiByteToWideChar(kShiftJis, 0, shift_jis.data(), size, nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(kShiftJis, 0, shift_jis.data(), size, out.data(), n);
    return out;
}

std::string shift_jis_to_utf8(const std::string& shift_jis) {
    std::wstring wide = to_wide(shift_jis);
    if (wide.empty()) return std::string();
    int size = static_cast<int>(wide.size());
    int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, out.data(), n, nullptr, nullptr);
    return out;
}

std::string to_shift_jis(const std::wstring& text, bool* lossy) {
    if (text.empty()) return std::string();
    int size = static_cast<int>(text.size());
    // No best fit: a typed "é" must not quietly become "e" in an ID or password.
    const DWORD flags = WC_NO_BEST_FIT_CHARS;
    int n = ::WideCharToMultiByte(kShiftJis, flags, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    BOOL used_default = FALSE;
    ::WideCharToMultiByte(kShiftJis, flags, text.data(), size, out.data(), n, nullptr, &used_default);
    if (lossy && used_default) *lossy = true;
    return out;
}

std::vector<std::wstring> command_line_arguments(const wchar_t* command_line) {
    std::vector<std::wstring> args;
    // An empty text would make CommandLineToArgvW report the program's own path.
    if (!command_line || !*command_line) return args;
    int count = 0;
    wchar_t** argv = ::CommandLineToArgvW(command_line, &count);
    if (!argv) return args;
    for (int i = 1; i < count; ++i) args.emplace_back(argv[i]);
    ::LocalFree(argv);
    return args;
}

}  // namespace window::win32
