#pragma once
// The seam between the USB mass-storage device and whatever answers its SCSI commands.
//
// The device (MassStorageDevice) answers the housekeeping commands the kernel sends at attach
// itself (INQUIRY, TEST UNIT READY, READ CAPACITY, MODE SENSE, REQUEST SENSE, PREVENT ALLOW
// MEDIUM REMOVAL, SYNCHRONIZE CACHE, START STOP UNIT) unless the target claims them through
// answersCommand(); every other command block goes to execute().
//
// Glue to a RawDiskHost such as the simulated enclosure, in outline:
//   execute(cdb, dataIn, data, length):
//     ATA PASS-THROUGH (0x85 / 0xA1): cmd = decodeAtaPassThrough(cdb) (nullopt: invalidFieldInCdb());
//       regs = cmd->toAtaRegisters(); ok = host.sendAta(h, regs, data, cmd->transferBytes / 512);
//       return completeAtaPassThrough(*cmd, taskFileFromReturnedRegisters(regs), ok ? cmd->transferBytes : 0)
//     anything else: a ScsiRequest with the block (READ/WRITE/vendor blocks are 10 bytes), the
//       direction and `data`/`length`; sendScsi() false means the device is gone
//       (completed = false); the host's status and sense go back as they are.
//   answersCommand(0x12) true when the host's own INQUIRY answer should be seen.
#include <cstdint>
#include <span>
#include <vector>

namespace tervalo::usbip {

inline constexpr std::uint8_t kScsiStatusGood = 0x00;
inline constexpr std::uint8_t kScsiStatusCheckCondition = 0x02;

struct ScsiTargetResult {
  // False when the target could not carry the command at all (the device went away): the
  // server then drops the device as if it were unplugged.
  bool completed = true;
  // True when the device never answers this command (a hung firmware): the host's transfer
  // stays pending until it gives up, unlinks it and resets the device.
  bool hang = false;
  // SCSI status: kScsiStatusGood or kScsiStatusCheckCondition.
  std::uint8_t status = kScsiStatusGood;
  // Sense data for CHECK CONDITION, fixed (0x70) or descriptor (0x72) format; the host gets it
  // through REQUEST SENSE.
  std::vector<std::uint8_t> sense;
  // Bytes actually moved: data-in bytes written into `data` from its start, or data-out bytes
  // consumed. The difference to the host's length becomes the residue.
  std::uint32_t transferred = 0;
};

class ScsiTarget {
 public:
  virtual ~ScsiTarget() = default;
  // Carries one command block. For data-in `data` has `length` bytes to fill; for data-out it
  // holds the `length` bytes the host sent. Called on the server's thread only.
  virtual ScsiTargetResult execute(std::span<const std::uint8_t> cdb, bool dataIn, std::uint8_t* data,
                                   std::uint32_t length) = 0;
  // Number of 512-byte logical blocks, for READ CAPACITY.
  virtual std::uint64_t capacitySectors() = 0;
  // True when the target wants to answer a command that the device would otherwise answer
  // itself (for instance INQUIRY, to present its own identity).
  virtual bool answersCommand(std::uint8_t /*opcode*/) const { return false; }
};

}  // namespace tervalo::usbip
