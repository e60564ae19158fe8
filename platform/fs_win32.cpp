// The file-system calls on Windows. Paths reach Windows through the wide
// functions: the program's narrow texts are Shift_JIS (code page 932), which
// need not be the system's ANSI code page.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <direct.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/file_faults.h"
#include "platform/fs.h"

namespace platform {
namespace {

std::wstring wide_path(const std::string& path) {
    if (path.empty()) return std::wstring();
    int n = ::MultiByteToWideChar(932, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(932, 0, path.data(), static_cast<int>(path.size()), out.data(), n);
    return out;
}

FileStatus done() { return {}; }

// A name too long or holding characters no name can hold names no file.
FileStatus from_error(DWORD error) {
    bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                   error == ERROR_FILENAME_EXCED_RANGE || error == ERROR_INVALID_NAME;
    return {missing ? FileStatus::Kind::Missing : FileStatus::Kind::Failed, static_cast<int>(error)};
}

FileStatus failed(DWORD error) { return {FileStatus::Kind::Failed, static_cast<int>(error)}; }

bool injected(FileOp op, const std::string& path, FileStatus& status) {
    int error = fault_error(file_fault_for(op, path),
                            {ERROR_DISK_FULL, ERROR_IO_DEVICE, ERROR_ACCESS_DENIED, ERROR_TOO_MANY_OPEN_FILES});
    if (error == 0) return false;
    status = from_error(static_cast<DWORD>(error));
    return true;
}

// Opened for reading shared with writers and with renames over it.
HANDLE open_shared(const std::string& path) {
    return ::CreateFileW(wide_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The rename that replaces a file also while someone has it open (Windows 10
// 1709 and later, on NTFS): POSIX semantics, as rename(2) has them.
bool rename_over_open_file(const std::string& from, const std::string& to, DWORD& error) {
    HANDLE h = ::CreateFileW(wide_path(from).c_str(), DELETE | SYNCHRONIZE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = ::GetLastError();
        return false;
    }
    std::wstring target = wide_path(to);
    size_t size = sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t);
    std::string buffer(size, '\0');
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    // FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS, in
    // the Flags that share their place with ReplaceIfExists.
    const DWORD kReplaceIfExists = 0x1, kPosixSemantics = 0x2;
    *reinterpret_cast<DWORD*>(info) = kReplaceIfExists | kPosixSemantics;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::memcpy(info->FileName, target.data(), target.size() * sizeof(wchar_t));
    const auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
    bool ok = ::SetFileInformationByHandle(h, kFileRenameInfoEx, info, static_cast<DWORD>(size)) != 0;
    error = ok ? 0 : ::GetLastError();
    ::CloseHandle(h);
    return ok;
}

}  // namespace

std::string reason_text(const FileStatus& status) {
    if (status.ok()) return {};
    wchar_t* text = nullptr;
    DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                               nullptr, static_cast<DWORD>(status.error), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out;
    if (n > 0 && text) {
        while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' ')) --n;
        int bytes = ::WideCharToMultiByte(932, 0, text, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
        out.resize(static_cast<size_t>(bytes));
        ::WideCharToMultiByte(932, 0, text, static_cast<int>(n), out.data(), bytes, nullptr, nullptr);
    }
    if (text) ::LocalFree(text);
    if (out.empty()) out = "error " + std::to_string(status.error);
    return out;
}

void make_directory(const std::string& path) { ::CreateDirectoryW(wide_path(path).c_str(), nullptr); }

FileStatus read_file(const std::string& path, std::string& bytes) {
    bytes.clear();
    FileStatus status;
    if (injected(FileOp::Open, path, status)) return status;
    HANDLE h = open_shared(path);
    if (h == INVALID_HANDLE_VALUE) return from_error(::GetLastError());
    BY_HANDLE_FILE_INFORMATION info;
    if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        ::CloseHandle(h);
        return failed(ERROR_INVALID_FUNCTION);
    }
    bytes.resize((static_cast<size_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow) + 1);
    size_t have = 0;
    for (;;) {
        if (injected(FileOp::Read, path, status)) break;
        DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - have, 1u << 30));
        DWORD got = 0;
        if (!::ReadFile(h, &bytes[have], want, &got, nullptr)) {
            status = failed(::GetLastError());
            break;
        }
        if (got == 0) break;
        have += got;
        if (have == bytes.size()) bytes.resize(bytes.size() * 2);
    }
    ::CloseHandle(h);
    bytes.resize(status.ok() ? have : 0);
    return status;
}

