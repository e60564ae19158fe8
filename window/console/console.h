#pragma once
// The terminal front end: the control window's status lines, menu and panel
// as commands, its dialogs as prompts and its message boxes as questions.
#include <cstdio>

#include "window/control.h"
#include "window/options.h"

namespace window::console {

// Runs the console until quit or the end of input, starting the server first
// when start says so; returns the exit code.
int run_console(Control& c, int input_fd, std::FILE* out, bool start = false);

// Serves without reading commands until SIGINT or SIGTERM, starting the
// server first when start says so; a start that fails is told on stderr
// (address, port, the system's reason) and ends it with 1.
int run_without_console(Control& c, bool start);

// Converts between the board's Shift_JIS and the terminal's character set.
std::string to_terminal(const std::string& sjis);
// lossy (when given) is set when a character has no Shift_JIS form.
std::string from_terminal(const std::string& text, bool* lossy = nullptr);
// Shift_JIS to UTF-8, for the owner's program's environment.
std::string to_utf8(const std::string& sjis);

}  // namespace window::console
