#pragma once
// The USB/IP wire format: the operation messages that import a device (OP_REQ_DEVLIST,
// OP_REQ_IMPORT and their replies) and the 48-byte URB headers (CMD_SUBMIT, RET_SUBMIT,
// CMD_UNLINK, RET_UNLINK). Every field is big-endian. Setup packets inside CMD_SUBMIT keep USB's
// own little-endian layout.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tervalo::usbip {

inline constexpr std::uint16_t kUsbipVersion = 0x0111;
inline constexpr std::uint16_t kOpReqDevlist = 0x8005;
inline constexpr std::uint16_t kOpRepDevlist = 0x0005;
inline constexpr std::uint16_t kOpReqImport = 0x8003;
inline constexpr std::uint16_t kOpRepImport = 0x0003;

inline constexpr std::uint32_t kCmdSubmit = 1;
inline constexpr std::uint32_t kCmdUnlink = 2;
inline constexpr std::uint32_t kRetSubmit = 3;
inline constexpr std::uint32_t kRetUnlink = 4;

inline constexpr std::uint32_t kDirOut = 0;
inline constexpr std::uint32_t kDirIn = 1;

inline constexpr std::size_t kOpHeaderSize = 8;
inline constexpr std::size_t kBusIdSize = 32;
inline constexpr std::size_t kImportRequestSize = kOpHeaderSize + kBusIdSize;
inline constexpr std::size_t kDeviceRecordSize = 312;
inline constexpr std::size_t kUrbHeaderSize = 48;

// USB speeds as the kernel numbers them.
inline constexpr std::uint32_t kSpeedHigh = 3;

struct OpHeader {
  std::uint16_t version = kUsbipVersion;
  std::uint16_t code = 0;
  std::uint32_t status = 0;
};
std::array<std::uint8_t, kOpHeaderSize> encodeOpHeader(const OpHeader& h);
OpHeader decodeOpHeader(std::span<const std::uint8_t, kOpHeaderSize> b);

// The exported device as OP_REP_IMPORT and OP_REP_DEVLIST describe it.
struct DeviceRecord {
  std::string path = "/sys/devices/tervalo/usb1/1-1";
  std::string busId = "1-1";
  std::uint32_t busNum = 1;
  std::uint32_t devNum = 2;
  std::uint32_t speed = kSpeedHigh;
  std::uint16_t idVendor = 0;
  std::uint16_t idProduct = 0;
  std::uint16_t bcdDevice = 0;
  std::uint8_t deviceClass = 0;
  std::uint8_t deviceSubClass = 0;
  std::uint8_t deviceProtocol = 0;
  std::uint8_t configurationValue = 1;
  std::uint8_t numConfigurations = 1;
  std::uint8_t numInterfaces = 1;
  // (class, subclass, protocol) per interface, for OP_REP_DEVLIST.
  std::vector<std::array<std::uint8_t, 3>> interfaces;
};
std::vector<std::uint8_t> encodeDeviceRecord(const DeviceRecord& d);
DeviceRecord decodeDeviceRecord(std::span<const std::uint8_t> b);  // b holds kDeviceRecordSize bytes
// The full replies.
std::vector<std::uint8_t> encodeImportReply(const DeviceRecord* device);  // null: refused (status 1)
std::vector<std::uint8_t> encodeDevlistReply(const DeviceRecord* device);  // null: empty list
// Bus id of an OP_REQ_IMPORT's 32-byte field (up to the first NUL).
std::string decodeBusId(std::span<const std::uint8_t> field);

struct UrbHeader {
  std::uint32_t command = 0;
  std::uint32_t seqnum = 0;
  std::uint32_t devid = 0;
  std::uint32_t direction = 0;
  std::uint32_t ep = 0;
  // CMD_SUBMIT
  std::uint32_t transferFlags = 0;
  std::int32_t transferBufferLength = 0;
  std::int32_t startFrame = 0;
  std::int32_t numberOfPackets = 0;
  std::int32_t interval = 0;
  std::array<std::uint8_t, 8> setup{};
  // RET_SUBMIT (status, actualLength, startFrame, numberOfPackets, errorCount) and RET_UNLINK (status)
  std::int32_t status = 0;
  std::int32_t actualLength = 0;
  std::int32_t errorCount = 0;
  // CMD_UNLINK
  std::uint32_t unlinkSeqnum = 0;
};
std::array<std::uint8_t, kUrbHeaderSize> encodeUrbHeader(const UrbHeader& h);
// Decodes by the command word; nullopt for an unknown command.
std::optional<UrbHeader> decodeUrbHeader(std::span<const std::uint8_t, kUrbHeaderSize> b);

}  // namespace tervalo::usbip
