#pragma once
// SAT ATA PASS-THROUGH: decoding the 16-byte (0x85) and 12-byte (0xA1) command blocks into ATA
// registers, and building the answer a SAT bridge gives: the ATA Status Return descriptor (0x09)
// in descriptor-format sense when CK_COND is set or the command failed.
//
// Glue between the USB device and a simulated enclosure decodes the block, runs the ATA command
// on the simulator and hands the returned registers to completeAtaPassThrough().
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "device/raw_disk_host.h"
#include "sim/usbip/scsi_target.h"

namespace tervalo::usbip {

inline constexpr std::uint8_t kAtaPassThrough16 = 0x85;
inline constexpr std::uint8_t kAtaPassThrough12 = 0xA1;

// SAT protocol field values.
inline constexpr std::uint8_t kAtaProtocolNonData = 3;
inline constexpr std::uint8_t kAtaProtocolPioDataIn = 4;
inline constexpr std::uint8_t kAtaProtocolPioDataOut = 5;

// ATA status bits.
inline constexpr std::uint8_t kAtaStatusErr = 0x01;
inline constexpr std::uint8_t kAtaStatusDrq = 0x08;
inline constexpr std::uint8_t kAtaStatusDf = 0x20;
inline constexpr std::uint8_t kAtaStatusDrdy = 0x40;
inline constexpr std::uint8_t kAtaStatusBsy = 0x80;

// A 48-bit task file. On the way in `featuresOrError` is the features field and
// `commandOrStatus` the command; on the way back they are error and status.
struct AtaTaskFile {
  std::uint16_t featuresOrError = 0;
  std::uint16_t count = 0;
  std::uint64_t lba = 0;  // 48 bits
  std::uint8_t device = 0;
  std::uint8_t commandOrStatus = 0;

  bool operator==(const AtaTaskFile&) const = default;
};

struct AtaPassThroughCommand {
  std::uint8_t protocol = 0;
  bool extend = false;  // 48-bit command (16-byte block only)
  bool checkCondition = false;  // CK_COND
  bool dataIn = false;  // T_DIR
  std::uint32_t transferBytes = 0;  // from T_LENGTH, BYTE_BLOCK and T_TYPE
  AtaTaskFile registers;

  // The 28-bit register block the console's ATA operation carries.
  AtaRegisters toAtaRegisters() const;
};

// Decodes a 16- or 12-byte ATA PASS-THROUGH block; nullopt for any other block or a malformed one.
std::optional<AtaPassThroughCommand> decodeAtaPassThrough(std::span<const std::uint8_t> cdb);

// The 14-byte ATA Status Return descriptor (0x09) for returned registers.
std::vector<std::uint8_t> buildAtaStatusReturnDescriptor(const AtaTaskFile& returned, bool extend);

// The SCSI answer to an ATA PASS-THROUGH whose ATA command returned `returned` and moved
// `transferred` bytes: GOOD when the command succeeded and CK_COND is clear; otherwise CHECK
// CONDITION with descriptor sense holding the 0x09 descriptor, RECOVERED ERROR / ATA PASS
// THROUGH INFORMATION AVAILABLE (00/1D) on success, ABORTED COMMAND (00/00) when the status
// shows ERR or DF.
ScsiTargetResult completeAtaPassThrough(const AtaPassThroughCommand& command, const AtaTaskFile& returned,
                                        std::uint32_t transferred);

// The returned registers as the console's 28-bit block (error into features, status into command).
AtaRegisters returnedAtaRegisters(const AtaTaskFile& returned);
// The other way: a 28-bit register block an ATA device returned (features = error, command =
// status), as a task file for completeAtaPassThrough().
AtaTaskFile taskFileFromReturnedRegisters(const AtaRegisters& returned);

// Converts descriptor sense carrying an ATA Status Return descriptor into fixed-format sense the
// way SAT lays it out (INFORMATION = error, status, device, count; COMMAND-SPECIFIC
// INFORMATION = flags, LBA 7:0, 15:8, 23:16). Other descriptor sense keeps key/ASC/ASCQ only.
std::vector<std::uint8_t> descriptorSenseToFixed(std::span<const std::uint8_t> sense);

// Finds the ATA Status Return descriptor in descriptor sense and decodes it.
std::optional<AtaTaskFile> findAtaStatusReturn(std::span<const std::uint8_t> sense, bool* extend = nullptr);

}  // namespace tervalo::usbip
