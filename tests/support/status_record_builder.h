#pragma once
// Builds status records and identify blocks byte by byte, the way the controller lays them out.
#include <cstdint>
#include <string_view>

#include "core/bytes.h"
#include "device/device_state.h"
#include "protocol/status_record.h"

namespace tervalo::testing {

// Stores `text` as an ATA string (pairs swapped), padded with blanks to `length`.
inline void putAtaString(Sector& s, std::size_t offset, std::size_t length, std::string_view text) {
  for (std::size_t k = 0; k < length; ++k) s[offset + (k ^ 1)] = k < text.size() ? static_cast<std::uint8_t>(text[k]) : ' ';
}

class RecordBuilder {
 public:
  RecordBuilder& portState(std::uint8_t v) { return set(kPortStateOffset, v); }
  RecordBuilder& activity(std::uint8_t v) { return set(kActivityOffset, v); }
  RecordBuilder& progress(std::uint8_t v) { return set(kProgressOffset, v); }
  RecordBuilder& settingFlags(std::uint8_t v) { return set(kSettingFlagsOffset, v); }
  RecordBuilder& spiRaidMode(std::uint8_t v) { return set(kSpiRaidModeOffset, v); }
  RecordBuilder& systemRaidMode(std::uint8_t v) { return set(kSystemRaidModeOffset, v); }
  RecordBuilder& sataGeneration(std::uint8_t v) { return set(kSataGenerationOffset, v); }
  RecordBuilder& badSectorCount(std::uint8_t v) { return set(kBadSectorCountOffset, v); }
  RecordBuilder& serial(int port, std::string_view text) {
    putAtaString(s_, port == 0 ? kP0SerialOffset : kP1SerialOffset, kSerialLength, text);
    return *this;
  }
  RecordBuilder& model(int port, std::string_view text) {
    putAtaString(s_, port == 0 ? kP0ModelOffset : kP1ModelOffset, kModelLength, text);
    return *this;
  }
  RecordBuilder& portCapacity(int port, std::uint64_t sectors) {
    writeLe(s_, port == 0 ? kP0CapacityOffset : kP1CapacityOffset, kCapacityWidth, sectors);
    return *this;
  }
  RecordBuilder& arrayCapacity(std::uint64_t sectors) {
    writeLe(s_, kArrayCapacityOffset, kCapacityWidth, sectors);
    return *this;
  }
  RecordBuilder& firmwareBuild(std::string_view three) {
    for (std::size_t i = 0; i < kFirmwareBuildLength; ++i) s_[kFirmwareBuildOffset + i] = static_cast<std::uint8_t>(three[i]);
    return *this;
  }
  RecordBuilder& badSectorEntry(unsigned entry, std::uint32_t lba) {
    writeLe(s_, kBadSectorLbasOffset + kBadSectorLbaWidth * entry, kBadSectorLbaWidth, lba);
    return *this;
  }
  // A healthy mirror of two 500 GB disks on SATA generation 2 links.
  RecordBuilder& healthyMirror() {
    return portState(0x22).systemRaidMode(kRaidMirror).spiRaidMode(kRaidMirror).serial(0, "S1Z3A0B1").serial(1, "W2X4C5D6")
        .model(0, "ST3500418AS").model(1, "WDC WD5000AAKS").portCapacity(0, 976773168).portCapacity(1, 976773168)
        .arrayCapacity(976773168).sataGeneration(0x22).firmwareBuild("B0F");
  }
  Sector build() const { return s_; }
  operator Sector() const { return s_; }

 private:
  RecordBuilder& set(std::size_t offset, std::uint8_t v) {
    s_[offset] = v;
    return *this;
  }
  Sector s_{};
};

inline Sector makeIdentify(std::string_view revision, std::string_view model) {
  Sector s{};
  putAtaString(s, kIdentifyRevisionOffset, kIdentifyRevisionLength, revision);
  putAtaString(s, kIdentifyModelOffset, kIdentifyModelLength, model);
  return s;
}

}  // namespace tervalo::testing
