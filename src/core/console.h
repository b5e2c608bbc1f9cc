#pragma once
// All state that the subsystems share, gathered in one object. A test makes a fresh one;
// nothing is a global. The seams (raw disks, the person, the clock) are references the
// owner supplies.
#include <mutex>

#include "core/clock.h"
#include "core/console_ui.h"
#include "device/device_state.h"
#include "device/raw_disk_host.h"
#include "eventlog/event_log_state.h"
#include "firmware/firmware_state.h"
#include "monitor/monitor_state.h"
#include "monitor/monitoring_state.h"
#include "protocol/array_controls.h"
#include "protocol/protocol_state.h"

namespace tervalo {

struct Console {
  Console(RawDiskHost& host_, ConsoleUi& ui_, Clock& clock_) : host(host_), ui(ui_), clock(clock_) {}
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  RawDiskHost& host;
  ConsoleUi& ui;
  Clock& clock;

  DeviceState device;
  ProtocolState protocol;
  ArrayControlState controls;
  MonitorState monitor;
  MonitoringState monitoring;
  EventLogState eventLog;
  FirmwareState firmware;

  // Held by every device operation for its duration, so that a detection run on its worker
  // and an operation of the window never interleave on the scratch sector or the prefix flag.
  // Recursive: an operation that lets window events run may see a nested one on its thread.
  std::recursive_mutex deviceMutex;
};

}  // namespace tervalo
