#pragma once
// The Linux raw disk interface: sysfs enumeration, SG_IO for SCSI commands, SAT ATA
// PASS-THROUGH(16) for ATA commands.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/raw_disk_host.h"

struct sg_io_hdr;

namespace tervalo {

// The system calls the host makes, behind a seam so that tests can check what is sent and
// feed back what the kernel would answer.
class LinuxSystem {
 public:
  virtual ~LinuxSystem() = default;
  virtual int open(const std::string& path, int flags) = 0;  // -1 and errno on failure
  virtual int close(int fd) = 0;
  virtual int sgIo(int fd, sg_io_hdr* hdr) = 0;  // ioctl(fd, SG_IO, hdr)
};

// The real system calls.
std::unique_ptr<LinuxSystem> makeRealLinuxSystem();

class LinuxDiskHost final : public RawDiskHost {
 public:
  explicit LinuxDiskHost(std::string sysfsRoot = "/sys", std::string devRoot = "/dev",
                         std::unique_ptr<LinuxSystem> system = makeRealLinuxSystem());
  ~LinuxDiskHost() override;

  std::vector<VolumeInfo> listVolumes() override;
  HostHandle openPhysicalDrive(int n) override;
  HostHandle openVolume(const std::string& identity) override;
  bool volumeExtent(HostHandle handle, DiskExtent& extent) override;
  bool sendScsi(HostHandle handle, const ScsiRequest& request) override;
  bool sendAta(HostHandle handle, AtaRegisters& registers, std::uint8_t* data, std::uint32_t sectors) override;
  void rescanBus(HostHandle handle) override;
  void close(HostHandle handle) override;
  std::string physicalDriveName(int n) override;
  std::string lastOpenError() const override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tervalo
