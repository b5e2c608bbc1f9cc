#pragma once
// State of the controller protocol that the subsystems share.
#include <array>
#include <cstdint>

#include "device/device_state.h"

namespace tervalo {

inline constexpr int kDevicePages = 4;
inline constexpr int kNoUpgradeTarget = 256;

struct ProtocolState {
  // Index 0..3 of the device page that the next controller operation addresses.
  int currentController = 0;
  // Index of the controller a firmware operation addresses; 256 when none is chosen.
  int upgradeTarget = kNoUpgradeTarget;
  // The single order block; never cleared between orders.
  Sector commandSector{};
  // The request LBA drawn last, for failure texts.
  std::uint8_t lastRequestLba = 0;
  // The program's pseudo-random generator (15-bit values), seeded at start-up.
  std::uint32_t randomState = 1;
  // Set by the upgrade around its status-record read.
  bool readForUpgrade = false;
  // Work counter of the flash operations.
  std::uint32_t progressCount = 0;
  // One status record per device page, and the page whose record is current.
  std::array<Sector, kDevicePages> statusRecords{};
  int currentRecordPage = 0;
  // SPI flash bytes the flash operations cover.
  std::uint32_t spiSize = 0x80000;
};

}  // namespace tervalo
