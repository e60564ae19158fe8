#pragma once
// The Windows front end: the main window with its seven status lines, menu
// and accelerators, the start/stop panel, and the message boxes through
// which the shared control logic asks and reports.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <array>
#include <atomic>

#include "board/board.h"
#include "window/control.h"
#include "window/notify.h"

namespace window::win32 {

// Posted by the server's board thread with a heap-allocated notice in the LPARAM; the
// window shows it and frees it.
inline constexpr UINT kOwnerNoticeMessage = WM_APP + 1;
// Posted by the board thread with a heap-allocated board::StoredMessage in the
// LPARAM: the window counts it as unseen and frees it.
inline constexpr UINT kNewMessageMessage = WM_APP + 2;
// The router's status line changed (posted from the router's thread).
inline constexpr UINT kRouterMessage = WM_APP + 3;

struct App {
    App(Control& c, HINSTANCE i) : control(c), instance(i) {}
    Control& control;
    HINSTANCE instance;
    HWND main = nullptr;
    HWND panel = nullptr;
    HWND dialog = nullptr;     // the open modal dialog, owner of its message boxes
    HACCEL accelerators = nullptr;
    bool default_credentials = false;  // the board still uses them: the window warns
    // Where the board thread's notices go; cleared when the window goes away.
    std::atomic<HWND> notice_target{nullptr};
    // The messages stored since the owner last marked them seen, and the
    // newest of them; the window thread's own.
    int unseen = 0;
    board::StoredMessage newest;
    RECT notice_box{};  // where the notice was painted last; a click there marks them seen
};

// Message boxes over MessageBoxW, owned as the control logic says.
MessageBoxes message_boxes(App& app);

// Makes the board's owner notices (called on the server's board thread) reach the
// main window as posted messages; the window shows them.
void connect_owner_notice(App& app);
// Makes the router's new status lines (from its thread) reach the main window
// as posted messages; the window shows the line below the status lines.
void connect_router(App& app);

// The notifier's setup for the window: the owner's program, its start
// failure told as the owner notices are, and its queue's notices as boxes.
NotifierSetup notifier_setup(App& app);
// Makes each stored message (the board thread's hook) reach the main window
// as a posted message, and the notifier.
void connect_new_messages(App& app, Notifier& notifier);
// The owner has seen the new messages: the notice and the title's count go.
void mark_seen(App& app);
// The notice's text while messages are unseen; empty otherwise.
std::string new_messages_text(const App& app);

// Registers the class, creates the main window and shows it. False when the
// window cannot be created.
bool create_main_window(App& app, int show);
// Opens the start/stop panel in the main window's top left corner.
void open_panel(App& app);
// Shows the panel's and the dialogs' changes in the status lines and the
// title, when there are any.
void show_changes(App& app);
// Rebuilds the status lines and repaints them.
void refresh_status(App& app);
// Runs the message loop until the quit message; returns its parameter.
int run_message_loop(App& app);
// The end of the program: no more notices, the server stopped (ServerState 2).
void shut_down(App& app);

// Where each status line is painted, in client coordinates.
struct StatusPlacement {
    StatusLine line;
    int x;
    int y;
};
extern const std::array<StatusPlacement, kStatusLineCount> kStatusPlacements;

// The background a status line is painted on.
COLORREF status_background(StatusLine line, bool running_colour);
// Paints the seven lines on a device context.
void paint_status(HDC dc, const Control& c);

}  // namespace window::win32
