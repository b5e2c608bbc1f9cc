#pragma once
// The controller's 512-byte status record and the identify-format block: named offsets and a
// decoder that reads fields on demand. Pure functions over bytes; no device access.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/bytes.h"

namespace tervalo {

// Status record layout. Numbers are little-endian; texts are ATA strings.
inline constexpr std::size_t kStatusRecordSize = 512;
inline constexpr std::size_t kSpiConfigVersionOffset = 1;
inline constexpr std::size_t kSpiRaidModeOffset = 55;
inline constexpr std::size_t kSettingFlagsOffset = 56;
inline constexpr std::size_t kSystemRaidModeOffset = 57;
inline constexpr std::size_t kP0SerialOffset = 58;
inline constexpr std::size_t kP1SerialOffset = 78;
inline constexpr std::size_t kSerialLength = 20;
inline constexpr std::size_t kArrayCapacityOffset = 98;
inline constexpr std::size_t kCapacityWidth = 5;  // 40-bit sector counts
inline constexpr std::size_t kPortStateOffset = 104;
inline constexpr std::size_t kActivityOffset = 105;
inline constexpr std::size_t kProgressOffset = 106;
inline constexpr std::size_t kFirmwareBuildOffset = 187;
inline constexpr std::size_t kFirmwareBuildLength = 3;
inline constexpr std::size_t kP0ModelOffset = 256;
inline constexpr std::size_t kP0CapacityOffset = 296;
inline constexpr std::size_t kP1ModelOffset = 302;
inline constexpr std::size_t kP1CapacityOffset = 342;
inline constexpr std::size_t kModelLength = 40;
inline constexpr std::size_t kSataGenerationOffset = 357;
inline constexpr std::size_t kBadSectorCountOffset = 471;
inline constexpr std::size_t kBadSectorLbasOffset = 472;
inline constexpr std::size_t kBadSectorLbaWidth = 4;
inline constexpr unsigned kBadSectorRingEntries = 10;

// Identify-format block (ATA IDENTIFY DEVICE layout).
inline constexpr std::size_t kIdentifyRevisionOffset = 46;  // words 23..26
inline constexpr std::size_t kIdentifyRevisionLength = 8;
inline constexpr std::size_t kIdentifyModelOffset = 54;  // words 27..46
inline constexpr std::size_t kIdentifyModelLength = 40;
// Trimming trailing blanks of a model number never shortens it below this.
inline constexpr std::size_t kModelMinimumLength = 6;

// RAID-mode coding of spiRaidMode and systemRaidMode.
enum RaidModeCode : std::uint8_t {
  kRaidStriping = 0,
  kRaidMirror = 1,
  kRaidNraid = 2,
  kRaidJbod = 3,
  kRaidBypass = 0x3F,
};

// portState bits; P1's are P0's shifted left by four.
enum PortStateBit : std::uint8_t {
  kP0Inserted = 0x01,
  kP0Initialized = 0x02,
  kP0Absent = 0x04,
  kP0Failed = 0x08,
  kP1Inserted = 0x10,
  kP1Initialized = 0x20,
  kP1Absent = 0x40,
  kP1Failed = 0x80,
  kBothInitialized = kP0Initialized | kP1Initialized,  // 0x22, the healthy two-disk array
};

// activity bits.
enum ActivityBit : std::uint8_t {
  kActivityP0 = 0x01,
  kActivityP1 = 0x02,
  kActivityRunningMask = 0x03,
  kActivityBadSectorP0 = 0x04,
  kActivityBadSectorP1 = 0x08,
  kActivityBadSectorMask = 0x0C,
  kActivityScan = 0x80,
};

// settingFlags bits.
enum SettingFlagBit : std::uint8_t {
  kSettingBuzzerOn = 0x01,
  kSettingAutoScanOn = 0x02,
  kSettingScheduleBackup = 0x04,
};

// What one port's bits of portState say, read in this precedence: absent, initialized, failed,
// inserted.
enum class PortCondition { Absent, Initialized, Failed, Inserted, None };

// Where the RAID setting comes from (high nibble of settingFlags).
enum class SettingSource { Jumper, Spi, Unknown };

// "Striping", "Mirror", "NRAID", "JBOD", "Bypass", or "Undefine" for anything else.
std::string raidModeText(std::uint8_t code);

// Character k is byte k XOR 1 of the field; the text ends at the first NUL or at the field's
// end. Blanks are kept.
std::string decodeAtaString(ConstBytes field);

// Removes trailing blanks, but never takes the text below six characters.
std::string trimModelNumber(std::string model);

inline std::uint64_t capacityGigabytes(std::uint64_t sectors) { return sectors >> 21; }
inline std::uint64_t capacityMegabytes(std::uint64_t sectors) { return sectors >> 11; }

// port: 0 for P0, 1 for P1.
PortCondition portCondition(std::uint8_t portState, int port);
// The port's nibble of sataGeneration.
std::uint8_t sataGenerationOf(std::uint8_t sataGeneration, int port);

std::string settingSourceText(SettingSource source);  // "Jumper", "SPI", "UnKnown"

// Read-only view over one status record (at least 512 bytes).
class StatusRecordView {
 public:
  explicit StatusRecordView(ConstBytes record) : r_(record) {}

  std::uint8_t spiConfigVersion() const { return r_[kSpiConfigVersionOffset]; }
  std::uint8_t spiRaidMode() const { return r_[kSpiRaidModeOffset]; }
  std::uint8_t settingFlags() const { return r_[kSettingFlagsOffset]; }
  std::uint8_t systemRaidMode() const { return r_[kSystemRaidModeOffset]; }
  std::uint8_t portState() const { return r_[kPortStateOffset]; }
  std::uint8_t activity() const { return r_[kActivityOffset]; }
  std::uint8_t progress() const { return r_[kProgressOffset]; }
  std::uint8_t sataGeneration() const { return r_[kSataGenerationOffset]; }
  std::uint8_t badSectorCount() const { return r_[kBadSectorCountOffset]; }

  bool buzzerOn() const { return settingFlags() & kSettingBuzzerOn; }
  bool autoScanOn() const { return settingFlags() & kSettingAutoScanOn; }
  bool scheduleBackupOn() const { return settingFlags() & kSettingScheduleBackup; }
  SettingSource settingSource() const;

  std::uint64_t arrayCapacity() const { return readLe(r_, kArrayCapacityOffset, kCapacityWidth); }
  std::uint64_t portCapacity(int port) const;
  std::string serial(int port) const;  // decoded, not trimmed
  std::string model(int port) const;   // decoded, not trimmed
  PortCondition condition(int port) const { return portCondition(portState(), port); }
  std::uint8_t sataGenerationOf(int port) const { return tervalo::sataGenerationOf(sataGeneration(), port); }

  // Bad sector number k (0-based) of the ring: entry k mod 10.
  std::uint32_t badSectorLba(unsigned k) const;

  // True when firmwareBuild holds 'A'..'Z' and two upper-case hexadecimal digits.
  bool firmwareBuildSet() const;

 private:
  ConstBytes r_;
};

// The three firmwareBuild characters, or "C00" when the field is not set.
std::string FirmwareBuildText(ConstBytes record);

// Identify block: the 8-character firmware revision (not trimmed) and the 40-character model
// number (not trimmed; see trimModelNumber).
std::string identifyFirmwareRevision(ConstBytes identify);
std::string identifyModelNumber(ConstBytes identify);

// Whether a controller with this firmware revision supports surface scans: a point at position
// 6 after a yymmdd date of 090619 or later, or a point at position 3 after three digits.
bool scanSupportedByRevision(std::string_view revision);

}  // namespace tervalo
