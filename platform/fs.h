#pragma once
// The few file-system calls that differ between Windows and POSIX. In the
// platform layer failures come back as results (false, an enum, nothing);
// nothing throws.
#include <cstdio>
#include <string>

namespace platform {

// Makes one directory level; the result says nothing useful (an existing
// directory is no error) and callers ignore it.
void make_directory(const std::string& path);
// Makes every missing level of path (separated by "/", or also "\\" on Windows).
inline void make_directories(const std::string& path) {
#ifdef _WIN32
    const char* separators = "/\\";
#else
    const char* separators = "/";
#endif
    for (size_t at = path.find_first_of(separators, 1); at != std::string::npos;
         at = path.find_first_of(separators, at + 1))
        make_directory(path.substr(0, at));
    make_directory(path);
}
bool remove_file(const std::string& path);
// Moves from over to in one atomic step, replacing an existing to.
bool replace_file(const std::string& from, const std::string& to);
// Pushes a file's written bytes to the disk.
bool sync_file(std::FILE* file);
// Makes a rename in the directory that holds path survive a power loss.
void sync_directory_of(const std::string& path);
// Opens a file for reading in binary mode without waiting on it (a FIFO or a
// device does not block the caller), shared so that the file may be replaced
// (renamed over) while it is open. Null when it cannot be opened.
std::FILE* open_for_reading(const std::string& path);
// The stored size of an open regular file; -1 for anything else (a
// directory, a device), which is not a file to read or send.
long long regular_file_size(std::FILE* file);
bool change_directory(const std::string& path);

}  // namespace platform
