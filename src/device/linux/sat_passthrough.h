#pragma once
// SCSI/ATA Translation: the ATA PASS-THROUGH(16) command block and the decoding of the ATA
// registers that come back in its sense data. Pure byte work, so it can be checked offline on
// captured sense buffers.
#include <array>
#include <cstdint>

#include "core/bytes.h"
#include "device/raw_disk_host.h"

namespace tervalo {

inline constexpr std::uint8_t kAtaPassThrough16 = 0x85;
inline constexpr std::uint8_t kAtaProtocolNonData = 3;
inline constexpr std::uint8_t kAtaProtocolPioDataIn = 4;
// Largest transfer that the 8-bit sector count field of a 28-bit command can describe.
inline constexpr std::uint32_t kMaxAtaPassThroughSectors = 255;

// SCSI status bytes and sense keys the host looks at.
inline constexpr std::uint8_t kScsiStatusGood = 0x00;
inline constexpr std::uint8_t kScsiStatusCheckCondition = 0x02;
inline constexpr std::uint8_t kSenseKeyNoSense = 0x0;
inline constexpr std::uint8_t kSenseKeyRecoveredError = 0x1;
inline constexpr std::uint8_t kSenseKeyIllegalRequest = 0x5;
inline constexpr std::uint8_t kSenseKeyAbortedCommand = 0xB;

// ATA status register: command ended in error.
inline constexpr std::uint8_t kAtaStatusErr = 0x01;

// ATA PASS-THROUGH(16) for a 28-bit command with CK_COND set, so that the device's registers
// come back in the sense data. With `sectors` > 0 the command is PIO data-in of that many
// 512-byte sectors, the count field carrying the transfer length; with 0 it is non-data and the
// count field carries the caller's sector count register.
std::array<std::uint8_t, 16> buildAtaPassThrough16(const AtaRegisters& registers, std::uint32_t sectors);

// What a sense buffer says. Only the bytes the device actually returned are passed in.
struct SenseSummary {
  bool valid = false;  // a fixed (0x70/0x71) or descriptor (0x72/0x73) format header was found
  bool descriptorFormat = false;
  std::uint8_t senseKey = 0;
  std::uint8_t asc = 0;
  std::uint8_t ascq = 0;
  bool hasAtaRegisters = false;
  // features slot = error register, command slot = status register, reserved 0.
  AtaRegisters registers;
};

// Decodes response code, sense key, ASC/ASCQ and the returned ATA registers: from the ATA
// Status Return descriptor (0x09) of descriptor-format sense, or from the information and
// command-specific fields of fixed-format sense when ASC/ASCQ is 00/1D.
SenseSummary decodeSense(ConstBytes sense);

// The outcome of a completed ATA PASS-THROUGH request.
struct AtaAnswer {
  bool ok = false;
  bool hasRegisters = false;
  AtaRegisters registers;
};

// Judges a request that the kernel completed, from its SCSI status and sense data. GOOD, or
// CHECK CONDITION with NO SENSE / RECOVERED ERROR (the normal answer under CK_COND) succeed
// unless the returned ATA status has ERR set; any other sense key or status fails.
AtaAnswer interpretAtaAnswer(std::uint8_t scsiStatus, ConstBytes sense);

}  // namespace tervalo
