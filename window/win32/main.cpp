// The Windows program: the board's server with its control window.
#include <string>
#include <vector>

#include "board/board.h"
#include "board/routes.h"
#include "board/session.h"
#include "server/listener.h"
#include "window/control.h"
#include "window/options.h"
#include "window/win32/app.h"
#include "window/win32/resource.h"
#include "window/win32/wide_text.h"

namespace {

using window::win32::to_shift_jis;
using window::win32::to_wide;

// A GUI program has no console to print to: option errors and the usage go
// into a message box.
void show_usage(HINSTANCE instance, const std::string& problem) {
    std::string text = problem.empty() ? "" : "komorebi: " + problem + "\n\n";
    text += window::usage_text();
    wchar_t title[101] = {};
    ::LoadStringW(instance, IDS_APP_TITLE, title, 100);
    ::MessageBoxW(nullptr, to_wide(text).c_str(), title, problem.empty() ? MB_OK : MB_OK | MB_ICONERROR);
}

// --dir is taken from the wide command line, so that a folder whose name
// Shift_JIS cannot spell still works. A folder that does not exist yet is made, with its parents.
bool change_to_data_directory(const std::vector<std::wstring>& args) {
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] != L"--dir") continue;
        const std::wstring& dir = args[i + 1];
        for (size_t at = dir.find_first_of(L"/\\", 1); at != std::wstring::npos; at = dir.find_first_of(L"/\\", at + 1))
            ::CreateDirectoryW(dir.substr(0, at).c_str(), nullptr);
        ::CreateDirectoryW(dir.c_str(), nullptr);
        return ::SetCurrentDirectoryW(dir.c_str()) != 0;
    }
    return true;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    std::vector<std::wstring> wide_args = window::win32::command_line_arguments(::GetCommandLineW());
    std::vector<std::string> args;
    for (const std::wstring& a : wide_args) args.push_back(to_shift_jis(a));
    window::Options options = window::parse_options(args);
    if (options.no_console) options.error = "--no-console belongs to the Linux program";
    if (options.version) {
        std::wstring text = L"komorebi " + to_wide(window::kVersion);
        ::MessageBoxW(nullptr, text.c_str(), L"komorebi", MB_OK);
        return 0;
    }
    if (options.help || !options.error.empty()) {
        show_usage(instance, options.error);
        return options.help ? 0 : 2;
    }
    if (!change_to_data_directory(wide_args)) {
        show_usage(instance, "cannot change to the directory of --dir");
        return 2;
    }
    // Before anything reads or writes DATA: a second program there would
    // mix its writes with the first one's.
    platform::DataLock data_lock = window::lock_data_folder();
    if (data_lock.state() == platform::DataLock::State::InUse) {
        ::MessageBoxW(nullptr, to_wide(window::kAlreadyRunningText).c_str(), to_wide(window::kErrorCaption).c_str(),
                      MB_OK | MB_TASKMODAL);
        return 1;
    }

    board::Board board;
    board::Upkeep upkeep(board);
    server::Server server(board::request_handler(board));
    window::Control control(server, board, {});
    window::win32::App app(control, instance);
    control.boxes = window::win32::message_boxes(app);
    window::win32::connect_owner_notice(app);
    window::win32::connect_router(app);

    if (!window::win32::create_main_window(app, show)) return 0;
    server::network_initialisation(server);
    server.bind_address = options.bind;
    if (options.bind) server.LocalAddress = options.bind;
    window::load_owner_settings(control, options.port, options.private_reading, options.proxy, options.notify,
                                options.upnp);
    // The owner's program for each stored message, on the notifier's thread.
    window::Notifier notifier(window::win32::notifier_setup(app));
    window::win32::connect_new_messages(app, notifier);
    window::win32::open_panel(app);
    if (options.start) window::start_server(control, window::Owner::Main);
    window::win32::refresh_status(app);

    int result = window::win32::run_message_loop(app);
    window::win32::shut_down(app);
    board.message_stored = nullptr;
    return result;
}
