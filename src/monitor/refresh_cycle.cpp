#include "monitor/refresh_cycle.h"

#include "core/console.h"
#include "eventlog/event_log.h"
#include "protocol/record_read.h"
#include "protocol/setting_orders.h"

namespace tervalo {

namespace {

std::optional<int> activePageOf(const Console& console) {
  const int page = console.controls.activePage;
  if (page < 0 || page >= kDevicePages) return std::nullopt;
  return page;
}

void present(Console& console, MonitorView& view, bool force) {
  if (auto update = PresentStatus(console, activePageOf(console), force)) view.presentPanel(*update);
}

bool retryPending(const MonitoringState& m) {
  for (const std::uint8_t failures : m.readFailures)
    if (failures > 0 && failures <= kMaxReadFailures) return true;
  return false;
}

}  // namespace

std::string_view monitorControlName(MonitorControl control) {
  switch (control) {
    case MonitorControl::Start: return "Start";
    case MonitorControl::Stop: return "Stop";
    case MonitorControl::LoadFirmware: return "Load Firmware ";
    case MonitorControl::StartUpgrade: return "Start Upgrade";
    case MonitorControl::Upgrade: return "Upgrade";
    case MonitorControl::DeviceSelector: return "device selector";
    case MonitorControl::Offset49152: return "Offset 49152";
  }
  return "?";
}

std::uint8_t RefreshDevicePages(Console& console, MonitorView& view) {
  MonitoringState& m = console.monitoring;
  std::uint8_t mask = 0;
  for (int i = 0; i < kDevicePages; ++i) {
    const auto page = static_cast<std::size_t>(i);
    if (console.device.controllerCount <= i || !m.deviceChecked[page] || console.protocol.upgradeTarget == i)
      continue;
    console.protocol.currentController = i;
    if (m.readFailures[page] % 2 == 1) {
      ++m.readFailures[page];  // a failing page is read in every second cycle
      continue;
    }
    Sector record{};
    if (ReadStatusRecord(console, record)) {
      console.protocol.statusRecords[page] = record;
      console.protocol.currentRecordPage = i;
      mask = static_cast<std::uint8_t>(mask | (1u << i));
      view.setTabVisible(i, true);
      m.readFailures[page] = 0;
      continue;
    }
    if (++m.readFailures[page] > kMaxReadFailures) {
      setDeviceCheckBox(console, view, i, false);
      view.setTabVisible(i, false);
      m.readFailures[page] = 0;
    }
  }
  UpdateEventLog(console, mask);
  if (mask != 0) {
    present(console, view, console.monitor.firstPass);
    return mask;
  }
  if (!retryPending(m)) StopMonitoring(console, view);
  return mask;
}

void StopMonitoring(Console& console, MonitorView& view) {
  MonitoringState& m = console.monitoring;
  m.timerEnabled = false;
  view.setMonitoringTimer(false);
  m.pendingRequests.store(0);
  if (console.device.controllerCount == 0) {
    for (MonitorControl c : {MonitorControl::Start, MonitorControl::Stop, MonitorControl::LoadFirmware,
                             MonitorControl::StartUpgrade, MonitorControl::Upgrade})
      view.setControlEnabled(c, false);
    return;
  }
  view.setControlEnabled(MonitorControl::Start, true);
  view.setControlEnabled(MonitorControl::Stop, false);
  view.setControlEnabled(MonitorControl::LoadFirmware, true);
  view.setControlEnabled(MonitorControl::StartUpgrade, true);
  console.protocol.currentController = m.deviceSelector;
  const int selected = m.deviceSelector;
  if (selected >= 0 && selected < kControllerSlots &&
      (console.device.controllerList[static_cast<std::size_t>(selected)] & kFlagPathMask) != 0)
    view.setControlEnabled(MonitorControl::Upgrade, true);
  view.setControlEnabled(MonitorControl::DeviceSelector, true);
}

void Button10Click(Console& console, MonitorView& view) {
  MonitoringState& m = console.monitoring;
  m.pendingRequests.store(kMonitoringRunning | kRequestRefresh);
  for (MonitorControl c : {MonitorControl::Start, MonitorControl::Upgrade, MonitorControl::LoadFirmware,
                           MonitorControl::StartUpgrade, MonitorControl::DeviceSelector, MonitorControl::Offset49152})
    view.setControlEnabled(c, false);
  view.setControlEnabled(MonitorControl::Stop, true);
  m.timerEnabled = true;
  view.setMonitoringTimer(true);
}

void Button11Click(Console& console, MonitorView& view) { StopMonitoring(console, view); }

void Timer2Timer(Console& console) {
  if (!console.monitoring.timerEnabled) return;
  console.monitoring.pendingRequests.fetch_or(kRequestRefresh);
}

void DeviceCheckBoxClick(Console& console, MonitorView& view, int page) {
  if (page < 0 || page >= kDevicePages) return;
  const auto p = static_cast<std::size_t>(page);
  view.setTabVisible(page, console.monitoring.deviceChecked[p]);
  console.monitoring.readFailures[p] = 0;
  if (auto identity = ShowDeviceIdentity(console, activePageOf(console))) view.showDeviceIdentity(*identity);
  present(console, view, true);
}

void setDeviceCheckBox(Console& console, MonitorView& view, int page, bool checked) {
  if (page < 0 || page >= kDevicePages) return;
  bool& box = console.monitoring.deviceChecked[static_cast<std::size_t>(page)];
  if (box == checked) return;
  box = checked;
  view.setDeviceBoxChecked(page, checked);
  DeviceCheckBoxClick(console, view, page);
}

std::uint8_t RunPendingRequest(Console& console, MonitorView& view, std::uint8_t* refreshedPages) {
  auto& pending = console.monitoring.pendingRequests;
  const std::uint8_t bits = pending.load();
  std::uint8_t ran = 0;
  if (bits & kRequestRefresh) {
    const std::uint8_t mask = RefreshDevicePages(console, view);
    if (refreshedPages) *refreshedPages = mask;
    ran = kRequestRefresh;
  } else if (bits & kRequestSettings) {
    WriteControllerSettings(console);
    ran = kRequestSettings;
  } else if (bits & kRequestScan) {
    SendScanCommand(console);
    ran = kRequestScan;
  }
  // Cleared after the operation: a request of the same kind raised meanwhile is absorbed by it.
  if (ran) pending.fetch_and(static_cast<std::uint8_t>(~ran));
  return ran;
}

}  // namespace tervalo
