#pragma once
// A USB mass-storage device (interface class 8, SCSI transparent command set, Bulk-Only
// Transport) in front of one ScsiTarget. It works at the level of USB requests: control
// requests on endpoint 0 and transfers on the bulk endpoints, each answered with a status
// (0 or a negative Linux errno such as -EPIPE for a stall) and data.
//
// Bulk-Only Transport as the host sees it: a 31-byte CBW on bulk-out, the data phase in the
// CBW's direction, a 13-byte CSW on bulk-in with the residue (host length minus bytes moved)
// and status 0 passed, 1 failed (sense through REQUEST SENSE), 2 phase error. A failed
// command with no data stalls bulk-in; an invalid CBW stalls both bulk endpoints until a
// Bulk-Only Mass Storage Reset. A hung command leaves every bulk transfer pending until that
// reset or a new SET_CONFIGURATION (which the host sends after a port reset).
#include <array>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "sim/usbip/scsi_target.h"

namespace tervalo::usbip {

inline constexpr std::uint8_t kBulkInEndpoint = 1;   // address 0x81
inline constexpr std::uint8_t kBulkOutEndpoint = 2;  // address 0x02
inline constexpr std::uint16_t kBulkMaxPacket = 512;  // high speed

inline constexpr std::uint32_t kCbwSignature = 0x43425355;  // "USBC", little-endian on the wire
inline constexpr std::uint32_t kCswSignature = 0x53425355;  // "USBS"
inline constexpr std::size_t kCbwSize = 31;
inline constexpr std::size_t kCswSize = 13;

inline constexpr std::uint8_t kCswPassed = 0;
inline constexpr std::uint8_t kCswFailed = 1;
inline constexpr std::uint8_t kCswPhaseError = 2;

inline constexpr std::int32_t kUrbStall = -32;     // -EPIPE
inline constexpr std::int32_t kUrbNoDevice = -19;  // -ENODEV
inline constexpr std::int32_t kUrbShutdown = -108; // -ESHUTDOWN
inline constexpr std::int32_t kUrbUnlinked = -104;  // -ECONNRESET

struct DeviceIdentity {
  // 0xF055 is the vendor id conventionally used by free-software test devices; it belongs to no
  // vendor of RAID enclosures and makes the simulated device plain to see in lsusb.
  std::uint16_t vendorId = 0xF055;
  std::uint16_t productId = 0x7E51;
  std::uint16_t bcdDevice = 0x0022;
  std::string manufacturer = "Tervalo";
  std::string product = "Simulated RAID enclosure";
  std::string serial = "TV0000000001";
  // The standard INQUIRY answer when the device gives it itself.
  std::string scsiVendor = "Tervalo";
  std::string scsiProduct = "Simulated disk";
  std::string scsiRevision = "0022";
  // INQUIRY VERSION: 0x06 = SPC-4. (The kernel's usb-storage asks for 96 bytes of sense from
  // devices above SPC-2 and 18 bytes from older ones.)
  std::uint8_t inquiryVersion = 0x06;
  // INQUIRY ADDITIONAL LENGTH: 31 for the standard 36-byte answer.
  std::uint8_t inquiryAdditionalLength = 31;
};

// How REQUEST SENSE hands over descriptor-format sense a target produced (the ATA Status
// Return of ATA PASS-THROUGH) when the host asks for fixed format (the kernel's automatic
// REQUEST SENSE does). Sense the device builds itself always follows the request's DESC bit.
enum class DescriptorSenseOnFixedRequest {
  Keep,     // returned as it is, descriptor format: what common USB/SATA bridges do
  Convert,  // converted to SAT's fixed layout (registers in INFORMATION and COMMAND-SPECIFIC)
};

struct CommandBlockWrapper {
  std::uint32_t tag = 0;
  std::uint32_t dataLength = 0;
  bool dataIn = false;
  std::uint8_t lun = 0;
  std::vector<std::uint8_t> cdb;
};
// Parses a CBW; false when it is not a valid, meaningful one (size, signature, CB length 1..16).
bool parseCbw(std::span<const std::uint8_t> bytes, CommandBlockWrapper& out);
std::vector<std::uint8_t> buildCbw(const CommandBlockWrapper& cbw);
std::array<std::uint8_t, kCswSize> buildCsw(std::uint32_t tag, std::uint32_t residue, std::uint8_t status);

struct UsbReply {
  std::int32_t status = 0;  // 0 or a negative errno
  std::vector<std::uint8_t> data;  // data-in, already cut to the request's length
  // The device does not complete this transfer (a hung command): no answer goes back until the
  // host unlinks it.
  bool pending = false;
};

class MassStorageDevice {
 public:
  explicit MassStorageDevice(ScsiTarget& target, DeviceIdentity identity = {},
                             DescriptorSenseOnFixedRequest policy = DescriptorSenseOnFixedRequest::Keep);

  // A control transfer on endpoint 0: the 8-byte setup packet and, for host-to-device
  // requests, its data.
  UsbReply control(std::span<const std::uint8_t, 8> setup, std::span<const std::uint8_t> outData);
  // A transfer on bulk-out (`endpoint` without direction bit) carrying `data`.
  UsbReply bulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data);
  // A transfer on bulk-in asking for up to `length` bytes.
  UsbReply bulkIn(std::uint8_t endpoint, std::uint32_t length);

  // True once the target reported that it could not carry a command (the device is gone).
  bool targetGone() const;
  // Number of CBWs accepted so far.
  std::uint32_t commandCount() const;

  const DeviceIdentity& identity() const { return identity_; }
  std::vector<std::uint8_t> deviceDescriptor() const;
  std::vector<std::uint8_t> configurationDescriptor() const;

 private:
  enum class Phase { Idle, DataOut, DataIn, Status, Hung };

  UsbReply standardRequest(std::uint8_t requestType, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                           std::uint16_t length);
  std::vector<std::uint8_t> stringDescriptor(std::uint8_t index) const;
  void executeCommand();
  // Commands the device answers itself; false when the block is not one of them.
  bool answerBuiltIn(ScsiTargetResult& result);
  ScsiTargetResult inquiry();
  ScsiTargetResult modeSense(bool ten);
  ScsiTargetResult requestSense();
  ScsiTargetResult readCapacity(bool sixteen);
  ScsiTargetResult replyData(std::vector<std::uint8_t> bytes, std::uint32_t allocation);
  void resetTransport();

  ScsiTarget& target_;
  DeviceIdentity identity_;
  DescriptorSenseOnFixedRequest policy_;

  mutable std::mutex mutex_;
  std::uint8_t configuration_ = 0;
  bool haltIn_ = false;
  bool haltOut_ = false;
  bool needsReset_ = false;  // invalid CBW: stalls until Bulk-Only Mass Storage Reset
  bool gone_ = false;
  std::uint32_t commands_ = 0;

  Phase phase_ = Phase::Idle;
  CommandBlockWrapper cbw_;
  std::vector<std::uint8_t> buffer_;
  std::uint32_t moved_ = 0;      // bytes of the data phase sent or received so far
  std::uint32_t available_ = 0;  // data-in bytes the command produced
  std::uint8_t cswStatus_ = kCswPassed;
  std::uint32_t residue_ = 0;
  std::vector<std::uint8_t> pendingSense_;
};

}  // namespace tervalo::usbip
