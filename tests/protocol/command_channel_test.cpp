#include "protocol/command_channel.h"

#include <gtest/gtest.h>

#include <set>

#include "device/drive_table.h"
#include "protocol/spi_flash.h"
#include "sim_console.h"

namespace tervalo {
namespace {

using sim::AccessPath;
using sim::FaultEffect;
using sim::FaultSpec;
using sim::RequestKind;
using testing::SimConsole;

// ---------------------------------------------------------------------------------------------
// The checksum

struct ChecksumCase {
  const char* name;
  std::vector<std::pair<std::size_t, std::uint8_t>> bytes;  // everything else zero
  std::uint8_t low, high;
};

TEST(CommandSectorChecksum, CoversBytes7To509Only) {
  const std::vector<ChecksumCase> cases{
      {"the worked example", {{7, 0xFF}, {8, 0x02}}, 0x01, 0x01},
      {"bytes 0..6 and 510..511 are outside", {{2, 0x20}, {3, 1}, {4, 0xFF}, {5, 0xFF}, {6, 0xFF}, {510, 0x77}, {511, 0x66}}, 0, 0},
      {"the write marker is inside", {{509, 0x55}}, 0x55, 0x00},
  };
  for (const auto& c : cases) {
    Sector s{};
    for (const auto& [at, v] : c.bytes) s[at] = v;
    StampCommandSector(s);
    EXPECT_EQ(s[0], '3') << c.name;
    EXPECT_EQ(s[1], 'X') << c.name;
    EXPECT_EQ(s[510], c.low) << c.name;
    EXPECT_EQ(s[511], c.high) << c.name;
  }
  // All 503 covered bytes at 0xFF: 503 × 255 = 0x1F509, of which 0xF509 is stored.
  Sector full{};
  std::fill(full.begin() + 7, full.begin() + 510, 0xFF);
  StampCommandSector(full);
  EXPECT_EQ(full[510], 0x09);
  EXPECT_EQ(full[511], 0xF5);
}

TEST(RequestLba, FreshDrawsStayIn3To130AndSpreadOverTheRange) {
  testing::RecordingUi ui;
  ManualClock clock;
  sim::SimulatedHost host;
  Console console(host, ui, clock);
  seedRandom(console, 12345);
  std::set<int> seen;
  int repeats = 0;
  int previous = -1;
  for (int i = 0; i < 2000; ++i) {
    const int lba = NextRequestLba(console);
    ASSERT_GE(lba, 3);
    ASSERT_LE(lba, 130);
    EXPECT_EQ(console.protocol.lastRequestLba, lba);
    seen.insert(lba);
    if (lba == previous) ++repeats;
    previous = lba;
  }
  EXPECT_EQ(seen.size(), 128u) << "every request LBA gets drawn";
  EXPECT_LT(repeats, 60) << "consecutive draws are not stuck";
}

// ---------------------------------------------------------------------------------------------
// Mode orders on the mailbox path

TEST(ModeOrders, TwoMailboxOrdersGoToFreshRequestLbasWithValidSectors) {
  SimConsole s(AccessPath::Mailbox);
  std::set<std::uint32_t> lbas;
  DriveHandle held = OpenDrive(s.host, 1);
  for (int round = 0; round < 20; ++round) {
    ASSERT_TRUE(SendModeCommand(s.console, ModeSpiOpen, held));
    const std::uint8_t first = s.console.protocol.lastRequestLba;
    ASSERT_TRUE(SendModeCommand(s.console, ModeSpiClose, held));
    const std::uint8_t second = s.console.protocol.lastRequestLba;
    const auto log = s.host.orderLog();
    ASSERT_EQ(log.size(), 2u * (round + 1));
    const auto& a = log[log.size() - 2];
    const auto& b = log[log.size() - 1];
    EXPECT_EQ(a.kind, RequestKind::ModeSpiOpen);
    EXPECT_EQ(b.kind, RequestKind::ModeSpiClose);
    EXPECT_EQ(a.lba, first);
    EXPECT_EQ(b.lba, second);
    for (const auto* o : {&a, &b}) {
      EXPECT_GE(o->lba, 3u);
      EXPECT_LE(o->lba, 130u);
      EXPECT_TRUE(testing::validCommandSector(o->data));
      EXPECT_TRUE(o->accepted);
      lbas.insert(o->lba);
    }
  }
  held.close();
  EXPECT_GT(lbas.size(), 20u) << "each order draws its own LBA";
  EXPECT_EQ(s.host.violationCount(), 0u) << s.violations();
  EXPECT_EQ(s.host.openHandleCount(), 0);
}

TEST(ModeOrders, MailboxCodesOfEveryModeValue) {
  struct Case {
    std::uint8_t mode;
    std::uint8_t code, sub;
    RequestKind kind;
  };
  const Case cases[] = {{ModeSpiClose, 0x03, 0, RequestKind::ModeSpiClose},
                        {ModeSpiOpen, 0x03, 1, RequestKind::ModeSpiOpen},
                        {ModeLowRegionOpen, 0x04, 1, RequestKind::ModeLowOpen},
                        {ModeLowRegionClose, 0x04, 0, RequestKind::ModeLowClose},
                        {ModeUpgradeLeave, 0x10, 0, RequestKind::ModeUpgradeLeave},
                        {ModeUpgradeEnter, 0x10, 1, RequestKind::ModeUpgradeEnter}};
  SimConsole s(AccessPath::Mailbox);
  s.console.protocol.upgradeTarget = 0;
  DriveHandle held = OpenDrive(s.host, 1);
  for (const auto& c : cases) {
    s.host.clearOrderLog();
    ASSERT_TRUE(SendModeCommand(s.console, c.mode, held)) << int{c.mode};
    const auto log = s.host.orderLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].kind, c.kind) << int{c.mode};
    EXPECT_EQ(log[0].data[2], c.code);
    EXPECT_EQ(log[0].data[3], c.sub);
  }
  held.close();
  EXPECT_EQ(s.host.violationCount(), 0u) << s.violations();
  EXPECT_EQ(s.host.openHandleCount(), 0) << "modes 16 and 17 close what they opened";
}

