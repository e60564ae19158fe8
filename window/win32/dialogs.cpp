#include "window/win32/dialogs.h"

#include <string>

#include "window/win32/resource.h"
#include "window/win32/wide_text.h"

namespace window::win32 {
namespace {

using Handler = INT_PTR (*)(App& app, HWND dialog, WORD command);

void end_dialog(App& app, HWND dialog, INT_PTR result) {
    if (app.dialog == dialog) app.dialog = nullptr;
    ::EndDialog(dialog, result);
}

std::string edit_text(HWND dialog, int id, bool* lossy = nullptr) {
    int max_chars = ::GetWindowTextLengthW(::GetDlgItem(dialog, id));
    std::wstring text(static_cast<size_t>(max_chars) + 1, L'\0');
    int n = ::GetDlgItemTextW(dialog, id, text.data(), max_chars + 1);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return to_shift_jis(text, lossy);
}

// The two dialogs of two choices: their radio buttons and the control
// logic's operations.
struct TwoChoices {
    int on, off;
    void (*choose)(Control&, std::uint8_t);
    Dialog (*ok)(Control&);
};
const TwoChoices kLogChoices{IDC_LOG_ON, IDC_LOG_OFF, log_dialog_choose, log_dialog_ok};
const TwoChoices kPrivateChoices{IDC_PRIVATE_ON, IDC_PRIVATE_OFF, private_dialog_choose, private_dialog_ok};

void show_choice(HWND dialog, const TwoChoices& c, std::uint8_t choice) {
    ::CheckDlgButton(dialog, c.on, choice == 1 ? BST_CHECKED : BST_UNCHECKED);
    ::CheckDlgButton(dialog, c.off, choice == 1 ? BST_UNCHECKED : BST_CHECKED);
}

// The deletion dialog's page and the messages its list shows; after a
// search, the messages found instead (each with its own page).
struct DeletePage {
    int page = 0;
    board::PageListing listing;
    std::vector<board::SearchHit> found;
    bool searched = false;
} delete_page;

void fill_list(HWND dialog, const std::vector<std::string>& lines) {
    HWND list = ::GetDlgItem(dialog, IDC_DELETE_LIST);
    ::SendMessageW(list, LB_RESETCONTENT, 0, 0);
    for (const std::string& line : lines)
        ::SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(to_wide(line).c_str()));
}

// Lists the messages the words field finds; the list stays as it was when
// the search finds none.
void show_found(App& app, HWND dialog) {
    std::vector<board::SearchHit> found;
    if (!delete_dialog_search(app.control, edit_text(dialog, IDC_DELETE_WORDS), found)) return;
    delete_page.found = std::move(found);
    delete_page.searched = true;
    std::vector<std::string> lines;
    for (const board::SearchHit& h : delete_page.found) lines.push_back(search_list_line(h));
    fill_list(dialog, lines);
}

// Lists the page the field names; the list stays as it was when it cannot.
void show_delete_page(App& app, HWND dialog) {
    int page = 0;
    board::PageListing listing;
    if (!delete_dialog_show(app.control, edit_text(dialog, IDC_DELETE_PAGE), page, listing)) return;
    delete_page = DeletePage{page, std::move(listing), {}, false};
    std::vector<std::string> lines;
    for (const board::PageMessage& m : delete_page.listing.messages) lines.push_back(delete_list_line(m));
    fill_list(dialog, lines);
}

void init_dialog(App& app, HWND dialog, int resource) {
    if (resource == IDD_LOG) show_choice(dialog, kLogChoices, app.control.pending_log_choice);
    if (resource == IDD_PRIVATE) show_choice(dialog, kPrivateChoices, app.control.pending_private_choice);
    if (resource == IDD_DELETE) {
        delete_page = DeletePage{};
        ::SetDlgItemTextW(dialog, IDC_DELETE_PAGE, std::to_wstring(delete_dialog_first_page(app.control)).c_str());
        show_delete_page(app, dialog);
    }
}

INT_PTR choice_command(App& app, HWND dialog, WORD command, const TwoChoices& c) {
    if (command == c.on || command == c.off) {
        std::uint8_t choice = command == c.on ? 1 : 0;
        show_choice(dialog, c, choice);
        c.choose(app.control, choice);
        return TRUE;
    }
    if (command != IDOK) return FALSE;
    if (c.ok(app.control) == Dialog::Ends) end_dialog(app, dialog, IDOK);
    return TRUE;
}

// Each dialog's commands but cancel, which every dialog answers alike.
INT_PTR about_command(App& app, HWND dialog, WORD command) {
    if (command != IDOK) return FALSE;
    end_dialog(app, dialog, IDOK);
    return TRUE;
}

INT_PTR port_command(App& app, HWND dialog, WORD command) {
    if (command != IDOK) return FALSE;
    if (port_dialog_ok(app.control, edit_text(dialog, IDC_EDIT_PORT)) == Dialog::Ends) end_dialog(app, dialog, IDOK);
    return TRUE;
}

INT_PTR log_command(App& app, HWND dialog, WORD command) { return choice_command(app, dialog, command, kLogChoices); }

INT_PTR private_command(App& app, HWND dialog, WORD command) {
    return choice_command(app, dialog, command, kPrivateChoices);
}

INT_PTR id_password_command(App& app, HWND dialog, WORD command) {
    if (command != IDOK) return FALSE;
    // The control logic keeps the first 50 bytes of each, whole characters only.
    bool lossy = false;
    std::string id = edit_text(dialog, IDC_EDIT_ID, &lossy);
    std::string password = edit_text(dialog, IDC_EDIT_PASSWORD, &lossy);
    if (lossy) {
        id_password_unrepresentable(app.control);
        return TRUE;
    }
    if (id_password_dialog_ok(app.control, id, password) == Dialog::Ends) end_dialog(app, dialog, IDOK);
    return TRUE;
}

INT_PTR reset_command(App& app, HWND dialog, WORD command) {
    if (command != IDOK) return FALSE;
    message_reset_dialog_ok(app.control);
    end_dialog(app, dialog, IDOK);
    return TRUE;
}

INT_PTR delete_command(App& app, HWND dialog, WORD command) {
    if (command == IDC_DELETE_SHOW) {
        show_delete_page(app, dialog);
        return TRUE;
    }
    if (command == IDC_DELETE_FIND) {
        show_found(app, dialog);
        return TRUE;
    }
    if (command != IDOK) return FALSE;
    LRESULT chosen = ::SendDlgItemMessageW(dialog, IDC_DELETE_LIST, LB_GETCURSEL, 0, 0);
    size_t listed = delete_page.searched ? delete_page.found.size() : delete_page.listing.messages.size();
    if (chosen == LB_ERR || static_cast<size_t>(chosen) >= listed) {
        delete_dialog_none_chosen(app.control);
        return TRUE;
    }
    if (delete_page.searched) {
        const board::SearchHit& hit = delete_page.found[static_cast<size_t>(chosen)];
        if (delete_dialog_ok(app.control, hit.page, page_message_of(hit)) == Dialog::Ends) end_dialog(app, dialog, IDOK);
        return TRUE;
    }
    if (delete_dialog_ok(app.control, delete_page.page, delete_page.listing.messages[chosen]) == Dialog::Ends) {
        end_dialog(app, dialog, IDOK);
        return TRUE;
    }
    // The page as it stands now.
    ::SetDlgItemTextW(dialog, IDC_DELETE_PAGE, std::to_wstring(delete_page.page).c_str());
    show_delete_page(app, dialog);
    return TRUE;
}

Handler handler_for(int resource) {
    switch (resource) {
        case IDD_ABOUT: return about_command;
        case IDD_PORT: return port_command;
        case IDD_LOG: return log_command;
        case IDD_PRIVATE: return private_command;
        case IDD_ID_PASSWORD: return id_password_command;
        case IDD_RESET: return reset_command;
        case IDD_DELETE: return delete_command;
        default: return nullptr;
    }
}

struct Opening {
    App* app;
    int resource;
};

// One procedure for the menu's dialogs: it keeps the opening (which App,
// which dialog) and hands each command to that dialog's handler.
INT_PTR CALLBACK dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) {
        auto* opening = reinterpret_cast<Opening*>(lparam);
        ::SetWindowLongPtrW(dialog, DWLP_USER, lparam);
        opening->app->dialog = dialog;
        init_dialog(*opening->app, dialog, opening->resource);
        return TRUE;
    }
    auto* opening = reinterpret_cast<Opening*>(::GetWindowLongPtrW(dialog, DWLP_USER));
    if (!opening || message != WM_COMMAND) return FALSE;
    Handler handler = handler_for(opening->resource);
    // The settings dialogs pause a millisecond before every command, as the
    // panel does; the about box answers at once.
    if (opening->resource != IDD_ABOUT) ::Sleep(1);
    WORD command = LOWORD(wparam);
    if (command == IDCANCEL) {
        end_dialog(*opening->app, dialog, IDCANCEL);
        return TRUE;
    }
    return handler ? handler(*opening->app, dialog, command) : FALSE;
}

}  // namespace

INT_PTR run_dialog(App& app, int resource) {
    Opening opening{&app, resource};
    INT_PTR result = ::DialogBoxParamW(app.instance, MAKEINTRESOURCEW(resource), app.main, dialog_procedure,
                                       reinterpret_cast<LPARAM>(&opening));
    app.dialog = nullptr;
    return result;
}

INT_PTR CALLBACK panel_procedure(HWND panel, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrW(panel, DWLP_USER, lparam);
        return TRUE;
    }
    auto* app = reinterpret_cast<App*>(::GetWindowLongPtrW(panel, DWLP_USER));
    if (!app || message != WM_COMMAND) return FALSE;
    ::Sleep(1);
    switch (LOWORD(wparam)) {
        // The new state shows as soon as the outcome is known.
        case IDC_START:
            panel_start(app->control);
            show_changes(*app);
            return TRUE;
        case IDC_STOP:
            panel_stop(app->control);
            show_changes(*app);
            return TRUE;
        default: return FALSE;
    }
}

}  // namespace window::win32
