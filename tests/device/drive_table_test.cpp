#include "device/drive_table.h"

#include <gtest/gtest.h>

#include "support/fake_host.h"
#include "support/recording_ui.h"

namespace tervalo {
namespace {

using testing::FakeHost;
using testing::RecordingUi;

struct DriveTableFixture : ::testing::Test {
  FakeHost host;
  RecordingUi ui;
  ManualClock clock;
  Console console{host, ui, clock};

  void addVolumes(int count) {
    for (int i = 0; i < count; ++i) host.volumes.push_back({"vol" + std::to_string(100 + i), kDriveFixed});
  }
  void scanAndBuild() {
    console.device.driveLetterCount = ScanLogicalDrives(console);
    BuildDriveTable(console);
  }
};

TEST_F(DriveTableFixture, VolumesKeepTheHostOrderAndStopAtTwentyFour) {
  host.volumes = {{"sda1", kDriveFixed}, {"sda2", kDriveFixed}, {"sdc1", kDriveRemovable}};
  EXPECT_EQ(ScanLogicalDrives(console), 3);
  ASSERT_EQ(console.device.driveLetters.size(), 3u);
  EXPECT_EQ(console.device.driveLetters[2].identity, "sdc1");

  host.volumes.clear();
  addVolumes(30);
  EXPECT_EQ(ScanLogicalDrives(console), 24);
  EXPECT_EQ(console.device.driveLetters.back().identity, "vol123");
  EXPECT_EQ(ui.pendingEventCalls, 3 + 24);
}

TEST_F(DriveTableFixture, TwentyOrMoreVolumesFillTwentyRowsAndWarnOnce) {
  struct Case {
    int volumes;
    int messages;
  };
  for (const Case c : {Case{19, 0}, Case{20, 0}, Case{21, 1}, Case{24, 1}}) {
    SCOPED_TRACE(c.volumes);
    FakeHost freshHost;
    RecordingUi freshUi;
    Console fresh{freshHost, freshUi, clock};
    for (int i = 0; i < c.volumes; ++i) freshHost.volumes.push_back({"v" + std::to_string(i), kDriveFixed});
    fresh.device.driveLetterCount = ScanLogicalDrives(fresh);
    BuildDriveTable(fresh);
    ASSERT_EQ(static_cast<int>(freshUi.messages.size()), c.messages);
    if (c.messages) {
      EXPECT_EQ(freshUi.messages[0].text, "Drive Count Must less than 20.");
      EXPECT_EQ(freshUi.messages[0].caption, std::nullopt);
    }
    const int rows = std::min(c.volumes, 20);
    EXPECT_EQ(fresh.device.driveTable[rows - 1].letter, "v" + std::to_string(rows - 1));
    // Only the volumes that got a row were opened.
    EXPECT_EQ(static_cast<int>(freshHost.openLog.size()), rows);
  }
}

TEST_F(DriveTableFixture, FailedOpenGives255AndFailedExtentKeepsTheOldDiskFields) {
  host.volumes = {{"sdb1", kDriveFixed}, {"sdc1", kDriveRemovable}};
  host.extents["sdb1"] = {1, 1048576, 500107862016};
  host.extents["sdc1"] = {2, 32256, 8000000000};
  scanAndBuild();
  EXPECT_EQ(console.device.driveTable[0].diskNumber, 1);
  EXPECT_EQ(console.device.driveTable[1].driveType, kDriveRemovable);
  EXPECT_EQ(console.device.driveTable[1].startingOffset, 32256);

  // Next run: the card reader has no medium, and the extents request for sdb1 fails.
  host.unopenableVolumes.insert("sdc1");
  host.extents.erase("sdb1");
  scanAndBuild();
  const DriveEntry& reader = console.device.driveTable[1];
  EXPECT_EQ(reader.driveType, kDriveOpenFailed);
  EXPECT_EQ(reader.diskNumber, 2);
  EXPECT_EQ(reader.extentLength, 8000000000);
  const DriveEntry& kept = console.device.driveTable[0];
  EXPECT_EQ(kept.driveType, kDriveFixed);
  EXPECT_EQ(kept.diskNumber, 1);
  EXPECT_EQ(kept.startingOffset, 1048576);
  EXPECT_EQ(host.openHandles, 0);
}

TEST_F(DriveTableFixture, DiskNumberKeepsItsLowByte) {
  host.volumes = {{"sdz1", kDriveFixed}};
  host.extents["sdz1"] = {0x1A3, 0, 1};
  scanAndBuild();
  EXPECT_EQ(console.device.driveTable[0].diskNumber, 0xA3);
}

TEST_F(DriveTableFixture, CountPhysicalDrivesTriesAllTen) {
  host.openableDrives = {0, 1, 3};
  EXPECT_EQ(CountPhysicalDrives(console), 3);
  EXPECT_EQ(host.openLog.size(), 10u);
  EXPECT_EQ(host.openHandles, 0);
}

TEST_F(DriveTableFixture, OpenDriveTakesNumbersZeroToNineAndVolumesByName) {
  host.openableDrives = {0, 3, 9};
  EXPECT_TRUE(OpenDrive(host, 3).valid());
  EXPECT_TRUE(host.openLog.back().physical);
  EXPECT_EQ(host.openLog.back().drive, 3);
  EXPECT_TRUE(OpenVolume(host, "sdb1").valid());
  EXPECT_FALSE(host.openLog.back().physical);
  EXPECT_EQ(host.openLog.back().volume, "sdb1");
  const std::size_t before = host.openLog.size();
  for (int bad : {-1, 10, 255, 0x42}) EXPECT_FALSE(OpenDrive(host, bad).valid()) << bad;
  EXPECT_FALSE(OpenVolume(host, "").valid());
  EXPECT_EQ(host.openLog.size(), before) << "out-of-range numbers never reach the host";
  EXPECT_EQ(host.openHandles, 0);
}

TEST_F(DriveTableFixture, VolumesOfAPhysicalDriveAreItsFixedRowsInTableOrder) {
  host.volumes = {{"sdb1", kDriveFixed}, {"sdc1", kDriveFixed}, {"sdc2", kDriveFixed}, {"sdc3", kDriveRemovable}};
  host.extents["sdb1"] = {1, 0, 1};
  host.extents["sdc1"] = {2, 0, 1};
  host.extents["sdc2"] = {2, 0, 1};
  host.extents["sdc3"] = {2, 0, 1};
  scanAndBuild();
  EXPECT_EQ(VolumesOfPhysicalDrive(console.device, 2), "sdc1,sdc2");
  EXPECT_EQ(VolumesOfPhysicalDrive(console.device, 2, ""), "sdc1sdc2");
  EXPECT_EQ(VolumesOfPhysicalDrive(console.device, 1), "sdb1");
  EXPECT_EQ(VolumesOfPhysicalDrive(console.device, 5), "");
}

TEST_F(DriveTableFixture, RowsBeyondTheCountAreNotReadForVolumes) {
  host.volumes = {{"sdb1", kDriveFixed}, {"sdb2", kDriveFixed}};
  host.extents["sdb1"] = {1, 0, 1};
  host.extents["sdb2"] = {1, 0, 1};
  scanAndBuild();
  host.volumes.pop_back();
  scanAndBuild();  // row 1 keeps sdb2 but is no longer meaningful
  EXPECT_EQ(console.device.driveTable[1].letter, "sdb2");
  EXPECT_EQ(VolumesOfPhysicalDrive(console.device, 1), "sdb1");
}

}  // namespace
}  // namespace tervalo
