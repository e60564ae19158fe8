// The shared test helpers (tests/support/test_support.h) over Win32 and
// Winsock, so that the portable suites run against the Windows platform layer.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/test_support.h"
#include "win32/win32_test_support.h"

namespace testing_support {
namespace {

std::wstring wide(const std::string& text, UINT code_page) {
    int n = ::MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

void remove_tree(const std::wstring& dir) {
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileW((dir + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring path = dir + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                remove_tree(path);
            else
                ::DeleteFileW(path.c_str());
        } while (::FindNextFileW(find, &entry));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(dir.c_str());
}

}  // namespace

void TempDirTest::SetUp() {
    wchar_t cwd[MAX_PATH];
    ::GetCurrentDirectoryW(MAX_PATH, cwd);
    previous_ = testing_win32::narrow(cwd);
    wchar_t base[MAX_PATH];
    ::GetTempPathW(MAX_PATH, base);
    static unsigned counter = 0;
    std::wstring made;
    for (int attempt = 0; attempt < 100; ++attempt) {
        made = std::wstring(base) + L"komorebi-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
               std::to_wstring(++counter);
        if (::CreateDirectoryW(made.c_str(), nullptr)) break;
        made.clear();
    }
    ASSERT_FALSE(made.empty());
    dir_ = testing_win32::narrow(made);
    ASSERT_TRUE(::SetCurrentDirectoryW(made.c_str()));
}

void TempDirTest::TearDown() {
    ::SetCurrentDirectoryW(wide(previous_, CP_UTF8).c_str());
    if (!dir_.empty()) remove_tree(wide(dir_, CP_UTF8));
}

bool file_exists(const std::string& path) {
    return ::GetFileAttributesW(wide(path, 932).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileW((wide(path, 932) + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") names.push_back(testing_win32::narrow(name));
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
    return names;
}

std::string sjis(const std::string& utf8) {
    std::wstring text = wide(utf8, CP_UTF8);
    BOOL lossy = FALSE;
    int n = ::WideCharToMultiByte(932, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, &lossy);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(932, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, &lossy);
    EXPECT_FALSE(lossy) << "not convertible to Shift_JIS: " << utf8;
    return out;
}

std::string http_exchange(std::uint16_t port, const std::string& request, int pause_ms, const std::string& second) {
    testing_win32::Winsock winsock;
    SOCKET s = testing_win32::connect_loopback(port);
    if (s == INVALID_SOCKET) return "<connect failed>";
    ::send(s, request.data(), static_cast<int>(request.size()), 0);
    if (!second.empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
        ::send(s, second.data(), static_cast<int>(second.size()), 0);
    }
    std::string reply = testing_win32::receive_all(s);
    ::closesocket(s);
    return reply;
}

}  // namespace testing_support
