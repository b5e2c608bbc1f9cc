#include "protocol/status_record.h"

namespace tervalo {

namespace {
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isUpperHexDigit(char c) { return isDigit(c) || (c >= 'A' && c <= 'F'); }

// P0 bits in precedence order; P1 uses the same bits shifted by four.
struct ConditionBit {
  std::uint8_t p0Bit;
  PortCondition condition;
};
constexpr ConditionBit kConditionOrder[] = {
    {kP0Absent, PortCondition::Absent},
    {kP0Initialized, PortCondition::Initialized},
    {kP0Failed, PortCondition::Failed},
    {kP0Inserted, PortCondition::Inserted},
};
}  // namespace

std::string raidModeText(std::uint8_t code) {
  switch (code) {
    case kRaidStriping: return "Striping";
    case kRaidMirror: return "Mirror";
    case kRaidNraid: return "NRAID";
    case kRaidJbod: return "JBOD";
    case kRaidBypass: return "Bypass";
    default: return "Undefine";
  }
}

std::string decodeAtaString(ConstBytes field) {
  std::string text;
  text.reserve(field.size());
  for (std::size_t k = 0; k < field.size(); ++k) {
    const std::size_t source = k ^ 1;
    if (source >= field.size()) break;  // odd length: the last character has no partner
    const auto c = static_cast<char>(field[source]);
    if (c == '\0') break;
    text.push_back(c);
  }
  return text;
}

std::string trimModelNumber(std::string model) {
  while (model.size() > kModelMinimumLength && model.back() == ' ') model.pop_back();
  return model;
}

PortCondition portCondition(std::uint8_t portState, int port) {
  const std::uint8_t nibble = port == 0 ? (portState & 0x0F) : (portState >> 4);
  for (const auto& entry : kConditionOrder)
    if (nibble & entry.p0Bit) return entry.condition;
  return PortCondition::None;
}

std::uint8_t sataGenerationOf(std::uint8_t sataGeneration, int port) {
  return port == 0 ? (sataGeneration & 0x0F) : (sataGeneration >> 4);
}

std::string settingSourceText(SettingSource source) {
  switch (source) {
    case SettingSource::Jumper: return "Jumper";
    case SettingSource::Spi: return "SPI";
    case SettingSource::Unknown: break;
  }
  return "UnKnown";
}

SettingSource StatusRecordView::settingSource() const {
  switch (settingFlags() >> 4) {
    case 0xF: return SettingSource::Jumper;
    case 0x1: return SettingSource::Spi;
    default: return SettingSource::Unknown;
  }
}

std::uint64_t StatusRecordView::portCapacity(int port) const {
  return readLe(r_, port == 0 ? kP0CapacityOffset : kP1CapacityOffset, kCapacityWidth);
}

std::string StatusRecordView::serial(int port) const {
  return decodeAtaString(r_.subspan(port == 0 ? kP0SerialOffset : kP1SerialOffset, kSerialLength));
}

std::string StatusRecordView::model(int port) const {
  return decodeAtaString(r_.subspan(port == 0 ? kP0ModelOffset : kP1ModelOffset, kModelLength));
}

std::uint32_t StatusRecordView::badSectorLba(unsigned k) const {
  return static_cast<std::uint32_t>(
      readLe(r_, kBadSectorLbasOffset + kBadSectorLbaWidth * (k % kBadSectorRingEntries), kBadSectorLbaWidth));
}

bool StatusRecordView::firmwareBuildSet() const {
  const auto c0 = static_cast<char>(r_[kFirmwareBuildOffset]);
  const auto c1 = static_cast<char>(r_[kFirmwareBuildOffset + 1]);
  const auto c2 = static_cast<char>(r_[kFirmwareBuildOffset + 2]);
  return c0 >= 'A' && c0 <= 'Z' && isUpperHexDigit(c1) && isUpperHexDigit(c2);
}

std::string FirmwareBuildText(ConstBytes record) {
  const StatusRecordView view(record);
  if (!view.firmwareBuildSet()) return "C00";
  const auto* first = reinterpret_cast<const char*>(record.data() + kFirmwareBuildOffset);
  return std::string(first, kFirmwareBuildLength);
}

std::string identifyFirmwareRevision(ConstBytes identify) {
  return decodeAtaString(identify.subspan(kIdentifyRevisionOffset, kIdentifyRevisionLength));
}

std::string identifyModelNumber(ConstBytes identify) {
  return decodeAtaString(identify.subspan(kIdentifyModelOffset, kIdentifyModelLength));
}

bool scanSupportedByRevision(std::string_view c) {
  if (c.size() > 6 && c[6] == '.') {
    unsigned value = 0;
    for (std::size_t i = 0; i < 6; ++i) {
      if (!isDigit(c[i])) return false;
      value = value * 10 + static_cast<unsigned>(c[i] - '0');
    }
    return value >= 90619;
  }
  if (c.size() > 3 && c[3] == '.') return isDigit(c[0]) && isDigit(c[1]) && isDigit(c[2]);
  return false;
}

}  // namespace tervalo
