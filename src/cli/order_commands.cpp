// tervaloctl set, scan and flash read: orders to one controller.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "cli/controller_session.h"
#include "cli/flash_backup.h"
#include "cli/flash_commands.h"
#include "core/bytes.h"
#include "protocol/setting_orders.h"

namespace tervalo::cli {

namespace {

constexpr std::size_t kSettingFlagsOffset = 56;
constexpr std::size_t kArrayCapacityOffset = 98;

struct SetOptions {
  int device = 1;
  std::string buzzer;
  std::string autoScan;
};

void runSet(CliContext& ctx, const SetOptions& o) {
  ctx.exitCode = 1;
  if (o.buzzer.empty() && o.autoScan.empty()) {
    ctx.err << "Nothing to set: give --buzzer on|off and/or --auto-scan on|off.\n";
    return;
  }
  Console* console = detectControllers(ctx);
  if (!console || !selectController(ctx, *console, o.device)) return;
  // A setting not given keeps the controller's current value.
  Sector record{};
  if (!readCurrentRecord(*console, record)) return;
  const std::uint8_t flags = record[kSettingFlagsOffset];
  bool buzzerOn = flags & 0x01;
  bool autoScan = flags & 0x02;
  if (!o.buzzer.empty()) buzzerOn = o.buzzer == "on";
  if (!o.autoScan.empty()) autoScan = o.autoScan == "on";
  console->controls.buzzerMuteChecked = !buzzerOn;
  console->controls.autoScanChecked = autoScan;
  if (!WriteControllerSettings(*console)) return;
  ctx.out << "Device" << o.device << ": buzzer " << (buzzerOn ? "on" : "muted") << ", automatic scan "
          << (autoScan ? "on" : "off") << " ordered.\n";
  ctx.exitCode = 0;
}

struct ScanOptions {
  int device = 1;
  std::string action;
  int port = -1;
};

void runScan(CliContext& ctx, const ScanOptions& o) {
  ctx.exitCode = 1;
  Console* console = detectControllers(ctx);
  if (!console || !selectController(ctx, *console, o.device)) return;
  Sector record{};
  if (!readCurrentRecord(*console, record)) return;
  auto& controls = console->controls;
  controls.scanStart = o.action == "start" ? 1 : 0;
  controls.scanPort = static_cast<std::uint8_t>(o.port);
  controls.scanFirstLba = 0;
  controls.scanLastLba = scanLastLbaFor(readLe(record, kArrayCapacityOffset, 5));
  if (!SendScanCommand(*console)) return;
  ctx.out << "Device" << o.device << ": " << (controls.scanStart ? "start" : "stop") << " of the P" << o.port
          << " scan ordered (LBA 0.." << controls.scanLastLba << ").\n";
  ctx.exitCode = 0;
}

struct FlashReadOptions {
  int device = 1;
  std::string output;
  std::uint32_t size = 0;
};

void runFlashRead(CliContext& ctx, const FlashReadOptions& o) {
  ctx.exitCode = 1;
  Console* console = detectControllers(ctx);
  if (!console || !selectController(ctx, *console, o.device)) return;
  const std::uint32_t size = o.size ? o.size : console->protocol.spiSize;
  if (!backupFlash(ctx, *console, o.device, size, o.output)) return;
  ctx.out << "Read " << size << " bytes of flash from Device" << o.device << " into " << o.output << ".\n";
  ctx.exitCode = 0;
}

}  // namespace

void addOrderCommands(CLI::App& app, CliContext& ctx) {
  auto set = std::make_shared<SetOptions>();
  auto* setCmd = app.add_subcommand("set", "Switch the buzzer and the automatic surface scan of a controller");
  setCmd->add_option("--device", set->device, "Controller page, 1-based")->check(CLI::Range(1, 4));
  setCmd->add_option("--buzzer", set->buzzer, "on or off")->check(CLI::IsMember({"on", "off"}));
  setCmd->add_option("--auto-scan", set->autoScan, "on or off")->check(CLI::IsMember({"on", "off"}));
  setCmd->callback([&ctx, set] { runSet(ctx, *set); });

  auto scan = std::make_shared<ScanOptions>();
  auto* scanCmd = app.add_subcommand("scan", "Start or stop a surface scan of one port over the whole array");
  scanCmd->add_option("action", scan->action, "start or stop")->required()->check(CLI::IsMember({"start", "stop"}));
  scanCmd->add_option("--port", scan->port, "0 for P0, 1 for P1")->required()->check(CLI::Range(0, 1));
  scanCmd->add_option("--device", scan->device, "Controller page, 1-based")->check(CLI::Range(1, 4));
  scanCmd->callback([&ctx, scan] { runScan(ctx, *scan); });

  auto* flash = app.add_subcommand("flash", "Read and write the controller's SPI flash");
  flash->require_subcommand(1);
  auto read = std::make_shared<FlashReadOptions>();
  auto* readCmd = flash->add_subcommand("read", "Read the whole flash into a file");
  readCmd->add_option("-o,--output", read->output, "Backup file")->required();
  readCmd->add_option("--size", read->size, "Bytes to read (default: the flash size, 524288)")
      ->check(CLI::Range(1u, 0x1000000u));
  readCmd->add_option("--device", read->device, "Controller page, 1-based")->check(CLI::Range(1, 4));
  readCmd->callback([&ctx, read] { runFlashRead(ctx, *read); });
  addFlashWriteCommand(*flash, ctx);
}

}  // namespace tervalo::cli
