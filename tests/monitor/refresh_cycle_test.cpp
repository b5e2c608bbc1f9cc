// The refresh cycle against simulated controllers: which pages are read when, how failing
// controllers are retried and dropped, and when monitoring stops by itself.
#include "monitor/refresh_cycle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "core/console.h"
#include "device/detection.h"
#include "device/drive_table.h"
#include "eventlog/log_lines.h"
#include "sim/simulated_host.h"
#include "support/recording_monitor_view.h"
#include "support/recording_ui.h"

namespace tervalo {
namespace {

using testing::RecordingMonitorView;
using testing::RecordingUi;

// Passes everything to the simulator and remembers which physical drives were opened.
class OpenRecordingHost : public RawDiskHost {
 public:
  explicit OpenRecordingHost(sim::SimulatedHost& inner) : inner_(inner) {}
  std::vector<VolumeInfo> listVolumes() override { return inner_.listVolumes(); }
  HostHandle openPhysicalDrive(int n) override {
    opened.push_back(n);
    return inner_.openPhysicalDrive(n);
  }
  HostHandle openVolume(const std::string& identity) override { return inner_.openVolume(identity); }
  bool volumeExtent(HostHandle h, DiskExtent& e) override { return inner_.volumeExtent(h, e); }
  bool sendScsi(HostHandle h, const ScsiRequest& r) override { return inner_.sendScsi(h, r); }
  bool sendAta(HostHandle h, AtaRegisters& r, std::uint8_t* d, std::uint32_t s) override {
    return inner_.sendAta(h, r, d, s);
  }
  void rescanBus(HostHandle h) override { inner_.rescanBus(h); }
  void close(HostHandle h) override { inner_.close(h); }

  std::vector<int> opened;

 private:
  sim::SimulatedHost& inner_;
};

// A system disk at drive 0 and `controllers` healthy mirrors at drives 1..n; page i is drive i+1.
// Each array has its own capacity so that presentations tell the pages apart.
sim::Scenario controllersScenario(int controllers) {
  sim::Scenario s;
  s.addPlainDisk(0);
  for (int i = 0; i < controllers; ++i) {
    sim::ControllerConfig c = sim::healthyMirrorController(sim::AccessPath::Mailbox);
    c.record.arrayCapacity = std::uint64_t{976773168} * static_cast<std::uint64_t>(i + 1);
    s.addController(i + 1, c);
  }
  return s;
}

class RefreshCycle : public ::testing::Test {
 protected:
  // Detection, pages as the rebuild after detection leaves them, then "Start".
  void startMonitoring(const sim::Scenario& scenario) {
    sim_ = std::make_unique<sim::SimulatedHost>(scenario);
    host_ = std::make_unique<OpenRecordingHost>(*sim_);
    console_ = std::make_unique<Console>(*host_, ui_, clock_);
    Console& c = *console_;
    countDrivesAndDetect(c);
    ASSERT_EQ(c.device.controllerCount, static_cast<int>(scenario.drives.size()) - 1);
    c.controls.activePage = 0;
    Button10Click(c, view_);
    ASSERT_TRUE(c.monitoring.monitoringRunning());
  }

  void TearDown() override {
    if (sim_) {
      EXPECT_EQ(sim_->violationCount(), 0u) << sim_->violationReport();
    }
  }

  // One cycle; returns the pages whose controller was opened, in order.
  std::vector<int> cycle() {
    host_->opened.clear();
    lastMask_ = RefreshDevicePages(*console_, view_);
    std::vector<int> pages;
    for (int drive : host_->opened) pages.push_back(drive - 1);
    return pages;
  }

  Console& console() { return *console_; }
  MonitoringState& monitoring() { return console_->monitoring; }

  void expectIdleButtons() {
    EXPECT_FALSE(monitoring().monitoringRunning());
    EXPECT_EQ(monitoring().pendingRequests.load(), 0);
    EXPECT_FALSE(monitoring().timerEnabled);
    EXPECT_EQ(view_.timerOn, false);
    EXPECT_EQ(view_.isEnabled(MonitorControl::Start), true);
    EXPECT_EQ(view_.isEnabled(MonitorControl::Stop), false);
  }

