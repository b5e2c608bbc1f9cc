#pragma once
#include <array>
#include <cstdint>

#include "protocol/protocol_state.h"

namespace tervalo {

// What the window's array controls hold when an order runs: orders send the values of the
// moment they run, not of the moment they were asked for.
struct ArrayControlState {
  bool buzzerMuteChecked = false;  // "Buzzer Mute"
  bool autoScanChecked = false;    // "Auto Scan"
  bool settingBoxesEnabled = false;
  bool pageChangeGuard = false;
  int activePage = -1;  // the page control's active page; -1 when no tab is shown
  std::uint8_t scanStart = 0;  // 1 start, 0 stop
  std::uint8_t scanPort = 0;   // 0 P0, 1 P1
  std::uint64_t scanFirstLba = 0;
  std::uint64_t scanLastLba = 0;
  // Per page: set to 4 after every order; the one-second tick counts it down.
  std::array<std::uint8_t, kDevicePages> settingBusy{};
};

}  // namespace tervalo
