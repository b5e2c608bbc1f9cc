#include "sim/request_kind.h"

#include <array>

namespace tervalo::sim {

namespace {
struct KindNames {
  std::string_view id;
  std::string_view name;
};

constexpr std::array<KindNames, kRequestKindCount> kNames{{
    {"open", "open"},
    {"inquiry", "INQUIRY"},
    {"plain_read", "plain read"},
    {"plain_write", "plain write"},
    {"identify_read", "identify read (LBA 58)"},
    {"status_read", "status read (LBA 33)"},
    {"window_read", "window read (LBA 60)"},
    {"mode_spi_close", "mode order 2 (spi close)"},
    {"mode_spi_open", "mode order 3 (spi open)"},
    {"mode_low_open", "mode order 4 (low open)"},
    {"mode_low_close", "mode order 5 (low close)"},
    {"mode_upgrade_leave", "mode order 16 (upgrade leave)"},
    {"mode_upgrade_enter", "mode order 17 (upgrade enter)"},
    {"spi_read_order", "spi read order"},
    {"spi_program_order", "spi program order"},
    {"spi_erase_order", "spi erase order"},
    {"settings_order", "settings order"},
    {"scan_order", "scan order"},
    {"bad_command_sector", "bad command sector"},
    {"unknown_order", "unknown order"},
    {"vendor_read", "vendor read"},
    {"vendor_probe_read", "vendor probe read"},
    {"vendor_program", "vendor program"},
    {"vendor_erase", "vendor erase"},
    {"vendor_identify", "vendor identify"},
    {"vendor_query", "vendor query"},
    {"vendor_unknown", "vendor unknown command"},
    {"ata_identify", "ATA IDENTIFY"},
    {"ata_other", "ATA other command"},
    {"other_scsi", "other SCSI command"},
}};
}  // namespace

std::string requestKindName(RequestKind kind) {
  const auto i = static_cast<std::size_t>(kind);
  return i < kNames.size() ? std::string(kNames[i].name) : std::string("?");
}

std::string_view requestKindId(RequestKind kind) {
  const auto i = static_cast<std::size_t>(kind);
  return i < kNames.size() ? kNames[i].id : std::string_view("?");
}

std::optional<RequestKind> parseRequestKind(std::string_view id) {
  for (std::size_t i = 0; i < kNames.size(); ++i)
    if (kNames[i].id == id) return static_cast<RequestKind>(i);
  return std::nullopt;
}

std::optional<RequestKind> modeOrderKind(std::uint8_t modeValue) {
  switch (modeValue) {
    case 2: return RequestKind::ModeSpiClose;
    case 3: return RequestKind::ModeSpiOpen;
    case 4: return RequestKind::ModeLowOpen;
    case 5: return RequestKind::ModeLowClose;
    case 16: return RequestKind::ModeUpgradeLeave;
    case 17: return RequestKind::ModeUpgradeEnter;
    default: return std::nullopt;
  }
}

}  // namespace tervalo::sim
