#pragma once
// Reading a controller's whole flash into a file: `flash read` and the backup before an upgrade.
#include <cstdint>
#include <string>

#include "cli/tervaloctl.h"

namespace tervalo::cli {

// Reads `size` bytes of flash from the controller of page `device` (1-based) and writes them to
// `output`. The file appears under its name only once it is complete. Prints why on failure.
bool backupFlash(CliContext& ctx, Console& console, int device, std::uint32_t size, const std::string& output);

}  // namespace tervalo::cli
