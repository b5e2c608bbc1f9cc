#include "imagebuilder/settings_block.h"

#include <algorithm>

#include "imagebuilder/parse_number.h"

namespace tervalo {

ReadSettingsResult readImageSettings(const ImageSettingsInput& input) {
  ReadSettingsResult r;
  struct Field {
    const char* label;
    const std::string& text;
    std::int32_t& out;
  };
  const Field fields[] = {
      {"Fan Supported", input.fanSupported, r.values.fanSupported},
      {"Fan Alarm Limit", input.fanAlarmLimit, r.values.fanAlarmLimit},
      {"Thermal sensor Supported", input.thermalSupported, r.values.thermalSupported},
      {"Thermal sensor Alarm Limit", input.thermalAlarmLimit, r.values.thermalAlarmLimit},
  };
  for (const Field& f : fields) {
    const ParsedNumber n = ParseNumber(f.text);
    if (!n) {
      r.error = std::string(f.label) + ": " + n.error;
      return r;
    }
    f.out = n.value;
  }
  r.ok = true;
  return r;
}

std::uint8_t startFunctionFlags(const ImageSettingsInput& input) {
  return static_cast<std::uint8_t>((input.scheduleBackup ? kFunctionScheduleBackup : 0) |
                                   (input.fastBackup ? kFunctionFastBackup : 0));
}

std::uint8_t addCodeTypeFlag(std::uint8_t functionFlags, std::uint8_t codeType) {
  const unsigned t = codeType & 0x0F;
  if (t < 4) functionFlags = static_cast<std::uint8_t>(functionFlags | (1u << t));
  return functionFlags;
}

void FillSettings(Bytes block, const ImageSettingsInput& input, const ImageSettingsValues& values,
                  std::uint8_t functionFlags) {
  block[0x37] = 0x3F;
  block[0x38] = input.raidModeByJumper ? 0xF1 : 0x11;
  block[0x39] = input.raidModeByJumper ? 0xFF : 0x3F;
  std::fill(block.begin() + 0x3A, block.begin() + 0x80, std::uint8_t{0});
  block[0x6B] = input.tr7140cChip ? 0x80 : 0x85;
  block[0x6C] = static_cast<std::uint8_t>((static_cast<std::uint8_t>(values.thermalSupported) << 4) |
                                          static_cast<std::uint8_t>(values.fanSupported));
  writeLe(block, 0x6D, 2, static_cast<std::uint32_t>(values.fanAlarmLimit) & 0xFFFF);
  block[0x6F] = static_cast<std::uint8_t>(values.thermalAlarmLimit);
  block[0x71] = functionFlags;
  static const char kMarker[7] = {'M', 'E', 'R', 'L', 'I', 'X', '\0'};
  std::copy(kMarker, kMarker + 7, block.begin() + 0x72);
  writeLe(block, kSettingsChecksumOffset, 2, settingsChecksum(block));
}

std::uint16_t settingsChecksum(ConstBytes block) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < kSettingsChecksumOffset; ++i) sum += block[i];
  return static_cast<std::uint16_t>(sum);
}

bool settingsChecksumHolds(ConstBytes block) {
  return readLe(block, kSettingsChecksumOffset, 2) == settingsChecksum(block);
}

SettingsBlockView decodeSettingsBlock(ConstBytes block) {
  SettingsBlockView v;
  v.first = block[0];
  v.configVersion = block[1];
  for (int k = 0; k < kDirectoryEntries; ++k) {
    const std::size_t at = kDirectoryOffset + kDirectoryEntrySize * static_cast<std::size_t>(k);
    DirectoryEntry& e = v.directory[static_cast<std::size_t>(k)];
    e.codeType = block[at];
    e.startOffset = static_cast<std::uint32_t>(readLe(block, at + 1, 3));
    e.updateFlag = block[at + 4];
  }
  v.endOffset = static_cast<std::uint32_t>(readLe(block, kEndOffsetField, 3));
  v.spiRaidMode = block[0x37];
  v.settingFlags = block[0x38];
  v.systemRaidMode = block[0x39];
  v.chip = block[0x6B];
  v.support = block[0x6C];
  v.fanAlarmLimit = static_cast<std::uint16_t>(readLe(block, 0x6D, 2));
  v.thermalAlarmLimit = block[0x6F];
  v.functionFlags = block[0x71];
  for (std::size_t i = 0x72; i < 0x79 && block[i] != 0; ++i) v.marker.push_back(static_cast<char>(block[i]));
  v.storedChecksum = static_cast<std::uint16_t>(readLe(block, kSettingsChecksumOffset, 2));
  v.computedChecksum = settingsChecksum(block);
  return v;
}

}  // namespace tervalo
