#pragma once
// The 256-byte settings block at an image's settings offset H: the sub-code directory and the
// controller's initial settings, sealed with a 16-bit checksum.
#include <array>
#include <cstdint>
#include <string>

#include "core/bytes.h"

namespace tervalo {

inline constexpr std::size_t kSettingsBlockSize = 0x100;
inline constexpr std::size_t kDirectoryOffset = 0x02;
inline constexpr std::size_t kDirectoryEntrySize = 5;
inline constexpr int kDirectoryEntries = 10;
inline constexpr std::size_t kEndOffsetField = 0x34;
inline constexpr std::size_t kSettingsChecksumOffset = 0xFE;
inline constexpr std::uint8_t kNoSubCode = 0xFF;
inline constexpr std::uint8_t kUpdateFlagTrue = 0x5A;

// Function flags byte 0x71.
inline constexpr std::uint8_t kFunctionScheduleBackup = 0x80;
inline constexpr std::uint8_t kFunctionFastBackup = 0x40;

// The "Setting" tab of the "Make Bin" window as typed; the four edits are read with ParseNumber.
struct ImageSettingsInput {
  bool raidModeByJumper = true;  // "RAID Mode setting by  jumper"
  bool tr7140cChip = true;       // "TR7140C chip"
  std::string fanSupported = "1";
  std::string fanAlarmLimit = "2000";
  std::string thermalSupported = "1";
  std::string thermalAlarmLimit = "50";
  bool scheduleBackup = false;
  bool fastBackup = false;
};

// The four numbers of the tab, read.
struct ImageSettingsValues {
  std::int32_t fanSupported = 0;
  std::int32_t fanAlarmLimit = 0;
  std::int32_t thermalSupported = 0;
  std::int32_t thermalAlarmLimit = 0;
};

struct ReadSettingsResult {
  bool ok = false;
  ImageSettingsValues values;
  std::string error;  // names the field and carries the conversion error
};

// Reads the four edits; the first that does not read stops it.
ReadSettingsResult readImageSettings(const ImageSettingsInput& input);

// The function flags byte as the two "Function Supported" boxes start it.
std::uint8_t startFunctionFlags(const ImageSettingsInput& input);
// Adds a listed sub-code's type: bit (codeType AND 0x0F) when that is below 4.
std::uint8_t addCodeTypeFlag(std::uint8_t functionFlags, std::uint8_t codeType);

// Writes bytes 0x37..0xFF of the block except 0x80..0xFD (the builder's random fill stays),
// in the builder's order, and seals the checksum. Bytes 0x00..0x36 must already be in place.
void FillSettings(Bytes block, const ImageSettingsInput& input, const ImageSettingsValues& values,
                  std::uint8_t functionFlags);

// The sum of bytes 0x00..0xFD, low 16 bits; and whether bytes 0xFE..0xFF hold it.
std::uint16_t settingsChecksum(ConstBytes block);
bool settingsChecksumHolds(ConstBytes block);

// One directory entry as stored.
struct DirectoryEntry {
  std::uint8_t codeType = kNoSubCode;
  std::uint32_t startOffset = 0;
  std::uint8_t updateFlag = 0;
  bool used() const { return codeType != kNoSubCode; }
};

// A settings block read back, for inspection.
struct SettingsBlockView {
  std::uint8_t first = 0;
  std::uint8_t configVersion = 0;
  std::array<DirectoryEntry, kDirectoryEntries> directory{};
  std::uint32_t endOffset = 0;
  std::uint8_t spiRaidMode = 0;
  std::uint8_t settingFlags = 0;
  std::uint8_t systemRaidMode = 0;
  std::uint8_t chip = 0;
  std::uint8_t support = 0;
  std::uint16_t fanAlarmLimit = 0;
  std::uint8_t thermalAlarmLimit = 0;
  std::uint8_t functionFlags = 0;
  std::string marker;  // the text at 0x72, up to its NUL (7 bytes at most)
  std::uint16_t storedChecksum = 0;
  std::uint16_t computedChecksum = 0;
};
SettingsBlockView decodeSettingsBlock(ConstBytes block);

}  // namespace tervalo
