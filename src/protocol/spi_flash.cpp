#include "protocol/spi_flash.h"

#include <algorithm>
#include <mutex>

#include "core/bytes.h"
#include "device/drive_table.h"
#include "device/transports.h"
#include "protocol/command_channel.h"

namespace tervalo {

namespace {

enum class Path { VendorScsi, Mailbox, VendorAta };

// An open flash session: the target's handle and path, with SPI access opened (and the low
// region when asked). Closing sends the closing orders and closes the handle.
class SpiSession {
 public:
  SpiSession(Console& console, std::uint32_t address, bool opensLowRegion) : console_(console) {
    if (console.device.controllerCount == 0) {
      reportNoDevice(console);
      return;
    }
    const auto flags = controllerFlags(console, console.protocol.upgradeTarget);
    if (!flags) {
      reportNoUpgradeMode(console);
      return;
    }
    flags_ = *flags;
    path_ = (flags_ & kFlagVendorScsi) ? Path::VendorScsi : (flags_ & kFlagMailbox) ? Path::Mailbox : Path::VendorAta;
    handle_ = OpenDrive(console.host, flags_ & kFlagDriveMask);
    if (!handle_) {
      reportInvalidDrive(console);
      return;
    }
    if (!SendModeCommand(console, ModeSpiOpen, handle_)) {
      handle_.close();
      return;
    }
    lowRegion_ = opensLowRegion && address < kLowRegionEnd;
    if (lowRegion_ && !SendModeCommand(console, ModeLowRegionOpen, handle_)) {
      SendModeCommand(console, ModeSpiClose, handle_);
      handle_.close();
      return;
    }
    open_ = true;
  }

  bool open() const { return open_; }
  Path path() const { return path_; }
  const DriveHandle& handle() const { return handle_; }

  // Before each step: let the window breathe and set the vendor block form for this target.
  void beginStep(std::uint32_t address) {
    writeBe(console_.protocol.commandSector, cmd::kAddress, 3, address & 0xFFFFFF);
    console_.ui.processPendingEvents();
    if (path_ == Path::VendorScsi) console_.device.singlePrefixCdb = (flags_ & kFlagSinglePrefix) ? 1 : 0;
  }

  // Sends the closing orders and closes the handle; false when a closing order failed.
  bool close() {
    bool ok = true;
    if (lowRegion_ && !SendModeCommand(console_, ModeLowRegionClose, handle_)) ok = false;
    if (!SendModeCommand(console_, ModeSpiClose, handle_)) ok = false;
    handle_.close();
    return ok;
  }

 private:
  Console& console_;
  std::uint8_t flags_ = 0;
  Path path_ = Path::VendorAta;
  DriveHandle handle_;
  bool lowRegion_ = false;
  bool open_ = false;
};

void setOrder(Console& console, std::uint8_t commandCode, std::uint8_t subCode) {
  console.protocol.commandSector[cmd::kCommandCode] = commandCode;
  console.protocol.commandSector[cmd::kSubCode] = subCode;
}

}  // namespace

bool ReadSpi(Console& console, std::uint32_t address, std::uint32_t length, std::uint8_t* dest) {
  std::lock_guard lock(console.deviceMutex);
  SpiSession session(console, address, false);
  if (!session.open()) return false;
  StampCommandSector(console);
  setOrder(console, 0x00, 0x03);
  bool ok = true;
  for (std::uint32_t offset = 0; offset < length; offset += kSpiReadStep) {
    const std::uint32_t a = address + offset;
    session.beginStep(a);
    std::uint8_t* out = dest + offset;
    const DriveHandle& h = session.handle();
    if (session.path() == Path::VendorScsi) {
      if (!SendVendorCdb(console, h, VendorCdbKind::VendorSpiRead, out, a)) {
        console.ui.setStatusText(kErrorPanel, "Read SPI Error USB");
        ok = false;
        break;
      }
    } else {
      if (session.path() == Path::Mailbox) {
        if (!writeCommandSectorAtRequestLba(console, h)) {
          ok = false;
          break;
        }
      } else {
        AtaRegisters regs{0x01,
                          0,
                          static_cast<std::uint8_t>(a & 0xFF),
                          static_cast<std::uint8_t>((a >> 8) & 0xFF),
                          static_cast<std::uint8_t>((a >> 16) & 0xFF),
                          0xE0,
                          kAtaVendorCommand,
                          0};
        if (!SendAtaCommand(console, h, regs, nullptr, 0)) {
          console.ui.setStatusText(kErrorPanel, "VU command 0x88 FEA 0x01 Read Error");
          ok = false;
          break;
        }
      }
      if (!ReadSectors(h, kSpiWindowLba, out, 1)) {
        console.ui.setStatusText(kErrorPanel, "Read Error for LBA = 60 and sector count = 1");
        ok = false;
        break;
      }
    }
    ++console.protocol.progressCount;
  }
  if (!session.close()) ok = false;
  return ok;
}

bool WriteSpi(Console& console, std::uint32_t address, std::uint32_t length, const std::uint8_t* src) {
  std::lock_guard lock(console.deviceMutex);
  SpiSession session(console, address, true);
  if (!session.open()) return false;
  Sector& sector = console.protocol.commandSector;
  sector[cmd::kWriteMarker] = cmd::kWriteMarkerValue;
  StampCommandSector(sector);
  setOrder(console, 0x02, 0x02);
  bool ok = true;
  std::uint8_t page[kSpiPageSize];
  for (std::uint32_t offset = 0; offset < length; offset += kSpiPageSize) {
    const std::uint32_t a = address + offset;
    session.beginStep(a);
    std::copy_n(src + offset, kSpiPageSize, page);
    if (session.path() == Path::VendorScsi) {
      if (!SendVendorCdb(console, session.handle(), VendorCdbKind::VendorSpiProgram, page, a)) {
        console.ui.setStatusText(kErrorPanel, "Write SPI Error USB");
        ok = false;
        break;
      }
    } else {
      std::copy_n(page, kSpiPageSize, sector.begin() + cmd::kPayload);
      StampCommandSector(sector);
      if (!writeCommandSectorAt(console, session.handle(), kCommandLba)) {
        ok = false;
        break;
      }
    }
    if (offset % 512 == 256) ++console.protocol.progressCount;
  }
  if (!session.close()) ok = false;
  return ok;
}

bool EraseSpi(Console& console, std::uint32_t address, std::uint32_t length) {
  std::lock_guard lock(console.deviceMutex);
  SpiSession session(console, address, true);
  if (!session.open()) return false;
  StampCommandSector(console);
  setOrder(console, 0x01, 0x20);
  bool ok = true;
  for (std::uint32_t offset = 0; offset < length; offset += kSpiSectorSize) {
    const std::uint32_t a = address + offset;
    session.beginStep(a);
    if (session.path() == Path::VendorScsi) {
      if (!SendVendorCdb(console, session.handle(), VendorCdbKind::VendorSpiErase, console.device.scratchSector.data(), a)) {
        console.ui.setStatusText(kErrorPanel, "Erase SPI Error USB");
        ok = false;
        break;
      }
    } else if (!writeCommandSectorAt(console, session.handle(), kCommandLba)) {
      ok = false;
      break;
    }
    ++console.protocol.progressCount;
  }
  if (!session.close()) ok = false;
  return ok;
}

}  // namespace tervalo
