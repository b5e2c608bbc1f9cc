#pragma once
// Sense data in the two SCSI formats: fixed (response code 0x70) and descriptor (0x72).
#include <cstdint>
#include <span>
#include <vector>

#include "sim/usbip/scsi_target.h"

namespace tervalo::usbip {

inline constexpr std::uint8_t kSenseNoSense = 0x0;
inline constexpr std::uint8_t kSenseRecoveredError = 0x1;
inline constexpr std::uint8_t kSenseNotReady = 0x2;
inline constexpr std::uint8_t kSenseMediumError = 0x3;
inline constexpr std::uint8_t kSenseIllegalRequest = 0x5;
inline constexpr std::uint8_t kSenseUnitAttention = 0x6;
inline constexpr std::uint8_t kSenseAbortedCommand = 0xB;

// 18 bytes of fixed-format sense.
std::vector<std::uint8_t> buildFixedSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq);
// Descriptor-format sense: the 8-byte header followed by `descriptors`.
std::vector<std::uint8_t> buildDescriptorSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq,
                                               std::span<const std::uint8_t> descriptors = {});

struct SenseSummary {
  bool valid = false;
  bool descriptorFormat = false;
  std::uint8_t key = 0;
  std::uint8_t asc = 0;
  std::uint8_t ascq = 0;
};
// Key, ASC and ASCQ of sense data in either format; valid is false for anything else.
SenseSummary summarizeSense(std::span<const std::uint8_t> sense);

// A CHECK CONDITION result with fixed sense.
ScsiTargetResult checkCondition(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq);
// The common refusals.
inline ScsiTargetResult invalidOpcode() { return checkCondition(kSenseIllegalRequest, 0x20, 0x00); }
inline ScsiTargetResult invalidFieldInCdb() { return checkCondition(kSenseIllegalRequest, 0x24, 0x00); }
inline ScsiTargetResult lbaOutOfRange() { return checkCondition(kSenseIllegalRequest, 0x21, 0x00); }

}  // namespace tervalo::usbip
