#pragma once
// The local date-time, behind a seam so that log passes, day rollover, midnight stamps and
// elapsed time can be tested without waiting.
#include <compare>
#include <cstdint>
#include <string>

namespace tervalo {

struct LocalDateTime {
  int year = 2000;
  int month = 1;   // 1..12
  int day = 1;     // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;

  auto operator<=>(const LocalDateTime&) const = default;
  bool isMidnight() const { return hour == 0 && minute == 0 && second == 0; }
  // Seconds since 1970-01-01 00:00:00 of the same (local) calendar, for differences.
  std::int64_t toEpochSeconds() const;
  static LocalDateTime fromEpochSeconds(std::int64_t seconds);
  LocalDateTime plusSeconds(std::int64_t seconds) const { return fromEpochSeconds(toEpochSeconds() + seconds); }
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalDateTime now() = 0;
};

// The host's local time.
class SystemClock final : public Clock {
 public:
  LocalDateTime now() override;
};

// A clock that only moves when told: tests and scripted simulations.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(LocalDateTime start = {}) : now_(start) {}
  LocalDateTime now() override { return now_; }
  void set(LocalDateTime t) { now_ = t; }
  void advance(std::int64_t seconds) { now_ = now_.plusSeconds(seconds); }

 private:
  LocalDateTime now_;
};

}  // namespace tervalo
