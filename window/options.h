#pragma once
// The command-line options both front ends take.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace window {

// The program's version: the one place it is written (--version, the archives' names).
inline constexpr const char* kVersion = "1.0.0";

struct Options {
    std::optional<std::string> bind;      // --bind ADDRESS: listen there instead of the host's looked-up address
    std::optional<std::uint16_t> port;    // --port N
    std::optional<std::string> dir;       // --dir DIR: the directory that holds DATA
    bool start = false;                   // --start: start the server at launch
    bool private_reading = false;         // --private: only logged-in visitors read, for this run
    std::optional<std::string> proxy;     // --proxy ADDRESS: the trusted TLS proxy, for this run
    std::optional<std::string> notify;    // --notify PROGRAM: run for each stored message, for this run
    bool no_console = false;              // --no-console: serve until SIGINT or SIGTERM
    bool upnp = false;                    // --upnp: open the router's port, for this run
    bool help = false;
    bool version = false;                 // --version
    std::string error;                    // why the options were refused
};

Options parse_options(const std::vector<std::string>& args);

// A port as typed (the option, the port dialog, the console's port command;
// Shift_JIS): blanks around it, also the full-width one, are ignored, and its
// digits may be full-width, as a Japanese input method types them. Nothing
// when the text is not a whole number from 0 to 65535.
std::optional<std::uint16_t> parse_port_text(const std::string& text);
const char* usage_text();

}  // namespace window
