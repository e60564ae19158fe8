#pragma once
// The file calls the board is built on, the same on Windows and POSIX. Every
// call tells three outcomes apart: done, "does not exist" (only that makes a
// default or a template), and any other failure, which keeps the system's
// error number for the owner. In the platform layer failures come back as
// results; nothing throws.
//
// Each call passes the file-call seam (file_faults.h) first, which tests use
// to make a chosen call fail.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace platform {

struct FileStatus {
    enum class Kind { Done, Missing, Failed };
    Kind kind = Kind::Done;
    int error = 0;  // errno, or GetLastError on Windows; 0 when done

    bool ok() const { return kind == Kind::Done; }
    bool missing() const { return kind == Kind::Missing; }
    bool failed() const { return kind == Kind::Failed; }
};

// The system's words for a failure ("No space left on device"), in the
// program's narrow text (Shift_JIS on Windows).
std::string reason_text(const FileStatus& status);

// Makes one directory level; the result says nothing useful (an existing
// directory is no error): a failure shows up at the next file call.
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

// Reads a regular file whole, as stored bytes. A read error is a failure,
// never a short file; anything but a regular file (a directory, a FIFO, a
// device) is a failure too. Opened shared, so that it may be replaced meanwhile.
FileStatus read_file(const std::string& path, std::string& bytes);

// A file open for writing; closed when dropped.
class WriteHandle {
public:
    WriteHandle() = default;
    ~WriteHandle() { close(); }
    WriteHandle(const WriteHandle&) = delete;
    WriteHandle& operator=(const WriteHandle&) = delete;

    enum class Mode { Truncate, Append };
    FileStatus open(const std::string& path, Mode mode);
    bool is_open() const { return handle_ != kClosed; }
    FileStatus write(const char* data, size_t n);  // all of it, or a failure
    FileStatus sync();                             // the written bytes on the disk
    // Lets the system begin writing the bytes out now, without waiting, so
    // that the syncs of several files written one after another wait on
    // writes already under way together. A hint: nothing where the system
    // has no such call, and a refusal changes nothing (sync still decides).
    void start_writing_out();
    FileStatus close();

private:
    static constexpr std::intptr_t kClosed = -1;
    std::intptr_t handle_ = kClosed;  // a descriptor, or a Windows HANDLE
    std::string path_;
};

// Moves from over to in one atomic step, replacing an existing to (also one
// that is open for reading).
FileStatus replace_file(const std::string& from, const std::string& to);
FileStatus remove_file(const std::string& path);

// What tells one version of a file from another without reading it: its
// size, its last-write time and, where the system has one, its file number.
// All zero when the file cannot be looked at.
struct FileStamp {
    std::uint64_t size = 0, written = 0, number = 0;
    bool operator==(const FileStamp& o) const { return size == o.size && written == o.written && number == o.number; }
};
FileStamp file_stamp(const std::string& path);

// Makes the renames in the directory that holds path survive a power loss.
FileStatus sync_directory_of(const std::string& path);

// For sending a file as the connection drains, straight on the system's
// handle (no stdio stream, whose set-up costs calls): opened for reading in
// binary mode without waiting on it (a FIFO or a device does not block the
// caller), shared so that it may be replaced while it is open, and kept only
// when it is a regular file, whose stored size size gets. kNoReading when it
// cannot be opened or is none (a directory, a device).
inline constexpr std::intptr_t kNoReading = -1;
std::intptr_t open_regular_for_reading(const std::string& path, long long& size);
// Up to n bytes from the handle's position; 0 at the end or on a failure.
size_t read_some(std::intptr_t handle, char* out, size_t n);
void close_reading(std::intptr_t handle);
bool change_directory(const std::string& path);
// The names in a directory (not "." and ".."); empty when it cannot be read.
std::vector<std::string> list_directory(const std::string& path);

}  // namespace platform
