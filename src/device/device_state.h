#pragma once
// What the console knows about the host's drives and the controllers among them.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "device/raw_disk_host.h"

namespace tervalo {

inline constexpr int kMaxDriveLetters = 24;
inline constexpr int kDriveTableRows = 20;
inline constexpr int kControllerSlots = 8;
inline constexpr std::size_t kSectorSize = 512;

using Sector = std::array<std::uint8_t, kSectorSize>;

// One row of the drive table. `letter` holds the volume's identity.
struct DriveEntry {
  std::string letter;
  std::uint8_t driveType = 0;
  std::uint8_t diskNumber = 0;
  std::int64_t startingOffset = 0;
  std::int64_t extentLength = 0;
};

// ControllerFlags bits.
enum ControllerFlag : std::uint8_t {
  kFlagDriveMask = 0x0F,
  kFlagAta = 0x10,
  kFlagVendorScsi = 0x20,
  kFlagMailbox = 0x40,
  kFlagSinglePrefix = 0x80,
  kFlagPathMask = 0xF0,
};

struct DeviceState {
  // Volume identities present on the host, in order, at most 24 (`DriveLetters`).
  std::vector<VolumeInfo> driveLetters;
  int driveLetterCount = 0;
  int physicalDriveCount = 0;
  // Rows are never cleared between detection runs.
  std::array<DriveEntry, kDriveTableRows> driveTable{};

  // ControllerList: eight slots, each a ControllerFlags value in its low byte, and a count.
  std::array<std::uint32_t, kControllerSlots> controllerList{};
  int controllerCount = 0;
  // Identify-format block per physical drive 0..9, left by detection.
  std::array<Sector, kMaxPhysicalDrives> identifyData{};

  // The vendor command block form: 1 = single prefix, 0 = double prefix.
  std::uint8_t singlePrefixCdb = 1;
  // Answer area of the vendor query and status area of the vendor erase.
  Sector scratchSector{};
};

}  // namespace tervalo
