#pragma once
// The socket-call seam, beside the file-call seam (file_faults.h). Every
// socket call the server's event loop and board thread make (accept, receive,
// send, poll, the send-buffer cap, the wake pair's making, send and receive)
// asks the seam first. The program never sets a hook, so every call goes
// ahead; the fault-injection tests set one that counts the calls and makes a
// chosen one fail with a chosen error, which the call then reports as the
// system's own (errno, or WSAGetLastError on Windows) without being made.
// Closing and shutting down are not asked: nothing looks at their results.
// The hook runs on the thread that makes the call (the event loop; the board
// thread and the front end's stop for a wake byte), so it guards its own state.
#include <atomic>

namespace platform::net {

enum class NetOp { Accept, Receive, Send, Poll, SendBuffer, WakePair, WakeSend, WakeReceive };

enum class NetFault {
    None,             // the call goes ahead
    WouldBlock,       // EAGAIN / WSAEWOULDBLOCK
    Interrupted,      // EINTR / WSAEINTR
    Reset,            // ECONNRESET / WSAECONNRESET
    Aborted,          // ECONNABORTED / WSAECONNABORTED
    BrokenPipe,       // EPIPE / WSAESHUTDOWN
    TimedOut,         // ETIMEDOUT / WSAETIMEDOUT
    TooManyFiles,     // EMFILE / WSAEMFILE
    SystemFilesFull,  // ENFILE / WSAEMFILE (Windows has no table of its own)
    NoBuffers,        // ENOBUFS / WSAENOBUFS
    NoMemory,         // ENOMEM / WSA_NOT_ENOUGH_MEMORY
    Invalid,          // EINVAL / WSAEINVAL
};

using NetFaultHook = NetFault (*)(NetOp op);

inline std::atomic<NetFaultHook> net_fault_hook{nullptr};

inline NetFault net_fault_for(NetOp op) {
    NetFaultHook hook = net_fault_hook.load(std::memory_order_relaxed);
    return hook ? hook(op) : NetFault::None;
}

// The system's own error numbers for the faults, one set for each system.
struct NetFaultErrors {
    int would_block, interrupted, reset, aborted, broken_pipe, timed_out, too_many_files, system_files_full,
        no_buffers, no_memory, invalid;
};
// The error number an injected fault stands for; 0 for None.
inline int net_fault_error(NetFault fault, const NetFaultErrors& e) {
    switch (fault) {
        case NetFault::None: return 0;
        case NetFault::WouldBlock: return e.would_block;
        case NetFault::Interrupted: return e.interrupted;
        case NetFault::Reset: return e.reset;
        case NetFault::Aborted: return e.aborted;
        case NetFault::BrokenPipe: return e.broken_pipe;
        case NetFault::TimedOut: return e.timed_out;
        case NetFault::TooManyFiles: return e.too_many_files;
        case NetFault::SystemFilesFull: return e.system_files_full;
        case NetFault::NoBuffers: return e.no_buffers;
        case NetFault::NoMemory: return e.no_memory;
        case NetFault::Invalid: return e.invalid;
    }
    return 0;
}

inline const char* net_op_name(NetOp op) {
    switch (op) {
        case NetOp::Accept: return "accept";
        case NetOp::Receive: return "receive";
        case NetOp::Send: return "send";
        case NetOp::Poll: return "poll";
        case NetOp::SendBuffer: return "send buffer";
        case NetOp::WakePair: return "wake pair";
        case NetOp::WakeSend: return "wake send";
        case NetOp::WakeReceive: return "wake receive";
    }
    return "?";
}

inline const char* net_fault_name(NetFault fault) {
    switch (fault) {
        case NetFault::None: return "none";
        case NetFault::WouldBlock: return "would block";
        case NetFault::Interrupted: return "interrupted";
        case NetFault::Reset: return "reset";
        case NetFault::Aborted: return "aborted";
        case NetFault::BrokenPipe: return "broken pipe";
        case NetFault::TimedOut: return "timed out";
        case NetFault::TooManyFiles: return "too many open files";
        case NetFault::SystemFilesFull: return "system file table full";
        case NetFault::NoBuffers: return "no buffer space";
        case NetFault::NoMemory: return "no memory";
        case NetFault::Invalid: return "invalid";
    }
    return "?";
}

}  // namespace platform::net