FileStatus WriteHandle::open(const std::string& path, Mode mode) {
    close();
    FileStatus status;
    if (injected(FileOp::Open, path, status)) return status;
    DWORD access = mode == Mode::Append ? FILE_APPEND_DATA : GENERIC_WRITE;
    HANDLE h = ::CreateFileW(wide_path(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                             mode == Mode::Append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return from_error(::GetLastError());
    handle_ = reinterpret_cast<std::intptr_t>(h);
    path_ = path;
    file_call_done({FileOp::Open, path_, {}, {}, mode == Mode::Append});
    return done();
}

FileStatus WriteHandle::write(const char* data, size_t n) {
    FileStatus status;
    if (!is_open()) return failed(ERROR_INVALID_HANDLE);
    if (injected(FileOp::Write, path_, status)) return status;
    HANDLE h = reinterpret_cast<HANDLE>(handle_);
    const std::string_view all(data, n);
    while (n > 0) {
        DWORD put = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(n, 1u << 30));
        if (!::WriteFile(h, data, want, &put, nullptr)) return failed(::GetLastError());
        if (put == 0) return failed(ERROR_WRITE_FAULT);
        data += put;
        n -= put;
    }
    file_call_done({FileOp::Write, path_, {}, all});
    return done();
}

FileStatus WriteHandle::sync() {
    FileStatus status;
    if (!is_open()) return failed(ERROR_INVALID_HANDLE);
    if (injected(FileOp::Sync, path_, status)) return status;
    if (!::FlushFileBuffers(reinterpret_cast<HANDLE>(handle_))) return failed(::GetLastError());
    file_call_done({FileOp::Sync, path_, {}, {}});
    return done();
}

void WriteHandle::start_writing_out() {}  // FlushFileBuffers alone writes a file out

FileStatus WriteHandle::close() {
    if (!is_open()) return done();
    bool ok = ::CloseHandle(reinterpret_cast<HANDLE>(handle_)) != 0;
    handle_ = kClosed;
    return ok ? done() : failed(::GetLastError());
}

FileStatus replace_file(const std::string& from, const std::string& to) {
    FileStatus status;
    if (injected(FileOp::Rename, to, status)) return status;
    DWORD error = 0;
    if (rename_over_open_file(from, to, error)) {
        file_call_done({FileOp::Rename, to, from, {}});
        return done();
    }
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return from_error(error);
    // Older systems and other file systems: the plain move, write-through
    // (the move is on the disk when the call returns, as the directory sync
    // makes it on POSIX). It fails while a reader has the target open, so a
    // sharing refusal is tried again for up to a second.
    for (int attempt = 0;; ++attempt) {
        if (::MoveFileExW(wide_path(from).c_str(), wide_path(to).c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            file_call_done({FileOp::Rename, to, from, {}});
            return done();
        }
        error = ::GetLastError();
        bool busy = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
        if (!busy || attempt >= 50) return from_error(error);
        ::Sleep(20);
    }
}

FileStatus remove_file(const std::string& path) {
    FileStatus status;
    if (injected(FileOp::Remove, path, status)) return status;
    if (!::DeleteFileW(wide_path(path).c_str())) return from_error(::GetLastError());
    file_call_done({FileOp::Remove, path, {}, {}});
    return done();
}

FileStamp file_stamp(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA a{};
    if (!::GetFileAttributesExW(wide_path(path).c_str(), GetFileExInfoStandard, &a)) return {};
    return {(static_cast<std::uint64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow,
            (static_cast<std::uint64_t>(a.ftLastWriteTime.dwHighDateTime) << 32) | a.ftLastWriteTime.dwLowDateTime, 0};
}

// Windows syncs no folder. The rename by handle is not write-through (the
// plain move is); flushing the renamed file itself makes NTFS write its log,
// which holds the renames made before, as a folder's sync does on POSIX. A
// file that cannot be opened for that (a reader holding it unshared) is left
// as it was before this flush existed. The call passes the seam as on POSIX.
FileStatus sync_directory_of(const std::string& path) {
    size_t slash = path.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    FileStatus status;
    if (injected(FileOp::DirectorySync, dir, status)) return status;
    HANDLE h = ::CreateFileW(wide_path(path).c_str(), GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        bool flushed = ::FlushFileBuffers(h) != 0;
        DWORD error = flushed ? 0 : ::GetLastError();
        ::CloseHandle(h);
        if (!flushed) return failed(error);
    }
    file_call_done({FileOp::DirectorySync, dir, {}, {}});
    return done();
}

std::intptr_t open_regular_for_reading(const std::string& path, long long& size) {
    HANDLE h = open_shared(path);
    if (h == INVALID_HANDLE_VALUE) return kNoReading;
    BY_HANDLE_FILE_INFORMATION info;
    if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        ::CloseHandle(h);
        return kNoReading;
    }
    size = static_cast<long long>((static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    return reinterpret_cast<std::intptr_t>(h);
}

size_t read_some(std::intptr_t handle, char* out, size_t n) {
    DWORD got = 0;
    DWORD want = static_cast<DWORD>(std::min<size_t>(n, 1u << 30));
    if (!::ReadFile(reinterpret_cast<HANDLE>(handle), out, want, &got, nullptr)) return 0;
    return got;
}

void close_reading(std::intptr_t handle) { ::CloseHandle(reinterpret_cast<HANDLE>(handle)); }

bool change_directory(const std::string& path) { return ::SetCurrentDirectoryW(wide_path(path).c_str()) != 0; }

std::vector<std::string> list_directory(const std::string& path) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    HANDLE h = ::FindFirstFileW(wide_path(path + (path.empty() || path.back() == '/' ? "*" : "/*")).c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        std::wstring wide = found.cFileName;
        if (wide == L"." || wide == L"..") continue;
        int n = ::WideCharToMultiByte(932, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
        std::string name(static_cast<size_t>(n), '\0');
        ::WideCharToMultiByte(932, 0, wide.data(), static_cast<int>(wide.size()), name.data(), n, nullptr, nullptr);
        names.push_back(name);
    } while (::FindNextFileW(h, &found));
    ::FindClose(h);
    return names;
}

}  // namespace platform
