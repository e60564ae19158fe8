#pragma once
// The control logic both front ends share: the status lines, the rules of the
// settings dialogs, the exit confirmation and the message reset's boxes. The
// front ends draw and ask; everything they decide is decided here. Errors and
// results reach the owner as message boxes.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "board/board.h"
#include "board/deletion.h"
#include "board/views/search.h"
#include "board/pages.h"
#include "platform/data_lock.h"
#include "platform/sjis.h"
#include "server/listener.h"
#include "window/router.h"

namespace window {

// Who owns a message box: nobody, the main window, or the open dialog.
enum class Owner { None, Main, Dialog };

// The front end's message boxes. Texts and captions are Shift_JIS.
struct MessageBoxes {
    std::function<void(const std::string& text, const std::string& caption, Owner owner)> ok;
    // True for Yes.
    std::function<bool(const std::string& text, const std::string& caption, Owner owner)> yes_no;
};

inline constexpr const char* kConfirmCaption = "確認メッセージ";
inline constexpr const char* kErrorCaption = "エラーメッセージ";
inline constexpr const char* kAboutText = "コモレビ version 1.0";
inline constexpr const char* kAlreadyRunningText =
    "このフォルダーのコモレビは、すでに起動しています。\n同じDATAフォルダーで二つ起動することはできません。";

enum StatusLine { kHeading, kState, kIndicator, kAddress, kPort, kUrl, kLog, kStatusLineCount };

// A panel button pressed and not yet shown in the status lines.
enum class PanelAction { None, Start, Stop };

struct Control {
    Control(server::Server& s, board::Board& b, MessageBoxes m) : server(s), board(b), boxes(std::move(m)) {}
    server::Server& server;
    board::Board& board;
    MessageBoxes boxes;

