#include "eventlog/log_time.h"

#include <langinfo.h>
#include <locale.h>

#include <ctime>

namespace tervalo {

TimeStampFormat localeTimeStampFormat() {
  TimeStampFormat format;
  locale_t locale = ::newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0)) return format;
  const char* date = ::nl_langinfo_l(D_FMT, locale);
  const char* time = ::nl_langinfo_l(T_FMT, locale);
  if (date && *date) format.shortDate = date;
  if (time && *time) format.longTime = time;
  ::freelocale(locale);
  return format;
}

namespace {
std::string formatPart(const std::tm& tm, const std::string& pattern) {
  if (pattern.empty()) return {};
  char text[256];
  const std::size_t n = std::strftime(text, sizeof text, pattern.c_str(), &tm);
  return std::string(text, n);
}
}  // namespace

std::string formatTimeStamp(const LocalDateTime& time, const TimeStampFormat& format) {
  std::tm tm{};
  tm.tm_year = time.year - 1900;
  tm.tm_mon = time.month - 1;
  tm.tm_mday = time.day;
  tm.tm_hour = time.hour;
  tm.tm_min = time.minute;
  tm.tm_sec = time.second;
  tm.tm_isdst = -1;
  // Day of the week and of the year, for patterns that name them.
  const std::int64_t days = LocalDateTime{time.year, time.month, time.day}.toEpochSeconds() / 86400;
  tm.tm_wday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  tm.tm_yday = static_cast<int>(days - LocalDateTime{time.year, 1, 1}.toEpochSeconds() / 86400);
  std::string stamp = formatPart(tm, format.shortDate);
  if (!time.isMidnight()) {
    stamp += ' ';
    stamp += formatPart(tm, format.longTime);
  }
  return stamp;
}

}  // namespace tervalo
