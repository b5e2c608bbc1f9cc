#pragma once
// The host's volumes, the openable physical drives and the drive table.
#include <string>

#include "core/console.h"
#include "device/drive_handle.h"

namespace tervalo {

// Opens physical drive n (0..9) for reading and writing. An invalid handle on failure; nothing
// is shown.
DriveHandle OpenDrive(RawDiskHost& host, int physicalDrive);
// Opens a volume by its identity.
DriveHandle OpenVolume(RawDiskHost& host, const std::string& identity);

// Fills `DriveLetters` with at most 24 volume identities in the host's order and returns their
// number; the caller stores it in `DriveLetterCount`.
int ScanLogicalDrives(Console& console);
// How many of the physical drives 0..9 can be opened. All ten are always tried.
int CountPhysicalDrives(Console& console);
// Fills drive table rows 0.. from `DriveLetters`, bounded by `DriveLetterCount` and 20.
void BuildDriveTable(Console& console);

// The identities of every meaningful fixed-disk row on physical drive n, in table order,
// joined by `separator`.
std::string VolumesOfPhysicalDrive(const DeviceState& device, int physicalDrive, const std::string& separator = ",");

}  // namespace tervalo
