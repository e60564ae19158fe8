// The Linux program: the board's server with a terminal control console.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/routes.h"
#include "board/session.h"
#include "platform/fs.h"
#include "server/listener.h"
#include "window/console/console.h"
#include "window/control.h"
#include "window/options.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    window::Options options = window::parse_options(args);
    if (options.version) {
        std::printf("komorebi %s\n", window::kVersion);
        return 0;
    }
    if (options.help) {
        std::fputs(window::usage_text(), stdout);
        return 0;
    }
    if (!options.error.empty()) {
        std::fprintf(stderr, "komorebi: %s\n%s", options.error.c_str(), window::usage_text());
        return 2;
    }
    // A folder that does not exist yet is made, with its parents.
    if (options.dir) platform::make_directories(*options.dir);
    if (options.dir && !platform::change_directory(*options.dir)) {
        std::fprintf(stderr, "komorebi: cannot change to %s\n", options.dir->c_str());
        return 2;
    }
    // Before anything reads or writes DATA: a second program there would
    // mix its writes with the first one's.
    platform::DataLock data_lock = window::lock_data_folder();
    if (data_lock.state() == platform::DataLock::State::InUse) {
        std::fprintf(stderr, "komorebi: another komorebi is already running on this DATA folder\n");
        return 1;
    }
    if (options.no_console) {
        // Block the stop signals before any thread starts, so that every
        // thread inherits the mask and the main thread alone takes them.
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
    }

    board::Board board;
    board::Upkeep upkeep(board);
    server::Server server(board::request_handler(board));
    server::network_initialisation(server);
    server.bind_address = options.bind;
    if (options.bind) server.LocalAddress = options.bind;
    window::Control control(server, board, {});
    window::load_owner_settings(control, options.port, options.private_reading, options.proxy, options.notify,
                                options.upnp);
    if (options.no_console) return window::console::run_without_console(control, options.start);
    return window::console::run_console(control, STDIN_FILENO, stdout, options.start);
}
