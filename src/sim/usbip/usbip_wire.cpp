#include "sim/usbip/usbip_wire.h"

#include <algorithm>
#include <cstring>

#include "core/bytes.h"

namespace tervalo::usbip {

namespace {
void putText(std::vector<std::uint8_t>& b, std::size_t offset, std::size_t width, const std::string& text) {
  const std::size_t n = std::min(text.size(), width - 1);  // always NUL-terminated
  std::memcpy(b.data() + offset, text.data(), n);
}
std::string getText(std::span<const std::uint8_t> field) {
  const auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
  return {field.begin(), end};
}
std::int32_t asSigned(std::uint64_t v) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(v)); }
}  // namespace

std::array<std::uint8_t, kOpHeaderSize> encodeOpHeader(const OpHeader& h) {
  std::array<std::uint8_t, kOpHeaderSize> b{};
  writeBe(b, 0, 2, h.version);
  writeBe(b, 2, 2, h.code);
  writeBe(b, 4, 4, h.status);
  return b;
}

OpHeader decodeOpHeader(std::span<const std::uint8_t, kOpHeaderSize> b) {
  return {static_cast<std::uint16_t>(readBe(b, 0, 2)), static_cast<std::uint16_t>(readBe(b, 2, 2)),
          static_cast<std::uint32_t>(readBe(b, 4, 4))};
}

std::vector<std::uint8_t> encodeDeviceRecord(const DeviceRecord& d) {
  std::vector<std::uint8_t> b(kDeviceRecordSize, 0);
  putText(b, 0, 256, d.path);
  putText(b, 256, kBusIdSize, d.busId);
  writeBe(b, 288, 4, d.busNum);
  writeBe(b, 292, 4, d.devNum);
  writeBe(b, 296, 4, d.speed);
  writeBe(b, 300, 2, d.idVendor);
  writeBe(b, 302, 2, d.idProduct);
  writeBe(b, 304, 2, d.bcdDevice);
  b[306] = d.deviceClass;
  b[307] = d.deviceSubClass;
  b[308] = d.deviceProtocol;
  b[309] = d.configurationValue;
  b[310] = d.numConfigurations;
  b[311] = d.numInterfaces;
  return b;
}

DeviceRecord decodeDeviceRecord(std::span<const std::uint8_t> b) {
  DeviceRecord d;
  d.path = getText(b.subspan(0, 256));
  d.busId = getText(b.subspan(256, kBusIdSize));
  d.busNum = static_cast<std::uint32_t>(readBe(b, 288, 4));
  d.devNum = static_cast<std::uint32_t>(readBe(b, 292, 4));
  d.speed = static_cast<std::uint32_t>(readBe(b, 296, 4));
  d.idVendor = static_cast<std::uint16_t>(readBe(b, 300, 2));
  d.idProduct = static_cast<std::uint16_t>(readBe(b, 302, 2));
  d.bcdDevice = static_cast<std::uint16_t>(readBe(b, 304, 2));
  d.deviceClass = b[306];
  d.deviceSubClass = b[307];
  d.deviceProtocol = b[308];
  d.configurationValue = b[309];
  d.numConfigurations = b[310];
  d.numInterfaces = b[311];
  return d;
}

std::vector<std::uint8_t> encodeImportReply(const DeviceRecord* device) {
  const auto h = encodeOpHeader({kUsbipVersion, kOpRepImport, device ? 0u : 1u});
  std::vector<std::uint8_t> b(h.begin(), h.end());
  if (device) {
    const auto rec = encodeDeviceRecord(*device);
    b.insert(b.end(), rec.begin(), rec.end());
  }
  return b;
}

std::vector<std::uint8_t> encodeDevlistReply(const DeviceRecord* device) {
  const auto h = encodeOpHeader({kUsbipVersion, kOpRepDevlist, 0});
  // Header and device count, laid out at their offsets.
  std::vector<std::uint8_t> b(h.size() + 4, 0);
  std::copy(h.begin(), h.end(), b.begin());
  writeBe(b, h.size(), 4, device ? 1 : 0);
  if (device) {
    const auto rec = encodeDeviceRecord(*device);
    b.insert(b.end(), rec.begin(), rec.end());
    for (const auto& i : device->interfaces) {
      b.insert(b.end(), i.begin(), i.end());
      b.push_back(0);  // padding
    }
  }
  return b;
}

