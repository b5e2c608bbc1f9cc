#pragma once
// What the array monitor remembers between presentations, shared with event detection.
#include <array>
#include <cstdint>
#include <string>

namespace tervalo {

inline constexpr std::uint8_t kNothingShown = 0xFF;
inline constexpr const char* kProgramCaption = "Tervalo v0.22";

struct MonitorState {
  // portState last presented; one value for the whole window, not one per page.
  std::uint8_t shownPortState = kNothingShown;
  // progress last presented; 0xFF: no progress text is shown. Shared by all pages.
  std::uint8_t shownProgress = kNothingShown;
  // Set at start-up, cleared by the first presentation of a status record.
  bool firstPass = true;
  // Whether the firmware of the controller on display supports surface scans.
  bool scanSupported = false;
  // "F/W Rev. " and the 8-character firmware revision of the controller on display.
  std::string firmwareRevisionText;
  // The main window's caption at the end of start-up.
  std::string startCaption = kProgramCaption;
  // The serial numbers last decoded for P0 and P1.
  std::array<std::string, 2> shownSerial;
};

}  // namespace tervalo
