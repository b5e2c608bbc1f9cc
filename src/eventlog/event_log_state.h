#pragma once
// What event detection and the day log keep between passes.
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "core/clock.h"
#include "eventlog/log_buffer.h"
#include "eventlog/log_file.h"
#include "eventlog/log_time.h"
#include "protocol/protocol_state.h"

namespace tervalo {

inline constexpr std::uint8_t kNoProgressTracked = 0xFF;

// Per device page: what the last passes saw and logged.
struct PageLogState {
  std::uint8_t prevPortFlags = 0;                    // portState as last seen; 0xFF counts as 0
  std::uint8_t lastProgress = kNoProgressTracked;    // percent of the last progress line written
  std::uint8_t scanRunning = 0;                      // 1 while the tracked operation is a scan
  std::uint8_t scanAbortMark = 0;                    // 1 when the user stopped a scan since the last pass
  std::uint8_t operationPort = 0;                    // port of the tracked operation: 0 P0, 1 P1
  std::uint8_t lastBadSectorCount = 0;               // badSectorCount as last logged
};

struct EventLogState {
  std::array<PageLogState, kDevicePages> pages{};
  // The day's log lines.
  LogBuffer buffer;
  // Where the day files go (see pickLogFolder). Empty: the log is kept in memory only.
  std::filesystem::path folder;
  // Date and time patterns of the time stamps; the user's locale unless the owner sets others.
  TimeStampFormat timeFormat = localeTimeStampFormat();
  // File access; tests put their own in.
  std::shared_ptr<LogFileIo> io = std::make_shared<PosixLogFileIo>();

  // The pass under way: its clock reading, its time stamp and its day file.
  LocalDateTime passTime;
  std::string passStamp;
  std::filesystem::path dayFile;

  // The day file whose content the buffer holds (empty: none yet), and how many of the buffer's
  // leading lines are known to be stored in it. Lines beyond that have not reached a file yet.
  std::filesystem::path heldFile;
  std::size_t savedLines = 0;
};

}  // namespace tervalo
