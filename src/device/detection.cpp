#include "device/detection.h"

#include <mutex>

#include "device/drive_table.h"
#include "device/transports.h"

namespace tervalo {

namespace {

constexpr std::uint32_t kIdentifyLba = 58;
constexpr std::size_t kSignatureOffset = 258;
constexpr std::uint8_t kInquiryAdditionalLength = 31;

bool hasSignature(const Sector& block) { return block[kSignatureOffset] == '3' && block[kSignatureOffset + 1] == 'X'; }

// One form of the vendor tests: the identify read, else the query. True when either answers.
bool vendorFormAnswers(Console& console, const DriveHandle& handle, Sector& block) {
  if (SendVendorCdb(console, handle, VendorCdbKind::VendorIdentifyRead, block.data(), 0) && hasSignature(block))
    return true;
  auto& scratch = console.device.scratchSector;
  scratch[0] = 0;
  return SendVendorQuery(console, handle) && scratch[0] == 0x50 && scratch[1] == 0x8B;
}

}  // namespace

int ProbeControllers(Console& console) {
  std::lock_guard lock(console.deviceMutex);
  DeviceState& device = console.device;
  const ProtocolState& protocol = console.protocol;

  // A controller held by a firmware operation is left alone and keeps its entry.
  int heldDrive = -1;
  std::uint32_t heldSlot = 0;
  if (protocol.upgradeTarget >= 0 && protocol.upgradeTarget < device.controllerCount &&
      protocol.upgradeTarget < kControllerSlots) {
    heldSlot = device.controllerList[static_cast<std::size_t>(protocol.upgradeTarget)];
    heldDrive = static_cast<int>(heldSlot & kFlagDriveMask);
  }

  int found = 0;
  int opened = 0;
  auto record = [&](std::uint32_t flags) {
    // Eight slots: further controllers are not recorded.
    if (found < kControllerSlots) device.controllerList[static_cast<std::size_t>(found++)] = flags;
  };

  for (int k = 0; k < kMaxPhysicalDrives; ++k) {
    std::uint8_t flags = static_cast<std::uint8_t>(k);
    console.ui.processPendingEvents();
    if (k == heldDrive) {
      record(heldSlot);
      if (++opened == device.physicalDriveCount) break;
      continue;
    }
    DriveHandle handle = OpenDrive(console.host, k);
    if (!handle) continue;
    Sector& block = device.identifyData[static_cast<std::size_t>(k)];

    if (!ReadSectors(handle, kIdentifyLba, block.data(), 1)) {
      console.ui.setStatusText(kErrorPanel, "Read Error for LBA = 58 and sector count = 1");
    } else if (hasSignature(block)) {
      flags |= kFlagMailbox;
    }

    AtaRegisters identify{0, 0, 0, 0, 0, 0xE0, kAtaIdentifyDevice, 0};
    if (SendAtaCommand(console, handle, identify, block.data(), 1) && hasSignature(block)) flags |= kFlagAta;

    if ((flags & kFlagPathMask) == 0 && ScsiInquiry(handle, block.data()) && block[4] == kInquiryAdditionalLength) {
      device.singlePrefixCdb = 1;
      if (vendorFormAnswers(console, handle, block)) {
        flags |= kFlagVendorScsi | kFlagSinglePrefix;
      } else {
        device.singlePrefixCdb = 0;
        if (vendorFormAnswers(console, handle, block)) flags |= kFlagVendorScsi;
      }
    }

    if (flags & kFlagPathMask) record(flags);
    ++opened;
    handle.close();
    if (opened == device.physicalDriveCount) break;
  }
  return found;
}

void DetectDevices(Console& console) {
  std::lock_guard lock(console.deviceMutex);
  BuildDriveTable(console);
  console.device.controllerCount = ProbeControllers(console);
}

void countDrivesAndDetect(Console& console) {
  console.device.driveLetterCount = ScanLogicalDrives(console);
  console.device.physicalDriveCount = CountPhysicalDrives(console);
  DetectDevices(console);
}

const char* accessPathName(std::uint8_t flags) {
  if (flags & kFlagVendorScsi) return (flags & kFlagSinglePrefix) ? "vendor SCSI (single prefix)" : "vendor SCSI (double prefix)";
  if ((flags & kFlagMailbox) && (flags & kFlagAta)) return "mailbox + vendor ATA";
  if (flags & kFlagMailbox) return "mailbox";
  if (flags & kFlagAta) return "vendor ATA";
  return "none";
}

}  // namespace tervalo
