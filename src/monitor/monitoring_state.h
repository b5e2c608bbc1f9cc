#pragma once
// What the refresh cycle, the "Start"/"Stop" buttons and the request worker share: the pending
// requests, the per-page failure counters and the device check boxes.
#include <array>
#include <atomic>
#include <cstdint>

#include "protocol/protocol_state.h"

namespace tervalo {

// PendingRequests bits.
enum PendingRequest : std::uint8_t {
  kRequestRefresh = 0x01,      // RefreshDevicePages
  kRequestSettings = 0x02,     // WriteControllerSettings
  kRequestScan = 0x04,         // SendScanCommand
  kRequestMask = 0x07,         // the bits that are requests
  kMonitoringRunning = 0x10,   // not a request: monitoring runs
};

// A page whose counter rises above this is dropped from monitoring.
inline constexpr std::uint8_t kMaxReadFailures = 10;
// Interval of the monitoring timer.
inline constexpr int kMonitorIntervalMs = 4000;

struct MonitoringState {
  // Written on the user-interface thread, read by the request worker.
  std::atomic<std::uint8_t> pendingRequests{0};
  // Per page: 0 healthy; odd: skip the next cycle; even non-zero: retry the read.
  std::array<std::uint8_t, kDevicePages> readFailures{};
  // The device check boxes "Device1".."Device4"; they start checked.
  std::array<bool, kDevicePages> deviceChecked{true, true, true, true};
  // Position of the device selector (UpDown1) in the "Firmware Upgrade" group.
  int deviceSelector = 0;
  // Whether the four-second monitoring timer (Timer2) runs.
  bool timerEnabled = false;

  bool monitoringRunning() const { return (pendingRequests.load() & kMonitoringRunning) != 0; }
};

}  // namespace tervalo
