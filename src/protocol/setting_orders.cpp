#include "protocol/setting_orders.h"

#include <mutex>

#include "core/bytes.h"
#include "device/drive_table.h"
#include "protocol/command_channel.h"

namespace tervalo {

namespace {

// The common start of both orders: a listed controller on the active page, made the current
// controller, its drive opened and the two setting boxes disabled. An invalid handle after the
// failure was shown.
DriveHandle openActiveController(Console& console) {
  if (console.device.controllerCount == 0) {
    reportNoDevice(console);
    return {};
  }
  console.protocol.currentController = console.controls.activePage;
  const auto flags = controllerFlags(console, console.controls.activePage);
  DriveHandle handle;
  if (flags) handle = OpenDrive(console.host, *flags & kFlagDriveMask);
  if (!handle) {
    reportInvalidDrive(console);
    return handle;
  }
  console.controls.settingBoxesEnabled = false;
  return handle;
}

void markBusy(Console& console) {
  const int page = console.protocol.currentController;
  if (page >= 0 && page < kDevicePages) console.controls.settingBusy[static_cast<std::size_t>(page)] = 4;
}

}  // namespace

bool WriteControllerSettings(Console& console) {
  std::lock_guard lock(console.deviceMutex);
  if (console.controls.pageChangeGuard) return false;
  DriveHandle handle = openActiveController(console);
  if (!handle) return false;

  Sector& sector = console.protocol.commandSector;
  StampCommandSector(sector);
  sector[cmd::kCommandCode] = 0x20;
  sector[cmd::kSubCode] = console.controls.buzzerMuteChecked ? 0 : 1;
  sector[cmd::kAddress] = console.controls.autoScanChecked ? 1 : 0;
  const bool ok = writeCommandSectorAt(console, handle, kCommandLba);
  handle.close();
  markBusy(console);
  return ok;
}

bool SendScanCommand(Console& console) {
  std::lock_guard lock(console.deviceMutex);
  DriveHandle handle = openActiveController(console);
  if (!handle) return false;

  Sector& sector = console.protocol.commandSector;
  sector[0] = '3';
  sector[1] = 'X';
  sector[cmd::kCommandCode] = 0x24;
  sector[cmd::kSubCode] = console.controls.scanStart ? 0 : 1;
  sector[cmd::kAddress] = console.controls.scanPort;
  writeLe(sector, 7, 6, console.controls.scanFirstLba & 0xFFFFFFFFFFFFull);
  writeLe(sector, 13, 6, console.controls.scanLastLba & 0xFFFFFFFFFFFFull);
  StampCommandSector(sector);
  const bool ok = writeCommandSectorAt(console, handle, kCommandLba);
  handle.close();
  markBusy(console);
  // A stop order marks the page even when the write failed: event detection then reports the
  // end of that scan as aborted by the user.
  const int page = console.protocol.currentController;
  if (!console.controls.scanStart && page >= 0 && page < kDevicePages)
    console.eventLog.pages[static_cast<std::size_t>(page)].scanAbortMark = 1;
  return ok;
}

}  // namespace tervalo
