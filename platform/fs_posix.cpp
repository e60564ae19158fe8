#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/file_faults.h"
#include "platform/fs.h"

namespace platform {
namespace {

FileStatus done() { return {}; }

// ENOTDIR: a file stands where a folder of the path should be, so the file
// itself cannot exist; ENAMETOOLONG: no file can have that name (a visitor
// asks for any name, and gets the not-found reply for it).
FileStatus from_errno(int error) {
    bool missing = error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG;
    return {missing ? FileStatus::Kind::Missing : FileStatus::Kind::Failed, error};
}

// The seam's answer as the system's own error, or nothing when the call goes ahead.
bool injected(FileOp op, const std::string& path, FileStatus& status) {
    int error = fault_error(file_fault_for(op, path), {ENOSPC, EIO, EACCES, EMFILE});
    if (error == 0) return false;
    status = from_errno(error);
    return true;
}

std::string directory_of(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

std::string reason_text(const FileStatus& status) { return status.ok() ? "" : std::strerror(status.error); }

void make_directory(const std::string& path) { ::mkdir(path.c_str(), 0777); }

FileStatus read_file(const std::string& path, std::string& bytes) {
    bytes.clear();
    FileStatus status;
    if (injected(FileOp::Open, path, status)) return status;
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return from_errno(errno);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        int error = errno;
        bool stated = ::fstat(fd, &st) == 0;
        ::close(fd);
        if (stated) error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return {FileStatus::Kind::Failed, error};
    }
    // A read of one byte more than the stored size shows the end (or a file
    // that grew): a regular file reads short only at its end.
    bytes.resize(static_cast<size_t>(st.st_size) + 1);
    size_t have = 0;
    for (;;) {
        if (injected(FileOp::Read, path, status)) break;
        size_t want = bytes.size() - have;
        ssize_t got = ::read(fd, &bytes[have], want);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            status = from_errno(errno);
            status.kind = FileStatus::Kind::Failed;
            break;
        }
        have += static_cast<size_t>(got);
        if (static_cast<size_t>(got) < want) break;
        bytes.resize(bytes.size() * 2);
    }
    ::close(fd);
    bytes.resize(status.ok() ? have : 0);
    return status;
}

FileStatus WriteHandle::open(const std::string& path, Mode mode) {
    close();
    FileStatus status;
    if (injected(FileOp::Open, path, status)) return status;
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (mode == Mode::Append ? O_APPEND : O_TRUNC);
    int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) return from_errno(errno);
    handle_ = fd;
    path_ = path;
    file_call_done({FileOp::Open, path_, {}, {}, mode == Mode::Append});
    return done();
}

FileStatus WriteHandle::write(const char* data, size_t n) {
    FileStatus status;
    if (!is_open()) return {FileStatus::Kind::Failed, EBADF};
    if (injected(FileOp::Write, path_, status)) return status;
    const std::string_view all(data, n);
    while (n > 0) {
        ssize_t put = ::write(static_cast<int>(handle_), data, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return {FileStatus::Kind::Failed, put < 0 ? errno : EIO};
        data += put;
        n -= static_cast<size_t>(put);
    }
    file_call_done({FileOp::Write, path_, {}, all});
    return done();
}

FileStatus WriteHandle::sync() {
    FileStatus status;
    if (!is_open()) return {FileStatus::Kind::Failed, EBADF};
    if (injected(FileOp::Sync, path_, status)) return status;
    if (::fdatasync(static_cast<int>(handle_)) != 0) return {FileStatus::Kind::Failed, errno};
    file_call_done({FileOp::Sync, path_, {}, {}});
    return done();
}

void WriteHandle::start_writing_out() {
#ifdef __linux__
    if (is_open()) ::sync_file_range(static_cast<int>(handle_), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

FileStatus WriteHandle::close() {
    if (!is_open()) return done();
    int r = ::close(static_cast<int>(handle_));
    handle_ = kClosed;
    // A close that reports an error (a delayed write on a network drive) lost bytes.
    if (r != 0 && errno != EINTR) return {FileStatus::Kind::Failed, errno};
    return done();
}

FileStatus replace_file(const std::string& from, const std::string& to) {
    FileStatus status;
    if (injected(FileOp::Rename, to, status)) return status;
    if (::rename(from.c_str(), to.c_str()) != 0) return from_errno(errno);
    file_call_done({FileOp::Rename, to, from, {}});
    return done();
}

FileStatus remove_file(const std::string& path) {
    FileStatus status;
    if (injected(FileOp::Remove, path, status)) return status;
    if (::unlink(path.c_str()) != 0) return from_errno(errno);
    file_call_done({FileOp::Remove, path, {}, {}});
    return done();
}

FileStamp file_stamp(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return {static_cast<std::uint64_t>(st.st_size),
            static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000000000u + static_cast<std::uint64_t>(st.st_mtim.tv_nsec),
            static_cast<std::uint64_t>(st.st_ino)};
}

FileStatus sync_directory_of(const std::string& path) {
    std::string dir = directory_of(path);
    FileStatus status;
    if (injected(FileOp::DirectorySync, dir, status)) return status;
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return from_errno(errno);
    int r = ::fsync(fd);
    int error = errno;
    ::close(fd);
    if (r != 0) return {FileStatus::Kind::Failed, error};
    file_call_done({FileOp::DirectorySync, dir, {}, {}});
    return done();
}

std::intptr_t open_regular_for_reading(const std::string& path, long long& size) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return kNoReading;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return kNoReading;
    }
    size = static_cast<long long>(st.st_size);
    return fd;
}

size_t read_some(std::intptr_t handle, char* out, size_t n) {
    for (;;) {
        ssize_t got = ::read(static_cast<int>(handle), out, n);
        if (got >= 0) return static_cast<size_t>(got);
        if (errno != EINTR) return 0;
    }
}

void close_reading(std::intptr_t handle) { ::close(static_cast<int>(handle)); }

bool change_directory(const std::string& path) { return ::chdir(path.c_str()) == 0; }

std::vector<std::string> list_directory(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return names;
    while (const dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

}  // namespace platform
