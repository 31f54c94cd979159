#include "platform/calendar.h"

#include <chrono>

namespace vastrel::platform {
namespace {

using std::chrono::sys_days;
using std::chrono::year_month_day;

constexpr int64_t kEpoch =
    sys_days{std::chrono::year{1899} / std::chrono::December / 30}.time_since_epoch().count();

}  // namespace

int64_t DayNumberFromCivil(int year, int month, int day) {
  const year_month_day date{std::chrono::year{year},
                            std::chrono::month{static_cast<unsigned>(month)},
                            std::chrono::day{static_cast<unsigned>(day)}};
  return sys_days{date}.time_since_epoch().count() - kEpoch;
}

void CivilFromDayNumber(int64_t day_number, int* year, int* month, int* day) {
  const year_month_day date{sys_days{std::chrono::days{day_number + kEpoch}}};
  *year = static_cast<int>(date.year());
  *month = static_cast<int>(static_cast<unsigned>(date.month()));
  *day = static_cast<int>(static_cast<unsigned>(date.day()));
}

int DaysInMonth(int year, int month) {
  const auto last = std::chrono::year{year} / std::chrono::month{static_cast<unsigned>(month)} /
                    std::chrono::last;
  return static_cast<int>(static_cast<unsigned>(last.day()));
}

}  // namespace vastrel::platform
