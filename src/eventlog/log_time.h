#pragma once
// Time stamps of log lines: the user's short date, a blank and the user's long time; the time is
// left out at exactly midnight.
#include <string>

#include "core/clock.h"

namespace tervalo {

// strftime patterns.
struct TimeStampFormat {
  std::string shortDate = "%d/%m/%Y";
  std::string longTime = "%H:%M:%S";
  bool operator==(const TimeStampFormat&) const = default;
};

// The patterns of the user's locale (LC_TIME from the environment: D_FMT and T_FMT). Falls back to
// the defaults above when the locale cannot be loaded or names no pattern.
TimeStampFormat localeTimeStampFormat();

std::string formatTimeStamp(const LocalDateTime& time, const TimeStampFormat& format);

}  // namespace tervalo
