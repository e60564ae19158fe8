#pragma once
// The command-line options both front ends take.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace window {

struct Options {
    std::optional<std::string> bind;      // --bind ADDRESS: listen there instead of the host's looked-up address
    std::optional<std::uint16_t> port;    // --port N
    std::optional<std::string> dir;       // --dir DIR: the directory that holds DATA
    bool start = false;                   // --start: start the server at launch
    bool no_console = false;              // --no-console: serve until SIGINT or SIGTERM
    bool help = false;
    std::string error;                    // why the options were refused
};

Options parse_options(const std::vector<std::string>& args);

// Port text as typed (the option, the port dialog, the console's port
// command): the number its first five characters begin with, read as the
// standard text-to-integer conversion reads it, and whether the text is a
// whole number of one to five digits. The option takes whole numbers only.
struct PortText {
    long value = 0;
    bool whole = false;
};
PortText read_port_text(const std::string& text);
const char* usage_text();

}  // namespace window
