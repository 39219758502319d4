#include "variables/VariableValueForms.h"

#include "support/TextUtils.h"

#include <array>
#include <cmath>
#include <langinfo.h>

namespace lumo::vars {

namespace {

constexpr std::array<std::string_view, 12> kMonths = {"January",   "February", "March",    "April",
                                                      "May",       "June",     "July",     "August",
                                                      "September", "October",  "November", "December"};
constexpr std::array<std::string_view, 12> kMonths3 = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<std::string_view, 12> kMonthsAP = {"Jan.", "Feb.", "March", "April", "May",  "June",
                                                        "July", "Aug.", "Sept.", "Oct.",  "Nov.", "Dec."};
constexpr std::array<std::string_view, 7> kDays = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                   "Thursday", "Friday", "Saturday"};
constexpr std::array<std::string_view, 7> kDays3 = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

bool validMonth(int month) {
    return month >= 1 && month <= 12;
}

std::tm toTm(const DateParts& date) {
    std::tm tm{};
    tm.tm_year = date.year - 1900;
    tm.tm_mon = date.month - 1;
    tm.tm_mday = date.day;
    tm.tm_hour = date.hour;
    tm.tm_min = date.minute;
    tm.tm_sec = date.second;
    tm.tm_wday = DayOfWeek(date.year, date.month, date.day);
    return tm;
}

std::string formatTm(const char* format, const std::tm& tm) {
    char buffer[256];
    const std::size_t length = std::strftime(buffer, sizeof buffer, format, &tm);
    return std::string(buffer, length);
}

int hour12(int hour) {
    const int h = hour % 12;
    return h == 0 ? 12 : h;
}

} // namespace

std::string FormatShutterSpeed(double t, bool sortable) {
    if (sortable)
        return formatString("%011.6f", t > 0 ? t : 0.0);
    // The camera's special values, stored as exposure times of their own.
    const float asFloat = static_cast<float>(t);
    if (asFloat == 10000.0f)
        return "Bulb";
    if (asFloat == 1000.0f)
        return "Lo";
    if (asFloat == static_cast<float>(0.00001))
        return "HI";
    if (!(t > 0))
        return "0";
    if (t < 1.0) {
        const double inverse = 1.0 / t;
        if (t > 0.3448275862068966 && static_cast<long long>(10.0 / t) != 20)
            return formatString("1/%.1f", inverse);
        return formatString("1/%d", static_cast<int>(std::lround(std::min(inverse, 2.0e9))));
    }
    const long long tenths = static_cast<long long>(10.0 * std::min(t, 1.0e15));
    if (t < 2.9 && tenths != 10 && tenths != 20)
        return formatString("%.1f", t);
    return formatString("%lld", static_cast<long long>(std::llround(std::min(t, 1.0e15))));
}

std::string FormatFileSize(std::uint64_t n, bool sortable) {
    if (sortable)
        return formatString("%09llu", static_cast<unsigned long long>(n));
    if (n == 0)
        return "0";
    if (n < 1000000) {
        const unsigned long long kilo = (n + 500) / 1000;
        return formatString("%lluK", kilo < 1 ? 1ULL : kilo);
    }
    // Rounded once, to tenths of a megabyte, in integers: 1,000,000 bytes is "1.0M".
    const unsigned long long tenths = (n + 50000) / 100000;
    return formatString("%llu.%lluM", tenths / 10, tenths % 10);
}

std::string FormatGPSSpeed(double speed, std::uint8_t reference, bool sortable) {
    if (sortable)
        return formatString("%08.2f", speed);
    const char* unit = reference == 'M' ? " mph" : reference == 'N' ? " knots" : " km/h";
    const double hundredths = std::round(speed * 100.0);
    if (std::fmod(hundredths, 100.0) == 0.0)
        return formatString("%.0f%s", hundredths / 100.0, unit);
    return formatString("%.2f%s", hundredths / 100.0, unit);
}

std::string FormatDegrees(double degrees, bool sortable) {
    if (sortable)
        return formatString("%09.5f", degrees + 500.0);
    return formatString("%.5f", degrees);
}

std::string_view MonthName(int month) {
    return validMonth(month) ? kMonths[static_cast<std::size_t>(month - 1)] : std::string_view();
}
std::string_view MonthName3(int month) {
    return validMonth(month) ? kMonths3[static_cast<std::size_t>(month - 1)] : std::string_view();
}
std::string_view MonthNameAP(int month) {
    return validMonth(month) ? kMonthsAP[static_cast<std::size_t>(month - 1)] : std::string_view();
}
std::string_view DayName(int weekday) {
    return weekday >= 0 && weekday < 7 ? kDays[static_cast<std::size_t>(weekday)] : std::string_view();
}
std::string_view DayName3(int weekday) {
    return weekday >= 0 && weekday < 7 ? kDays3[static_cast<std::size_t>(weekday)] : std::string_view();
}

