#pragma once
// Identifiers of the window's resources, shared by resources.rc and the code.

// Strings
#define IDS_APP_TITLE 103  // the window title
#define IDS_CLASS_NAME 109 // the window class name

// Icons
#define IDI_LARGE 107
#define IDI_SMALL 108

// Menu and accelerators of the main window
#define IDR_MAIN 109
#define IDM_ABOUT 104
#define IDM_EXIT 105
#define IDM_PORT 32771
#define IDM_LOG 32772
#define IDM_ID_PASSWORD 32774
#define IDM_RESET 32776
#define IDM_PRIVATE 32777
#define IDM_DELETE 32778
#define IDM_SEEN 32779
#define IDM_FEED 32780
#define IDM_UPNP 32781
#define IDM_IPV6 32782

// Dialogs
#define IDD_PANEL 101
#define IDD_ABOUT 103
#define IDD_PORT 129
#define IDD_LOG 130
#define IDD_ID_PASSWORD 131
#define IDD_RESET 132
#define IDD_PRIVATE 133
#define IDD_DELETE 134

// Controls
#define IDC_ABOUT_ICON 2       // the about box's icon (it shares IDCANCEL's number)
#define IDC_EDIT_PORT 1000
#define IDC_EDIT_ID 1000
#define IDC_LOG_ON 1001
#define IDC_LOG_OFF 1002
#define IDC_START 1003
#define IDC_STOP 1004
#define IDC_EDIT_PASSWORD 1005
#define IDC_PRIVATE_ON 1006
#define IDC_PRIVATE_OFF 1007
#define IDC_DELETE_PAGE 1008
#define IDC_DELETE_SHOW 1009
#define IDC_DELETE_LIST 1010
#define IDC_DELETE_WORDS 1011
#define IDC_DELETE_FIND 1012
#define IDC_STATIC_TEXT -1
