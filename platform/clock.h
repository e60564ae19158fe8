#pragma once
// The local clock and the two texts the board writes from it.
#include <cstdint>
#include <functional>
#include <string>

#include "platform/sjis.h"

namespace platform {

struct LocalTime {
    int year = 1970;
    int month = 1;   // 1..12
    int day = 1;     // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int weekday = 4;  // 0 = Sunday
    std::int64_t epoch_seconds = 0;
};

// Injectable so that tests can fix the time.
using Clock = std::function<LocalTime()>;

LocalTime system_local_time();

// "Thu Apr 28 00:06:25 2011\n": the run-time's current-time text, with the
// day of the month in two digits and a leading zero as the Windows run-time
// writes it. The hour stands at characters 11 and 12.
std::string timestamp_text(const LocalTime& t);

// "2011年4月28日0時6分25秒": no leading zeros anywhere.
std::string date_time_text(const LocalTime& t);

// A fixed clock for tests and tools.
LocalTime make_local_time(int year, int month, int day, int hour, int minute, int second);

}  // namespace platform
