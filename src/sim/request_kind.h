#pragma once
// Every request the simulated host receives is classified into one fine-grained kind, so that
// faults, counters and the order log can name exactly what they mean.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tervalo::sim {

enum class RequestKind : std::uint8_t {
  Open,               // open of a physical drive
  Inquiry,            // INQUIRY
  PlainRead,          // READ(10) of ordinary data
  PlainWrite,         // WRITE(10) of ordinary data
  IdentifyRead,       // READ(10) of LBA 58 on a mailbox controller
  StatusRead,         // READ(10) of LBA 33 on a mailbox or vendor ATA controller
  WindowRead,         // READ(10) of LBA 60 on a mailbox or vendor ATA controller
  ModeSpiClose,       // mode order 2
  ModeSpiOpen,        // mode order 3
  ModeLowOpen,        // mode order 4
  ModeLowClose,       // mode order 5
  ModeUpgradeLeave,   // mode order 16
  ModeUpgradeEnter,   // mode order 17
  SpiReadOrder,       // command sector 0x00/0x03 or ATA 0x88 features 0x01
  SpiProgramOrder,    // command sector 0x02/0x02
  SpiEraseOrder,      // command sector 0x01/0x20
  SettingsOrder,      // command sector 0x20
  ScanOrder,          // command sector 0x24
  BadCommandSector,   // a sector written to an order address without signature or valid checksum
  UnknownOrder,       // a well-formed command sector or ATA 0x88 order the controller does not know
  VendorRead,         // vendor block 0x85, probe marker clear
  VendorProbeRead,    // vendor block 0x85, probe marker set
  VendorProgram,      // vendor block 0x89
  VendorErase,        // vendor block 0x81
  VendorIdentify,     // vendor block 0x8B
  VendorQuery,        // vendor block 0x78
  VendorUnknown,      // any other block beginning 0xFE, or a vendor block in the wrong form
  AtaIdentify,        // ATA IDENTIFY DEVICE
  AtaOther,           // any other ATA command
  OtherScsi,          // any other SCSI command
  Count_
};

inline constexpr std::size_t kRequestKindCount = static_cast<std::size_t>(RequestKind::Count_);

// For people: "status read (LBA 33)", "mode order 17 (upgrade enter)", ...
std::string requestKindName(RequestKind kind);
// The identifier used in scenario files: "status_read", "mode_upgrade_enter", ...
std::string_view requestKindId(RequestKind kind);
std::optional<RequestKind> parseRequestKind(std::string_view id);
// The mode order of a mode value (2..5, 16, 17), nothing for other values.
std::optional<RequestKind> modeOrderKind(std::uint8_t modeValue);

}  // namespace tervalo::sim
