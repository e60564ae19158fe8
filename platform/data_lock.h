#pragma once
// Keeps a folder to one running program: an exclusive lock on a lock file in
// it, taken without waiting and held until the holder goes away. The system
// lets go of it when the process ends in any way, so a program that crashed
// leaves no lock behind.
#include <cstdint>
#include <string>

namespace platform {

class DataLock {
public:
    // Held: this holder has it. InUse: another holder, in this process or
    // another, has it. Unavailable: the file cannot be opened or locked for
    // another reason (a missing or read-only folder); nobody is known to hold it.
    enum class State { Held, InUse, Unavailable };

    // Opens path (made when missing) and tries to lock it.
    explicit DataLock(const std::string& path);
    DataLock(const DataLock&) = delete;
    DataLock& operator=(const DataLock&) = delete;
    ~DataLock();

    State state() const { return state_; }

private:
    std::intptr_t handle_ = -1;
    State state_ = State::Unavailable;
};

}  // namespace platform
