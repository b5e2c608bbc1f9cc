// Start-up state, detection and the device pages, the debounce of device changes, the refresh
// hand-over and the array controls of the main window.
#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <thread>

#include "app_fixture.h"
#include "eventlog/log_time.h"
#include "protocol/status_record.h"

namespace tervalo::app::testing {
namespace {

class StartUp : public WindowTest {};

TEST_F(StartUp, ControlsAndStateAreAsTheFormLeavesThem) {
  MainWindow& w = makeWindow();
  Console& c = w.console();
  EXPECT_EQ(w.windowTitle().toStdString(), "Tervalo v0.22");
  EXPECT_EQ(w.size(), QSize(623, 505));
  EXPECT_EQ(w.font().family().toStdString(), "Arial");
  EXPECT_EQ(w.font().pixelSize(), 13);

  EXPECT_EQ(label("StaticText1")->text().toStdString(), "Drive detecting");
  EXPECT_FALSE(hidden(label("StaticText1")));
  EXPECT_TRUE(hidden(child<QSpinBox>("UpDown1")));
  const std::string stamp = formatTimeStamp(kStart, c.eventLog.timeFormat);
  EXPECT_EQ(label("StaticText2")->text().toStdString(), "GUI start Time : " + stamp);
  EXPECT_EQ(label("StaticText3")->text().toStdString(), "Time Elapsed 0-00:00:00");
  EXPECT_EQ(label("StaticText4")->text().toStdString(), "Drive removed at: " + stamp);
  EXPECT_TRUE(hidden(label("StaticText4")));
  EXPECT_TRUE(label("StaticText5")->text().isEmpty());

  struct ControlState {
    const char* name;
    bool hidden;
    bool enabled;
  };
  const ControlState controls[] = {
      {"BitBtn1", false, false},  {"Button2", false, false},       {"Button10", false, false},
      {"Button11", false, false}, {"Button8", true, false},        {"CheckBox2", true, false},
      {"RadioButton1M", true, false}, {"RadioButton4M", true, false}, {"Button9", true, true},
      {"Button1", true, true},    {"Button3", true, true},         {"Button4", true, true},
      {"CheckBox1", true, true},  {"CheckBox3", true, true},       {"CheckBox4", true, true},
      {"CheckBox5", true, true},  {"CheckBox7", true, false},      {"CheckBox6", false, false},
      {"Panel1", true, true},     {"Memo1", true, true},           {"Label15", true, true},
      {"Label21", true, true},    {"Label22", true, true},         {"Label20", false, true},
      {"Label23", false, true},
  };
  for (const ControlState& expected : controls) {
    QWidget* widget = child<QWidget>(expected.name);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(hidden(widget), expected.hidden) << expected.name;
    EXPECT_EQ(widget->isEnabled(), expected.enabled) << expected.name;
  }
  EXPECT_TRUE(checkBox("CheckBox2")->isChecked());
  for (const char* name : {"CheckBox1", "CheckBox3", "CheckBox4", "CheckBox5"})
    EXPECT_TRUE(checkBox(name)->isChecked()) << name;
  for (const char* name : {"Label18", "Label19", "Label24", "Label25", "Label26", "Label1", "Label27", "Label17"})
    EXPECT_TRUE(label(name)->text().isEmpty()) << name;
  for (int i = 0; i < kDevicePages; ++i) EXPECT_FALSE(tabs()->isTabVisible(i)) << i;
  EXPECT_EQ(c.controls.activePage, -1);

  const int widths[] = {100, 80, 80, 100, 250};
  for (int i = 0; i < kStatusPanelCount; ++i) {
    QLabel* panel = label(QString("StatusPanel%1").arg(i).toLatin1().constData());
    EXPECT_EQ(panel->width(), widths[i]);
    EXPECT_TRUE(panel->text().isEmpty());
  }

  EXPECT_EQ(c.protocol.upgradeTarget, kNoUpgradeTarget);
  EXPECT_EQ(c.device.controllerCount, 0);
  EXPECT_GT(c.device.physicalDriveCount, 0);
  for (const auto& page : c.eventLog.pages) EXPECT_EQ(page.lastProgress, kNoProgressTracked);
  EXPECT_TRUE(c.monitor.firstPass);
  EXPECT_EQ(c.protocol.spiSize, 0x80000u);
  EXPECT_TRUE(w.detectRequested());
  EXPECT_TRUE(w.detectionRunning());
  EXPECT_FALSE(w.detectionDone());
  EXPECT_EQ(c.monitoring.pendingRequests.load(), 0);
}

TEST_F(StartUp, TheLabelBlinksDuringTheFirstDetectionOnly) {
  MainWindow& w = makeWindow();
  QLabel* text1 = label("StaticText1");
  w.Timer4Timer();
  EXPECT_TRUE(hidden(text1));
  w.Timer4Timer();
  EXPECT_FALSE(hidden(text1));
  w.Timer4Timer();
  EXPECT_TRUE(hidden(text1));
  detectAndRebuild();
  EXPECT_FALSE(hidden(text1));
  EXPECT_EQ(text1->text().toStdString(), "1/2 Device1[sdb1]");
  // A later detection run leaves the device label standing.
  simHost->setDrivePresent(2, false);
  w.WMDeviceChange();
  for (int i = 0; i < 5; ++i) w.Timer4Timer();
  ASSERT_TRUE(w.detectionRunning());
  w.Timer4Timer();
  w.Timer4Timer();
  EXPECT_FALSE(hidden(text1));
}

class DevicePages : public WindowTest {};

TEST_F(DevicePages, TwoControllersGiveTwoTabsAndTheSelector) {
  MainWindow& w = makeWindow();
  detectAndRebuild();
  Console& c = w.console();
  EXPECT_FALSE(w.detectionDone());
  EXPECT_FALSE(w.detectionRunning());
  EXPECT_EQ(c.device.controllerCount, 2);
  EXPECT_TRUE(tabs()->isTabVisible(0));
  EXPECT_TRUE(tabs()->isTabVisible(1));
  EXPECT_FALSE(tabs()->isTabVisible(2));
  EXPECT_FALSE(tabs()->isTabVisible(3));
  EXPECT_EQ(tabs()->tabText(0).toStdString(), "Device1");
  EXPECT_EQ(tabs()->tabText(1).toStdString(), "Device2");
  EXPECT_EQ(c.controls.activePage, 0);

  auto* selector = child<QSpinBox>("UpDown1");
  EXPECT_FALSE(hidden(selector));
  EXPECT_EQ(selector->maximum(), 1);
  EXPECT_EQ(label("StaticText1")->text().toStdString(), "1/2 Device1[sdb1]");
  EXPECT_EQ(w.deviceLabel(), "1/2 Device1[sdb1]");

  EXPECT_FALSE(hidden(checkBox("CheckBox1")));
  EXPECT_FALSE(hidden(checkBox("CheckBox3")));
  EXPECT_TRUE(hidden(checkBox("CheckBox4")));
  EXPECT_EQ(checkBox("CheckBox1")->toolTip().toStdString(), "HD1");
  EXPECT_EQ(checkBox("CheckBox3")->toolTip().toStdString(), "HD2");
  EXPECT_EQ(checkBox("CheckBox3")->text().toStdString(), "Device2");

  for (const char* name : {"Button10", "BitBtn1", "Button2"}) EXPECT_TRUE(button(name)->isEnabled()) << name;
  EXPECT_FALSE(button("Button11")->isEnabled());
  EXPECT_FALSE(hidden(button("Button1")));
  EXPECT_TRUE(hidden(button("Button8")));  // enabled, but never shown
  EXPECT_FALSE(hidden(checkBox("CheckBox7")));  // revision 100315.1 supports scans
  EXPECT_EQ(w.windowTitle().toStdString(), "Tervalo v0.22 - Tervalo Sim Mirror Bridge [sdb1]");
  EXPECT_EQ(c.monitoring.pendingRequests.load(), kRequestRefresh);

  // The selector names the controller of the firmware operations, not the page on display.
  selector->setValue(1);
  EXPECT_EQ(label("StaticText1")->text().toStdString(), "2/2 Device2[sdc1]");
  EXPECT_EQ(c.monitoring.deviceSelector, 1);
  EXPECT_EQ(c.controls.activePage, 0);
}

TEST_F(DevicePages, OneRefreshPresentsBothPages) {
  MainWindow& w = makeWindow();
  detectAndRebuild();
  EXPECT_EQ(w.deliverPendingRequest(), kRequestRefresh);
  EXPECT_EQ(label("Label18")->text().toStdString(), "Normal");
  EXPECT_EQ(label("Label17")->text().toStdString(), "Mirror");
  EXPECT_EQ(label("Label27")->text().toStdString(), " Capacity: 465 GB");
  EXPECT_TRUE(label("Label19")->text().startsWith("P0 is initialized(SATA2)\nSerial# :"));
  EXPECT_TRUE(label("StaticText5")->text().startsWith("F/W Rev. 100315.1."));
  EXPECT_FALSE(w.console().monitor.firstPass);

  tabs()->setCurrentIndex(1);
  EXPECT_EQ(w.console().controls.activePage, 1);
  const std::string text = label("Label18")->text().toStdString();
  EXPECT_EQ(text.rfind("Rebuild\n-> ", 0), 0u) << text;
  EXPECT_EQ(text.substr(text.size() - 4), "% ->") << text;
  EXPECT_EQ(label("StaticText5")->text().toStdString(), "F/W Rev. 100315.1.B0F");
  EXPECT_EQ(w.windowTitle().toStdString(), "Tervalo v0.22 - Tervalo Sim Mirror Bridge [sdc1]");
  // Switching pages queues no settings order, even though the boxes were set by the page.
  EXPECT_EQ(w.console().monitoring.pendingRequests.load() & kRequestSettings, 0);
}

TEST_F(DevicePages, NoControllerLeavesNoDriveFoundAndStopsTheElapsedTime) {
  sim::Scenario plain;
  plain.addPlainDisk(0);
  MainWindow& w = makeWindow(plain);
  timer("Timer3")->start();
  detectAndRebuild();
  EXPECT_EQ(label("StaticText1")->text().toStdString(), "No Drive found! ");
  EXPECT_FALSE(hidden(label("StaticText1")));
  EXPECT_FALSE(timer("Timer3")->isActive());
  EXPECT_FALSE(hidden(label("StaticText4")));
  EXPECT_TRUE(hidden(checkBox("CheckBox1")));
  EXPECT_TRUE(hidden(child<QSpinBox>("UpDown1")));
  for (const char* name : {"Button10", "BitBtn1", "Button2"}) EXPECT_FALSE(button(name)->isEnabled()) << name;
  EXPECT_EQ(w.console().monitoring.pendingRequests.load(), 0);
}

TEST_F(DevicePages, UnpluggingAnEnclosureIsDebouncedAndRebuildsThePages) {
  MainWindow& w = makeWindow();
  detectAndRebuild();
  w.deliverPendingRequest();

  // A notification without a change of the counts: one recount on the fifth tick, nothing else.
  w.WMDeviceChange();
  for (int i = 0; i < 4; ++i) w.Timer4Timer();
  EXPECT_EQ(w.deviceChangeCountdown(), kDeviceChangeRecount);
  w.Timer4Timer();
  EXPECT_EQ(w.deviceChangeCountdown(), 0);
  EXPECT_FALSE(w.detectRequested());

  // Several notifications: each restarts the count.
  simHost->setDrivePresent(2, false);
  w.WMDeviceChange();
  for (int i = 0; i < 3; ++i) w.Timer4Timer();
  w.WMDeviceChange();
  for (int i = 0; i < 4; ++i) w.Timer4Timer();
  EXPECT_FALSE(w.detectRequested());
  w.Timer4Timer();
  EXPECT_TRUE(w.detectRequested());
  EXPECT_TRUE(w.detectionRunning());

  // While detection is requested or running, no request is delivered.
  w.console().monitoring.pendingRequests.fetch_or(kRequestRefresh);
  EXPECT_EQ(w.deliverPendingRequest(), 0);

  detectAndRebuild();
  EXPECT_TRUE(tabs()->isTabVisible(0));
  EXPECT_FALSE(tabs()->isTabVisible(1));
  EXPECT_TRUE(hidden(checkBox("CheckBox3")));
  EXPECT_TRUE(hidden(child<QSpinBox>("UpDown1")));
  EXPECT_EQ(child<QSpinBox>("UpDown1")->maximum(), 0);
  EXPECT_EQ(label("StaticText1")->text().toStdString(), "1/1 Device1[sdb1]");
  EXPECT_EQ(w.deliverPendingRequest(), kRequestRefresh);
}

TEST_F(DevicePages, WithMonitoringRunningARebuildLeavesStartAndUpgradeDisabled) {
  MainWindow& w = makeWindow();
  detectAndRebuild();
  w.Button10Click();
  EXPECT_FALSE(button("Button10")->isEnabled());
  EXPECT_TRUE(button("Button11")->isEnabled());
  simHost->setDrivePresent(2, false);
  w.WMDeviceChange();
  for (int i = 0; i < 5; ++i) w.Timer4Timer();
  detectAndRebuild();
  for (const char* name : {"Button10", "BitBtn1", "Button2"}) EXPECT_FALSE(button(name)->isEnabled()) << name;
}

TEST_F(DevicePages, TheDetectionWorkerRunsAndIsJoinedWhenTheWindowGoes) {
  MainWindow& w = makeWindow(sim::builtinDemoScenario(), true);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!w.detectionDone() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  ASSERT_TRUE(w.detectionDone());
  w.Timer4Timer();
  EXPECT_TRUE(tabs()->isTabVisible(1));
  window.reset();  // joins the worker; must not hang
}

TEST_F(DevicePages, StatusTextsFromAnotherThreadReachThePanelOnTheWindowThread) {
  MainWindow& w = makeWindow();
  std::thread worker([&] { w.setStatusText(kErrorPanel, "Read Error for LBA = 58 and sector count = 1"); });
  worker.join();
  QCoreApplication::processEvents();
  EXPECT_EQ(label("StatusPanel4")->text().toStdString(), "Read Error for LBA = 58 and sector count = 1");
}

TEST_F(DevicePages, BoxesFromAnotherThreadAreShownOnTheWindowThread) {
  MainWindow& w = makeWindow();
  answer = MessageAnswer::Yes;
  std::atomic<bool> okReturned{false};
  std::atomic<int> questionAnswer{-1};
  // An OK box does not wait: the worker may hold the device lock a window handler waits for.
  std::thread okWorker([&] {
    w.showMessage(systemBox("Drive Count Must less than 20."));
    okReturned = true;
  });
  okWorker.join();
  EXPECT_TRUE(okReturned);
  EXPECT_TRUE(boxes.empty());
  QCoreApplication::processEvents();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Drive Count Must less than 20.");

  // A question waits for the answer given on the window thread.
  std::thread asking([&] {
    questionAnswer = static_cast<int>(w.showMessage(applicationBox("Go on?", "Message", MessageIcon::None,
                                                                   MessageButtons::YesNo)));
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (questionAnswer < 0 && std::chrono::steady_clock::now() < deadline) QCoreApplication::processEvents();
  asking.join();
  EXPECT_EQ(questionAnswer, static_cast<int>(MessageAnswer::Yes));
  EXPECT_EQ(boxes.size(), 2u);
}

class ArrayControls : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    makeWindow();
    detectAndRebuild();
    window->deliverPendingRequest();
    window->console().monitoring.pendingRequests.store(0);
    window->console().controls.settingBusy = {};
  }
  std::array<bool, 4> enabled() {
    return {checkBox("CheckBox6")->isEnabled(), checkBox("CheckBox7")->isEnabled(), button("Button3")->isEnabled(),
            button("Button4")->isEnabled()};
  }
};

TEST_F(ArrayControls, TheOneSecondTickEnablesByState) {
  Console& c = window->console();
  window->UpdateArrayControls();
  EXPECT_EQ(enabled(), (std::array<bool, 4>{true, true, true, true}));

  c.controls.pageChangeGuard = true;
  window->UpdateArrayControls();
  EXPECT_EQ(enabled(), (std::array<bool, 4>{false, true, false, false}));
  c.controls.pageChangeGuard = false;

  // An order keeps its page's controls disabled for four ticks.
  c.controls.settingBusy[0] = 4;
  for (int tick = 0; tick < 4; ++tick) {
    window->UpdateArrayControls();
    EXPECT_EQ(enabled(), (std::array<bool, 4>{false, false, false, false})) << tick;
  }
  window->UpdateArrayControls();
  EXPECT_EQ(enabled(), (std::array<bool, 4>{true, true, true, true}));

  c.monitor.firstPass = true;
  window->UpdateArrayControls();
  EXPECT_EQ(enabled(), (std::array<bool, 4>{false, false, false, false}));
}

TEST_F(ArrayControls, BuzzerMuteQueuesOneSettingsOrderWithTheFinalState) {
  Console& c = window->console();
  QCheckBox* mute = checkBox("CheckBox6");
  window->UpdateArrayControls();
  const bool before = mute->isChecked();
  mute->click();
  mute->click();
  EXPECT_EQ(c.monitoring.pendingRequests.load(), kRequestSettings);
  EXPECT_EQ(c.controls.buzzerMuteChecked, before);
  EXPECT_EQ(window->deliverPendingRequest(), kRequestSettings);
  EXPECT_EQ(c.controls.settingBusy[0], 4);
  EXPECT_EQ(c.monitoring.pendingRequests.load(), 0);
}

TEST_F(ArrayControls, APageChangeSetsTheBoxesWithoutQueuingAnOrder) {
  Console& c = window->console();
  QCheckBox* mute = checkBox("CheckBox6");
  // Make the box differ from what page 2 reports (its record was read by the first refresh).
  const bool page2 = !StatusRecordView(c.protocol.statusRecords[1]).buzzerOn();
  {
    const QSignalBlocker block(mute);
    mute->setChecked(!page2);
  }
  c.controls.buzzerMuteChecked = !page2;
  tabs()->setCurrentIndex(1);
  EXPECT_EQ(mute->isChecked(), page2);
  EXPECT_EQ(c.monitoring.pendingRequests.load(), 0);
}

}  // namespace
}  // namespace tervalo::app::testing
