#pragma once
// A program of the owner's choice, run with an environment of its own: never
// through a shell, and with no argument but its own name, so that nothing of
// the environment's values can become a command. Results come back as values;
// nothing throws.
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // A program still running is ended as end() does: the owner's programs
    // end with the board.
    ~ChildProcess();

    // Starts program (a path in the program's narrow text, or a name looked
    // up in PATH) with this process's environment, in which each of
    // variables ("NAME=value", UTF-8) replaces the variable of its name.
    // Its standard input reads nothing; its output goes where this
    // process's goes. False, with the system's words in reason, when it
    // cannot be started (then nothing runs).
    bool start(const std::string& program, const std::vector<std::string>& variables, std::string& reason);
    // True while the program started last has not ended; it is reaped once ended.
    bool running();
    // Ends the program and whatever it started in turn, and reaps it.
    void end();

private:
    std::intptr_t handle_ = 0;  // the process id on POSIX, the process handle on Windows; 0: none
    std::intptr_t job_ = 0;     // Windows: the job that holds it and what it starts; 0: none
};

}  // namespace platform
