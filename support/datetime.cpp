// Date and time texts in the process-wide date style.
//
// The fields come straight from localtime_r; every field is written with two
// digits (four for a year with its century), so a day below 10 reads "06",
// never " 6". A time that localtime_r cannot convert, or a year outside
// 0..9999, gives the layout filled with zeros ("00/00/00", "00:00:00").
#include "support/datetime.h"

#include <cstdio>
#include <cstring>

namespace vnx {

namespace {

enum class Layout { kDayMonthYear, kMonthDayYear, kYearMonthDay };

Layout layout_of(int style) {
    switch (style) {
        case 333:
        case 643:
        case 1229:
            return Layout::kMonthDayYear;
        case 348:
        case 641:
        case 642:
            return Layout::kYearMonthDay;
        default:  // 332, 349, 350, 351, 1228 and any code without a layout of its own
            return Layout::kDayMonthYear;
    }
}

// Local calendar fields of `t`; false when they cannot be had.
bool local_fields(time_t t, struct tm *out) {
    if (localtime_r(&t, out) == nullptr) return false;
    const long long year = 1900LL + out->tm_year;
    return year >= 0 && year <= 9999;
}

}  // namespace

DateSettings &date_settings() {
    static DateSettings settings;
    return settings;
}

std::string format_date(time_t t) {
    const DateSettings &s = date_settings();
    int day = 0, month = 0, year = 0;
    struct tm fields;
    if (local_fields(t, &fields)) {
        day = fields.tm_mday;
        month = fields.tm_mon + 1;
        year = 1900 + fields.tm_year;
    }
    const int year_digits = s.century ? 4 : 2;
    const int year_value = s.century ? year : year % 100;
    const char sep = s.separator;
    char buf[32];
    int n = 0;  // from snprintf, so that a NUL separator is kept as written
    switch (layout_of(s.style)) {
        case Layout::kDayMonthYear:
            n = std::snprintf(buf, sizeof buf, "%02d%c%02d%c%0*d", day, sep, month, sep,
                              year_digits, year_value);
            break;
        case Layout::kMonthDayYear:
            n = std::snprintf(buf, sizeof buf, "%02d%c%02d%c%0*d", month, sep, day, sep,
                              year_digits, year_value);
            break;
        case Layout::kYearMonthDay:
            n = std::snprintf(buf, sizeof buf, "%0*d%c%02d%c%02d", year_digits, year_value, sep,
                              month, sep, day);
            break;
    }
    return std::string(buf, static_cast<size_t>(n));
}

std::string format_time(time_t t) {
    char buf[16] = "00:00:00";
    struct tm fields;
    if (localtime_r(&t, &fields) != nullptr) {
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", fields.tm_hour, fields.tm_min,
                      fields.tm_sec);
    }
    return buf;
}

int month_number(const char *name) {
    static constexpr const char *kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (name == nullptr) return 0;
    for (int i = 0; i < 12; ++i) {
        if (std::strcmp(name, kMonths[i]) == 0) return i + 1;
    }
    return 0;
}

}  // namespace vnx
