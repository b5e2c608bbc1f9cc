#include "device/linux/linux_disk_host.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <optional>

#include "device/drive_table.h"
#include "support/fake_linux.h"
#include "support/recording_ui.h"

namespace tervalo {
namespace {

using testing::FakeLinuxState;
using testing::FakeLinuxSystem;
using testing::FakeSysfs;
using testing::RecordingUi;

struct LinuxHostFixture : ::testing::Test {
  FakeSysfs sysfs;
  std::shared_ptr<FakeLinuxState> sys = std::make_shared<FakeLinuxState>();
  LinuxDiskHost host{sysfs.root(), "/devroot", std::make_unique<FakeLinuxSystem>(sys)};

  // A desk with a system disk, a card reader without a card, a USB stick formatted without a
  // partition table, an NVMe disk, a disk whose attribute files are damaged, and devices that
  // hold no volumes.
  void buildDesk() {
    sysfs.addDisk("sda", "0\n", "1000215216\n",
                  {{"sda1", "2048\n", "1048576\n"}, {"sda10", "900000000\n", "4096\n"}, {"sda2", "1050624\n", "800000000\n"}});
    sysfs.addDisk("sdb", "1\n", "0\n");
    sysfs.addDisk("sdc", "1\n", "31116288\n");
    sysfs.addDisk("nvme0n1", "0\n", "500000000\n", {{"nvme0n1p1", "2048\n", "204800\n"}});
    // Damaged: unreadable removable flag and size; one partition with a garbage start, one with
    // an empty size, and a folder that looks like a partition but has no `partition` file.
    sysfs.addDisk("sdd", "yes\n", "", {{"sdd1", "abc\n", "100\n"}, {"sdd2", "64\n", ""}});
    std::filesystem::create_directories(sysfs.block() / "sdd" / "sdd3");
    std::filesystem::create_directories(sysfs.block() / "sdd" / "queue");
    // No removable file at all.
    sysfs.addDisk("sde", nullptr, "2048\n");
    for (const char* other : {"loop0", "ram0", "zram0", "dm-0", "md0", "sr0", "fd0", "mmcblk0boot0"})
      sysfs.addDisk(other, "0\n", "1000\n");
    sysfs.addDisk("loop1", "0\n", "1000\n", {{"loop1p1", "0\n", "10\n"}});
    // A stray file in the block folder.
    FakeSysfs::write(sysfs.block() / "sdf", "not a device\n");
  }