  RecordingUi ui_;
  ManualClock clock_{LocalDateTime{2024, 5, 6, 9, 0, 0}};
  RecordingMonitorView view_;
  std::unique_ptr<sim::SimulatedHost> sim_;
  std::unique_ptr<OpenRecordingHost> host_;
  std::unique_ptr<Console> console_;
  std::uint8_t lastMask_ = 0;
};

TEST_F(RefreshCycle, StartRequestsARefreshAndSwitchesTheButtons) {
  startMonitoring(controllersScenario(1));
  EXPECT_EQ(monitoring().pendingRequests.load(), kMonitoringRunning | kRequestRefresh);
  EXPECT_TRUE(monitoring().timerEnabled);
  EXPECT_EQ(view_.timerOn, true);
  for (MonitorControl c : {MonitorControl::Start, MonitorControl::Upgrade, MonitorControl::LoadFirmware,
                           MonitorControl::StartUpgrade, MonitorControl::DeviceSelector, MonitorControl::Offset49152})
    EXPECT_EQ(view_.isEnabled(c), false) << monitorControlName(c);
  EXPECT_EQ(view_.isEnabled(MonitorControl::Stop), true);
}

TEST_F(RefreshCycle, AllBoxesUncheckedReadsNothingRunsDetectionAndStops) {
  startMonitoring(controllersScenario(2));
  EXPECT_EQ(cycle(), (std::vector<int>{0, 1}));
  for (int page = 0; page < 2; ++page) setDeviceCheckBox(console(), view_, page, false);
  EXPECT_EQ(view_.tabVisible[0], false);
  EXPECT_EQ(view_.tabVisible[1], false);
  ASSERT_TRUE(monitoring().monitoringRunning());
  // A stop order's mark is cleared by every detection pass, so it shows that the pass ran.
  console().eventLog.pages[1].scanAbortMark = 1;
  const std::uint32_t reads = sim_->statusReadCount(1) + sim_->statusReadCount(2);

  EXPECT_TRUE(cycle().empty());
  EXPECT_EQ(lastMask_, 0);
  EXPECT_EQ(sim_->statusReadCount(1) + sim_->statusReadCount(2), reads);
  EXPECT_EQ(console().eventLog.pages[1].scanAbortMark, 0);
  expectIdleButtons();
}

TEST_F(RefreshCycle, TimerTicksRequestRefreshesOnlyWhileMonitoring) {
  startMonitoring(controllersScenario(1));
  EXPECT_EQ(RunPendingRequest(console(), view_), kRequestRefresh);
  EXPECT_EQ(monitoring().pendingRequests.load(), kMonitoringRunning);
  Timer2Timer(console());
  EXPECT_EQ(monitoring().pendingRequests.load(), kMonitoringRunning | kRequestRefresh);
  EXPECT_EQ(RunPendingRequest(console(), view_), kRequestRefresh);
  EXPECT_EQ(sim_->statusReadCount(1), 2u);

  Button11Click(console(), view_);
  expectIdleButtons();
  Timer2Timer(console());
  EXPECT_EQ(RunPendingRequest(console(), view_), 0);
  EXPECT_EQ(sim_->statusReadCount(1), 2u);
}

TEST_F(RefreshCycle, RefreshRunsBeforeAQueuedScanOrder) {
  startMonitoring(controllersScenario(1));
  monitoring().pendingRequests.fetch_or(kRequestScan);
  console().controls.scanStart = 1;
  console().controls.scanPort = 0;
  console().controls.scanLastLba = 976773167;
  EXPECT_EQ(RunPendingRequest(console(), view_), kRequestRefresh);
  EXPECT_EQ(sim_->requestCount(sim::RequestKind::ScanOrder, 1), 0u);
  EXPECT_EQ(monitoring().pendingRequests.load(), kMonitoringRunning | kRequestScan);
  EXPECT_EQ(RunPendingRequest(console(), view_), kRequestScan);
  EXPECT_EQ(sim_->requestCount(sim::RequestKind::ScanOrder, 1), 1u);
  EXPECT_EQ(monitoring().pendingRequests.load(), kMonitoringRunning);
}

// A controller whose status reads fail: per cycle, whether it was read, its counter afterwards
// and whether monitoring still runs.
struct FailingReadCase {
  const char* name;
  std::uint32_t failures;  // consecutive failed reads from the first; 0: for good
  std::vector<int> readInCycle;
  std::vector<int> counterAfter;
  bool dropped;
};

class FailingReads : public RefreshCycle, public ::testing::WithParamInterface<FailingReadCase> {};

TEST_P(FailingReads, AreRetriedEverySecondCycleAndDroppedAfterTheSixth) {
  const FailingReadCase& c = GetParam();
  sim::Scenario s = controllersScenario(1);
  s.faults.push_back({1, sim::RequestKind::StatusRead, 1, c.failures, sim::FaultEffect::Fail, 0});
  startMonitoring(s);
  for (std::size_t k = 0; k < c.readInCycle.size(); ++k) {
    SCOPED_TRACE("cycle " + std::to_string(k + 1));
    const std::vector<int> read = cycle();
    EXPECT_EQ(read, c.readInCycle[k] ? std::vector<int>{0} : std::vector<int>{});
    EXPECT_EQ(monitoring().readFailures[0], c.counterAfter[k]);
    const bool droppedNow = c.dropped && k + 1 >= 11;
    EXPECT_EQ(monitoring().deviceChecked[0], !droppedNow);
    // The only controller: monitoring goes on while a retry is pending and stops once it is dropped.
    EXPECT_EQ(monitoring().monitoringRunning(), !droppedNow);
  }
  if (c.dropped) {
    EXPECT_EQ(view_.boxChecked[0], false);
    EXPECT_EQ(view_.tabVisible[0], false);
    expectIdleButtons();
  } else {
    EXPECT_EQ(view_.boxChecked[0], std::nullopt);  // never touched
    EXPECT_EQ(view_.tabVisible[0], true);
  }
  EXPECT_EQ(ui_.panel(kErrorPanel), "Read Error for LBA = 33 and sector count = 1");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailingReads,
    ::testing::Values(
        FailingReadCase{"ForGood", 0, {1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 0}, true},
        FailingReadCase{"Once", 1, {1, 0, 1, 1, 1}, {1, 2, 0, 0, 0}, false},
        FailingReadCase{"FiveTimes", 5, {1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 1, 1},
                        {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 0, 0}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RefreshCycle, ADroppedPageLeavesTheOthersMonitored) {
  sim::Scenario s = controllersScenario(2);
  s.faults.push_back({2, sim::RequestKind::StatusRead, 1, 0, sim::FaultEffect::Fail, 0});
  startMonitoring(s);
  for (int k = 1; k <= 11; ++k) EXPECT_EQ(cycle(), (k % 2 ? std::vector<int>{0, 1} : std::vector<int>{0})) << k;
  EXPECT_FALSE(monitoring().deviceChecked[1]);
  EXPECT_EQ(view_.tabVisible[1], false);
  EXPECT_EQ(view_.tabVisible[0], true);
  EXPECT_TRUE(monitoring().monitoringRunning());
  EXPECT_EQ(cycle(), std::vector<int>{0});

  // Checking the box again brings the page back with a fresh counter.
  sim_->clearFaults();
  setDeviceCheckBox(console(), view_, 1, true);
  EXPECT_EQ(view_.tabVisible[1], true);
  EXPECT_EQ(cycle(), (std::vector<int>{0, 1}));
  EXPECT_EQ(lastMask_, 0x03);
}

TEST_F(RefreshCycle, TheUpgradeTargetIsNeverRead) {
  startMonitoring(controllersScenario(1));
  console().protocol.upgradeTarget = 0;
  EXPECT_TRUE(cycle().empty());
  EXPECT_EQ(sim_->statusReadCount(1), 0u);
  expectIdleButtons();
  // Idle with a controller whose flags name an access path: the upgrade buttons come back.
  EXPECT_EQ(view_.isEnabled(MonitorControl::Upgrade), true);
  EXPECT_EQ(view_.isEnabled(MonitorControl::DeviceSelector), true);
}

TEST_F(RefreshCycle, OtherPagesAreReadDuringAnUpgrade) {
  startMonitoring(controllersScenario(3));
  console().protocol.upgradeTarget = 1;
  EXPECT_EQ(cycle(), (std::vector<int>{0, 2}));
  EXPECT_EQ(lastMask_, 0x05);
  EXPECT_TRUE(monitoring().monitoringRunning());
}

TEST_F(RefreshCycle, FourHealthyControllersAreReadInPageOrderAndTheActivePageIsPresented) {
  startMonitoring(controllersScenario(4));
  console().controls.activePage = 2;
  EXPECT_EQ(cycle(), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(lastMask_, 0x0F);
  EXPECT_EQ(console().protocol.currentController, 3);
  EXPECT_EQ(console().protocol.currentRecordPage, 2);
  for (int page = 0; page < 4; ++page) EXPECT_EQ(view_.tabVisible[static_cast<std::size_t>(page)], true);
  ASSERT_EQ(view_.panels.size(), 1u);
  EXPECT_EQ(view_.panels[0].label27, " Capacity: " + std::to_string((976773168ull * 3) >> 21) + " GB");
  EXPECT_FALSE(console().monitor.firstPass);
  // The first cycle wrote the start banner and the four device blocks.
  const auto& lines = console().eventLog.buffer.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Device4 information :"), 1);
}

TEST_F(RefreshCycle, FirstPassForcesTheFullRedrawUntilARecordIsPresented) {
  startMonitoring(controllersScenario(1));
  cycle();
  ASSERT_EQ(view_.panels.size(), 1u);
  EXPECT_TRUE(view_.panels[0].label19.text.has_value());
  cycle();
  ASSERT_EQ(view_.panels.size(), 2u);
  // Same record, no force: the port labels are left alone.
  EXPECT_FALSE(view_.panels[1].label19.text.has_value());
  EXPECT_TRUE(view_.panels[1].label17.has_value());
}

TEST_F(RefreshCycle, StopWithoutControllersDisablesEverything) {
  startMonitoring(controllersScenario(1));
  console().device.controllerCount = 0;
  StopMonitoring(console(), view_);
  for (MonitorControl c : {MonitorControl::Start, MonitorControl::Stop, MonitorControl::LoadFirmware,
                           MonitorControl::StartUpgrade, MonitorControl::Upgrade})
    EXPECT_EQ(view_.isEnabled(c), false) << monitorControlName(c);
  EXPECT_EQ(monitoring().pendingRequests.load(), 0);
}

TEST_F(RefreshCycle, StopAddressesTheSelectorsController) {
  startMonitoring(controllersScenario(3));
  cycle();
  EXPECT_EQ(console().protocol.currentController, 2);
  monitoring().deviceSelector = 1;
  monitoring().pendingRequests.fetch_or(kRequestSettings);  // a queued order is dropped
  Button11Click(console(), view_);
  EXPECT_EQ(console().protocol.currentController, 1);
  expectIdleButtons();
}

}  // namespace
}  // namespace tervalo
