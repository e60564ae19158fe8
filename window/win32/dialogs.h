#pragma once
// The modal dialogs of the main window's menu and the start/stop panel.
#include "window/win32/app.h"

namespace window::win32 {

// Runs one of the menu's dialogs (about, port, log, ID and password, message
// reset) modally, owned by the main window; returns its end result.
INT_PTR run_dialog(App& app, int resource);

// The start/stop panel's dialog procedure; its LPARAM at creation is the App.
INT_PTR CALLBACK panel_procedure(HWND panel, UINT message, WPARAM wparam, LPARAM lparam);

}  // namespace window::win32
