#pragma once
// The six pass-through transports: READ(10), WRITE(10), INQUIRY, the vendor query, the vendor
// command block and an ATA command. They know nothing of the protocol, open and close nothing,
// and report completion of the request as a boolean.
#include <cstdint>

#include "core/console.h"
#include "device/drive_handle.h"

namespace tervalo {

inline constexpr std::uint32_t kScsiTimeoutSeconds = 2;
inline constexpr std::uint32_t kInquiryTimeoutSeconds = 200;
inline constexpr std::uint32_t kInquiryLength = 36;
inline constexpr std::uint32_t kVendorQueryLength = 20;
inline constexpr std::uint8_t kVendorPrefix = 0xFE;
inline constexpr std::uint8_t kVendorQuerySubCommand = 0x78;
inline constexpr std::uint8_t kAtaIdentifyDevice = 0xEC;
inline constexpr std::uint8_t kAtaVendorCommand = 0x88;
// The largest ATA transfer the 8-bit sector count can express.
inline constexpr std::uint32_t kMaxAtaSectors = 255;

// The kinds of vendor command block the console sends.
enum class VendorCdbKind : std::uint8_t {
  VendorSpiRead = 1,
  VendorSpiProgram = 2,
  VendorSpiErase = 3,
  VendorSpiProbeRead = 4,
  VendorIdentifyRead = 16,
};

struct VendorCdbLayout {
  std::uint8_t subCommand;
  bool dataIn;
  std::uint32_t length;
  std::uint8_t marker;
};
// Sub-command, direction, length and probe marker of each kind.
VendorCdbLayout vendorCdbLayout(VendorCdbKind kind);

// The command blocks, built byte for byte.
ScsiRequest buildReadSectorsRequest(std::uint32_t lba, std::uint8_t* buffer, std::uint32_t sectors);
ScsiRequest buildWriteSectorsRequest(std::uint32_t lba, std::uint8_t* buffer, std::uint32_t sectors);
ScsiRequest buildInquiryRequest(std::uint8_t* buffer);
ScsiRequest buildVendorQueryRequest(bool singlePrefix, std::uint8_t* buffer);
ScsiRequest buildVendorCdbRequest(bool singlePrefix, VendorCdbKind kind, std::uint8_t* buffer, std::uint32_t address);

bool ReadSectors(const DriveHandle& handle, std::uint32_t lba, std::uint8_t* buffer, std::uint32_t sectors);
bool WriteSectors(const DriveHandle& handle, std::uint32_t lba, std::uint8_t* buffer, std::uint32_t sectors);
bool ScsiInquiry(const DriveHandle& handle, std::uint8_t* buffer);
// Vendor sub-command 0x78: 20 bytes into `ScratchSector`. The form follows `SinglePrefixCdb`.
bool SendVendorQuery(Console& console, const DriveHandle& handle);
// Vendor command block of `kind` at a 24-bit flash address; the form follows `SinglePrefixCdb`.
bool SendVendorCdb(Console& console, const DriveHandle& handle, VendorCdbKind kind, std::uint8_t* buffer,
                   std::uint32_t address);
// ATA command: registers always updated from the answer; on success sectors × 512 bytes into
// buffer. IDENTIFY DEVICE first asks the host to rescan the bus.
bool SendAtaCommand(Console& console, const DriveHandle& handle, AtaRegisters& registers, std::uint8_t* buffer,
                    std::uint32_t sectors);

}  // namespace tervalo
