#pragma once
// The file-call seam. Every file call of fs.h (open, read, write, sync,
// rename, remove, directory sync) asks the seam first. The program never sets
// a hook, so every call goes ahead; the fault-injection tests set one that
// counts the calls and makes a chosen one fail, or lets it run and fails
// every later one, as a process killed right after it would leave the disk.
#include <atomic>
#include <string>
#include <string_view>

namespace platform {

enum class FileOp { Open, Read, Write, Sync, Rename, Remove, DirectorySync };

enum class FileFault {
    None,          // the call goes ahead
    DiskFull,      // ENOSPC / ERROR_DISK_FULL
    IoError,       // EIO / ERROR_IO_DEVICE
    Permission,    // EACCES / ERROR_ACCESS_DENIED
    TooManyFiles,  // EMFILE / ERROR_TOO_MANY_OPEN_FILES
};

using FileFaultHook = FileFault (*)(FileOp op, const std::string& path);

inline std::atomic<FileFaultHook> file_fault_hook{nullptr};

inline FileFault file_fault_for(FileOp op, const std::string& path) {
    FileFaultHook hook = file_fault_hook.load(std::memory_order_relaxed);
    return hook ? hook(op, path) : FileFault::None;
}

// The system's own error numbers for the faults, one set for each system.
struct FaultErrors {
    int disk_full, io_error, permission, too_many_files;
};
// The error number an injected fault stands for; 0 for None.
inline int fault_error(FileFault fault, const FaultErrors& e) {
    switch (fault) {
        case FileFault::None: return 0;
        case FileFault::DiskFull: return e.disk_full;
        case FileFault::IoError: return e.io_error;
        case FileFault::Permission: return e.permission;
        case FileFault::TooManyFiles: return e.too_many_files;
    }
    return 0;
}

// A call that changed the disk, as a test that models the disk sees it
// (the power-loss suite records an operation's calls and builds from them
// every state a power cut could leave): told after each open for writing,
// write, sync, rename, remove and directory sync that succeeded. The program
// never sets an observer.
struct FileCall {
    FileOp op;
    std::string_view path;   // the file; a rename's target; a directory sync's folder
    std::string_view from;   // a rename's source
    std::string_view data;   // a write's bytes
    bool append = false;     // an open for writing that appends (else it truncates)
};
using FileCallObserver = void (*)(const FileCall& call);

inline std::atomic<FileCallObserver> file_call_observer{nullptr};

inline void file_call_done(const FileCall& call) {
    FileCallObserver observer = file_call_observer.load(std::memory_order_relaxed);
    if (observer) observer(call);
}

inline const char* file_op_name(FileOp op) {
    switch (op) {
        case FileOp::Open: return "open";
        case FileOp::Read: return "read";
        case FileOp::Write: return "write";
        case FileOp::Sync: return "sync";
        case FileOp::Rename: return "rename";
        case FileOp::Remove: return "remove";
        case FileOp::DirectorySync: return "directory sync";
    }
    return "?";
}

}  // namespace platform
