// Date and time texts for session records and the console: a calendar time
// in local time rendered in the process-wide date style.
//
// Unlike static-buffer helpers these return std::string; the style settings
// are process-wide and used from one thread.
#pragma once

#include <ctime>
#include <string>

namespace vnx {

struct DateSettings {
    int style = 332;       // date style code, see format_date
    char separator = '/';  // separator between the date fields
    bool century = false;  // four-digit years when true
};

// The process-wide settings (initially the defaults above).
DateSettings &date_settings();

// Date text of `t` (local time) in the current style:
//   332, 349, 350, 351, 1228 (and any unknown code): DD/MM/YY  or DD/MM/CCYY
//   333, 643, 1229:                                  MM/DD/YY  or MM/DD/CCYY
//   348, 641, 642:                                   YY/MM/DD  or CCYY/MM/DD
// with the separator in place of "/"; every field zero-padded.
std::string format_date(time_t t);
// "hh:mm:ss" of `t`, local time, 24-hour clock.
std::string format_time(time_t t);
// 1..12 for "Jan".."Dec" (exact three-letter English names), 0 otherwise.
int month_number(const char *name);

}  // namespace vnx
