#include "sim/usbip/ram_disk_target.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "core/bytes.h"
#include "sim/usbip/scsi_sense.h"

namespace tervalo::usbip {

namespace {
constexpr std::uint32_t kSector = 512;

// ATA strings: characters in swapped pairs, blank-padded.
void putAtaString(std::vector<std::uint8_t>& block, std::size_t offset, std::size_t width, std::string_view text) {
  for (std::size_t i = 0; i < width; ++i) {
    const char c = i < text.size() ? text[i] : ' ';
    block[offset + (i ^ 1)] = static_cast<std::uint8_t>(c);
  }
}
}  // namespace

RamDiskTarget::RamDiskTarget(std::uint32_t sectors) : sectorCount_(sectors), bytes_(std::size_t{sectors} * kSector, 0) {}

void RamDiskTarget::fillPattern() {
  std::lock_guard lock(mutex_);
  for (std::uint32_t lba = 0; lba < sectorCount_; ++lba) {
    std::uint8_t* s = bytes_.data() + std::size_t{lba} * kSector;
    for (std::uint32_t i = 0; i < kSector; ++i) s[i] = static_cast<std::uint8_t>(lba + i);
    writeBe(Bytes(s, kSector), 0, 4, lba);
  }
}

std::vector<std::uint8_t> RamDiskTarget::sector(std::uint32_t lba) const {
  std::lock_guard lock(mutex_);
  if (lba >= sectorCount_) return {};
  const auto* s = bytes_.data() + std::size_t{lba} * kSector;
  return {s, s + kSector};
}

std::vector<std::uint8_t> RamDiskTarget::seenOpcodes() const {
  std::lock_guard lock(mutex_);
  return seen_;
}

std::vector<std::uint8_t> RamDiskTarget::identifyBlock(std::uint64_t sectors) {
  std::vector<std::uint8_t> b(512, 0);
  auto word = [&](std::size_t w, std::uint16_t v) { writeLe(b, w * 2, 2, v); };
  word(0, 0x0040);  // fixed device
  putAtaString(b, 20, 20, "TV-RAM-0001");
  putAtaString(b, 46, 8, "1.0");
  putAtaString(b, 54, 40, "TERVALO RAMDISK");
  word(49, 0x0200);  // LBA supported
  const std::uint32_t lba28 = static_cast<std::uint32_t>(std::min<std::uint64_t>(sectors, 0x0FFFFFFF));
  word(60, static_cast<std::uint16_t>(lba28));
  word(61, static_cast<std::uint16_t>(lba28 >> 16));
  word(83, 0x4400);  // 48-bit address feature set
  word(86, 0x0400);
  writeLe(b, 100 * 2, 8, sectors);
  // Integrity word: signature 0xA5 and the checksum that makes the block sum to zero.
  b[510] = 0xA5;
  std::uint8_t sum = 0;
  for (int i = 0; i < 511; ++i) sum = static_cast<std::uint8_t>(sum + b[i]);
  b[511] = static_cast<std::uint8_t>(-sum);
  return b;
}

ScsiTargetResult RamDiskTarget::execute(std::span<const std::uint8_t> cdb, bool dataIn, std::uint8_t* data,
                                        std::uint32_t length) {
  if (cdb.empty()) return invalidOpcode();
  {
    std::lock_guard lock(mutex_);
    seen_.push_back(cdb[0]);
  }
  switch (cdb[0]) {
    case 0x08:  // READ(6)
    case 0x0A: {  // WRITE(6)
      const std::uint32_t lba = static_cast<std::uint32_t>(readBe(cdb, 1, 3) & 0x1FFFFF);
      const std::uint32_t n = cdb[4] == 0 ? 256 : cdb[4];
      return readWrite(lba, n, cdb[0] == 0x0A, dataIn, data, length);
    }
    case 0x28:
    case 0x2A:
      if (cdb.size() < 10) return invalidFieldInCdb();
      return readWrite(readBe(cdb, 2, 4), static_cast<std::uint32_t>(readBe(cdb, 7, 2)), cdb[0] == 0x2A, dataIn,
                       data, length);
    case 0x88:
    case 0x8A:
      if (cdb.size() < 16) return invalidFieldInCdb();
      return readWrite(readBe(cdb, 2, 8), static_cast<std::uint32_t>(readBe(cdb, 10, 4)), cdb[0] == 0x8A, dataIn,
                       data, length);
    case kAtaPassThrough16:
    case kAtaPassThrough12: {
      const auto command = decodeAtaPassThrough(cdb);
      if (!command) return invalidFieldInCdb();
      return ataPassThrough(*command, data, length);
    }
    default:
      return invalidOpcode();
  }
}

ScsiTargetResult RamDiskTarget::readWrite(std::uint64_t lba, std::uint32_t blocks, bool write, bool dataIn,
                                          std::uint8_t* data, std::uint32_t length) {
  if (lba + blocks > sectorCount_) return lbaOutOfRange();
  if (blocks != 0 && dataIn == write) return invalidFieldInCdb();
  // Move what both sides agree on: the command's blocks, cut to the host's buffer.
  const std::uint32_t bytes = std::min<std::uint64_t>(std::uint64_t{blocks} * kSector, length);
  std::lock_guard lock(mutex_);
  std::uint8_t* disk = bytes_.data() + lba * kSector;
  if (write)
    std::memcpy(disk, data, bytes);
  else
    std::memcpy(data, disk, bytes);
  ScsiTargetResult r;
  r.transferred = bytes;
  return r;
}

ScsiTargetResult RamDiskTarget::ataPassThrough(const AtaPassThroughCommand& command, std::uint8_t* data,
                                               std::uint32_t length) {
  AtaTaskFile back;
  back.device = command.registers.device;
  back.count = command.registers.count;
  back.lba = command.registers.lba;
  std::uint32_t moved = 0;
  switch (command.registers.commandOrStatus) {
    case 0xEC: {  // IDENTIFY DEVICE: PIO data-in, one sector
      if (!command.dataIn || command.transferBytes < kSector || length < kSector) {
        back.featuresOrError = 0x04;
        back.commandOrStatus = kAtaStatusDrdy | kAtaStatusErr;
        break;
      }
      const auto block = identifyBlock(sectorCount_);
      std::memcpy(data, block.data(), kSector);
      moved = kSector;
      back.commandOrStatus = kAtaStatusDrdy;
      back.count = 0;
      break;
    }
    case 0xE5:  // CHECK POWER MODE: active
      back.count = 0xFF;
      back.commandOrStatus = kAtaStatusDrdy;
      break;
    default:  // ABORT: the command is not supported
      back.featuresOrError = 0x04;
      back.commandOrStatus = kAtaStatusDrdy | kAtaStatusErr;
      break;
  }
  return completeAtaPassThrough(command, back, moved);
}

}  // namespace tervalo::usbip