TEST(ModeOrders, AfterAProgramStepTheNextModeOrderStillCarriesDataAndMarker) {
  SimConsole s(AccessPath::Mailbox, /*erased=*/true);
  std::vector<std::uint8_t> page(256);
  for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<std::uint8_t>(i * 7 + 3);
  s.enterUpgrade();
  s.host.clearOrderLog();
  ASSERT_TRUE(WriteSpi(s.console, 0x20000, 256, page.data()));
  s.leaveUpgrade();

  const auto log = s.host.orderLog();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0].kind, RequestKind::ModeSpiOpen);
  EXPECT_EQ(log[1].kind, RequestKind::SpiProgramOrder);
  EXPECT_EQ(log[2].kind, RequestKind::ModeSpiClose);
  EXPECT_EQ(log[3].kind, RequestKind::ModeUpgradeLeave);
  for (std::size_t i : {2u, 3u}) {
    const auto& mode = log[i];
    EXPECT_TRUE(mode.accepted);
    EXPECT_TRUE(testing::validCommandSector(mode.data)) << "checksum as received";
    EXPECT_EQ(mode.data[509], 0x55) << "the write marker stays";
    EXPECT_TRUE(std::equal(page.begin(), page.end(), mode.data.begin() + 7)) << "the page data stays";
  }
  EXPECT_EQ(s.host.violationCount(), 0u) << s.violations();
}

// ---------------------------------------------------------------------------------------------
// The vendor SCSI path takes no mode orders

