#include "device/drive_table.h"

#include <algorithm>

namespace tervalo {

DriveHandle OpenDrive(RawDiskHost& host, int physicalDrive) {
  if (physicalDrive < 0 || physicalDrive >= kMaxPhysicalDrives) return {};
  return {&host, host.openPhysicalDrive(physicalDrive)};
}

DriveHandle OpenVolume(RawDiskHost& host, const std::string& identity) {
  if (identity.empty()) return {};
  return {&host, host.openVolume(identity)};
}

int ScanLogicalDrives(Console& console) {
  auto& letters = console.device.driveLetters;
  letters.clear();
  for (auto& volume : console.host.listVolumes()) {
    console.ui.processPendingEvents();
    letters.push_back(std::move(volume));
    if (static_cast<int>(letters.size()) == kMaxDriveLetters) break;
  }
  return static_cast<int>(letters.size());
}

int CountPhysicalDrives(Console& console) {
  int count = 0;
  for (int i = 0; i < kMaxPhysicalDrives; ++i) {
    console.ui.processPendingEvents();
    if (OpenDrive(console.host, i)) ++count;
  }
  return count;
}

void BuildDriveTable(Console& console) {
  auto& device = console.device;
  const int available = std::min<int>(device.driveLetterCount, static_cast<int>(device.driveLetters.size()));
  for (int i = 0; i < device.driveLetterCount; ++i) {
    if (i == kDriveTableRows) {
      console.ui.showMessage(systemBox("Drive Count Must less than 20."));
      break;
    }
    if (i >= available) break;  // the count outlived the list it came from
    console.ui.processPendingEvents();
    DriveEntry& row = device.driveTable[i];
    const VolumeInfo& volume = device.driveLetters[i];
    row.letter = volume.identity;
    row.driveType = volume.driveType;
    DriveHandle handle = OpenVolume(console.host, volume.identity);
    if (!handle) {
      row.driveType = kDriveOpenFailed;
      continue;
    }
    DiskExtent extent;
    if (console.host.volumeExtent(handle.get(), extent)) {
      row.diskNumber = static_cast<std::uint8_t>(extent.diskNumber & 0xFF);
      row.startingOffset = extent.startingOffset;
      row.extentLength = extent.extentLength;
    }
  }
}

std::string VolumesOfPhysicalDrive(const DeviceState& device, int physicalDrive, const std::string& separator) {
  std::string out;
  const int rows = std::min(device.driveLetterCount, kDriveTableRows);
  for (int i = 0; i < rows; ++i) {
    const DriveEntry& row = device.driveTable[i];
    if (row.driveType != kDriveFixed || row.diskNumber != physicalDrive) continue;
    if (!out.empty()) out += separator;
    out += row.letter;
  }
  return out;
}

}  // namespace tervalo
