// Calendar arithmetic of automation dates, on std::chrono's proleptic Gregorian calendar.
// Day 0 is 30 December 1899, the epoch of automation dates.
#pragma once

#include <cstdint>

#include "platform/export.h"

namespace vastrel::platform {

// The automation day number of a date. REQUIRES: a valid date of the years -32767..32767.
VASTREL_API int64_t DayNumberFromCivil(int year, int month, int day);
// The date of an automation day number. REQUIRES: a day of the years -32767..32767.
VASTREL_API void CivilFromDayNumber(int64_t day_number, int* year, int* month, int* day);
// The days of a month (1 to 12) of a year, leap years counted.
VASTREL_API int DaysInMonth(int year, int month);

}  // namespace vastrel::platform
