#include "platform/clock.h"

#include <cstdio>
#include <ctime>

namespace platform {

LocalTime system_local_time() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &now);
#else
    localtime_r(&now, &tm);
#endif
    LocalTime t;
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    t.hour = tm.tm_hour;
    t.minute = tm.tm_min;
    t.second = tm.tm_sec;
    t.weekday = tm.tm_wday;
    t.epoch_seconds = static_cast<std::int64_t>(now);
    return t;
}

std::string timestamp_text(const LocalTime& t) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[64];
    std::snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %04d\n", days[(t.weekday % 7 + 7) % 7],
                  months[(t.month + 11) % 12], t.day, t.hour, t.minute, t.second, t.year);
    return text;
}

std::string date_time_text(const LocalTime& t) {
    char text[96];
    std::snprintf(text, sizeof text, "%d年%d月%d日%d時%d分%d秒", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return text;
}

LocalTime make_local_time(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    std::time_t epoch = std::mktime(&tm);
    LocalTime t;
    t.year = year;
    t.month = month;
    t.day = day;
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    t.weekday = tm.tm_wday;
    t.epoch_seconds = static_cast<std::int64_t>(epoch);
    return t;
}

}  // namespace platform
