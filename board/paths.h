#pragma once
// The board's files, relative to the working directory.
namespace board::paths {
inline constexpr const char* kData = "DATA";
inline constexpr const char* kSettings = "DATA/settings.ini";
inline constexpr const char* kSettingsWork = "DATA/settings_work.ini";
inline constexpr const char* kMessageDir = "DATA/MESSAGE/";
inline constexpr const char* kCounters = "DATA/MESSAGE/0.ini";
inline constexpr const char* kCountersWork = "DATA/MESSAGE/0_work.ini";
inline constexpr const char* kIdPasswordDir = "DATA/IDPASSWORD";
inline constexpr const char* kCredentials = "DATA/IDPASSWORD/idpassword.ini";
inline constexpr const char* kCredentialsWork = "DATA/IDPASSWORD/idpassword_work.ini";
inline constexpr const char* kSessionDir = "DATA/SESSION";
inline constexpr const char* kSessions = "DATA/SESSION/session.ini";
inline constexpr const char* kSessionsWork = "DATA/SESSION/session_work.ini";
inline constexpr const char* kLogDir = "DATA/LOG";
inline constexpr const char* kHtmlDir = "DATA/HTML";
inline constexpr const char* kLoginPage = "DATA/HTML/index.html";
inline constexpr const char* kMainPage = "DATA/HTML/wbk_main.html";
inline constexpr const char* kMainWork = "DATA/HTML/wbk_main_work.html";
inline constexpr const char* kMenuPage = "DATA/HTML/wbk_menu.html";
inline constexpr const char* kMenuWork = "DATA/HTML/wbk_menu_work.html";
inline constexpr const char* kInputPage = "DATA/HTML/wbk_input.html";
inline constexpr const char* kTextPage1 = "DATA/HTML/wbk_text_1.html";
inline constexpr const char* kTextWork = "DATA/HTML/wbk_text_work.html";
}  // namespace board::paths
