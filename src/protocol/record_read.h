#pragma once
// Fetches a controller's 512-byte status record over its access path.
#include <cstdint>

#include "core/console.h"

namespace tervalo {

// Flash address where a vendor SCSI controller keeps its 256-byte configuration and status slots.
inline constexpr std::uint32_t kStatusRecordArea = 0x78000;
inline constexpr std::uint32_t kStatusSlotSize = 256;

// Reads the record of the addressed controller (the upgrade target while `readForUpgrade` is
// set, else the current controller) into dest.
bool ReadStatusRecord(Console& console, Sector& dest);

// The flash address of the record the slot search settles on, given the probe answers.
// `slotWritten(a)` says whether the slot at a starts with something other than 0xFF.
template <typename SlotWritten>
std::uint32_t findCurrentStatusSlot(std::uint32_t spiSize, SlotWritten slotWritten) {
  std::uint32_t a = kStatusRecordArea;
  // Unsigned comparisons: a flash smaller than one slot past the area never enters the loops.
  const std::uint32_t last = spiSize - kStatusSlotSize;
  while (a <= last && spiSize >= kStatusSlotSize) {
    if (slotWritten(a)) break;
    a += kStatusSlotSize;
  }
  while (a <= last && spiSize >= kStatusSlotSize) {
    if (!slotWritten(a)) break;
    a += kStatusSlotSize;
  }
  return a - kStatusSlotSize;
}

}  // namespace tervalo
