#include "device/linux/linux_disk_host.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>

#include "device/linux/sat_passthrough.h"
#include "device/linux/sysfs_block.h"

namespace tervalo {

namespace {

class RealLinuxSystem final : public LinuxSystem {
 public:
  int open(const std::string& path, int flags) override { return ::open(path.c_str(), flags); }
  int close(int fd) override { return ::close(fd); }
  int sgIo(int fd, sg_io_hdr* hdr) override { return ::ioctl(fd, SG_IO, hdr); }
};

constexpr std::size_t kSenseBufferSize = 32;
// driver_status bit that only says sense data is present.
constexpr unsigned kDriverSense = 0x08;
// ATA commands through the bridge: IDENTIFY and the vendor orders answer well within this.
constexpr std::uint32_t kAtaTimeoutSeconds = 10;
constexpr std::uint32_t kSectorBytes = 512;

std::string errorText(int error) { return std::generic_category().message(error); }

// SG_IO takes milliseconds, and UINT_MAX would mean "no time-out at all".
unsigned int timeoutMilliseconds(std::uint32_t seconds) {
  const std::uint64_t ms = std::uint64_t{seconds} * 1000;
  return static_cast<unsigned int>(std::min<std::uint64_t>(ms, UINT_MAX - 1));
}

// What the kernel said about one SG_IO request.
struct SgOutcome {
  bool completed = false;  // the request reached the device and came back
  std::uint8_t status = 0;  // SCSI status byte
  std::array<std::uint8_t, kSenseBufferSize> sense{};
  std::size_t senseLength = 0;
};

struct OpenDevice {
  bool physical = false;
  std::string name;       // kernel name: "sdb", "sdb1"
  std::string disk;       // the whole disk it lies on: "sdb"
  std::string sysfsPath;  // volumes: where start and size are read
  bool partition = false;
};

}  // namespace

std::unique_ptr<LinuxSystem> makeRealLinuxSystem() { return std::make_unique<RealLinuxSystem>(); }

struct LinuxDiskHost::Impl {
  std::string sysfsRoot;
  std::string devRoot;
  std::unique_ptr<LinuxSystem> system;

  // The detection worker and the window thread both use the host.
  mutable std::mutex mutex;
  std::map<int, OpenDevice> open;
  std::string lastOpenError;

  HostHandle failOpen(int error) {
    std::lock_guard lock(mutex);
    lastOpenError = errorText(error);
    return kInvalidHandle;
  }

  HostHandle openPath(const std::string& path, int flags, OpenDevice device) {
    const int fd = system->open(path, flags);
    if (fd < 0) {
      const int error = errno != 0 ? errno : EIO;
      return failOpen(error);
    }
    std::lock_guard lock(mutex);
    open[fd] = std::move(device);
    lastOpenError.clear();
    return fd;
  }

  std::optional<OpenDevice> lookup(HostHandle handle) const {
    std::lock_guard lock(mutex);
    const auto it = open.find(handle);
    if (it == open.end()) return std::nullopt;
    return it->second;
  }

  std::optional<std::string> scsiDiskName(int n) const {
    if (n < 0 || n >= kMaxPhysicalDrives) return std::nullopt;
    const auto disks = listScsiDisks(sysfsRoot);
    if (static_cast<std::size_t>(n) >= disks.size()) return std::nullopt;
    return disks[static_cast<std::size_t>(n)];
  }

