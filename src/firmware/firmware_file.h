#pragma once
// Loading and validating firmware image files, and the operation lock of the firmware handlers.
#include <cstdint>
#include <string>

#include "core/bytes.h"
#include "core/console.h"
#include "firmware/file_source.h"
#include "firmware/firmware_state.h"

namespace tervalo {

// Image layout.
inline constexpr char kImageSignature[] = "FIPS";
inline constexpr std::uint32_t kSettingsOffsetField = 0x10;    // 24-bit settings offset H
inline constexpr std::uint32_t kConfigVersionOffset = 0x78001;  // where the loader looks
inline constexpr std::uint8_t kConfigVersion = 0xA0;
inline constexpr std::uint32_t kMinImageLength = 0x78002;

inline constexpr char kOpenFirmwareFailedText[] = "Fail to open firmware file";
inline constexpr char kReadWarningCaption[] = "Warning:";
inline constexpr char kBadFirmwareText[] = "The firmware file is not correct.\nPlease check it.";

// The operation lock. take sets the flag and calls FirmwareState::onLockTaken; release clears
// it and sets the upgrade target back to none.
bool operationLocked(const Console& console);
void takeOperationLock(Console& console);
void releaseOperationLock(Console& console);

// The 32-bit wrapping sum of the bytes, and its status-bar text "Chksum:" + 8 hex digits.
std::uint32_t byteSum(ConstBytes bytes);
std::string checksumText(std::uint32_t sum);

// Why the loader refuses these bytes; empty when it accepts them.
std::string imageRefusalReason(ConstBytes image);
inline bool imageAccepted(ConstBytes image) { return imageRefusalReason(image).empty(); }

enum class LoadOutcome {
  Accepted,    // the image is loaded
  OpenFailed,  // the file could not be opened (or is too large to hold)
  ReadFailed,  // a byte kept failing to read; the load gave up
  Rejected,    // read, summed, but not a firmware image of this system
};

struct LoadResult {
  LoadOutcome outcome = LoadOutcome::OpenFailed;
  std::uint32_t length = 0;  // bytes read
  std::uint32_t sum = 0;     // valid once the file was read whole
  std::string reason;        // why the image was not loaded; empty when accepted
};

// Loads a firmware image file into the LoadedImage: status panel 4 "File:" + path, the previous
// image released, the file read whole, panel 0 "Chksum:" + sum, then validation. Every way out
// but Accepted leaves no image. Shows the system's boxes; does not touch the operation lock.
LoadResult LoadFirmwareFile(Console& console, const std::string& path, FileSource& files);
LoadResult LoadFirmwareFile(Console& console, const std::string& path);

}  // namespace tervalo
