#pragma once
// The three-step firmware upgrade ("Start Upgrade") and the engineering direct programming of
// the flash ("Upgrade", "File To SPI").
#include <cstdint>
#include <functional>
#include <string>

#include "core/console.h"
#include "firmware/progress_view.h"

namespace tervalo {

// How a firmware operation ended, for callers that report more than the boxes do.
enum class FlashOutcome {
  Busy,          // another firmware operation holds the lock: nothing happened
  Refused,       // stopped before the flash was touched (no image, no device, a precondition)
  Failed,        // failed after the flash was touched: the controller needs attention
  Succeeded,
};

struct UpgradeOptions {
  // Position of the device selector: the controller to upgrade.
  int selectorPosition = 0;
  // Asked once every precondition holds, just before the erase; false stops the upgrade as
  // refused. The window does not ask; the command line does unless told --yes.
  std::function<bool()> confirmErase;
};

// "Start Upgrade": upgrade mode, the record and its preconditions, erase, program, read back and
// compare `SpiSize` bytes, leave upgrade mode, and the final box.
FlashOutcome StartUpgrade(Console& console, ProgressView& progress, const UpgradeOptions& options);

// The progress bar maximum of an upgrade over `spiSize` bytes.
inline std::uint32_t upgradeProgressMaximum(std::uint32_t spiSize) {
  return 2 * (spiSize / 512) + spiSize / 4096 + 30;
}

// The refusal text of the upgrade's preconditions for this record and image, empty when the
// upgrade may go on.
std::string upgradePreconditionFailure(const Sector& record, const std::vector<std::uint8_t>& image);

// The image bytes the flash gets: `SpiSize` bytes from the image, erased-flash 0xFF where the
// image is shorter.
std::vector<std::uint8_t> flashImageOf(const std::vector<std::uint8_t>& image, std::uint32_t length);

struct DirectProgrammingOptions {
  int selectorPosition = 0;
  bool offset49152 = true;  // "Offset 49152": leave the head's slot below 0xC000 alone
  // Runs the open dialog when no image is loaded; a chosen file is loaded there.
  std::function<void()> openImageDialog;
};

// "Upgrade" (File To SPI): erase and program from the start address, no checks, no read-back.
FlashOutcome FileToSpi(Console& console, ProgressView& progress, const DirectProgrammingOptions& options);

inline constexpr std::uint32_t kDirectProgrammingOffset = 0xC000;

// The progress bar maximum of direct programming from start address `start`.
inline std::uint32_t directProgrammingMaximum(std::uint32_t spiSize, std::uint32_t start) {
  return (spiSize - start) / 512 + (spiSize - start) / 4096;
}

// The flash sizes of the four size buttons "1M", "2M", "4M" and "8M" (megabits).
std::uint32_t spiSizeForButton(int megabits);

}  // namespace tervalo
