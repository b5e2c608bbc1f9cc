#pragma once
// One drive of the simulated enclosure behind the USB mass-storage device: what a real
// enclosure's USB/SATA bridge does with the host's command blocks.
//
// - SCSI command blocks of up to 10 bytes go to the simulator as the console's requests do; its
//   CHECK CONDITION comes back with fixed-format sense (key, ASC, ASCQ).
// - ATA PASS-THROUGH (16) and (12) run the ATA command on the simulator; the returned registers
//   come back in the ATA Status Return descriptor when CK_COND is set or the command failed.
//   A controller without the ATA path refuses the block as an unknown operation code.
// - A request the simulator could not carry while the drive is gone (a vanish fault, an unplug
//   step of the scenario) drops the USB device: the host sees the enclosure unplugged.
// INQUIRY, READ CAPACITY and the other housekeeping commands are the USB device's own; it takes
// its INQUIRY texts from identityForDrive().
#include <cstdint>

#include "sim/scenario.h"
#include "sim/simulated_host.h"
#include "sim/usbip/mass_storage_device.h"
#include "sim/usbip/scsi_target.h"

namespace tervalo::usbip {

class SimScsiTarget final : public ScsiTarget {
 public:
  // `drive` is the physical drive number of `config` in `host`.
  SimScsiTarget(sim::SimulatedHost& host, const sim::DriveConfig& config);

  ScsiTargetResult execute(std::span<const std::uint8_t> cdb, bool dataIn, std::uint8_t* data,
                           std::uint32_t length) override;
  std::uint64_t capacitySectors() override { return sectors_; }

  int drive() const { return drive_; }

 private:
  ScsiTargetResult ataPassThrough(std::span<const std::uint8_t> cdb, bool dataIn, std::uint8_t* data,
                                  std::uint32_t length);
  // The answer to a request the simulator did not carry: the device is gone, or (drive still
  // present) the bridge refused it.
  ScsiTargetResult notCarried() const;

  sim::SimulatedHost& host_;
  int drive_;
  std::uint64_t sectors_;
};

// The USB and INQUIRY identity of a simulated drive: the drive's INQUIRY texts and additional
// length (31 for every controller, so the console's INQUIRY test passes through the kernel) and
// an SPC-4 version, so that the kernel asks for full-size sense.
DeviceIdentity identityForDrive(const sim::DriveConfig& config);

}  // namespace tervalo::usbip
