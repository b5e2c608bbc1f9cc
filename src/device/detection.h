#pragma once
// Finds the RAID bridge controllers among physical drives 0..9 by their "3X" signature and
// records how each one is reached.
#include "core/console.h"

namespace tervalo {

// The drive table, then the controller probe; stores the new controller count.
void DetectDevices(Console& console);
// Takes both drive counts as start-up does, then runs one detection: what a program that starts,
// looks once and acts needs.
void countDrivesAndDetect(Console& console);
// Probes the physical drives, fills ControllerList slots 0.. and IdentifyData, returns the
// number of controllers recorded (at most eight).
int ProbeControllers(Console& console);

// The access path named by a ControllerFlags value, for people ("mailbox", "vendor ATA", ...).
const char* accessPathName(std::uint8_t flags);

}  // namespace tervalo
