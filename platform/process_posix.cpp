#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/process.h"

extern char** environ;

namespace platform {
namespace {

// This process's environment less the variables given, then the given ones.
std::vector<std::string> environment_with(const std::vector<std::string>& variables) {
    std::vector<std::string> out;
    for (char** e = environ; e && *e; ++e) {
        std::string entry(*e);
        bool replaced = false;
        for (const std::string& v : variables) {
            size_t name = v.find('=');
            if (entry.compare(0, name + 1, v, 0, name + 1) == 0) replaced = true;
        }
        if (!replaced) out.push_back(std::move(entry));
    }
    out.insert(out.end(), variables.begin(), variables.end());
    return out;
}

}  // namespace

ChildProcess::~ChildProcess() {
    // A program that ended is reaped; one still running ends with its group.
    if (running()) end();
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& variables, std::string& reason) {
    end();
    std::vector<std::string> environment = environment_with(variables);
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string name = program;
    char* argv[] = {name.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    // The console reads standard input: the program must not take its lines.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // A group of its own, so that ending it ends what it started too; the
    // signals this process blocks (the service's SIGTERM) are its again, and
    // SIGPIPE, which the server ignores, does what a shell's pipe expects.
    sigset_t none, pipe;
    sigemptyset(&none);
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &pipe);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    int error = posix_spawnp(&pid, name.c_str(), &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        reason = std::strerror(error);
        return false;
    }
    handle_ = pid;
    return true;
}

bool ChildProcess::running() {
    if (handle_ == 0) return false;
    int status = 0;
    pid_t r = ::waitpid(static_cast<pid_t>(handle_), &status, WNOHANG);
    if (r == 0) return true;
    if (r < 0 && errno == EINTR) return true;
    handle_ = 0;
    return false;
}

void ChildProcess::end() {
    if (handle_ == 0) return;
    pid_t pid = static_cast<pid_t>(handle_);
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    handle_ = 0;
}

}  // namespace platform
