#include "platform/unicode.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace platform {

std::string shift_jis_to_utf8(std::string_view shift_jis) {
    if (shift_jis.empty()) return {};
    // Without MB_ERR_INVALID_CHARS a byte that is no character becomes U+FFFD
    // (or the code page's default character), never an error.
    int size = static_cast<int>(shift_jis.size());
    int n = ::MultiByteToWideChar(932, 0, shift_jis.data(), size, nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(932, 0, shift_jis.data(), size, wide.data(), n);
    int m = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(m), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, out.data(), m, nullptr, nullptr);
    return out;
}

}  // namespace platform
