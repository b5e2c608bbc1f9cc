#pragma once
// What the controller commands share: a detection run like the window's start-up, and the
// choice of the controller a command addresses.
#include "cli/tervaloctl.h"

namespace tervalo::cli {

// Counts the drives and runs one detection. Nullptr after printing the reason when no console
// could be built.
Console* detectControllers(CliContext& ctx);
// Makes the controller of page `device` (1-based) the current one; false after printing why
// when there is no such controller.
bool selectController(CliContext& ctx, Console& console, int device);
// Reads the current controller's status record into its page slot.
bool readCurrentRecord(Console& console, Sector& record);

}  // namespace tervalo::cli
