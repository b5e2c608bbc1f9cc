#pragma once
// The platform's raw disk interface: the only place that touches the operating system.
// Implementations: LinuxDiskHost (real), SimulatedHost (tests and demo).
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace tervalo {

// A handle returned by the host; negative means the open failed.
using HostHandle = int;
inline constexpr HostHandle kInvalidHandle = -1;

// Physical drives the console addresses by number.
inline constexpr int kMaxPhysicalDrives = 10;

// Drive types as the console reports them for a volume.
enum DriveType : std::uint8_t {
  kDriveUnknown = 0,
  kDriveNoRootDir = 1,
  kDriveRemovable = 2,
  kDriveFixed = 3,
  kDriveRemote = 4,
  kDriveCdRom = 5,
  kDriveRamDisk = 6,
  kDriveOpenFailed = 255,
};

// One volume as the host lists it. Its identity is what the console shows for it
// (a kernel name such as "sdb1" on Linux).
struct VolumeInfo {
  std::string identity;
  std::uint8_t driveType = kDriveUnknown;
};

// The disk number of a volume on a disk that is none of the console's physical drives.
inline constexpr std::uint32_t kNoPhysicalDrive = 0xFF;

// The first extent of a volume on its physical disk.
struct DiskExtent {
  std::uint32_t diskNumber = 0;
  std::int64_t startingOffset = 0;
  std::int64_t extentLength = 0;
};

// A SCSI command as the console sends it: a 10-byte command block, a direction, a data buffer
// and a time-out. DataIn is 1 for data from the device and 0 for data to it.
struct ScsiRequest {
  std::array<std::uint8_t, 10> cdb{};
  std::uint8_t cdbLength = 10;
  bool dataIn = true;
  std::uint8_t* data = nullptr;
  std::uint32_t dataLength = 0;
  std::uint32_t timeoutSeconds = 2;
};

// The 8-byte ATA register block: features, sector count, LBA low, LBA mid, LBA high, device,
// command, reserved.
struct AtaRegisters {
  std::uint8_t features = 0;
  std::uint8_t sectorCount = 0;
  std::uint8_t lbaLow = 0;
  std::uint8_t lbaMid = 0;
  std::uint8_t lbaHigh = 0;
  std::uint8_t device = 0;
  std::uint8_t command = 0;
  std::uint8_t reserved = 0;

  bool operator==(const AtaRegisters&) const = default;
};

class RawDiskHost {
 public:
  virtual ~RawDiskHost() = default;

  // The host's volumes in the order the console lists them.
  virtual std::vector<VolumeInfo> listVolumes() = 0;
  // Opens physical drive n (0..9) for reading and writing; kInvalidHandle on failure,
  // including n outside 0..9.
  virtual HostHandle openPhysicalDrive(int n) = 0;
  // Opens a volume by identity; kInvalidHandle on failure.
  virtual HostHandle openVolume(const std::string& identity) = 0;
  // The first extent of the volume open on `handle`; false when the host cannot say.
  virtual bool volumeExtent(HostHandle handle, DiskExtent& extent) = 0;
  // Sends one SCSI command; true exactly when the request completed (a CHECK CONDITION from
  // the device still completes the request).
  virtual bool sendScsi(HostHandle handle, const ScsiRequest& request) = 0;
  // Sends one ATA command: seven registers in, the seven returned registers written back into
  // `registers` whether or not the request succeeded, `sectors` × 512 bytes of data from the
  // device into `data` on success.
  virtual bool sendAta(HostHandle handle, AtaRegisters& registers, std::uint8_t* data,
                       std::uint32_t sectors) = 0;
  // Asks the adapter that holds the device to rescan its bus, and waits as long as that takes.
  virtual void rescanBus(HostHandle handle) = 0;
  virtual void close(HostHandle handle) = 0;

  // For people: what physical drive n is on this host ("/dev/sdb"), empty when there is none.
  virtual std::string physicalDriveName(int /*n*/) { return {}; }
  // For people: why the last open failed ("Permission denied"), empty when it did not.
  virtual std::string lastOpenError() const { return {}; }
};

}  // namespace tervalo
