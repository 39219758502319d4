#pragma once

// The fixed forms of variable values shared by the value families: numbers written so that photographers
// read them as the camera's display does, date parts and their name tables, and the fixed-width forms
// used when sorting by a variable.

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace lumo::vars {

// Exposure time t in seconds: "Bulb", "Lo", "HI", "1/250", "1/2.5", "0.8", "2.5", "30"; sortable
// "%011.6f" of t.
std::string FormatShutterSpeed(double seconds, bool sortable);
// "0", "1K".."1000K" below one million bytes, then "1.0M", "1.5M"...; sortable "%09llu" of the bytes.
std::string FormatFileSize(std::uint64_t bytes, bool sortable);
// "12 km/h", "12.35 mph", "3 knots" by the speed reference ('M', 'N', otherwise km/h); sortable
// "%08.2f" of the value.
std::string FormatGPSSpeed(double speed, std::uint8_t reference, bool sortable);
// Signed decimal degrees "%.5f"; sortable "%09.5f" of the value plus 500.
std::string FormatDegrees(double degrees, bool sortable);

// "January".."December", "Jan".."Dec", "Jan.", "Feb.", "March"... for months 1 to 12; empty otherwise.
std::string_view MonthName(int month);
std::string_view MonthName3(int month);
std::string_view MonthNameAP(int month);
// "Sunday".."Saturday" and "Sun".."Sat" for days 0 (Sunday) to 6; empty otherwise.
std::string_view DayName(int weekday);
std::string_view DayName3(int weekday);
// The day of the week (0 Sunday) of a date of the proleptic Gregorian calendar.
int DayOfWeek(int year, int month, int day);

// A calendar date and time with the parts the variables write. Hundredths are -1 when unknown.
struct DateParts {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, hundredths = -1;
    bool hasDate = false, hasTime = false;
};
DateParts DatePartsFromTm(const std::tm& tm, int hundredths);

// The value of one date form of a date: `form` is the variable's name without its family prefix
// ("day0", "monthnameap", "sort", "date", "time", "mil"...). Nullopt for a form this function does not
// know; "" when the date lacks the part the form needs.
std::optional<std::string> FormatDatePart(const DateParts& date, std::string_view form);

// The system's short date and time of a date (the locale's "%x"-like formats from nl_langinfo).
std::string SystemShortDate(const DateParts& date);
std::string SystemShortTime(const DateParts& date);

} // namespace lumo::vars
