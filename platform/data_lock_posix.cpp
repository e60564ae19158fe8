#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/data_lock.h"

namespace platform {

DataLock::DataLock(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return;
    // flock's lock belongs to this open file: a second open, even in the same
    // process, conflicts with it.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        state_ = errno == EWOULDBLOCK ? State::InUse : State::Unavailable;
        ::close(fd);
        return;
    }
    handle_ = fd;
    state_ = State::Held;
}

DataLock::~DataLock() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));  // the close lets go of the lock
}

}  // namespace platform