  std::optional<DiskExtent> extentOf(const std::string& identity) {
    const HostHandle h = host.openVolume(identity);
    if (h == kInvalidHandle) return std::nullopt;
    DiskExtent e;
    const bool ok = host.volumeExtent(h, e);
    host.close(h);
    if (!ok) return std::nullopt;
    return e;
  }
};

// --- physical drives ---

TEST_F(LinuxHostFixture, PhysicalDrivesAreTheScsiDisksInKernelOrderUpToNine) {
  for (const char* name : {"sdaa", "sdb", "sda", "sdz", "sdc", "sdd", "sde", "sdf", "sdg", "sdh", "sdab"})
    sysfs.addDisk(name, "0\n", "100\n");
  sysfs.addDisk("nvme0n1", "0\n", "100\n");
  sysfs.addDisk("loop0", "0\n", "100\n");

  const std::vector<std::string> expected = {"sda", "sdb", "sdc", "sdd", "sde", "sdf", "sdg", "sdh", "sdz", "sdaa"};
  for (int n = 0; n < 10; ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(host.physicalDriveName(n), "/devroot/" + expected[n]);
    const HostHandle h = host.openPhysicalDrive(n);
    ASSERT_NE(h, kInvalidHandle);
    EXPECT_EQ(sys->opens.back().path, "/devroot/" + expected[n]);
    EXPECT_EQ(sys->opens.back().flags, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    host.close(h);
  }
  // sdab exists as the eleventh disk but has no drive number.
  const std::size_t opensBefore = sys->opens.size();
  for (int n : {-1, 10, 11}) {
    EXPECT_EQ(host.openPhysicalDrive(n), kInvalidHandle) << n;
    EXPECT_EQ(host.physicalDriveName(n), "") << n;
  }
  EXPECT_EQ(sys->opens.size(), opensBefore);
  EXPECT_EQ(host.lastOpenError(), "No such device");
}

TEST_F(LinuxHostFixture, DriveNumbersAreResolvedAtEachOpen) {
  sysfs.addDisk("sda", "0\n", "100\n");
  sysfs.addDisk("sdb", "1\n", "100\n");
  sysfs.addDisk("sdc", "1\n", "100\n");
  EXPECT_EQ(host.physicalDriveName(1), "/devroot/sdb");

  sysfs.removeDisk("sdb");  // unplugged: the next disk moves up
  const HostHandle h = host.openPhysicalDrive(1);
  ASSERT_NE(h, kInvalidHandle);
  EXPECT_EQ(sys->opens.back().path, "/devroot/sdc");
  host.close(h);
  EXPECT_EQ(host.openPhysicalDrive(2), kInvalidHandle);
}

TEST_F(LinuxHostFixture, FailedOpenSaysWhyAndASuccessfulOneClearsIt) {
  sysfs.addDisk("sda", "0\n", "100\n");
  sysfs.addDisk("sdb", "1\n", "100\n");
  EXPECT_EQ(host.lastOpenError(), "");
  sys->openErrors["/devroot/sdb"] = EACCES;
  EXPECT_EQ(host.openPhysicalDrive(1), kInvalidHandle);
  EXPECT_EQ(host.lastOpenError(), "Permission denied");

  const HostHandle h = host.openPhysicalDrive(0);
  ASSERT_NE(h, kInvalidHandle);
  EXPECT_EQ(host.lastOpenError(), "");
  host.close(h);
}

TEST_F(LinuxHostFixture, CloseReleasesOnlyItsOwnDescriptorsOnce) {
  sysfs.addDisk("sda", "0\n", "100\n");
  const HostHandle h = host.openPhysicalDrive(0);
  ASSERT_NE(h, kInvalidHandle);
  host.close(h);
  host.close(h);     // already closed
  host.close(0);     // never opened here: stdin must survive
  host.close(kInvalidHandle);
  EXPECT_EQ(sys->closed, std::vector<int>{h});
}

TEST(LinuxHostLifetime, HandlesLeftOpenAreClosedWithTheHost) {
  FakeSysfs sysfs;
  sysfs.addDisk("sda", "0\n", "100\n");
  auto sys = std::make_shared<FakeLinuxState>();
  {
    LinuxDiskHost host(sysfs.root(), "/dev", std::make_unique<FakeLinuxSystem>(sys));
    ASSERT_NE(host.openPhysicalDrive(0), kInvalidHandle);
  }
  EXPECT_TRUE(sys->openFds.empty());
}

TEST(LinuxHostLifetime, MissingSysfsGivesNothingAndCrashesNothing) {
  auto sys = std::make_shared<FakeLinuxState>();
  LinuxDiskHost host("/nonexistent/tervalo-sysfs", "/dev", std::make_unique<FakeLinuxSystem>(sys));
  EXPECT_TRUE(host.listVolumes().empty());
  EXPECT_EQ(host.openPhysicalDrive(0), kInvalidHandle);
  EXPECT_EQ(host.openVolume("sda1"), kInvalidHandle);
  EXPECT_EQ(host.physicalDriveName(0), "");
  EXPECT_TRUE(sys->opens.empty());
}

// --- volumes ---

TEST_F(LinuxHostFixture, VolumesAreListedDiskByDiskWithTheirTypes) {
  buildDesk();
  const std::vector<std::pair<std::string, std::uint8_t>> expected = {
      {"sda1", kDriveFixed},     {"sda2", kDriveFixed},     {"sda10", kDriveFixed},
      {"sdb", kDriveRemovable},  {"sdc", kDriveRemovable},  {"sdd1", kDriveUnknown},
      {"sdd2", kDriveUnknown},   {"sde", kDriveUnknown},    {"nvme0n1p1", kDriveFixed},
  };
  std::vector<std::pair<std::string, std::uint8_t>> got;
  for (const auto& v : host.listVolumes()) got.emplace_back(v.identity, v.driveType);
  EXPECT_EQ(got, expected);
}

TEST_F(LinuxHostFixture, ExtentsComeFromSysfsInBytes) {
  buildDesk();
  struct Case {
    const char* identity;
    bool opens;
    bool hasExtent;
    std::uint32_t disk;
    std::int64_t start;
    std::int64_t length;
  };
  const Case cases[] = {
      {"sda1", true, true, 0, 2048LL * 512, 1048576LL * 512},
      {"sda2", true, true, 0, 1050624LL * 512, 800000000LL * 512},
      {"sda10", true, true, 0, 900000000LL * 512, 4096LL * 512},
      {"sdc", true, true, 2, 0, 31116288LL * 512},  // whole-disk file system
      {"sde", true, true, 4, 0, 2048LL * 512},
      {"sdb", false, false, 0, 0, 0},                // card reader without a card
      {"sdd1", true, false, 0, 0, 0},                // garbage start
      {"sdd2", true, false, 0, 0, 0},                // empty size
      {"nvme0n1p1", true, true, kNoPhysicalDrive, 2048LL * 512, 204800LL * 512},  // not a SCSI disk
      {"sdd3", false, false, 0, 0, 0},               // not a partition
      {"loop1p1", false, false, 0, 0, 0},
      {"sda", false, false, 0, 0, 0},                // a disk with partitions is no volume itself
      {"../block/sda", false, false, 0, 0, 0},
      {"", false, false, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.identity);
    const HostHandle h = host.openVolume(c.identity);
    EXPECT_EQ(h != kInvalidHandle, c.opens);
    if (h == kInvalidHandle) continue;
    DiskExtent e;
    e.diskNumber = 77;
    ASSERT_EQ(host.volumeExtent(h, e), c.hasExtent);
    if (c.hasExtent) {
      EXPECT_EQ(e.diskNumber, c.disk);
      EXPECT_EQ(e.startingOffset, c.start);
      EXPECT_EQ(e.extentLength, c.length);
    } else {
      EXPECT_EQ(e.diskNumber, 77u);  // untouched
    }
    host.close(h);
  }
  EXPECT_TRUE(sys->openFds.empty());
}

TEST_F(LinuxHostFixture, VolumeOpenNeedsNoRightsOnTheBlockDevice) {
  buildDesk();
  const HostHandle h = host.openVolume("sda2");
  ASSERT_NE(h, kInvalidHandle);
  EXPECT_EQ(sys->opens.back().path, (sysfs.block() / "sda" / "sda2").string());
  EXPECT_EQ(sys->opens.back().flags, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // A volume handle carries no pass-through.
  std::uint8_t buf[512];
  ScsiRequest r;
  r.data = buf;
  r.dataLength = 512;
  EXPECT_FALSE(host.sendScsi(h, r));
  AtaRegisters regs;
  EXPECT_FALSE(host.sendAta(h, regs, buf, 1));
  EXPECT_TRUE(sys->sgIo.empty());
  host.close(h);

  EXPECT_EQ(host.openVolume("sdb"), kInvalidHandle);
  EXPECT_EQ(host.lastOpenError(), "No medium found");
}

TEST_F(LinuxHostFixture, ExtentOfAVolumeWhoseDiskVanishedFails) {
  buildDesk();
  const HostHandle h = host.openVolume("sdc");
  ASSERT_NE(h, kInvalidHandle);
  sysfs.removeDisk("sdc");
  DiskExtent e;
  EXPECT_FALSE(host.volumeExtent(h, e));
  host.close(h);
}

TEST_F(LinuxHostFixture, DriveTableBuiltFromTheHost) {
  buildDesk();
  RecordingUi ui;
  ManualClock clock;
  Console console{host, ui, clock};
  console.device.driveLetterCount = ScanLogicalDrives(console);
  BuildDriveTable(console);
  ASSERT_EQ(console.device.driveLetterCount, 9);
  const auto& t = console.device.driveTable;
  EXPECT_EQ(t[0].letter, "sda1");
  EXPECT_EQ(t[0].startingOffset, 2048LL * 512);
  EXPECT_EQ(t[3].letter, "sdb");
  EXPECT_EQ(t[3].driveType, kDriveOpenFailed);
  EXPECT_EQ(t[4].letter, "sdc");
  EXPECT_EQ(t[4].diskNumber, 2);
  EXPECT_EQ(t[2].letter, "sda10");
  EXPECT_EQ(t[2].extentLength, 4096LL * 512);
  EXPECT_EQ(t[8].letter, "nvme0n1p1");
  EXPECT_EQ(t[8].diskNumber, kNoPhysicalDrive);
  // The NVMe system disk's volumes never count as volumes of physical drive 0.
  EXPECT_EQ(VolumesOfPhysicalDrive(console.device, 0), "sda1,sda2,sda10");
  EXPECT_TRUE(sys->openFds.empty());
}

}  // namespace
}  // namespace tervalo

namespace tervalo {
namespace {

// The real system calls on a stand-in /dev: a node that is no SCSI device refuses SG_IO, and
// nothing crashes or is reported as success.
TEST(LinuxHostRealSystem, PlainFileRefusesPassThroughAndMissingNodeSaysWhy) {
  testing::FakeSysfs sysfs;
  sysfs.addDisk("sda", "0\n", "100\n");
  sysfs.addDisk("sdb", "0\n", "100\n");
  testing::FakeSysfs dev;  // a second temporary folder serves as /dev
  testing::FakeSysfs::write(std::filesystem::path(dev.root()) / "sda", std::string(1024, '\0'));
  LinuxDiskHost host(sysfs.root(), dev.root());

  EXPECT_EQ(host.openPhysicalDrive(1), kInvalidHandle);
  EXPECT_EQ(host.lastOpenError(), "No such file or directory");

  const HostHandle h = host.openPhysicalDrive(0);
  ASSERT_NE(h, kInvalidHandle);
  std::uint8_t buffer[512] = {};
  ScsiRequest read;
  read.cdb = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
  read.data = buffer;
  read.dataLength = 512;
  EXPECT_FALSE(host.sendScsi(h, read));
  AtaRegisters regs{0, 0, 0, 0, 0, 0xE0, 0xEC, 0};
  const AtaRegisters before = regs;
  EXPECT_FALSE(host.sendAta(h, regs, buffer, 1));
  EXPECT_EQ(regs, before);
  host.close(h);
}

}  // namespace
}  // namespace tervalo
