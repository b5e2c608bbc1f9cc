#include "protocol/command_channel.h"

#include <cstdio>
#include <string>

#include "core/bytes.h"
#include "device/drive_table.h"
#include "device/transports.h"

namespace tervalo {

std::uint16_t commandSectorChecksum(const Sector& sector) {
  std::uint32_t sum = 0;
  for (std::size_t i = cmd::kPayload; i <= cmd::kWriteMarker; ++i) sum += sector[i];
  return static_cast<std::uint16_t>(sum & 0xFFFF);
}

void StampCommandSector(Sector& sector) {
  sector[0] = '3';
  sector[1] = 'X';
  writeLe(sector, cmd::kChecksum, 2, commandSectorChecksum(sector));
}

void seedRandom(Console& console, std::uint32_t seed) { console.protocol.randomState = seed; }

std::uint16_t nextRandom(Console& console) {
  // The classic linear congruential generator with 15-bit results.
  auto& state = console.protocol.randomState;
  state = state * 214013u + 2531011u;
  return static_cast<std::uint16_t>((state >> 16) & 0x7FFF);
}

std::uint8_t NextRequestLba(Console& console) {
  const auto lba = static_cast<std::uint8_t>((nextRandom(console) & 0x7F) + 3);
  console.protocol.lastRequestLba = lba;
  return lba;
}

int addressedController(const Console& console) {
  const int target = console.protocol.upgradeTarget;
  return target < kNoUpgradeTarget ? target : console.protocol.currentController;
}

std::optional<std::uint8_t> controllerFlags(const Console& console, int index) {
  if (index < 0 || index >= console.device.controllerCount || index >= kControllerSlots) return std::nullopt;
  return static_cast<std::uint8_t>(console.device.controllerList[static_cast<std::size_t>(index)] & 0xFF);
}

void reportNoDevice(Console& console) {
  console.ui.setStatusText(kErrorPanel, "Device not found!!!");
  console.ui.showMessage(applicationBox("No Device found !", "Message"));
}

void reportNoUpgradeMode(Console& console) {
  console.ui.setStatusText(kErrorPanel, "No Upgrade Mode!!!");
  console.ui.showMessage(applicationBox("No Upgrade Mode !", "Message"));
}

void reportInvalidDrive(Console& console) { console.ui.showMessage(systemBox("Invalid Drive")); }

bool writeCommandSectorAt(Console& console, const DriveHandle& handle, std::uint32_t lba) {
  if (WriteSectors(handle, lba, console.protocol.commandSector.data(), 1)) return true;
  console.ui.setStatusText(kErrorPanel, "Write Error for LBA = " + std::to_string(lba) + " and sector count = 1");
  return false;
}

bool writeCommandSectorAtRequestLba(Console& console, const DriveHandle& handle) {
  const std::uint8_t lba = NextRequestLba(console);
  if (WriteSectors(handle, lba, console.protocol.commandSector.data(), 1)) return true;
  console.ui.setStatusText(kErrorPanel, "Write Error at Sec_CNT=1 LBA=" + std::to_string(lba));
  return false;
}

namespace {

struct MailboxOrder {
  std::uint8_t commandCode;
  std::uint8_t subCode;
};

std::optional<MailboxOrder> mailboxOrderOf(std::uint8_t mode) {
  switch (mode) {
    case ModeSpiClose: return MailboxOrder{0x03, 0};
    case ModeSpiOpen: return MailboxOrder{0x03, 1};
    case ModeLowRegionOpen: return MailboxOrder{0x04, 1};
    case ModeLowRegionClose: return MailboxOrder{0x04, 0};
    case ModeUpgradeLeave: return MailboxOrder{0x10, 0};
    case ModeUpgradeEnter: return MailboxOrder{0x10, 1};
    default: return std::nullopt;
  }
}

}  // namespace

bool SendModeCommand(Console& console, std::uint8_t mode, const DriveHandle& held) {
  std::lock_guard lock(console.deviceMutex);
  const auto order = mailboxOrderOf(mode);
  if (!order) return false;
  const int index = addressedController(console);
  const auto flags = controllerFlags(console, index);
  if (flags && (*flags & kFlagVendorScsi)) return true;

  const bool opensOwnHandle = (mode & 0x10) != 0;
  DriveHandle own;
  if (opensOwnHandle) {
    if (console.device.controllerCount == 0) {
      reportNoDevice(console);
      return false;
    }
    const int target = console.protocol.upgradeTarget;
    if (target >= console.device.controllerCount || !controllerFlags(console, target)) {
      reportNoUpgradeMode(console);
      return false;
    }
    own = OpenDrive(console.host, *controllerFlags(console, target) & kFlagDriveMask);
    if (!own) {
      reportInvalidDrive(console);
      return false;
    }
  } else if (!flags) {
    // Modes 2..5 belong to a flash operation on a listed controller; nothing else is addressed.
    return false;
  }
  const DriveHandle& handle = opensOwnHandle ? own : held;

  if (*flags & kFlagMailbox) {
    Sector& sector = console.protocol.commandSector;
    StampCommandSector(sector);
    sector[cmd::kCommandCode] = order->commandCode;
    sector[cmd::kSubCode] = order->subCode;
    return writeCommandSectorAtRequestLba(console, handle);
  }

  AtaRegisters regs{mode, 0, 0, 0, 0, 0xE0, kAtaVendorCommand, 0};
  if (SendAtaCommand(console, handle, regs, nullptr, 0)) return true;
  char text[40];
  std::snprintf(text, sizeof text, "VU command 0x88 FEA %02X Error", mode);
  console.ui.setStatusText(kErrorPanel, text);
  return false;
}

}  // namespace tervalo