  SgOutcome runSgIo(int fd, std::uint8_t* cdb, std::uint8_t cdbLength, int direction, void* data,
                    std::uint32_t length, std::uint32_t timeoutSeconds) {
    SgOutcome outcome;
    sg_io_hdr hdr{};
    hdr.interface_id = 'S';
    hdr.dxfer_direction = length == 0 ? SG_DXFER_NONE : direction;
    hdr.cmd_len = cdbLength;
    hdr.mx_sb_len = static_cast<unsigned char>(outcome.sense.size());
    hdr.dxfer_len = length;
    hdr.dxferp = length == 0 ? nullptr : data;
    hdr.cmdp = cdb;
    hdr.sbp = outcome.sense.data();
    hdr.timeout = timeoutMilliseconds(timeoutSeconds);
    if (system->sgIo(fd, &hdr) < 0) return outcome;
    // The host adapter (time-out, reset, device gone) or the driver did not finish the request.
    if (hdr.host_status != 0) return outcome;
    if ((hdr.driver_status & ~kDriverSense) != 0) return outcome;
    outcome.completed = true;
    outcome.status = hdr.status != 0 ? hdr.status : static_cast<std::uint8_t>(hdr.masked_status << 1);
    outcome.senseLength = std::min<std::size_t>(hdr.sb_len_wr, outcome.sense.size());
    return outcome;
  }
};

LinuxDiskHost::LinuxDiskHost(std::string sysfsRoot, std::string devRoot, std::unique_ptr<LinuxSystem> system)
    : impl_(std::make_unique<Impl>()) {
  impl_->sysfsRoot = std::move(sysfsRoot);
  impl_->devRoot = std::move(devRoot);
  impl_->system = system ? std::move(system) : makeRealLinuxSystem();
}

LinuxDiskHost::~LinuxDiskHost() {
  // Handles nobody closed must not outlive the host.
  for (const auto& [fd, device] : impl_->open) impl_->system->close(fd);
}

std::vector<VolumeInfo> LinuxDiskHost::listVolumes() {
  std::vector<VolumeInfo> out;
  for (const auto& volume : listBlockVolumes(impl_->sysfsRoot)) {
    std::uint8_t type = kDriveUnknown;
    if (volume.removable) type = *volume.removable ? kDriveRemovable : kDriveFixed;
    out.push_back({volume.name, type});
  }
  return out;
}

HostHandle LinuxDiskHost::openPhysicalDrive(int n) {
  const auto name = impl_->scsiDiskName(n);
  if (!name) return impl_->failOpen(ENODEV);
  const std::string path = (std::filesystem::path(impl_->devRoot) / *name).string();
  return impl_->openPath(path, O_RDWR | O_NONBLOCK | O_CLOEXEC, {true, *name, *name, {}, false});
}

HostHandle LinuxDiskHost::openVolume(const std::string& identity) {
  const auto volumes = listBlockVolumes(impl_->sysfsRoot);
  const auto it = std::find_if(volumes.begin(), volumes.end(),
                               [&](const BlockVolume& v) { return v.name == identity; });
  if (it == volumes.end()) return impl_->failOpen(ENODEV);
  // A card reader without a card shows as a whole disk of size 0: nothing to open.
  if (!it->partition && readSysfsNumber(it->sysfsPath + "/size") == std::uint64_t{0})
    return impl_->failOpen(ENOMEDIUM);
  // A volume is held through its sysfs directory: the console only asks where it lies, which
  // needs no rights on the block device itself.
  return impl_->openPath(it->sysfsPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC,
                         {false, it->name, it->disk, it->sysfsPath, it->partition});
}

bool LinuxDiskHost::volumeExtent(HostHandle handle, DiskExtent& extent) {
  const auto device = impl_->lookup(handle);
  if (!device || device->physical) return false;
  // Only volumes on the SCSI disks have a physical drive number; the others (NVMe, virtio, ...)
  // say so with a number no physical drive has, instead of inheriting a row's old one.
  const auto disks = listScsiDisks(impl_->sysfsRoot);
  const auto diskIt = std::find(disks.begin(), disks.end(), device->disk);

  const auto start = device->partition ? readSysfsNumber(device->sysfsPath + "/start") : std::optional<std::uint64_t>{0};
  const auto size = readSysfsNumber(device->sysfsPath + "/size");
  constexpr std::uint64_t kMaxSectors = static_cast<std::uint64_t>(INT64_MAX) / kSectorBytes;
  if (!start || !size || *start > kMaxSectors || *size > kMaxSectors) return false;

  extent.diskNumber = diskIt == disks.end() ? kNoPhysicalDrive : static_cast<std::uint32_t>(diskIt - disks.begin());
  extent.startingOffset = static_cast<std::int64_t>(*start * kSectorBytes);
  extent.extentLength = static_cast<std::int64_t>(*size * kSectorBytes);
  return true;
}

bool LinuxDiskHost::sendScsi(HostHandle handle, const ScsiRequest& request) {
  const auto device = impl_->lookup(handle);
  if (!device || !device->physical) return false;
  if (request.cdbLength == 0 || request.cdbLength > request.cdb.size()) return false;
  if (request.dataLength > 0 && request.data == nullptr) return false;
  std::array<std::uint8_t, 10> cdb = request.cdb;
  const SgOutcome outcome =
      impl_->runSgIo(handle, cdb.data(), request.cdbLength, request.dataIn ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV,
                     request.data, request.dataLength, request.timeoutSeconds);
  // The SCSI status and sense are not judged here: a CHECK CONDITION still completed the
  // request, and the console tells such answers apart by their data.
  return outcome.completed;
}

bool LinuxDiskHost::sendAta(HostHandle handle, AtaRegisters& registers, std::uint8_t* data, std::uint32_t sectors) {
  const auto device = impl_->lookup(handle);
  if (!device || !device->physical) return false;
  if (sectors > kMaxAtaPassThroughSectors) return false;
  if (sectors > 0 && data == nullptr) return false;

  auto cdb = buildAtaPassThrough16(registers, sectors);
  // The device writes into a buffer of our own; the caller's data changes only on success.
  std::vector<std::uint8_t> buffer(std::size_t{sectors} * kSectorBytes);
  const SgOutcome outcome = impl_->runSgIo(handle, cdb.data(), static_cast<std::uint8_t>(cdb.size()),
                                           SG_DXFER_FROM_DEV, buffer.data(),
                                           static_cast<std::uint32_t>(buffer.size()), kAtaTimeoutSeconds);
  if (!outcome.completed) return false;

  const AtaAnswer answer =
      interpretAtaAnswer(outcome.status, ConstBytes(outcome.sense.data(), outcome.senseLength));
  if (answer.hasRegisters) registers = answer.registers;
  if (!answer.ok) return false;
  std::copy(buffer.begin(), buffer.end(), data);
  return true;
}

// The kernel sees new devices by itself and SG_IO reaches the device directly: nothing to do
// and nothing to wait for.
void LinuxDiskHost::rescanBus(HostHandle) {}

void LinuxDiskHost::close(HostHandle handle) {
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->open.erase(handle) == 0) return;  // not ours: never close a stranger's descriptor
  }
  impl_->system->close(handle);
}

std::string LinuxDiskHost::physicalDriveName(int n) {
  const auto name = impl_->scsiDiskName(n);
  if (!name) return {};
  return (std::filesystem::path(impl_->devRoot) / *name).string();
}

std::string LinuxDiskHost::lastOpenError() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->lastOpenError;
}

}  // namespace tervalo
