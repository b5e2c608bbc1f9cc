#include "protocol/setting_orders.h"

#include <gtest/gtest.h>

#include "protocol/record_read.h"
#include "protocol/status_record.h"
#include "sim_console.h"

namespace tervalo {
namespace {

using sim::AccessPath;
using sim::FaultEffect;
using sim::FaultSpec;
using sim::RequestKind;
using testing::SimConsole;

// The one order sector the controller received at LBA 20.
sim::OrderRecord onlyOrder(const SimConsole& s, RequestKind kind) {
  const auto log = s.host.orderLog();
  EXPECT_EQ(log.size(), 1u);
  if (log.empty()) return {};
  EXPECT_EQ(log[0].kind, kind);
  EXPECT_EQ(log[0].lba, 20u);
  EXPECT_TRUE(log[0].accepted);
  EXPECT_TRUE(testing::validCommandSector(log[0].data));
  return log[0];
}

std::vector<std::uint8_t> bytesOf(const sim::OrderRecord& o, std::size_t from, std::size_t to) {
  if (o.data.size() < to) return {};
  return {o.data.begin() + static_cast<long>(from), o.data.begin() + static_cast<long>(to)};
}

class SettingOrders : public ::testing::TestWithParam<AccessPath> {
 protected:
  SettingOrders() : s(GetParam()) { s.console.controls.activePage = 0; }
  Sector readRecord() {
    Sector r{};
    EXPECT_TRUE(ReadStatusRecord(s.console, r)) << s.ui.panel(kErrorPanel);
    return r;
  }
  SimConsole s;
};

TEST_P(SettingOrders, SettingsBytesReachTheControllerAndChangeItsRecord) {
  struct Case {
    bool mute, autoScan;
    std::uint8_t sub, byte4;
  };
  for (const Case c : {Case{true, false, 0, 0}, Case{false, true, 1, 1}, Case{true, true, 0, 1}, Case{false, false, 1, 0}}) {
    s.host.clearOrderLog();
    s.console.controls.buzzerMuteChecked = c.mute;
    s.console.controls.autoScanChecked = c.autoScan;
    s.console.controls.settingBoxesEnabled = true;
    s.console.controls.settingBusy = {};
    ASSERT_TRUE(WriteControllerSettings(s.console)) << s.ui.panel(kErrorPanel);
    const auto order = onlyOrder(s, RequestKind::SettingsOrder);
    EXPECT_EQ(bytesOf(order, 2, 5), (std::vector<std::uint8_t>{0x20, c.sub, c.byte4}));
    EXPECT_EQ(s.console.controls.settingBusy[0], 4);
    EXPECT_FALSE(s.console.controls.settingBoxesEnabled);

    const Sector record = readRecord();
    const StatusRecordView view(record);
    EXPECT_EQ(view.buzzerOn(), !c.mute);
    EXPECT_EQ(view.autoScanOn(), c.autoScan);
    EXPECT_EQ(view.settingFlags() & 0xF0, 0xF0) << "the setting source is left alone";
  }
  EXPECT_EQ(s.host.violationCount(), 0u) << s.violations();
  EXPECT_EQ(s.host.openHandleCount(), 0);
}

TEST_P(SettingOrders, ScanStartAndStopReachTheController) {
  const Sector before = readRecord();
  auto& controls = s.console.controls;
  controls.scanStart = 1;
  controls.scanPort = 1;
  controls.scanFirstLba = 0;
  controls.scanLastLba = scanLastLbaFor(StatusRecordView(before).arrayCapacity());
  s.host.clearOrderLog();
  ASSERT_TRUE(SendScanCommand(s.console)) << s.ui.panel(kErrorPanel);
  auto order = onlyOrder(s, RequestKind::ScanOrder);
  EXPECT_EQ(bytesOf(order, 2, 5), (std::vector<std::uint8_t>{0x24, 0x00, 0x01}));
  EXPECT_EQ(s.console.eventLog.pages[0].scanAbortMark, 0) << "a start marks nothing";

  Sector running = readRecord();
  EXPECT_EQ(running[kActivityOffset] & (kActivityScan | kActivityRunningMask), kActivityScan | kActivityP1);

  controls.scanStart = 0;
  s.host.clearOrderLog();
  ASSERT_TRUE(SendScanCommand(s.console));
  order = onlyOrder(s, RequestKind::ScanOrder);
  EXPECT_EQ(bytesOf(order, 2, 5), (std::vector<std::uint8_t>{0x24, 0x01, 0x01}));
  EXPECT_EQ(s.console.eventLog.pages[0].scanAbortMark, 1);
  EXPECT_EQ(s.console.controls.settingBusy[0], 4);
  EXPECT_EQ(readRecord()[kActivityOffset] & kActivityRunningMask, 0) << "the scan has stopped";
  EXPECT_EQ(s.host.violationCount(), 0u) << s.violations();
  EXPECT_EQ(s.host.openHandleCount(), 0);
}

TEST_P(SettingOrders, SectorWriteFailure) {
  s.host.addFault(FaultSpec{1, RequestKind::SettingsOrder, 1, 1, FaultEffect::Fail, 0});
  s.host.addFault(FaultSpec{1, RequestKind::ScanOrder, 1, 1, FaultEffect::Fail, 0});
  EXPECT_FALSE(WriteControllerSettings(s.console));
  EXPECT_EQ(s.ui.panel(kErrorPanel), "Write Error for LBA = 20 and sector count = 1");
  EXPECT_EQ(s.console.controls.settingBusy[0], 4);
  s.ui.statusWrites.clear();
  s.console.controls.scanStart = 0;
  s.console.controls.scanPort = 0;
  EXPECT_FALSE(SendScanCommand(s.console));
  EXPECT_EQ(s.ui.panel(kErrorPanel), "Write Error for LBA = 20 and sector count = 1");
  EXPECT_EQ(s.console.eventLog.pages[0].scanAbortMark, 1) << "a stop marks the page even when the write failed";
  EXPECT_TRUE(s.host.orderLog().empty());
  EXPECT_EQ(s.host.openHandleCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Paths, SettingOrders, ::testing::ValuesIn(testing::kAllPaths),
                         [](const auto& info) { return testing::pathLabel(info.param); });

// ---------------------------------------------------------------------------------------------
// Byte layouts of the scan range

TEST(ScanOrder, RangeBytes) {
  struct Case {
    const char* name;
    std::uint64_t capacity;
    std::vector<std::uint8_t> last;  // bytes 13..18
  };
  const Case cases[] = {{"976773168 sectors", 976773168, {0x2F, 0x60, 0x38, 0x3A, 0x00, 0x00}},
                        {"capacity 0", 0, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
                        {"40-bit capacity", 0xE8E088B0, {0xAF, 0x88, 0xE0, 0xE8, 0x00, 0x00}}};
  for (const auto& c : cases) {
    SimConsole s(AccessPath::Mailbox);
    // Leftovers of an earlier order must not leak into the range.
    std::fill(s.console.protocol.commandSector.begin() + 7, s.console.protocol.commandSector.begin() + 19, 0xEE);
    s.console.controls.activePage = 0;
    s.console.controls.scanStart = 0;
    s.console.controls.scanPort = 1;
    s.console.controls.scanFirstLba = 0;
    s.console.controls.scanLastLba = scanLastLbaFor(c.capacity);
    SendScanCommand(s.console);  // a stop with nothing running is ignored by the controller
    const auto log = s.host.orderLog();
    ASSERT_EQ(log.size(), 1u) << c.name;
    EXPECT_TRUE(testing::validCommandSector(log[0].data)) << c.name;
    EXPECT_EQ(bytesOf(log[0], 2, 5), (std::vector<std::uint8_t>{0x24, 0x01, 0x01})) << c.name;
    EXPECT_EQ(bytesOf(log[0], 7, 13), std::vector<std::uint8_t>(6, 0)) << c.name;
    EXPECT_EQ(bytesOf(log[0], 13, 19), c.last) << c.name;
    EXPECT_EQ(s.console.eventLog.pages[0].scanAbortMark, 1) << c.name;
    EXPECT_EQ(s.host.violationCount(), 0u) << s.violations();
  }
}

// ---------------------------------------------------------------------------------------------
// When nothing is sent

TEST(SettingOrdersRefused, PageChangeGuardDropsTheSettingsOrder) {
  SimConsole s(AccessPath::Mailbox);
  s.console.controls.activePage = 0;
  s.console.controls.pageChangeGuard = true;
  const auto requests = s.host.totalRequests();
  EXPECT_FALSE(WriteControllerSettings(s.console));
  EXPECT_EQ(s.host.totalRequests(), requests);
  EXPECT_EQ(s.console.controls.settingBusy[0], 0);
  EXPECT_TRUE(s.ui.statusWrites.empty());
  EXPECT_TRUE(s.ui.messages.empty());
  // The scan order does not look at the guard.
  EXPECT_TRUE(SendScanCommand(s.console));
  EXPECT_EQ(s.ordersOf(RequestKind::ScanOrder).size(), 1u);
}

TEST(SettingOrdersRefused, NoControllerAndVanishedDrive) {
  SimConsole none;
  none.host.addPlainDisk(0);
  ASSERT_EQ(none.detect(), 0);
  none.console.controls.activePage = 0;
  EXPECT_FALSE(WriteControllerSettings(none.console));
  EXPECT_FALSE(SendScanCommand(none.console));
  EXPECT_EQ(none.ui.panel(kErrorPanel), "Device not found!!!");
  EXPECT_EQ(none.ui.messageTexts(), (std::vector<std::string>{"No Device found !", "No Device found !"}));

  SimConsole gone(AccessPath::Ata);
  gone.console.controls.activePage = 0;
  gone.host.setDrivePresent(1, false);
  EXPECT_FALSE(WriteControllerSettings(gone.console));
  EXPECT_FALSE(SendScanCommand(gone.console));
  ASSERT_EQ(gone.ui.messages.size(), 2u);
  EXPECT_EQ(gone.ui.messages[0], systemBox("Invalid Drive"));
  EXPECT_EQ(gone.console.controls.settingBusy[0], 0);
  EXPECT_EQ(gone.host.openHandleCount(), 0);
}

TEST(SettingOrdersRefused, OrdersAddressTheActivePage) {
  SimConsole s;
  s.host.addController(1, testing::controllerOn(AccessPath::Mailbox));
  s.host.addController(2, testing::controllerOn(AccessPath::VendorDouble));
  ASSERT_EQ(s.detect(), 2);
  s.console.controls.activePage = 1;
  s.console.controls.buzzerMuteChecked = true;
  ASSERT_TRUE(WriteControllerSettings(s.console));
  EXPECT_EQ(s.console.protocol.currentController, 1);
  EXPECT_EQ(s.console.controls.settingBusy, (std::array<std::uint8_t, 4>{0, 4, 0, 0}));
  EXPECT_EQ(s.host.arrayModel(2)->settingFlags & kSettingBuzzerOn, 0);
  EXPECT_EQ(s.host.arrayModel(1)->settingFlags & kSettingBuzzerOn, kSettingBuzzerOn);
  EXPECT_EQ(s.host.violationCount(), 0u) << s.violations();
}

}  // namespace
}  // namespace tervalo
