#pragma once
// The monitor panel's presentation of one status record, as a pure function from the record and
// what is already shown to every change of a control. The window applies the changes; a field
// left empty (std::nullopt) means that the control is left as it is.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "monitor/monitor_state.h"

namespace tervalo {

struct Console;

enum class LabelColour { Black, Navy, Red, Blue, Fuchsia };

struct LabelChange {
  std::optional<std::string> text;
  std::optional<LabelColour> colour;
  std::optional<bool> enabled;
  bool operator==(const LabelChange&) const = default;
};

struct ButtonChange {
  std::optional<std::string> caption;
  std::optional<bool> visible;
  bool operator==(const ButtonChange&) const = default;
};

struct MonitorPanelUpdate {
  std::optional<std::string> staticText5;  // firmware revision and build
  LabelChange label19;                     // P0 title
  LabelChange label25;                     // P0 details
  LabelChange label24;                     // P1 title
  LabelChange label26;                     // P1 details
  std::optional<std::string> label18;      // array state or progress
  std::optional<std::string> label21;      // setting source
  std::optional<std::string> label15;      // RAID mode in the flash
  std::optional<std::string> label17;      // RAID mode of the system
  std::optional<std::string> label27;      // array capacity
  std::optional<std::string> staticText6;  // P0 bad-sector mark
  std::optional<std::string> staticText7;  // P1 bad-sector mark
  // Checked states. The window runs the box's click handling when the state changes.
  std::optional<bool> buzzerMuteChecked;   // CheckBox6
  std::optional<bool> autoScanChecked;     // CheckBox7
  ButtonChange button3;                    // P0 scan button
  ButtonChange button4;                    // P1 scan button
  std::optional<bool> logVisible;          // Button1 "Log"
};

struct Presentation {
  MonitorPanelUpdate panel;
  MonitorState state;  // the shown state after this presentation
};

// Presents `record`. lastProgress is the event-log tracking value of the page on display (0xFF:
// nothing tracked); force redraws both ports even when portState has not changed.
Presentation presentStatusRecord(ConstBytes record, std::uint8_t lastProgress, bool force, const MonitorState& shown);

// Presents the record of the active page (none: nothing happens) and keeps the new shown state
// in console.monitor. Points the current record at the active page's slot.
std::optional<MonitorPanelUpdate> PresentStatus(Console& console, std::optional<int> activePage, bool force);

struct DeviceIdentity {
  std::string firmwareRevisionText;  // "F/W Rev. " + 8 characters
  bool scanSupported = false;        // also whether "Auto Scan" is visible
  std::string windowCaption;         // startCaption + " - " + model + " [" + volumes + "]"
  bool operator==(const DeviceIdentity&) const = default;
};

DeviceIdentity describeDeviceIdentity(ConstBytes identify, std::string_view startCaption, std::string_view volumes);

// For the active page: addresses its controller, records the revision text and ScanSupported in
// console.monitor and returns what the window shows. Nothing happens without an active page.
std::optional<DeviceIdentity> ShowDeviceIdentity(Console& console, std::optional<int> activePage);

}  // namespace tervalo
