#include "protocol/record_read.h"

#include <mutex>

#include "device/drive_table.h"
#include "device/transports.h"
#include "protocol/command_channel.h"

namespace tervalo {

bool ReadStatusRecord(Console& console, Sector& dest) {
  std::lock_guard lock(console.deviceMutex);
  if (console.device.controllerCount == 0) {
    reportNoDevice(console);
    return false;
  }
  const int index = console.protocol.readForUpgrade ? console.protocol.upgradeTarget : console.protocol.currentController;
  const auto flags = controllerFlags(console, index);
  DriveHandle handle;
  if (flags) handle = OpenDrive(console.host, *flags & kFlagDriveMask);
  if (!handle) {
    reportInvalidDrive(console);
    return false;
  }

  if (*flags & kFlagVendorScsi) {
    console.device.singlePrefixCdb = (*flags & kFlagSinglePrefix) ? 1 : 0;
    // Failed probe reads are not checked: only the first byte of what came back decides.
    const std::uint32_t a = findCurrentStatusSlot(console.protocol.spiSize, [&](std::uint32_t slot) {
      SendVendorCdb(console, handle, VendorCdbKind::VendorSpiProbeRead, dest.data(), slot);
      return dest[0] != 0xFF;
    });
    if (!SendVendorCdb(console, handle, VendorCdbKind::VendorSpiRead, dest.data(), a)) {
      console.ui.setStatusText(kErrorPanel, "Read Error for USB");
      return false;
    }
    return true;
  }
  if (!ReadSectors(handle, kStatusLba, dest.data(), 1)) {
    console.ui.setStatusText(kErrorPanel, "Read Error for LBA = 33 and sector count = 1");
    return false;
  }
  return true;
}

}  // namespace tervalo
