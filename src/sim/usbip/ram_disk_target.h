#pragma once
// A plain disk in memory behind the USB device: READ/WRITE (6, 10, 16), and ATA PASS-THROUGH
// (16 and 12) answering IDENTIFY DEVICE with a canned block, CHECK POWER MODE and every other
// ATA command with ABORT. Vendor command blocks are refused as a plain disk would.
#include <cstdint>
#include <mutex>
#include <vector>

#include "sim/usbip/ata_pass_through.h"
#include "sim/usbip/scsi_target.h"

namespace tervalo::usbip {

class RamDiskTarget : public ScsiTarget {
 public:
  explicit RamDiskTarget(std::uint32_t sectors);

  ScsiTargetResult execute(std::span<const std::uint8_t> cdb, bool dataIn, std::uint8_t* data,
                           std::uint32_t length) override;
  std::uint64_t capacitySectors() override { return sectorCount_; }

  // Fills every sector with a pattern that names it: bytes 0..3 the LBA (big-endian), then
  // (lba + i) & 0xFF for the rest. Tests read it back.
  void fillPattern();
  std::vector<std::uint8_t> sector(std::uint32_t lba) const;
  // The 512-byte IDENTIFY DEVICE block it returns (model "TERVALO RAMDISK", serial "TV-RAM-0001").
  static std::vector<std::uint8_t> identifyBlock(std::uint64_t sectors);
  // Commands seen, for tests: the opcode of every block passed to execute().
  std::vector<std::uint8_t> seenOpcodes() const;

 private:
  ScsiTargetResult readWrite(std::uint64_t lba, std::uint32_t blocks, bool write, bool dataIn, std::uint8_t* data,
                             std::uint32_t length);
  ScsiTargetResult ataPassThrough(const AtaPassThroughCommand& command, std::uint8_t* data, std::uint32_t length);

  std::uint32_t sectorCount_;
  std::vector<std::uint8_t> bytes_;
  mutable std::mutex mutex_;
  std::vector<std::uint8_t> seen_;
};

}  // namespace tervalo::usbip
