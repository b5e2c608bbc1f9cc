#pragma once
// Reading the kernel's block device tree (<sysfs>/block): which whole SCSI disks exist, in what
// order, and which volumes the host's disks carry. Every read tolerates missing, empty and
// malformed attribute files: such an entry is skipped or its value reported as unknown.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tervalo {

// Kernel naming order of block devices: shorter names first, then by name, so that sdz comes
// before sdaa and sdb2 before sdb10.
bool kernelNameLess(const std::string& a, const std::string& b);

// A whole SCSI disk name: "sd" followed by one or more lower-case letters (sda, sdaa).
bool isScsiDiskName(const std::string& name);

// Whether a whole block device of this name can hold volumes the console lists (SCSI, NVMe,
// MMC/SD, virtio, IDE and Xen disks); loop, RAM, zram, device-mapper, md, optical and floppy
// devices cannot.
bool isVolumeDiskName(const std::string& name);

// Reads a sysfs attribute holding one unsigned decimal number (surrounding white space allowed).
// Empty when the file is missing, empty, not a number or out of range.
std::optional<std::uint64_t> readSysfsNumber(const std::string& path);

// The whole SCSI disks under <sysfsRoot>/block in kernel order: index n is physical drive n.
std::vector<std::string> listScsiDisks(const std::string& sysfsRoot);

// One volume: a partition of a disk, or a whole disk that has no partitions.
struct BlockVolume {
  std::string name;       // kernel name, "sdb1"
  std::string disk;       // the whole disk it lies on, "sdb"
  std::string sysfsPath;  // <sysfsRoot>/block/sdb/sdb1, or <sysfsRoot>/block/sdb for a whole disk
  bool partition = false;
  std::optional<bool> removable;  // the disk's removable flag; empty when it cannot be read
};

// Every volume of the disks that can hold volumes, disks in kernel order and each disk's
// partitions in kernel order.
std::vector<BlockVolume> listBlockVolumes(const std::string& sysfsRoot);

}  // namespace tervalo