int DayOfWeek(int year, int month, int day) {
    // Days from 1970-01-01 (a Thursday) by the civil-calendar count.
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int mp = (month + 9) % 12;
    const int doy = (153 * mp + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long long days = static_cast<long long>(era) * 146097 + doe - 719468;
    return static_cast<int>(((days % 7) + 7 + 4) % 7);
}

DateParts DatePartsFromTm(const std::tm& tm, int hundredths) {
    DateParts date;
    date.year = tm.tm_year + 1900;
    date.month = tm.tm_mon + 1;
    date.day = tm.tm_mday;
    date.hour = tm.tm_hour;
    date.minute = tm.tm_min;
    date.second = tm.tm_sec;
    date.hundredths = hundredths;
    date.hasDate = date.hasTime = true;
    return date;
}

std::string SystemShortDate(const DateParts& date) {
    if (!date.hasDate)
        return {};
    return formatTm(nl_langinfo(D_FMT), toTm(date));
}

std::string SystemShortTime(const DateParts& date) {
    if (!date.hasTime)
        return {};
    return formatTm(nl_langinfo(T_FMT), toTm(date));
}

std::optional<std::string> FormatDatePart(const DateParts& d, std::string_view form) {
    const bool time = d.hasTime, date = d.hasDate;
    auto need = [](bool have, auto&& make) -> std::string { return have ? make() : std::string(); };
    if (form == "day")
        return need(date, [&] { return formatString("%d", d.day); });
    if (form == "day0")
        return need(date, [&] { return formatString("%02d", d.day); });
    if (form == "dow")
        return need(date, [&] { return std::string(DayName(DayOfWeek(d.year, d.month, d.day))); });
    if (form == "dow3")
        return need(date, [&] { return std::string(DayName3(DayOfWeek(d.year, d.month, d.day))); });
    if (form == "month")
        return need(date, [&] { return formatString("%d", d.month); });
    if (form == "month0")
        return need(date, [&] { return formatString("%02d", d.month); });
    if (form == "monthname")
        return need(date, [&] { return std::string(MonthName(d.month)); });
    if (form == "monthname3")
        return need(date, [&] { return std::string(MonthName3(d.month)); });
    if (form == "monthnameap")
        return need(date, [&] { return std::string(MonthNameAP(d.month)); });
    if (form == "year2")
        return need(date, [&] { return formatString("%02d", ((d.year % 100) + 100) % 100); });
    if (form == "year4")
        return need(date, [&] { return formatString("%04d", d.year); });
    if (form == "sort" || form == "datesort")
        return need(date, [&] { return formatString("%04d%02d%02d", d.year, d.month, d.day); });
    if (form == "datesortdash")
        return need(date, [&] { return formatString("%04d-%02d-%02d", d.year, d.month, d.day); });
    if (form == "mil")
        return need(date, [&] {
            std::string month(MonthName3(d.month));
            for (char& c : month)
                c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
            return formatString("%02d%s%02d", d.day, month.c_str(), ((d.year % 100) + 100) % 100);
        });
    if (form == "date")
        return SystemShortDate(d);
    if (form == "time")
        return SystemShortTime(d);
    if (form == "hour")
        return need(time, [&] { return formatString("%d", hour12(d.hour)); });
    if (form == "hour0")
        return need(time, [&] { return formatString("%02d", hour12(d.hour)); });
    if (form == "hour24")
        return need(time, [&] { return formatString("%02d", d.hour); });
    if (form == "minute")
        return need(time, [&] { return formatString("%02d", d.minute); });
    if (form == "second")
        return need(time, [&] { return formatString("%02d", d.second); });
    if (form == "ampm")
        return need(time, [&] { return std::string(d.hour < 12 ? "AM" : "PM"); });
    if (form == "subsecond")
        return need(time && d.hundredths >= 0, [&] { return formatString("%02d", d.hundredths); });
    if (form == "timesort")
        return need(time, [&] { return formatString("%02d%02d%02d", d.hour, d.minute, d.second); });
    if (form == "timesortdash")
        return need(time, [&] { return formatString("%02d-%02d-%02d", d.hour, d.minute, d.second); });
    if (form == "timesortlong")
        return need(time, [&] {
            return formatString("%02d%02d%02d%02d", d.hour, d.minute, d.second,
                                d.hundredths < 0 ? 0 : d.hundredths);
        });
    return std::nullopt;
}

} // namespace lumo::vars
