#include "sim/usbip/sim_scsi_target.h"

#include <algorithm>
#include <array>

#include "sim/usbip/ata_pass_through.h"
#include "sim/usbip/scsi_sense.h"

namespace tervalo::usbip {

namespace {
constexpr std::size_t kConsoleCdbMax = 10;
constexpr std::uint32_t kSectorBytes = 512;
// Larger than any command of the console; the simulator's requests carry no time-out of their own.
constexpr std::uint32_t kRequestTimeoutSeconds = 30;
}  // namespace

SimScsiTarget::SimScsiTarget(sim::SimulatedHost& host, const sim::DriveConfig& config)
    : host_(host), drive_(config.number), sectors_(config.sectors) {}

ScsiTargetResult SimScsiTarget::notCarried() const {
  ScsiTargetResult r;
  if (!host_.drivePresent(drive_)) {
    r.completed = false;
    return r;
  }
  // The drive is there but the request failed inside the enclosure: the bridge reports an
  // aborted command.
  return checkCondition(kSenseAbortedCommand, 0x00, 0x00);
}

ScsiTargetResult SimScsiTarget::execute(std::span<const std::uint8_t> cdb, bool dataIn, std::uint8_t* data,
                                        std::uint32_t length) {
  if (cdb.empty()) return invalidOpcode();
  if (cdb[0] == kAtaPassThrough16 || cdb[0] == kAtaPassThrough12) return ataPassThrough(cdb, dataIn, data, length);
  if (cdb.size() > kConsoleCdbMax) return invalidOpcode();

  ScsiRequest request;
  std::copy(cdb.begin(), cdb.end(), request.cdb.begin());
  request.cdbLength = static_cast<std::uint8_t>(cdb.size());
  request.dataIn = dataIn;
  request.data = length != 0 ? data : nullptr;
  request.dataLength = length;
  request.timeoutSeconds = kRequestTimeoutSeconds;
  const sim::ScsiOutcome outcome = host_.executeScsi(drive_, request);
  if (!outcome.completed) return notCarried();

  ScsiTargetResult r;
  if (outcome.status != sim::kScsiGood) {
    r = checkCondition(outcome.senseKey, outcome.asc, outcome.ascq);
    r.transferred = 0;
    return r;
  }
  r.transferred = std::min(outcome.transferred, length);
  return r;
}

ScsiTargetResult SimScsiTarget::ataPassThrough(std::span<const std::uint8_t> cdb, bool dataIn, std::uint8_t* data,
                                               std::uint32_t length) {
  const auto command = decodeAtaPassThrough(cdb);
  if (!command) return invalidFieldInCdb();
  // The console's ATA commands are 28-bit PIO data-in or non-data, whole sectors at a time.
  if (command->extend || (command->protocol != kAtaProtocolNonData && command->protocol != kAtaProtocolPioDataIn))
    return invalidFieldInCdb();
  if (command->transferBytes % kSectorBytes != 0 || (command->transferBytes != 0 && !command->dataIn))
    return invalidFieldInCdb();
  // The host's buffer must hold what the ATA command moves in the direction it moves it.
  if (command->transferBytes > length || (command->transferBytes != 0 && !dataIn)) return invalidFieldInCdb();

  const std::uint32_t sectors = command->transferBytes / kSectorBytes;
  const sim::AtaOutcome outcome =
      host_.executeAta(drive_, command->toAtaRegisters(), sectors != 0 ? data : nullptr, sectors);
  if (!outcome.completed) {
    if (!host_.drivePresent(drive_)) return notCarried();
    // A bridge that does not translate ATA PASS-THROUGH refuses the block.
    return invalidOpcode();
  }
  return completeAtaPassThrough(*command, taskFileFromReturnedRegisters(outcome.returned),
                                std::min(outcome.transferred, command->transferBytes));
}

DeviceIdentity identityForDrive(const sim::DriveConfig& config) {
  DeviceIdentity identity;
  identity.scsiVendor = config.vendor;
  identity.scsiProduct = config.product;
  identity.scsiRevision = config.controller ? config.controller->identify.firmwareRevision.substr(0, 4)
                                            : config.identify.firmwareRevision.substr(0, 4);
  identity.inquiryAdditionalLength = config.inquiryAdditionalLength;
  identity.inquiryVersion = 0x06;
  const std::string& serial = config.controller ? config.controller->identify.serial : config.identify.serial;
  if (!serial.empty()) identity.serial = serial;
  identity.product = config.controller ? "Simulated RAID enclosure" : "Simulated disk";
  return identity;
}

}  // namespace tervalo::usbip
