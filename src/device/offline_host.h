#pragma once
// A raw disk host that opens nothing: for work on files alone that must never touch the host's
// disks, and for measurements of the layers above the disks.
#include "device/raw_disk_host.h"

namespace tervalo {

class OfflineHost final : public RawDiskHost {
 public:
  std::vector<VolumeInfo> listVolumes() override { return {}; }
  HostHandle openPhysicalDrive(int) override { return kInvalidHandle; }
  HostHandle openVolume(const std::string&) override { return kInvalidHandle; }
  bool volumeExtent(HostHandle, DiskExtent&) override { return false; }
  bool sendScsi(HostHandle, const ScsiRequest&) override { return false; }
  bool sendAta(HostHandle, AtaRegisters&, std::uint8_t*, std::uint32_t) override { return false; }
  void rescanBus(HostHandle) override {}
  void close(HostHandle) override {}
  std::string lastOpenError() const override { return "no disks are opened by this command"; }
};

}  // namespace tervalo
