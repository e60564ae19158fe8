// The file-system calls on Windows. Paths reach Windows through the wide
// functions: the program's narrow texts are Shift_JIS (code page 932), which
// need not be the system's ANSI code page.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>

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

HANDLE handle_of(std::FILE* file) { return reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file))); }

}  // namespace

void make_directory(const std::string& path) { ::CreateDirectoryW(wide_path(path).c_str(), nullptr); }

bool remove_file(const std::string& path) { return ::DeleteFileW(wide_path(path).c_str()) != 0; }

bool replace_file(const std::string& from, const std::string& to) {
    // Write-through: the move is on the disk when the call returns, which is
    // what the directory sync does on POSIX.
    return ::MoveFileExW(wide_path(from).c_str(), wide_path(to).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// The caller has flushed the stream; this pushes the system's buffers to the disk.
bool sync_file(std::FILE* file) {
    HANDLE h = handle_of(file);
    return h != INVALID_HANDLE_VALUE && ::FlushFileBuffers(h) != 0;
}

// MoveFileExW with MOVEFILE_WRITE_THROUGH has already made the rename durable.
void sync_directory_of(const std::string&) {}

std::FILE* open_for_reading(const std::string& path) {
    HANDLE h = ::CreateFileW(wide_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(h);
        return nullptr;
    }
    std::FILE* file = ::_fdopen(fd, "rb");
    if (!file) ::_close(fd);
    return file;
}

long long regular_file_size(std::FILE* file) {
    HANDLE h = handle_of(file);
    if (h == INVALID_HANDLE_VALUE || ::GetFileType(h) != FILE_TYPE_DISK) return -1;
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return -1;
    return static_cast<long long>((static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
}

bool change_directory(const std::string& path) { return ::SetCurrentDirectoryW(wide_path(path).c_str()) != 0; }

}  // namespace platform
