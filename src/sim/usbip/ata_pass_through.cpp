#include "sim/usbip/ata_pass_through.h"

#include "core/bytes.h"
#include "sim/usbip/scsi_sense.h"

namespace tervalo::usbip {

AtaRegisters returnedAtaRegisters(const AtaTaskFile& returned) {
  AtaRegisters r;
  r.features = static_cast<std::uint8_t>(returned.featuresOrError);
  r.sectorCount = static_cast<std::uint8_t>(returned.count);
  r.lbaLow = static_cast<std::uint8_t>(returned.lba);
  r.lbaMid = static_cast<std::uint8_t>(returned.lba >> 8);
  r.lbaHigh = static_cast<std::uint8_t>(returned.lba >> 16);
  r.device = returned.device;
  r.command = returned.commandOrStatus;
  return r;
}

// The same 28-bit register layout in both directions.
AtaRegisters AtaPassThroughCommand::toAtaRegisters() const { return returnedAtaRegisters(registers); }

AtaTaskFile taskFileFromReturnedRegisters(const AtaRegisters& r) {
  AtaTaskFile t;
  t.featuresOrError = r.features;
  t.count = r.sectorCount;
  t.lba = std::uint64_t{r.lbaLow} | std::uint64_t{r.lbaMid} << 8 | std::uint64_t{r.lbaHigh} << 16;
  t.device = r.device;
  t.commandOrStatus = r.command;
  return t;
}

std::optional<AtaPassThroughCommand> decodeAtaPassThrough(std::span<const std::uint8_t> cdb) {
  if (cdb.empty()) return std::nullopt;
  const bool is16 = cdb[0] == kAtaPassThrough16;
  if (!(is16 && cdb.size() >= 16) && !(cdb[0] == kAtaPassThrough12 && cdb.size() >= 12)) return std::nullopt;

  AtaPassThroughCommand c;
  c.protocol = (cdb[1] >> 1) & 0x0F;
  c.extend = is16 && (cdb[1] & 0x01);
  const std::uint8_t flags = cdb[2];
  c.checkCondition = flags & 0x20;
  const bool blocks = flags & 0x04;  // BYTE_BLOCK
  const bool tTypeLogical = flags & 0x10;
  c.dataIn = flags & 0x08;
  const std::uint8_t tLength = flags & 0x03;

  AtaTaskFile& t = c.registers;
  if (is16) {
    t.featuresOrError = static_cast<std::uint16_t>(c.extend ? readBe(cdb, 3, 2) : cdb[4]);
    t.count = static_cast<std::uint16_t>(c.extend ? readBe(cdb, 5, 2) : cdb[6]);
    t.lba = std::uint64_t{cdb[8]} | std::uint64_t{cdb[10]} << 8 | std::uint64_t{cdb[12]} << 16;
    if (c.extend)
      t.lba |= std::uint64_t{cdb[7]} << 24 | std::uint64_t{cdb[9]} << 32 | std::uint64_t{cdb[11]} << 40;
    t.device = cdb[13];
    t.commandOrStatus = cdb[14];
  } else {
    t.featuresOrError = cdb[3];
    t.count = cdb[4];
    t.lba = std::uint64_t{cdb[5]} | std::uint64_t{cdb[6]} << 8 | std::uint64_t{cdb[7]} << 16;
    t.device = cdb[8];
    t.commandOrStatus = cdb[9];
  }

  std::uint32_t units = 0;
  switch (tLength) {
    case 0: units = 0; break;
    case 1: units = t.featuresOrError; break;
    case 2: units = t.count; break;
    default: return std::nullopt;  // length in the TPSIU: not used by any ATA command we carry
  }
  // A count of 0 in the 28-bit count field means 256 blocks, as on the wire.
  if (tLength == 2 && !c.extend && units == 0) units = 256;
  const std::uint32_t unitBytes = blocks ? 512u : 1u;
  (void)tTypeLogical;  // logical blocks are 512 bytes on the devices we model
  c.transferBytes = units * unitBytes;
  if (c.protocol == kAtaProtocolNonData) c.transferBytes = 0;
  return c;
}

std::vector<std::uint8_t> buildAtaStatusReturnDescriptor(const AtaTaskFile& r, bool extend) {
  std::vector<std::uint8_t> d(14, 0);
  d[0] = 0x09;
  d[1] = 0x0C;
  d[2] = extend ? 0x01 : 0x00;
  d[3] = static_cast<std::uint8_t>(r.featuresOrError);
  d[4] = extend ? static_cast<std::uint8_t>(r.count >> 8) : 0;
  d[5] = static_cast<std::uint8_t>(r.count);
  d[6] = extend ? static_cast<std::uint8_t>(r.lba >> 24) : 0;
  d[7] = static_cast<std::uint8_t>(r.lba);
  d[8] = extend ? static_cast<std::uint8_t>(r.lba >> 32) : 0;
  d[9] = static_cast<std::uint8_t>(r.lba >> 8);
  d[10] = extend ? static_cast<std::uint8_t>(r.lba >> 40) : 0;
  d[11] = static_cast<std::uint8_t>(r.lba >> 16);
  d[12] = r.device;
  d[13] = r.commandOrStatus;
  return d;
}

ScsiTargetResult completeAtaPassThrough(const AtaPassThroughCommand& command, const AtaTaskFile& returned,
                                        std::uint32_t transferred) {
  ScsiTargetResult r;
  r.transferred = transferred;
  const bool failed = returned.commandOrStatus & (kAtaStatusErr | kAtaStatusDf);
  if (!failed && !command.checkCondition) return r;
  r.status = kScsiStatusCheckCondition;
  const auto descriptor = buildAtaStatusReturnDescriptor(returned, command.extend);
  r.sense = failed ? buildDescriptorSense(kSenseAbortedCommand, 0x00, 0x00, descriptor)
                   : buildDescriptorSense(kSenseRecoveredError, 0x00, 0x1D, descriptor);
  return r;
}

std::optional<AtaTaskFile> findAtaStatusReturn(std::span<const std::uint8_t> sense, bool* extend) {
  if (sense.size() < 8 || (sense[0] & 0x7F) != 0x72) return std::nullopt;
  const std::size_t end = std::min<std::size_t>(sense.size(), 8u + sense[7]);
  for (std::size_t at = 8; at + 2 <= end;) {
    const std::size_t len = sense[at + 1];
    if (sense[at] == 0x09 && len >= 0x0C && at + 14 <= end) {
      const auto d = sense.subspan(at, 14);
      AtaTaskFile t;
      const bool ext = d[2] & 0x01;
      t.featuresOrError = d[3];
      t.count = static_cast<std::uint16_t>(d[5] | (ext ? d[4] << 8 : 0));
      t.lba = std::uint64_t{d[7]} | std::uint64_t{d[9]} << 8 | std::uint64_t{d[11]} << 16;
      if (ext) t.lba |= std::uint64_t{d[6]} << 24 | std::uint64_t{d[8]} << 32 | std::uint64_t{d[10]} << 40;
      t.device = d[12];
      t.commandOrStatus = d[13];
      if (extend) *extend = ext;
      return t;
    }
    at += 2 + len;
  }
  return std::nullopt;
}

std::vector<std::uint8_t> descriptorSenseToFixed(std::span<const std::uint8_t> sense) {
  const SenseSummary s = summarizeSense(sense);
  if (!s.valid) return buildFixedSense(kSenseNoSense, 0, 0);
  if (!s.descriptorFormat) return {sense.begin(), sense.end()};
  auto fixed = buildFixedSense(s.key, s.asc, s.ascq);
  bool extend = false;
  if (const auto t = findAtaStatusReturn(sense, &extend)) {
    fixed[0] |= 0x80;  // VALID: the INFORMATION field holds the registers
    fixed[3] = static_cast<std::uint8_t>(t->featuresOrError);
    fixed[4] = t->commandOrStatus;
    fixed[5] = t->device;
    fixed[6] = static_cast<std::uint8_t>(t->count);
    fixed[8] = static_cast<std::uint8_t>((extend ? 0x80 : 0) | ((t->count >> 8) ? 0x40 : 0) |
                                         ((t->lba >> 24) ? 0x20 : 0));
    fixed[9] = static_cast<std::uint8_t>(t->lba);
    fixed[10] = static_cast<std::uint8_t>(t->lba >> 8);
    fixed[11] = static_cast<std::uint8_t>(t->lba >> 16);
  }
  return fixed;
}

}  // namespace tervalo::usbip