std::string decodeBusId(std::span<const std::uint8_t> field) { return getText(field); }

std::array<std::uint8_t, kUrbHeaderSize> encodeUrbHeader(const UrbHeader& h) {
  std::array<std::uint8_t, kUrbHeaderSize> b{};
  writeBe(b, 0, 4, h.command);
  writeBe(b, 4, 4, h.seqnum);
  writeBe(b, 8, 4, h.devid);
  writeBe(b, 12, 4, h.direction);
  writeBe(b, 16, 4, h.ep);
  switch (h.command) {
    case kCmdSubmit:
      writeBe(b, 20, 4, h.transferFlags);
      writeBe(b, 24, 4, static_cast<std::uint32_t>(h.transferBufferLength));
      writeBe(b, 28, 4, static_cast<std::uint32_t>(h.startFrame));
      writeBe(b, 32, 4, static_cast<std::uint32_t>(h.numberOfPackets));
      writeBe(b, 36, 4, static_cast<std::uint32_t>(h.interval));
      std::copy(h.setup.begin(), h.setup.end(), b.begin() + 40);
      break;
    case kRetSubmit:
      writeBe(b, 20, 4, static_cast<std::uint32_t>(h.status));
      writeBe(b, 24, 4, static_cast<std::uint32_t>(h.actualLength));
      writeBe(b, 28, 4, static_cast<std::uint32_t>(h.startFrame));
      writeBe(b, 32, 4, static_cast<std::uint32_t>(h.numberOfPackets));
      writeBe(b, 36, 4, static_cast<std::uint32_t>(h.errorCount));
      break;
    case kCmdUnlink:
      writeBe(b, 20, 4, h.unlinkSeqnum);
      break;
    case kRetUnlink:
      writeBe(b, 20, 4, static_cast<std::uint32_t>(h.status));
      break;
    default:
      break;
  }
  return b;
}

std::optional<UrbHeader> decodeUrbHeader(std::span<const std::uint8_t, kUrbHeaderSize> b) {
  UrbHeader h;
  h.command = static_cast<std::uint32_t>(readBe(b, 0, 4));
  h.seqnum = static_cast<std::uint32_t>(readBe(b, 4, 4));
  h.devid = static_cast<std::uint32_t>(readBe(b, 8, 4));
  h.direction = static_cast<std::uint32_t>(readBe(b, 12, 4));
  h.ep = static_cast<std::uint32_t>(readBe(b, 16, 4));
  switch (h.command) {
    case kCmdSubmit:
      h.transferFlags = static_cast<std::uint32_t>(readBe(b, 20, 4));
      h.transferBufferLength = asSigned(readBe(b, 24, 4));
      h.startFrame = asSigned(readBe(b, 28, 4));
      h.numberOfPackets = asSigned(readBe(b, 32, 4));
      h.interval = asSigned(readBe(b, 36, 4));
      std::copy(b.begin() + 40, b.end(), h.setup.begin());
      return h;
    case kRetSubmit:
      h.status = asSigned(readBe(b, 20, 4));
      h.actualLength = asSigned(readBe(b, 24, 4));
      h.startFrame = asSigned(readBe(b, 28, 4));
      h.numberOfPackets = asSigned(readBe(b, 32, 4));
      h.errorCount = asSigned(readBe(b, 36, 4));
      return h;
    case kCmdUnlink:
      h.unlinkSeqnum = static_cast<std::uint32_t>(readBe(b, 20, 4));
      return h;
    case kRetUnlink:
      h.status = asSigned(readBe(b, 20, 4));
      return h;
    default:
      return std::nullopt;
  }
}

}  // namespace tervalo::usbip
