#pragma once
// A MonitorView that records every call and keeps what the window would show: tab visibility,
// check boxes, enabled controls, the timer and the last panel update.
#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "monitor/refresh_cycle.h"

namespace tervalo::testing {

class RecordingMonitorView : public MonitorView {
 public:
  void setTabVisible(int page, bool visible) override {
    tabVisible.at(static_cast<std::size_t>(page)) = visible;
    calls.push_back(std::string(visible ? "show" : "hide") + " tab " + std::to_string(page));
  }
  void setDeviceBoxChecked(int page, bool checked) override {
    boxChecked.at(static_cast<std::size_t>(page)) = checked;
    calls.push_back(std::string(checked ? "check" : "uncheck") + " box " + std::to_string(page));
  }
  void setControlEnabled(MonitorControl control, bool enabled) override {
    this->enabled[control] = enabled;
    calls.push_back(std::string(enabled ? "enable " : "disable ") + std::string(monitorControlName(control)));
  }
  void setMonitoringTimer(bool on) override {
    timerOn = on;
    calls.push_back(on ? "timer on" : "timer off");
  }
  void showDeviceIdentity(const DeviceIdentity& identity) override {
    identities.push_back(identity);
    calls.push_back("identity");
  }
  void presentPanel(const MonitorPanelUpdate& update) override {
    panels.push_back(update);
    calls.push_back("present");
  }

  // Whether the control was last enabled; nullopt when never touched.
  std::optional<bool> isEnabled(MonitorControl control) const {
    auto it = enabled.find(control);
    return it == enabled.end() ? std::nullopt : std::optional<bool>(it->second);
  }

  std::array<std::optional<bool>, 4> tabVisible{};
  std::array<std::optional<bool>, 4> boxChecked{};
  std::map<MonitorControl, bool> enabled;
  std::optional<bool> timerOn;
  std::vector<DeviceIdentity> identities;
  std::vector<MonitorPanelUpdate> panels;
  std::vector<std::string> calls;
};

}  // namespace tervalo::testing
