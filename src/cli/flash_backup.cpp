#include "cli/flash_backup.h"

#include <filesystem>
#include <fstream>
#include <vector>

#include "protocol/command_channel.h"
#include "protocol/spi_flash.h"

namespace tervalo::cli {

bool backupFlash(CliContext& ctx, Console& console, int device, std::uint32_t size, const std::string& output) {
  std::vector<std::uint8_t> data((size + 511) / 512 * 512, 0xFF);

  console.protocol.upgradeTarget = device - 1;
  bool ok = false;
  if (SendModeCommand(console, ModeUpgradeEnter)) {
    console.protocol.progressCount = 0;
    ok = ReadSpi(console, 0, size, data.data());
    // Upgrade mode is left on every path once it was entered.
    if (!SendModeCommand(console, ModeUpgradeLeave)) ok = false;
  }
  console.protocol.upgradeTarget = kNoUpgradeTarget;
  if (!ok) {
    ctx.err << "Flash read failed; no backup written.\n";
    return false;
  }

  // Written beside the target and renamed into place, so a failure never leaves a partial file
  // under the backup's name.
  const std::filesystem::path target(output);
  const std::filesystem::path temp = target.string() + ".part";
  {
    std::ofstream file(temp, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data.data()), size);
    file.flush();
    if (!file) {
      ctx.err << "Cannot write " << temp.string() << ".\n";
      std::error_code ec;
      std::filesystem::remove(temp, ec);
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temp, target, ec);
  if (ec) {
    ctx.err << "Cannot create " << target.string() << ": " << ec.message() << ".\n";
    std::filesystem::remove(temp, ec);
    return false;
  }
  return true;
}

}  // namespace tervalo::cli