    PanelAction panel_action = PanelAction::None;
    bool port_changed = false;
    bool log_changed = false;
    bool private_changed = false;
    bool ipv6_changed = false;
    bool running_colour = false;  // the indicator is green, else yellow
    std::uint8_t pending_log_choice = 0;
    std::uint8_t pending_private_choice = 0;
    // The port kept for the next launch: --port changes only this run's.
    std::uint16_t kept_port = server::kDefaultPort;
    // Private reading kept for the next launch: --private turns it on for this run only.
    std::uint8_t kept_private = 0;
    // The trusted proxy kept in the settings file (empty: none); --proxy sets this run's only.
    std::string kept_proxy;
    // Flood control's limits as the settings file holds them (the board uses them).
    board::PostLimits kept_post_limits;
    // The phone view kept in the settings file (phone=0 turns it off).
    std::uint8_t kept_phone = 1;
    // The search setting kept in the settings file (absent: off, and no line is written).
    std::optional<std::uint8_t> kept_search;
    // The program run for each stored message (empty: none): this run's
    // (--notify names one for this run only) and the one the settings file keeps.
    std::string notify_program;
    std::string kept_notify;
    // The settings file existed but could not be read at launch: it is not rewritten.
    bool settings_unreadable = false;
    std::array<std::string, kStatusLineCount> status;
    // The board's address as the status last showed it (board_url): written
    // by status_refresh on the front end's thread, read under url_lock by
    // the board thread's hook for new messages (the server's own address
    // changes on the front end's thread).
    std::mutex url_lock;
    std::string shown_url;
    // The router's port: this run's choice (--upnp asks for it for this run
    // only) and the one the settings file keeps.
    std::uint8_t upnp = 0;
    std::uint8_t kept_upnp = 0;
    bool upnp_changed = false;
    // The warning that visitors from the internet can reach the board, given once a run.
    bool internet_warned = false;
    // Called on the router's thread after its status line changed; the
    // front end sets it before the router is first asked and clears it
    // only after router_end.
    std::function<void()> router_changed;
    // Made when the router's port is first asked for, ended by router_end.
    std::unique_ptr<RouterKeeper> router;
};

// Rebuilds the seven status lines from ServerState, ListenPort, LocalAddress
// and LogEnabled, and shown_url.
void status_refresh(Control& c);

// Applies the panel's flags and the dialogs' change flags, as the main
// window does before each message; true when the status was refreshed.
bool consume_changes(Control& c);

// Starts the server; when it cannot start, a box says why. True when it runs.
bool start_server(Control& c, Owner owner);

// Keeps the DATA folder of the current directory to this program while the
// lock lives, making the folder when missing. InUse: another program runs on it.
platform::DataLock lock_data_folder();

// The owner's settings kept from the last launch: the port (unless the
// --port option gives one for this run), the log choice, private reading
// (which --private turns on for this run), the trusted proxy (which
// --proxy names for this run) and the program run for each new message
// (which --notify names for this run).
void load_owner_settings(Control& c, std::optional<std::uint16_t> port_option, bool private_option = false,
                         std::optional<std::string> proxy_option = std::nullopt,
                         std::optional<std::string> notify_option = std::nullopt, bool upnp_option = false);

// "http://ADDRESS:PORT/" (without ":PORT" for port 80), the address the
// status's URL line shows; empty while the address is unknown.
std::string board_url(const server::Server& s);

// Panel buttons.
void panel_start(Control& c);
void panel_stop(Control& c);

enum class Dialog { StaysOpen, Ends };

// The port dialog's OK with the edit box's text.
Dialog port_dialog_ok(Control& c, const std::string& text);
// The log dialog: a radio button clicked, then OK.
void log_dialog_choose(Control& c, std::uint8_t choice);
Dialog log_dialog_ok(Control& c);
// The private reading dialog: a radio button clicked, then OK.
void private_dialog_choose(Control& c, std::uint8_t choice);
Dialog private_dialog_ok(Control& c);
// The status of private reading, shown only while it is on (the status
// lines stay as they are while it is off); empty otherwise.
std::string private_reading_status(const Control& c);
// The trusted proxy, shown only while one is set; empty otherwise.
std::string proxy_status(const Control& c);

// The router's port. The status line while it is asked for (the outside URL,
// the search under way, or why the board cannot be reached from outside);
// empty otherwise, and the status stays as it was.
std::string router_status(Control& c);
// Has the router follow the server: the running server's port mapped while
// the router's port is asked for, no mapping otherwise. Called after every
// start, stop and port change; the server never waits for the router.
void router_follow(Control& c);
// Removes the mapping and ends the router's thread, at the program's end.
void router_end(Control& c);
// The console's upnp command and the window's menu item: switches the
// router's port on or off after a confirmation, keeps the choice in the
// settings file and has the router follow.
void upnp_menu(Control& c);
// Said before a setting lets visitors from the internet reach the board (the
// router's port, IPv6), once a run: what that means, and private reading and
// a new ID and password while they are off or the defaults.
void internet_warning(Control& c, Owner owner);
// IPv6 on or off (the console's ipv6 command, the window's menu item): kept
// in the settings file, and a running server starts again with it. On, each
// start also listens on IPv6 on the port.
void set_ipv6(Control& c, bool on, Owner owner);
// The board's IPv6 URL, shown only while IPv6 is on and the host has a global
// IPv6 address; empty otherwise.
std::string ipv6_url_status(const Control& c);

// The ID and password dialog's OK when a typed character has no Shift_JIS
// form: refused, as "?" in the credentials would lock every visitor out.
Dialog id_password_unrepresentable(Control& c);
// The ID and password dialog's OK with the two edit boxes' texts (Shift_JIS).
Dialog id_password_dialog_ok(Control& c, const std::string& id, const std::string& password);

// True when the owner confirmed that the program ends.
bool exit_confirmation(Control& c);

// Sets the board back to no messages on page 1, showing a box for the file
// that fails.
board::ResetResult message_reset(Control& c);
// The reset dialog's OK: the reset, then its result box.
void message_reset_dialog_ok(Control& c);

// The message deletion's dialog. The page it shows first: the current page.
int delete_dialog_first_page(Control& c);
// The page field's text (Shift_JIS digits, full-width too) shown: the page's
// messages, newest first, in `listing`; false after a box that says why
// (no such page, or the page that cannot be read). `page` gets the number.
bool delete_dialog_show(Control& c, const std::string& page_text, int& page, board::PageListing& listing);
// One message's line in the list: its position, time, name and title, the
// last two cut to fit.
std::string delete_list_line(const board::PageMessage& m);
// The owner's search (the console's search command, the deletion dialog's
// search field): the messages every word of text (Shift_JIS) stands in,
// newest first, at most kOwnerHitsMax of them, in `hits`; false after a box
// that says why there are none to show (a query not taken, no match). A
// search stopped by the time limit, or one that found more than it lists,
// says so in a box and still returns true.
inline constexpr size_t kOwnerHitsMax = 200;
bool delete_dialog_search(Control& c, const std::string& text, std::vector<board::SearchHit>& hits);
// A found message's line: its page, position, time, name and title.
std::string search_list_line(const board::SearchHit& h);
// A found message as the deletion takes it.
board::PageMessage page_message_of(const board::SearchHit& h);
// Delete pressed with no message chosen: a box asks for one.
void delete_dialog_none_chosen(Control& c);
// Delete pressed with a message of page `page` chosen: the confirmation, then
// the deletion and the box that says which message was removed, or which
// file failed. Ends only when the message was deleted; a message no longer
// on its page, or a failure, keeps the dialog open (nothing changed).
Dialog delete_dialog_ok(Control& c, int page, const board::PageMessage& m);

// The feed's addresses for the owner, one a line: the plain one while
// reading is not private, then the secret one (its token made and kept at
// the first need), each from the address the status shows (the path alone
// while that is unknown). Empty when the token cannot be kept (a box said why).
std::string feed_addresses(Control& c);
// A new token for the secret address, kept; the old address then answers
// not found. False after a box that says it could not be kept.
bool feed_new_address(Control& c);
// The window's feed dialog: the addresses, and a button for a new one,
// confirmed first.
void feed_dialog(Control& c);

// True while the board still uses the default ID and password.
bool uses_default_credentials(Control& c);

// A page number as typed: blanks around it ignored, digits full-width too;
// nothing unless it is a whole number from 1 to 100000000.
std::optional<int> parse_page_text(const std::string& text);

// The first bytes of a Shift_JIS text, at most max_bytes, never cutting a
// double-byte character in two.
std::string cut_shift_jis(const std::string& text, size_t max_bytes);

// A visitor's text (Shift_JIS) as the owner's terminal and boxes show it,
// every front end's one filter: control characters (C0, DEL, and the bytes
// that are no character, 80 of which a code page turns into a C1 control)
// become blanks, so that no escape sequence drives the terminal; a lead byte
// without its second byte becomes a blank, so that no character takes the
// next byte of the line.
std::string printable(std::string_view visitor_text);

}  // namespace window
