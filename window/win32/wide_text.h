#pragma once
// Texts between the program (Shift_JIS, code page 932) and Windows' wide
// functions (UTF-16). Converting explicitly with code page 932 makes the
// Japanese show on any Windows, whatever its ANSI code page.
#include <string>
#include <vector>

namespace window::win32 {

std::wstring to_wide(const std::string& shift_jis);
// Characters that Shift_JIS lacks become "?", and set lossy when it is given.
std::string to_shift_jis(const std::wstring& text, bool* lossy = nullptr);

// Shift_JIS to UTF-8 (through UTF-16), for the owner's program's environment.
std::string shift_jis_to_utf8(const std::string& shift_jis);

// The arguments of a command line as Windows splits them, without the
// program's own name.
std::vector<std::wstring> command_line_arguments(const wchar_t* command_line);

}  // namespace window::win32
