#include "device/linux/sat_passthrough.h"

#include <algorithm>

namespace tervalo {

namespace {

constexpr std::uint8_t kCkCond = 0x20;
constexpr std::uint8_t kTDirFromDevice = 0x08;
constexpr std::uint8_t kBytBlok = 0x04;
constexpr std::uint8_t kTLengthInCount = 0x02;

constexpr std::uint8_t kAtaStatusReturnDescriptor = 0x09;
constexpr std::size_t kAtaStatusReturnLength = 14;  // code, additional length 0x0C, 12 bytes

constexpr std::uint8_t kAscAtaInformationAvailable = 0x00;
constexpr std::uint8_t kAscqAtaInformationAvailable = 0x1D;

void decodeDescriptorSense(ConstBytes sense, SenseSummary& out) {
  out.senseKey = sense[1] & 0x0F;
  out.asc = sense[2];
  out.ascq = sense[3];
  if (sense.size() < 8) return;
  const std::size_t end = std::min<std::size_t>(sense.size(), 8 + std::size_t{sense[7]});
  std::size_t pos = 8;
  while (pos + 2 <= end) {
    const std::uint8_t code = sense[pos];
    const std::size_t length = std::size_t{sense[pos + 1]} + 2;
    if (pos + length > end) break;
    if (code == kAtaStatusReturnDescriptor && length >= kAtaStatusReturnLength) {
      AtaRegisters& r = out.registers;
      r.features = sense[pos + 3];
      r.sectorCount = sense[pos + 5];
      r.lbaLow = sense[pos + 7];
      r.lbaMid = sense[pos + 9];
      r.lbaHigh = sense[pos + 11];
      r.device = sense[pos + 12];
      r.command = sense[pos + 13];
      r.reserved = 0;
      out.hasAtaRegisters = true;
      return;
    }
    pos += length;
  }
}

void decodeFixedSense(ConstBytes sense, SenseSummary& out) {
  out.senseKey = sense[2] & 0x0F;
  // Bytes present beyond the 8-byte header, as the device says and as it actually sent.
  const std::size_t end = sense.size() < 8 ? sense.size() : std::min<std::size_t>(sense.size(), 8 + std::size_t{sense[7]});
  if (end < 14) return;
  out.asc = sense[12];
  out.ascq = sense[13];
  if (out.asc != kAscAtaInformationAvailable || out.ascq != kAscqAtaInformationAvailable) return;
  // The information field carries error, status, device and count; the command-specific
  // information field the low LBA bytes.
  AtaRegisters& r = out.registers;
  r.features = sense[3];
  r.command = sense[4];
  r.device = sense[5];
  r.sectorCount = sense[6];
  r.lbaLow = sense[9];
  r.lbaMid = sense[10];
  r.lbaHigh = sense[11];
  r.reserved = 0;
  out.hasAtaRegisters = true;
}

}  // namespace

std::array<std::uint8_t, 16> buildAtaPassThrough16(const AtaRegisters& registers, std::uint32_t sectors) {
  std::array<std::uint8_t, 16> cdb{};
  cdb[0] = kAtaPassThrough16;
  if (sectors > 0) {
    cdb[1] = kAtaProtocolPioDataIn << 1;
    cdb[2] = kCkCond | kTDirFromDevice | kBytBlok | kTLengthInCount;
    cdb[6] = static_cast<std::uint8_t>(sectors & 0xFF);
  } else {
    cdb[1] = kAtaProtocolNonData << 1;
    cdb[2] = kCkCond;
    cdb[6] = registers.sectorCount;
  }
  cdb[4] = registers.features;
  cdb[8] = registers.lbaLow;
  cdb[10] = registers.lbaMid;
  cdb[12] = registers.lbaHigh;
  cdb[13] = registers.device;
  cdb[14] = registers.command;
  return cdb;
}

SenseSummary decodeSense(ConstBytes sense) {
  SenseSummary out;
  if (sense.empty()) return out;
  const std::uint8_t responseCode = sense[0] & 0x7F;
  if ((responseCode == 0x72 || responseCode == 0x73) && sense.size() >= 4) {
    out.valid = true;
    out.descriptorFormat = true;
    decodeDescriptorSense(sense, out);
  } else if ((responseCode == 0x70 || responseCode == 0x71) && sense.size() >= 3) {
    out.valid = true;
    decodeFixedSense(sense, out);
  }
  return out;
}

AtaAnswer interpretAtaAnswer(std::uint8_t scsiStatus, ConstBytes sense) {
  AtaAnswer answer;
  const SenseSummary summary = decodeSense(sense);
  answer.hasRegisters = summary.hasAtaRegisters;
  answer.registers = summary.registers;
  const bool ataError = summary.hasAtaRegisters && (summary.registers.command & kAtaStatusErr) != 0;
  switch (scsiStatus) {
    case kScsiStatusGood:
      answer.ok = !ataError;
      break;
    case kScsiStatusCheckCondition:
      answer.ok = summary.valid &&
                  (summary.senseKey == kSenseKeyNoSense || summary.senseKey == kSenseKeyRecoveredError) &&
                  !ataError;
      break;
    default:
      answer.ok = false;
      break;
  }
  return answer;
}

}  // namespace tervalo
