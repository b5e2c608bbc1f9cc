#pragma once
// The settings order (buzzer, automatic scan) and the scan order (start or stop a surface scan),
// both command sectors written at the command LBA on every access path.
#include <cstdint>

#include "core/console.h"

namespace tervalo {

bool WriteControllerSettings(Console& console);
bool SendScanCommand(Console& console);

// The last LBA of a scan over the whole array: capacity − 1 in 64 bits (all ones for 0).
inline std::uint64_t scanLastLbaFor(std::uint64_t arrayCapacity) { return arrayCapacity - 1; }

}  // namespace tervalo
