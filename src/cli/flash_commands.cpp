// tervaloctl firmware upgrade and flash write: the three-step upgrade and direct programming,
// with a progress bar on stderr.
#include "cli/flash_commands.h"

#include <CLI/CLI.hpp>

#include <memory>

#include "cli/controller_session.h"
#include "cli/flash_backup.h"
#include "cli/terminal_progress.h"
#include "firmware/firmware_file.h"
#include "firmware/upgrade.h"

namespace tervalo::cli {

namespace {

// Draws the progress bar while a flash operation runs and keeps other text off its line.
class TerminalRun {
 public:
  TerminalRun(CliContext& ctx, Console& console) : ui_(*ctx.ui), view_(ctx.err, console.protocol.progressCount) {
    ui_.setPendingEventsHook([this] { view_.tick(); });
    ui_.setBeforeTextHook([this] { view_.breakLine(); });
  }
  ~TerminalRun() {
    view_.breakLine();
    ui_.setPendingEventsHook({});
    ui_.setBeforeTextHook({});
  }
  TerminalRun(const TerminalRun&) = delete;
  TerminalRun& operator=(const TerminalRun&) = delete;

  TerminalProgressView& view() { return view_; }

 private:
  CliUi& ui_;
  TerminalProgressView view_;
};

// Loads and validates the image as "Load Firmware " does; its boxes go to stderr.
bool loadImageFile(CliContext& ctx, Console& console, const std::string& path) {
  const LoadResult r = LoadFirmwareFile(console, path);
  if (r.outcome != LoadOutcome::Accepted) {
    ctx.err << "Not a firmware image this console writes: " << r.reason << ".\n";
    return false;
  }
  ctx.out << "Loaded " << path << ": " << r.length << " bytes, " << checksumText(r.sum) << '\n';
  return true;
}

void reportFailedAfterTouch(CliContext& ctx, int device, const std::string& backup) {
  ctx.err << "FAILED after the flash of Device" << device
          << " was changed: the controller needs attention. Keep the enclosure powered and write the image "
             "again";
  if (!backup.empty())
    ctx.err << ", or put the backup back with 'tervaloctl flash write " << backup << " --device " << device << " --yes'";
  ctx.err << ".\n";
}

struct UpgradeArgs {
  std::string file;
  int device = 1;
  std::string backup;
  bool yes = false;
};

void runUpgrade(CliContext& ctx, const UpgradeArgs& a) {
  ctx.exitCode = kExitRefused;
  if (a.yes) ctx.assumeYes = true;
  Console* console = detectControllers(ctx);
  if (!console || !selectController(ctx, *console, a.device)) return;
  if (!loadImageFile(ctx, *console, a.file)) return;

  if (!a.backup.empty()) {
    if (!backupFlash(ctx, *console, a.device, console->protocol.spiSize, a.backup)) {
      ctx.err << "No backup, no upgrade: the flash of Device" << a.device << " was not touched.\n";
      return;
    }
    ctx.out << "Backed up " << console->protocol.spiSize << " bytes of flash from Device" << a.device << " into "
            << a.backup << '\n';
  }

  bool declined = false;
  FlashOutcome outcome;
  {
    TerminalRun run(ctx, *console);
    UpgradeOptions options;
    options.selectorPosition = a.device - 1;
    options.confirmErase = [&] {
      const MessageBoxRequest question = applicationBox(
          "Erase the flash of Device" + std::to_string(a.device) + " and write " + a.file + "?", "Firmware Upgrade",
          MessageIcon::Warning, MessageButtons::YesNo);
      declined = console->ui.showMessage(question) != MessageAnswer::Yes;
      return !declined;
    };
    outcome = StartUpgrade(*console, run.view(), options);
  }

  switch (outcome) {
    case FlashOutcome::Succeeded:
      ctx.out << "Device" << a.device
              << ": firmware written and verified. Power the enclosure off and on again to run the new firmware.\n";
      ctx.exitCode = 0;
      return;
    case FlashOutcome::Busy:
    case FlashOutcome::Refused:
      ctx.err << (declined ? "Upgrade cancelled" : "Upgrade refused") << ": the flash of Device" << a.device
              << " was not touched.\n";
      return;
    case FlashOutcome::Failed:
      reportFailedAfterTouch(ctx, a.device, a.backup);
      ctx.exitCode = kExitFlashFailed;
      return;
  }
}

struct WriteArgs {
  std::string file;
  int device = 1;
  bool offset49152 = false;
  std::string size = "4M";
  bool yes = false;
};

void runWrite(CliContext& ctx, const WriteArgs& a) {
  ctx.exitCode = kExitRefused;
  if (!a.yes && !ctx.assumeYes) {
    ctx.err << "flash write erases and reprograms the controller's flash with no checks and no read-back; "
               "give --yes to do it (to upgrade firmware safely use 'tervaloctl firmware upgrade').\n";
    return;
  }
  ctx.assumeYes = true;
  Console* console = detectControllers(ctx);
  if (!console || !selectController(ctx, *console, a.device)) return;
  console->protocol.spiSize = spiSizeForButton(std::stoi(a.size));
  if (!loadImageFile(ctx, *console, a.file)) return;

  FlashOutcome outcome;
  {
    TerminalRun run(ctx, *console);
    DirectProgrammingOptions options;
    options.selectorPosition = a.device - 1;
    options.offset49152 = a.offset49152;
    outcome = FileToSpi(*console, run.view(), options);
  }
  const std::uint32_t start = a.offset49152 ? kDirectProgrammingOffset : 0;
  switch (outcome) {
    case FlashOutcome::Succeeded:
      ctx.out << "Device" << a.device << ": wrote " << (console->protocol.spiSize - start) << " bytes of flash from 0x"
              << std::hex << start << std::dec << " (not read back).\n";
      ctx.exitCode = 0;
      return;
    case FlashOutcome::Busy:
    case FlashOutcome::Refused:
      ctx.err << "Not written: the flash of Device" << a.device << " was not touched.\n";
      return;
    case FlashOutcome::Failed:
      reportFailedAfterTouch(ctx, a.device, {});
      ctx.exitCode = kExitFlashFailed;
      return;
  }
}

}  // namespace

void addFirmwareUpgradeCommand(CLI::App& firmware, CliContext& ctx) {
  auto a = std::make_shared<UpgradeArgs>();
  auto* cmd = firmware.add_subcommand(
      "upgrade", "Upgrade a controller's firmware: erase, program and verify its flash (exit 1: refused, "
                 "flash untouched; 2: failed after the flash was changed)");
  cmd->add_option("FILE", a->file, "Firmware image file")->required();
  cmd->add_option("--device", a->device, "Controller page, 1-based")->check(CLI::Range(1, 4));
  cmd->add_option("--backup", a->backup, "First read the whole flash into this file; no upgrade without it");
  cmd->add_flag("--yes,-y", a->yes, "Do not ask before erasing");
  cmd->callback([&ctx, a] { runUpgrade(ctx, *a); });
}

void addFlashWriteCommand(CLI::App& flash, CliContext& ctx) {
  auto a = std::make_shared<WriteArgs>();
  auto* cmd = flash.add_subcommand(
      "write", "Engineering: erase and program the flash from an image file, no checks, no read-back "
               "(exit 1: refused, flash untouched; 2: failed after the flash was changed)");
  cmd->add_option("FILE", a->file, "Firmware image file")->required();
  cmd->add_option("--device", a->device, "Controller page, 1-based")->check(CLI::Range(1, 4));
  cmd->add_flag("--offset-49152", a->offset49152, "Leave the first 49152 bytes (the head's slot) alone");
  cmd->add_option("--size", a->size, "Flash size in megabits: 1M, 2M, 4M (default) or 8M")
      ->check(CLI::IsMember({"1M", "2M", "4M", "8M"}));
  cmd->add_flag("--yes,-y", a->yes, "Required: confirms the write");
  cmd->callback([&ctx, a] { runWrite(ctx, *a); });
}

}  // namespace tervalo::cli
