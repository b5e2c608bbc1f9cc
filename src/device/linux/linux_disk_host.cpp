#include "device/linux/linux_disk_host.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tervalo {

namespace {
class RealLinuxSystem final : public LinuxSystem {
 public:
  int open(const std::string& path, int flags) override { return ::open(path.c_str(), flags); }
  int close(int fd) override { return ::close(fd); }
  int sgIo(int fd, sg_io_hdr* hdr) override { return ::ioctl(fd, SG_IO, hdr); }
};
}  // namespace

std::unique_ptr<LinuxSystem> makeRealLinuxSystem() { return std::make_unique<RealLinuxSystem>(); }

struct LinuxDiskHost::Impl {
  std::string sysfsRoot;
  std::string devRoot;
  std::unique_ptr<LinuxSystem> system;
};

LinuxDiskHost::LinuxDiskHost(std::string sysfsRoot, std::string devRoot, std::unique_ptr<LinuxSystem> system)
    : impl_(std::make_unique<Impl>(Impl{std::move(sysfsRoot), std::move(devRoot), std::move(system)})) {}
LinuxDiskHost::~LinuxDiskHost() = default;

// Work in progress on this branch: enumeration and pass-through follow.
std::vector<VolumeInfo> LinuxDiskHost::listVolumes() { return {}; }
HostHandle LinuxDiskHost::openPhysicalDrive(int) { return kInvalidHandle; }
HostHandle LinuxDiskHost::openVolume(const std::string&) { return kInvalidHandle; }
bool LinuxDiskHost::volumeExtent(HostHandle, DiskExtent&) { return false; }
bool LinuxDiskHost::sendScsi(HostHandle, const ScsiRequest&) { return false; }
bool LinuxDiskHost::sendAta(HostHandle, AtaRegisters&, std::uint8_t*, std::uint32_t) { return false; }
void LinuxDiskHost::rescanBus(HostHandle) {}
void LinuxDiskHost::close(HostHandle) {}
std::string LinuxDiskHost::physicalDriveName(int) { return {}; }
std::string LinuxDiskHost::lastOpenError() const { return {}; }

}  // namespace tervalo
