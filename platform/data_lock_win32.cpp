#include <windows.h>

#include "platform/data_lock.h"

namespace platform {
namespace {

std::wstring wide(const std::string& path) {
    int n = ::MultiByteToWideChar(932, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    std::wstring out(n > 0 ? n : 0, L'\0');
    if (n > 0) ::MultiByteToWideChar(932, 0, path.data(), static_cast<int>(path.size()), out.data(), n);
    return out;
}

}  // namespace

DataLock::DataLock(const std::string& path) {
    // Shared for reading, writing and deleting: the lock, not the sharing
    // mode, keeps a second program out, and a backup may still copy the file.
    HANDLE file = ::CreateFileW(wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    OVERLAPPED at{};
    if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        state_ = ::GetLastError() == ERROR_LOCK_VIOLATION ? State::InUse : State::Unavailable;
        ::CloseHandle(file);
        return;
    }
    handle_ = reinterpret_cast<std::intptr_t>(file);
    state_ = State::Held;
}

DataLock::~DataLock() {
    if (state_ != State::Held) return;
    HANDLE file = reinterpret_cast<HANDLE>(handle_);
    OVERLAPPED at{};
    ::UnlockFileEx(file, 0, 1, 0, &at);
    ::CloseHandle(file);
}

}  // namespace platform
