#pragma once
// The commands that write a controller's flash: `firmware upgrade` and `flash write`.
namespace CLI {
class App;
}

namespace tervalo::cli {

struct CliContext;

// Adds `upgrade` to the `firmware` group.
void addFirmwareUpgradeCommand(CLI::App& firmware, CliContext& ctx);
// Adds `write` to the `flash` group.
void addFlashWriteCommand(CLI::App& flash, CliContext& ctx);

// Exit codes of the flash-writing commands.
inline constexpr int kExitRefused = 1;      // stopped before the flash was touched
inline constexpr int kExitFlashFailed = 2;  // failed after the flash was touched

}  // namespace tervalo::cli
