#pragma once
// The terminal front end: the control window's status lines, menu and panel
// as commands, its dialogs as prompts and its message boxes as questions.
#include <cstdio>

#include "window/control.h"
#include "window/options.h"

namespace window::console {

// Runs the console until quit or the end of input; returns the exit code.
int run_console(Control& c, int input_fd, std::FILE* out);

// Serves without reading commands until SIGINT or SIGTERM.
int run_without_console(Control& c);

// Converts between the board's Shift_JIS and the terminal's character set.
std::string to_terminal(const std::string& sjis);
std::string from_terminal(const std::string& text);

}  // namespace window::console
