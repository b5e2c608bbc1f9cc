#include "monitor/presentation.h"

#include <gtest/gtest.h>

#include "core/console.h"
#include "support/fake_host.h"
#include "support/recording_ui.h"
#include "support/status_record_builder.h"

namespace tervalo {
namespace {

using testing::RecordBuilder;

constexpr std::uint8_t kUntracked = 0xFF;

class PresentationTest : public ::testing::Test {
 protected:
  PresentationTest() { shown.firmwareRevisionText = "F/W Rev. 090619.1"; }

  MonitorPanelUpdate present(const Sector& record, bool force = false, std::uint8_t lastProgress = kUntracked) {
    Presentation p = presentStatusRecord(record, lastProgress, force, shown);
    shown = p.state;
    return p.panel;
  }

  MonitorState shown;
};

const std::string kModel0 = "ST3500418AS" + std::string(29, ' ');
const std::string kModel1 = "WDC WD5000AAKS" + std::string(26, ' ');

TEST_F(PresentationTest, HealthyMirrorOnFirstPresentation) {
  const auto panel = present(RecordBuilder().healthyMirror().settingFlags(0xF2), true);
  EXPECT_EQ(panel.staticText5, "F/W Rev. 090619.1.B0F");
  EXPECT_EQ(panel.label19, (LabelChange{"P0 is initialized(SATA2)\nSerial# :S1Z3A0B1            ", LabelColour::Black, true}));
  EXPECT_EQ(panel.label25, (LabelChange{"\nCapacity: 465 GB\n" + kModel0, LabelColour::Navy, true}));
  EXPECT_EQ(panel.label24, (LabelChange{"P1 is initialized(SATA2)\nSerial# :W2X4C5D6            ", LabelColour::Black, true}));
  EXPECT_EQ(panel.label26, (LabelChange{"\nCapacity: 465 GB\n" + kModel1, LabelColour::Navy, true}));
  EXPECT_EQ(panel.label18, "Normal");
  EXPECT_EQ(panel.label27, " Capacity: 465 GB");
  EXPECT_EQ(panel.label21, "Jumper");
  EXPECT_EQ(panel.label15, "Mirror");
  EXPECT_EQ(panel.label17, "Mirror");
  EXPECT_EQ(panel.staticText6, "");
  EXPECT_EQ(panel.staticText7, "");
  EXPECT_EQ(panel.buzzerMuteChecked, true);  // buzzer bit clear: muted
  EXPECT_EQ(panel.autoScanChecked, true);
  EXPECT_EQ(panel.button3.visible, false);
  EXPECT_EQ(panel.button4.visible, false);
  EXPECT_EQ(panel.logVisible, std::nullopt);
  EXPECT_FALSE(shown.firstPass);
  EXPECT_EQ(shown.shownPortState, 0x22);
  EXPECT_EQ(shown.shownProgress, 0xFF);
  EXPECT_EQ(shown.shownSerial[1], "W2X4C5D6            ");
}

TEST_F(PresentationTest, PortRows) {
  struct Case {
    std::uint8_t portState;
    LabelChange title0, details0, title1, details1;
    std::string label18;
  };
  const LabelChange greyed{" P0 is absent ", std::nullopt, false};
  const std::vector<Case> cases{
      {0x24, greyed, {std::nullopt, std::nullopt, false},
       {"P1 is initialized(SATA2)\nSerial# :W2X4C5D6            ", LabelColour::Black, true},
       {"\nCapacity: 465 GB\n" + kModel1, LabelColour::Navy, true}, "Single HDD\nPresent"},
      {0x00, {"", std::nullopt, std::nullopt}, {"", std::nullopt, std::nullopt},
       {"", std::nullopt, std::nullopt}, {"", std::nullopt, std::nullopt}, "Failure"},
      {0x18, {"P0 is failed, Capacity too small.\nSerial# :S1Z3A0B1            ", LabelColour::Red, true},
       {"\nCapacity: 465 GB\n" + kModel0, LabelColour::Red, true},
       {" P1 was inserted ", std::nullopt, std::nullopt}, {}, "Failure"},
      {0x41, {" P0 is inserted ", std::nullopt, std::nullopt}, {},
       {" P1 is absent ", std::nullopt, false}, {std::nullopt, std::nullopt, false}, "Failure"},
      {0x0A, {"P0 is initialized(SATA2)\nSerial# :S1Z3A0B1            ", LabelColour::Black, true},
       {"\nCapacity: 465 GB\n" + kModel0, LabelColour::Navy, true}, {"", std::nullopt, std::nullopt},
       {"", std::nullopt, std::nullopt}, "Single HDD\nPresent"},
  };
  for (const auto& c : cases) {
    shown = MonitorState{};
    const auto panel = present(RecordBuilder().healthyMirror().portState(c.portState));
    SCOPED_TRACE(int{c.portState});
    EXPECT_EQ(panel.label19, c.title0);
    EXPECT_EQ(panel.label25, c.details0);
    EXPECT_EQ(panel.label24, c.title1);
    EXPECT_EQ(panel.label26, c.details1);
    EXPECT_EQ(panel.label18, c.label18);
  }
}

TEST_F(PresentationTest, SameRecordTwiceLeavesPortLabelsAlone) {
  const Sector r = RecordBuilder().healthyMirror().activity(0x08);
  present(r, true);
  const auto second = present(r, false);
  EXPECT_EQ(second.label19, LabelChange{});
  EXPECT_EQ(second.label25, LabelChange{});
  EXPECT_EQ(second.label24, LabelChange{});
  EXPECT_EQ(second.label26, LabelChange{});
  EXPECT_EQ(second.label27, std::nullopt);
  EXPECT_EQ(second.label15, "Mirror");
  EXPECT_EQ(second.label17, "Mirror");
  EXPECT_EQ(second.staticText7, "Bad Sector");
  EXPECT_EQ(second.staticText6, "");
  EXPECT_TRUE(second.buzzerMuteChecked.has_value());
  EXPECT_TRUE(second.autoScanChecked.has_value());
  EXPECT_EQ(second.label18, "Normal");
  // Forcing redraws them although nothing changed.
  const auto forced = present(r, true);
  EXPECT_TRUE(forced.label19.text.has_value());
  EXPECT_TRUE(forced.label27.has_value());
}

TEST_F(PresentationTest, ZeroPortStateWhileTrackingShowsOnlyTheRevision) {
  const auto panel = present(RecordBuilder().portState(0).firmwareBuild("B0G"), true, 40);
  EXPECT_EQ(panel.staticText5, "F/W Rev. 090619.1.C00");
  EXPECT_EQ(panel.label18, std::nullopt);
  EXPECT_EQ(panel.label19, LabelChange{});
  EXPECT_EQ(panel.label17, std::nullopt);
  EXPECT_EQ(panel.buzzerMuteChecked, std::nullopt);
  EXPECT_TRUE(shown.firstPass);
  EXPECT_EQ(shown.shownPortState, 0xFF);
}

TEST_F(PresentationTest, ProgressTexts) {
  struct Case {
    std::uint8_t activity;
    bool scanSupported;
    std::string label18;
    ButtonChange b3, b4;
  };
  const ButtonChange hidden{std::nullopt, false};
  const std::vector<Case> cases{
      {0x02, false, "Rebuild\n-> 37% ->", hidden, hidden},
      {0x01, true, "Rebuild\n<- 37% <-", hidden, hidden},
      {0x81, false, "Rebuild\n<- 37% <-", hidden, hidden},  // scan bit ignored without scan support
      {0x82, false, "Rebuild\n-> 37% ->", hidden, hidden},
      {0x81, true, "P0 Scan\n37%", {"Stop P0 Scan", true}, hidden},
      {0x82, true, "P1 Scan\n37%", hidden, {"Stop P1 Scan", true}},
      {0x83, true, "P0 Scan\n37%", {"Stop P0 Scan", true}, hidden},
  };
  for (const auto& c : cases) {
    shown = MonitorState{};
    shown.scanSupported = c.scanSupported;
    const auto panel = present(RecordBuilder().healthyMirror().activity(c.activity).progress(37));
    SCOPED_TRACE(int{c.activity});
    EXPECT_EQ(panel.label18, c.label18);
    EXPECT_EQ(panel.button3, c.b3);
    EXPECT_EQ(panel.button4, c.b4);
    EXPECT_EQ(panel.logVisible, true);
    EXPECT_EQ(shown.shownProgress, 37);
  }
}

TEST_F(PresentationTest, ProgressIsSharedAcrossPages) {
  present(RecordBuilder().healthyMirror().activity(0x02).progress(37));
  // Another page's record with the same percentage: the text is not rewritten.
  const auto other = present(RecordBuilder().healthyMirror().portState(0x2A).activity(0x01).progress(37));
  EXPECT_EQ(other.label18, std::nullopt);
  EXPECT_EQ(other.logVisible, true);
  const auto moved = present(RecordBuilder().healthyMirror().activity(0x02).progress(38));
  EXPECT_EQ(moved.label18, "Rebuild\n-> 38% ->");
  // The end of the operation clears the shown progress.
  present(RecordBuilder().healthyMirror());
  EXPECT_EQ(shown.shownProgress, 0xFF);
  EXPECT_EQ(present(RecordBuilder().healthyMirror().activity(0x02).progress(38)).label18, "Rebuild\n-> 38% ->");
}

TEST_F(PresentationTest, SettingsAndMarks) {
  const auto panel = present(RecordBuilder().healthyMirror().settingFlags(0x11).activity(0x04).spiRaidMode(7));
  EXPECT_EQ(panel.label21, "SPI");
  EXPECT_EQ(panel.buzzerMuteChecked, false);
  EXPECT_EQ(panel.autoScanChecked, false);
  EXPECT_EQ(panel.label15, "Undefine");
  EXPECT_EQ(panel.staticText6, "Bad Sector");
  EXPECT_EQ(panel.staticText7, "");
}

TEST(DeviceIdentityTest, RevisionDecidesScanSupport) {
  const std::vector<std::pair<std::string, bool>> cases{
      {"090619.1", true}, {"090618.1", false}, {"123.ABCD", true}, {"1234.567", false}};
  for (const auto& [revision, supported] : cases) {
    const auto id = describeDeviceIdentity(testing::makeIdentify(revision, "Bridge"), "Tervalo v0.22", "sdb1");
    EXPECT_EQ(id.firmwareRevisionText, "F/W Rev. " + revision);
    EXPECT_EQ(id.scanSupported, supported) << revision;
  }
}

TEST(DeviceIdentityTest, ShowsTheActivePageController) {
  testing::FakeHost host;
  testing::RecordingUi ui;
  ManualClock clock;
  Console console(host, ui, clock);
  console.device.controllerCount = 2;
  console.device.controllerList = {0x41, 0x12};
  console.device.identifyData[2] = testing::makeIdentify("090619.1", "RAID Bridge" + std::string(29, ' '));
  console.device.driveLetterCount = 3;
  console.device.driveTable[0] = {"sdb1", kDriveFixed, 2, 0, 0};
  console.device.driveTable[1] = {"sda1", kDriveFixed, 1, 0, 0};
  console.device.driveTable[2] = {"sdb2", kDriveFixed, 2, 0, 0};

  EXPECT_EQ(ShowDeviceIdentity(console, std::nullopt), std::nullopt);
  const auto id = ShowDeviceIdentity(console, 1);
  ASSERT_TRUE(id);
  EXPECT_EQ(id->windowCaption, "Tervalo v0.22 - RAID Bridge [sdb1,sdb2]");
  EXPECT_EQ(console.protocol.currentController, 1);
  EXPECT_EQ(console.monitor.firmwareRevisionText, "F/W Rev. 090619.1");
  EXPECT_TRUE(console.monitor.scanSupported);

  // A model of blanks keeps six of them.
  console.device.identifyData[1] = testing::makeIdentify("12345678", "");
  EXPECT_EQ(ShowDeviceIdentity(console, 0)->windowCaption, "Tervalo v0.22 -        [sda1]");
  EXPECT_FALSE(console.monitor.scanSupported);
}

TEST(PresentStatusTest, UsesTheActivePageAndItsTracking) {
  testing::FakeHost host;
  testing::RecordingUi ui;
  ManualClock clock;
  Console console(host, ui, clock);
  console.protocol.statusRecords[2] = RecordBuilder().healthyMirror().portState(0);
  console.eventLog.pages[2].lastProgress = 12;
  EXPECT_EQ(PresentStatus(console, std::nullopt, true), std::nullopt);
  const auto held = PresentStatus(console, 2, true);
  ASSERT_TRUE(held);
  EXPECT_EQ(held->label18, std::nullopt);
  EXPECT_EQ(console.protocol.currentRecordPage, 2);
  EXPECT_TRUE(console.monitor.firstPass);
  console.eventLog.pages[2].lastProgress = 0xFF;
  EXPECT_EQ(PresentStatus(console, 2, true)->label18, "Failure");
  EXPECT_FALSE(console.monitor.firstPass);
  EXPECT_EQ(console.monitor.shownPortState, 0);
}

}  // namespace
}  // namespace tervalo
