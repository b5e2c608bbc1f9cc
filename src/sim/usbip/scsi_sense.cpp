#include <algorithm>
#include "sim/usbip/scsi_sense.h"

namespace tervalo::usbip {

std::vector<std::uint8_t> buildFixedSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
  std::vector<std::uint8_t> s(18, 0);
  s[0] = 0x70;  // current error, fixed format
  s[2] = key & 0x0F;
  s[7] = 10;  // additional sense length
  s[12] = asc;
  s[13] = ascq;
  return s;
}

std::vector<std::uint8_t> buildDescriptorSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq,
                                               std::span<const std::uint8_t> descriptors) {
  std::vector<std::uint8_t> s(8 + descriptors.size(), 0);
  s[0] = 0x72;  // current error, descriptor format
  s[1] = key & 0x0F;
  s[2] = asc;
  s[3] = ascq;
  s[7] = static_cast<std::uint8_t>(descriptors.size());
  std::copy(descriptors.begin(), descriptors.end(), s.begin() + 8);
  return s;
}

SenseSummary summarizeSense(std::span<const std::uint8_t> sense) {
  SenseSummary out;
  if (sense.empty()) return out;
  const std::uint8_t code = sense[0] & 0x7F;
  if ((code == 0x70 || code == 0x71) && sense.size() >= 14) {
    out = {true, false, static_cast<std::uint8_t>(sense[2] & 0x0F), sense[12], sense[13]};
  } else if ((code == 0x72 || code == 0x73) && sense.size() >= 4) {
    out = {true, true, static_cast<std::uint8_t>(sense[1] & 0x0F), sense[2], sense[3]};
  }
  return out;
}

ScsiTargetResult checkCondition(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
  ScsiTargetResult r;
  r.status = kScsiStatusCheckCondition;
  r.sense = buildFixedSense(key, asc, ascq);
  return r;
}

}  // namespace tervalo::usbip
