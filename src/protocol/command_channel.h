#pragma once
// The command sector and the mode orders that switch a controller into and out of SPI access,
// the protected low region and upgrade mode.
#include <cstdint>
#include <optional>

#include "core/console.h"
#include "device/drive_handle.h"

namespace tervalo {

// Byte positions of the command sector.
namespace cmd {
inline constexpr std::size_t kCommandCode = 2;
inline constexpr std::size_t kSubCode = 3;
inline constexpr std::size_t kAddress = 4;  // 24-bit big-endian
inline constexpr std::size_t kPayload = 7;
inline constexpr std::size_t kWriteMarker = 509;
inline constexpr std::size_t kChecksum = 510;  // 16-bit little-endian
inline constexpr std::uint8_t kWriteMarkerValue = 0x55;
}  // namespace cmd

// Fixed block addresses of the protocol.
inline constexpr std::uint32_t kCommandLba = 20;
inline constexpr std::uint32_t kStatusLba = 33;
inline constexpr std::uint32_t kSpiWindowLba = 60;

// Mode values of SendModeCommand.
enum ModeValue : std::uint8_t {
  ModeSpiClose = 2,
  ModeSpiOpen = 3,
  ModeLowRegionOpen = 4,
  ModeLowRegionClose = 5,
  ModeUpgradeLeave = 16,
  ModeUpgradeEnter = 17,
};

// The lowest flash address outside the protected low region.
inline constexpr std::uint32_t kLowRegionEnd = 0xC000;

// Sum of bytes 7..509, as stored in bytes 510..511 (low 16 bits).
std::uint16_t commandSectorChecksum(const Sector& sector);
// Writes "3X" into bytes 0..1 and the checksum of bytes 7..509 into bytes 510..511.
void StampCommandSector(Sector& sector);
inline void StampCommandSector(Console& console) { StampCommandSector(console.protocol.commandSector); }

// Seeds the program's pseudo-random generator.
void seedRandom(Console& console, std::uint32_t seed);
// Next 15-bit value of the program's pseudo-random generator.
std::uint16_t nextRandom(Console& console);
// A fresh request LBA in 3..130, remembered for failure texts.
std::uint8_t NextRequestLba(Console& console);

// The index of the controller that mode orders and flash work address: the upgrade target when
// one is set, else the current controller.
int addressedController(const Console& console);
// Its ControllerFlags, or nothing when the index names no listed controller.
std::optional<std::uint8_t> controllerFlags(const Console& console, int index);

// Sends one mode order to the addressed controller. Modes 2..5 travel over `held`, the handle of
// the calling flash operation; modes 16 and 17 open their own. True on success and on the vendor
// SCSI path, which takes no mode orders.
bool SendModeCommand(Console& console, std::uint8_t mode, const DriveHandle& held = DriveHandle());

// Shared failure reports.
void reportNoDevice(Console& console);       // "Device not found!!!" + "No Device found !"
void reportNoUpgradeMode(Console& console);  // "No Upgrade Mode!!!" + "No Upgrade Mode !"
void reportInvalidDrive(Console& console);   // "Invalid Drive"
// Writes the command sector at `lba`; on failure the "Write Error for LBA = ..." text.
bool writeCommandSectorAt(Console& console, const DriveHandle& handle, std::uint32_t lba);
// Draws a request LBA and writes the command sector there; on failure the "Write Error at
// Sec_CNT=1 LBA=" text.
bool writeCommandSectorAtRequestLba(Console& console, const DriveHandle& handle);

}  // namespace tervalo