TEST(ModeOrders, VendorScsiControllersTakeNoModeOrdersAndNothingIsOpened) {
  for (AccessPath path : {AccessPath::VendorSingle, AccessPath::VendorDouble}) {
    for (int target : {kNoUpgradeTarget, 0}) {
      SimConsole s(path);
      s.console.protocol.upgradeTarget = target;
      const auto opensBefore = s.host.requestCount(RequestKind::Open);
      const auto requestsBefore = s.host.totalRequests();
      for (std::uint8_t mode : {2, 3, 4, 5, 16, 17})
        EXPECT_TRUE(SendModeCommand(s.console, mode)) << testing::pathLabel(path) << " mode " << int{mode};
      EXPECT_EQ(s.host.requestCount(RequestKind::Open), opensBefore);
      EXPECT_EQ(s.host.totalRequests(), requestsBefore);
      EXPECT_TRUE(s.host.orderLog().empty());
      EXPECT_TRUE(s.ui.statusWrites.empty());
      EXPECT_TRUE(s.ui.messages.empty());
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Refusals and failures

TEST(ModeOrders, UpgradeModesWithoutATargetSendNothing) {
  for (AccessPath path : {AccessPath::Mailbox, AccessPath::Ata}) {
    for (std::uint8_t mode : {ModeUpgradeEnter, ModeUpgradeLeave}) {
      SimConsole s(path);
      const auto requestsBefore = s.host.totalRequests();
      EXPECT_FALSE(SendModeCommand(s.console, mode));
      EXPECT_EQ(s.ui.panel(kErrorPanel), "No Upgrade Mode!!!");
      ASSERT_EQ(s.ui.messages.size(), 1u);
      EXPECT_EQ(s.ui.messages[0], applicationBox("No Upgrade Mode !", "Message"));
      EXPECT_EQ(s.host.totalRequests(), requestsBefore) << "nothing opened, nothing sent";
    }
  }
  // A target beyond the controller count is no target either.
  SimConsole s(AccessPath::Mailbox);
  s.console.protocol.upgradeTarget = 1;
  EXPECT_FALSE(SendModeCommand(s.console, ModeUpgradeEnter));
  EXPECT_EQ(s.ui.panel(kErrorPanel), "No Upgrade Mode!!!");
}

TEST(ModeOrders, UpgradeModesWithoutControllersOrDriveFail) {
  SimConsole none;
  none.host.addPlainDisk(0);
  ASSERT_EQ(none.detect(), 0);
  none.console.protocol.upgradeTarget = 0;
  EXPECT_FALSE(SendModeCommand(none.console, ModeUpgradeEnter));
  EXPECT_EQ(none.ui.panel(kErrorPanel), "Device not found!!!");
  ASSERT_EQ(none.ui.messages.size(), 1u);
  EXPECT_EQ(none.ui.messages[0], applicationBox("No Device found !", "Message"));

  SimConsole gone(AccessPath::Ata);
  gone.console.protocol.upgradeTarget = 0;
  gone.host.setDrivePresent(1, false);
  EXPECT_FALSE(SendModeCommand(gone.console, ModeUpgradeEnter));
  ASSERT_EQ(gone.ui.messages.size(), 1u);
  EXPECT_EQ(gone.ui.messages[0], systemBox("Invalid Drive"));
  EXPECT_EQ(gone.host.openHandleCount(), 0);
}

TEST(ModeOrders, VendorAtaFailureNamesTheFeatureInTwoHexDigits) {
  struct Case {
    std::uint8_t mode;
    RequestKind kind;
    const char* text;
  };
  const Case cases[] = {{ModeSpiClose, RequestKind::ModeSpiClose, "VU command 0x88 FEA 02 Error"},
                        {ModeSpiOpen, RequestKind::ModeSpiOpen, "VU command 0x88 FEA 03 Error"},
                        {ModeLowRegionOpen, RequestKind::ModeLowOpen, "VU command 0x88 FEA 04 Error"},
                        {ModeLowRegionClose, RequestKind::ModeLowClose, "VU command 0x88 FEA 05 Error"},
                        {ModeUpgradeLeave, RequestKind::ModeUpgradeLeave, "VU command 0x88 FEA 10 Error"},
                        {ModeUpgradeEnter, RequestKind::ModeUpgradeEnter, "VU command 0x88 FEA 11 Error"}};
  for (const auto& c : cases) {
    SimConsole s(AccessPath::Ata);
    s.console.protocol.upgradeTarget = 0;
    s.host.addFault(FaultSpec{1, c.kind, 1, 1, FaultEffect::Fail, 0});
    DriveHandle held = OpenDrive(s.host, 1);
    EXPECT_FALSE(SendModeCommand(s.console, c.mode, held));
    EXPECT_EQ(s.ui.panel(kErrorPanel), c.text);
    EXPECT_TRUE(s.ui.messages.empty());
    held.close();
    EXPECT_EQ(s.host.openHandleCount(), 0);
  }
}

TEST(ModeOrders, MailboxWriteFailureNamesTheRequestLbaInDecimal) {
  for (std::uint8_t mode : {ModeSpiOpen, ModeUpgradeEnter}) {
    SimConsole s(AccessPath::Mailbox);
    s.console.protocol.upgradeTarget = 0;
    seedRandom(s.console, 99);
    s.host.addFault(FaultSpec{1, *sim::modeOrderKind(mode), 1, 1, FaultEffect::Fail, 0});
    DriveHandle held = OpenDrive(s.host, 1);
    EXPECT_FALSE(SendModeCommand(s.console, mode, held));
    const int lba = s.console.protocol.lastRequestLba;
    ASSERT_GE(lba, 3);
    EXPECT_EQ(s.ui.panel(kErrorPanel), "Write Error at Sec_CNT=1 LBA=" + std::to_string(lba));
    held.close();
    EXPECT_EQ(s.host.openHandleCount(), 0);
  }
}

}  // namespace
}  // namespace tervalo
