#include "device/detection.h"

#include <gtest/gtest.h>

#include <functional>

#include "device/drive_table.h"
#include "protocol/status_record.h"
#include "sim/scenario.h"
#include "sim/simulated_host.h"
#include "support/recording_ui.h"

namespace tervalo {
namespace {

using sim::AccessPath;
using sim::FaultEffect;
using sim::FaultSpec;
using sim::RequestKind;
using sim::Scenario;
using sim::SimulatedHost;

struct Probe {
  Probe(Scenario s, std::vector<FaultSpec> f = {}, std::optional<int> count = {}, std::function<void(Console&)> b = {})
      : scenario(std::move(s)), faults(std::move(f)), physicalDriveCount(count), before(std::move(b)) {}
  Scenario scenario;
  std::vector<FaultSpec> faults;
  // Overrides the count of openable drives that start-up would have taken.
  std::optional<int> physicalDriveCount;
  std::function<void(Console&)> before;
};

struct ProbeRun {
  std::unique_ptr<SimulatedHost> host;
  testing::RecordingUi ui;
  ManualClock clock;
  std::unique_ptr<Console> console;
  std::vector<std::uint32_t> list;
};

std::unique_ptr<ProbeRun> runProbe(const Probe& probe) {
  auto run = std::make_unique<ProbeRun>();
  run->host = std::make_unique<SimulatedHost>(probe.scenario);
  run->console = std::make_unique<Console>(*run->host, run->ui, run->clock);
  Console& console = *run->console;
  console.device.driveLetterCount = ScanLogicalDrives(console);
  console.device.physicalDriveCount =
      probe.physicalDriveCount ? *probe.physicalDriveCount : CountPhysicalDrives(console);
  for (const auto& f : probe.faults) run->host->addFault(f);
  if (probe.before) probe.before(console);
  DetectDevices(console);
  for (int i = 0; i < console.device.controllerCount; ++i) run->list.push_back(console.device.controllerList[i]);
  return run;
}

Scenario withController(int drive, AccessPath path, std::function<void(sim::DriveConfig&)> tweak = {}) {
  Scenario s;
  s.addPlainDisk(0);
  auto& d = s.addController(drive, path);
  if (tweak) tweak(d);
  return s;
}

TEST(ControllerDetection, RecordsEachControllerWithItsAccessPath) {
  struct Case {
    const char* name;
    Probe probe;
    std::vector<std::uint32_t> list;
    std::optional<std::uint8_t> singlePrefixAfter;
    std::string panel4;
    std::function<void(const SimulatedHost&)> check;
  };
  const std::vector<Case> cases = {
      {"mailbox on drive 1 gets no vendor test",
       Probe(withController(1, AccessPath::Mailbox)),
       {0x41},
       {},
       "",
       [](const SimulatedHost& h) {
         EXPECT_EQ(h.requestCount(RequestKind::Inquiry, 1), 0u);
         EXPECT_EQ(h.requestCount(RequestKind::VendorIdentify, 1) + h.requestCount(RequestKind::VendorQuery, 1) +
                       h.requestCount(RequestKind::VendorUnknown, 1),
                   0u);
         EXPECT_EQ(h.requestCount(RequestKind::AtaIdentify, 1) + h.requestCount(RequestKind::AtaOther, 1), 1u)
             << "the IDENTIFY test is always made";
       }},
      {"vendor ATA", Probe(withController(1, AccessPath::Ata)), {0x11}, {}, "", {}},
      {"mailbox and vendor ATA together", Probe(withController(2, AccessPath::MailboxAta)), {0x52}, {}, "", {}},
      {"single-prefix vendor SCSI on drive 2", Probe(withController(2, AccessPath::VendorSingle)), {0xA2}, 1, "", {}},
      {"double-prefix vendor SCSI on drive 3",
       Probe(withController(3, AccessPath::VendorDouble)),
       {0x23},
       0,
       "",
       [](const SimulatedHost& h) {
         // The single-prefix identify read and query came first and found nothing.
         EXPECT_GE(h.requestCount(RequestKind::VendorUnknown, 3), 2u);
       }},
      {"a query answer counts though the identify read failed",
       Probe(withController(2, AccessPath::VendorSingle), {FaultSpec{2, RequestKind::VendorIdentify, 1, 0, FaultEffect::Fail, 0}}),
       {0xA2},
       1,
       "",
       [](const SimulatedHost& h) { EXPECT_EQ(h.requestCount(RequestKind::VendorQuery, 2), 1u); }},
      {"an INQUIRY length other than 31 ends the vendor tests",
       Probe(withController(1, AccessPath::VendorSingle, [](sim::DriveConfig& d) { d.inquiryAdditionalLength = 91; })),
       {},
       {},
       "",
       [](const SimulatedHost& h) {
         EXPECT_EQ(h.requestCount(RequestKind::Inquiry, 1), 1u);
         EXPECT_EQ(h.requestCount(RequestKind::VendorIdentify, 1) + h.requestCount(RequestKind::VendorQuery, 1) +
                       h.requestCount(RequestKind::VendorUnknown, 1),
                   0u);
       }},
      {"a failed LBA 58 read still lists the ATA path",
       Probe(withController(1, AccessPath::Ata), {FaultSpec{1, RequestKind::PlainRead, 1, 1, FaultEffect::Fail, 0}}),
       {0x11},
       {},
       "Read Error for LBA = 58 and sector count = 1",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto run = runProbe(c.probe);
    EXPECT_EQ(run->list, c.list);
    if (c.singlePrefixAfter) {
      EXPECT_EQ(run->console->device.singlePrefixCdb, *c.singlePrefixAfter);
    }
    EXPECT_EQ(run->ui.panel(kErrorPanel), c.panel4);
    if (c.check) c.check(*run->host);
    EXPECT_EQ(run->host->openHandleCount(), 0u);
    EXPECT_EQ(run->host->violationCount(), 0u) << run->host->violationReport();
  }
}

TEST(ControllerDetection, StopsOnceThePhysicalDriveCountIsOpened) {
  // Drives 0 and 3 open, so start-up counted two; drive 5 exists only later and is never probed.
  Scenario s;
  s.addPlainDisk(0);
  s.addController(3, AccessPath::Mailbox);
  s.addController(5, AccessPath::Mailbox);
  auto run = runProbe(Probe(s, {}, 2));
  EXPECT_EQ(run->list, (std::vector<std::uint32_t>{0x43}));
  EXPECT_EQ(run->host->requestCount(RequestKind::Open, 5), 0u);
  EXPECT_EQ(run->host->requestCount(RequestKind::Open, 3), 1u);
}

TEST(ControllerDetection, RecordsAtMostEightControllers) {
  Scenario s;
  for (int d = 0; d < 10; ++d) s.addController(d, AccessPath::Mailbox);
  auto run = runProbe(Probe(s));
  ASSERT_EQ(run->console->device.controllerCount, 8);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(run->list[i], 0x40u | i);
  EXPECT_EQ(run->host->openHandleCount(), 0u);
}

TEST(ControllerDetection, KeepsTheIdentifyBlockOfEachController) {
  Scenario s;
  s.addPlainDisk(0);
  auto& d = s.addController(1, AccessPath::Mailbox);
  d.controller->identify.firmwareRevision = "090619.2";
  d.controller->identify.model = "Enclosure Model X";
  auto run = runProbe(Probe(s));
  const Sector& block = run->console->device.identifyData[1];
  EXPECT_EQ(identifyFirmwareRevision(block), "090619.2");
  EXPECT_EQ(trimModelNumber(identifyModelNumber(block)), "Enclosure Model X");
}

TEST(ControllerDetection, LeavesTheControllerOfAFirmwareOperationAlone) {
  Scenario s;
  s.addPlainDisk(0);
  s.addController(1, AccessPath::Mailbox);
  s.addController(2, AccessPath::Ata);
  Probe first(s);
  auto run = runProbe(first);
  ASSERT_EQ(run->list, (std::vector<std::uint32_t>{0x41, 0x12}));

  // A firmware operation holds controller 1 (drive 2); a new detection run must not touch it.
  Console& console = *run->console;
  console.protocol.upgradeTarget = 1;
  const auto opensBefore = run->host->requestCount(RequestKind::Open, 2);
  const auto requestsBefore = run->host->totalRequests();
  DetectDevices(console);
  EXPECT_EQ(run->host->requestCount(RequestKind::Open, 2), opensBefore);
  ASSERT_EQ(console.device.controllerCount, 2);
  EXPECT_EQ(console.device.controllerList[0], 0x41u);
  EXPECT_EQ(console.device.controllerList[1], 0x12u);
  EXPECT_GT(run->host->totalRequests(), requestsBefore);
}

TEST(ControllerDetection, AVanishedControllerLeavesTheList) {
  auto run = runProbe(Probe(withController(1, AccessPath::Mailbox)));
  ASSERT_EQ(run->list.size(), 1u);
  run->host->setDrivePresent(1, false);
  DetectDevices(*run->console);
  EXPECT_EQ(run->console->device.controllerCount, 0);
  run->host->setDrivePresent(1, true);
  DetectDevices(*run->console);
  EXPECT_EQ(run->console->device.controllerCount, 1);
}

}  // namespace
}  // namespace tervalo
