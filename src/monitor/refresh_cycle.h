#pragma once
// The status refresh cycle: every enabled device page's status record is read, event detection
// runs over the pages read, and the page on display is presented. A controller that stops
// answering is retried every second cycle and dropped after six failed reads. Also the "Start"
// and "Stop" buttons and the request worker's hand-over of one pending request.
#include <cstdint>
#include <string_view>

#include "monitor/monitoring_state.h"
#include "monitor/presentation.h"

namespace tervalo {

struct Console;

// The main window's controls that monitoring switches on and off.
enum class MonitorControl : std::uint8_t {
  Start,            // Button10 "Start"
  Stop,             // Button11 "Stop"
  LoadFirmware,     // BitBtn1 "Load Firmware "
  StartUpgrade,     // Button2 "Start Upgrade"
  Upgrade,          // Button8 "Upgrade"
  DeviceSelector,   // UpDown1
  Offset49152,      // CheckBox2 "Offset 49152"
};

std::string_view monitorControlName(MonitorControl control);

// What the monitor asks of the window. The core keeps the state (console.monitoring); the view
// only shows it. The window keeps console.controls.activePage current: when hiding a tab moves
// the page control to another page, it updates activePage before setTabVisible returns.
class MonitorView {
 public:
  virtual ~MonitorView() = default;
  // A device page's tab sheet.
  virtual void setTabVisible(int page, bool visible) = 0;
  // Shows a device check box's new state. The click handling has already been run by the core
  // (DeviceCheckBoxClick); the window must not run it again for this change.
  virtual void setDeviceBoxChecked(int page, bool checked) = 0;
  virtual void setControlEnabled(MonitorControl control, bool enabled) = 0;
  // The four-second monitoring timer.
  virtual void setMonitoringTimer(bool on) = 0;
  // Revision text, "Auto Scan" visibility and window caption of the page on display.
  virtual void showDeviceIdentity(const DeviceIdentity& identity) = 0;
  // The monitor panel's changes from one presentation.
  virtual void presentPanel(const MonitorPanelUpdate& update) = 0;
};

// A view that shows nothing: headless monitoring.
class NullMonitorView : public MonitorView {
 public:
  void setTabVisible(int, bool) override {}
  void setDeviceBoxChecked(int, bool) override {}
  void setControlEnabled(MonitorControl, bool) override {}
  void setMonitoringTimer(bool) override {}
  void showDeviceIdentity(const DeviceIdentity&) override {}
  void presentPanel(const MonitorPanelUpdate&) override {}
};

// One cycle. Returns the page mask: bit i set when page i was read successfully.
std::uint8_t RefreshDevicePages(Console& console, MonitorView& view);

// Ends monitoring and puts the buttons into their idle state.
void StopMonitoring(Console& console, MonitorView& view);

// "Start": monitoring runs and an immediate refresh is requested.
void Button10Click(Console& console, MonitorView& view);
// "Stop".
void Button11Click(Console& console, MonitorView& view);
// The monitoring timer's tick: requests a refresh.
void Timer2Timer(Console& console);

// The handling of device check box `page` (CheckBox1/3/4/5Click), run after its checked state in
// console.monitoring.deviceChecked has changed: shows or hides the page's tab, clears its failure
// counter and presents the page on display again.
void DeviceCheckBoxClick(Console& console, MonitorView& view, int page);
// Changes a device check box as a click would: state, view and click handling (only when the
// state changes, as a check box raises its click only then).
void setDeviceCheckBox(Console& console, MonitorView& view, int page, bool checked);

// What the request worker hands to the user-interface thread: runs the pending request of the
// highest priority (refresh, settings, scan) and clears its bit after it has returned. Returns
// the bit that ran, 0 when nothing was pending. When a refresh ran and `refreshedPages` is given,
// it receives the cycle's page mask.
std::uint8_t RunPendingRequest(Console& console, MonitorView& view, std::uint8_t* refreshedPages = nullptr);

}  // namespace tervalo
