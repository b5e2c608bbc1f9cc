// Scan buttons, the elapsed-time line, the firmware buttons, close, the event log viewer and the
// single-instance lock.
#include <stdlib.h>

#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <filesystem>
#include <fstream>

#include "app/app_main.h"
#include "app/single_instance.h"
#include "app_fixture.h"
#include "eventlog/log_time.h"
#include "firmware/firmware_file.h"
#include "protocol/status_record.h"
#include "ui/event_log_viewer.h"

namespace tervalo::app::testing {
namespace {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tervalo-app-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

class Pages : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    makeWindow();
    detectAndRebuild();
    window->deliverPendingRequest();
    window->console().monitoring.pendingRequests.store(0);
  }
};

using ScanButtons = Pages;

TEST_F(ScanButtons, AnsweringNoToTheStopQuestionChangesNothing) {
  Console& c = window->console();
  c.eventLog.pages[0].scanRunning = 1;
  c.controls.scanStart = 1;
  button("Button3")->setText("Stop P0 Scan");
  answer = MessageAnswer::No;
  window->ScanButtonClick(0);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0], applicationBox("Do You Want to terminate the scan process?", "Message", MessageIcon::None,
                                     MessageButtons::YesNo));
  EXPECT_EQ(button("Button3")->text().toStdString(), "Stop P0 Scan");
  EXPECT_EQ(c.controls.scanStart, 1);
  EXPECT_EQ(c.monitoring.pendingRequests.load(), 0);
}

TEST_F(ScanButtons, YesQueuesAStopOverTheWholeArray) {
  Console& c = window->console();
  c.eventLog.pages[0].scanRunning = 1;
  answer = MessageAnswer::Yes;
  window->ScanButtonClick(1);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Do You want to terminate the scan process?");
  EXPECT_EQ(button("Button4")->text().toStdString(), "Start P1 Scan");
  EXPECT_EQ(c.controls.scanStart, 0);
  EXPECT_EQ(c.controls.scanPort, 1);
  EXPECT_EQ(c.controls.scanFirstLba, 0u);
  EXPECT_EQ(c.controls.scanLastLba, StatusRecordView(c.protocol.statusRecords[0]).arrayCapacity() - 1);
  EXPECT_EQ(c.monitoring.pendingRequests.load(), kRequestScan);
  EXPECT_EQ(window->deliverPendingRequest(), kRequestScan);
  EXPECT_EQ(c.eventLog.pages[0].scanAbortMark, 1);
}

TEST_F(ScanButtons, WithoutARunningScanTheButtonAsksNothingAndStartsOne) {
  Console& c = window->console();
  window->ScanButtonClick(0);
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(button("Button3")->text().toStdString(), "Stop P0 Scan");
  EXPECT_EQ(c.controls.scanStart, 1);
  EXPECT_EQ(c.monitoring.pendingRequests.load(), kRequestScan);
}

TEST_F(Pages, ElapsedTimeCountsDaysAndTheTimeOfDay) {
  windowClock.advance(((1 * 24 + 2) * 60 + 3) * 60 + 4);
  window->Timer3Timer();
  EXPECT_EQ(label("StaticText3")->text().toStdString(), "Time Elapsed 1-02:03:04");
  EXPECT_EQ(label("StaticText4")->text().toStdString(),
            "Drive removed at: " + formatTimeStamp(windowClock.now(), window->console().eventLog.timeFormat));
  EXPECT_TRUE(hidden(label("StaticText4")));
}

TEST_F(Pages, UncheckingADeviceBoxHidesItsTab) {
  Console& c = window->console();
  c.monitoring.readFailures[1] = 3;
  checkBox("CheckBox3")->click();
  EXPECT_FALSE(tabs()->isTabVisible(1));
  EXPECT_EQ(c.monitoring.readFailures[1], 0);
  checkBox("CheckBox3")->click();
  EXPECT_TRUE(tabs()->isTabVisible(1));
}

TEST_F(Pages, StartAndStopSwitchTheMonitoringTimer) {
  Console& c = window->console();
  button("Button10")->click();
  EXPECT_TRUE(timer("Timer2")->isActive());
  EXPECT_EQ(c.monitoring.pendingRequests.load(), kMonitoringRunning | kRequestRefresh);
  EXPECT_FALSE(child<QSpinBox>("UpDown1")->isEnabled());
  button("Button11")->click();
  EXPECT_FALSE(timer("Timer2")->isActive());
  EXPECT_TRUE(button("Button10")->isEnabled());
  EXPECT_EQ(c.monitoring.pendingRequests.load(), 0);
}

// A firmware image this system accepts: signature, configuration version, 512 KB.
std::filesystem::path writeImage(const std::filesystem::path& folder) {
  std::vector<char> image(0x80000, '\xFF');
  std::memcpy(image.data(), kImageSignature, 4);
  image[kConfigVersionOffset] = static_cast<char>(kConfigVersion);
  const auto path = folder / "fw.bin";
  std::ofstream(path, std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));
  return path;
}

using Firmware = Pages;

TEST_F(Firmware, RequestsWaitWhileAnOperationLetsEventsRun) {
  Console& c = window->console();
  std::vector<std::uint8_t> delivered;
  onBox = [&](const MessageBoxRequest&) {
    c.monitoring.pendingRequests.fetch_or(kRequestRefresh);
    delivered.push_back(window->deliverPendingRequest());
  };
  window->Button2Click();  // no image: "Please Load Firmware File First "
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Please Load Firmware File First ");
  EXPECT_EQ(delivered, std::vector<std::uint8_t>{0});
  EXPECT_FALSE(window->operationRunning());
  EXPECT_EQ(window->deliverPendingRequest(), kRequestRefresh);
}

TEST_F(Firmware, LoadAndUpgradeShowTheProgressPanelAndTheFinalBox) {
  TempDir dir;
  const auto image = writeImage(dir.path());
  window->setFirmwareFileChooser([&] { return QString::fromStdString(image.string()); });
  window->BitBtn1Click();
  Console& c = window->console();
  ASSERT_TRUE(c.firmware.loadedImage.loaded()) << (boxes.empty() ? "" : boxes[0].text);
  EXPECT_FALSE(c.firmware.operationLock);
  EXPECT_TRUE(label("StatusPanel0")->text().startsWith("Chksum:"));

  bool panelShownDuringSteps = false;
  QString caption;
  onBox = [&](const MessageBoxRequest&) {
    caption = label("Panel1Caption")->text();
    panelShownDuringSteps = !hidden(child<QWidget>("Panel1"));
  };
  window->Button2Click();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, std::optional<std::string>("Firmware Upgrade Message"));
  EXPECT_EQ(boxes[0].text.rfind("Firmware Upgrade 3/3 completed!", 0), 0u) << boxes[0].text;
  EXPECT_EQ(caption.toStdString(), "Process 3 / 3");
  EXPECT_FALSE(panelShownDuringSteps);  // hidden again before the final box
  EXPECT_EQ(child<QProgressBar>("ProgressBar1")->maximum(), 2206);
  EXPECT_EQ(label("Label12")->text().toStdString(), "Firmware Update...");
  EXPECT_EQ(label("StatusPanel4")->text().toStdString(), "SPI Verify OK");
  EXPECT_FALSE(timer("Timer1")->isActive());
  EXPECT_EQ(c.protocol.upgradeTarget, kNoUpgradeTarget);
}

TEST_F(Firmware, AnUnreadableFileLeavesNoImage) {
  window->setFirmwareFileChooser([] { return QString("/nonexistent/fw.bin"); });
  window->BitBtn1Click();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, kOpenFirmwareFailedText);
  EXPECT_FALSE(window->console().firmware.loadedImage.loaded());
  EXPECT_FALSE(window->console().firmware.operationLock);
}

using Close = Pages;

TEST_F(Close, ClosingReleasesTheImageAndEndsMonitoring) {
  TempDir dir;
  const auto image = writeImage(dir.path());
  window->setFirmwareFileChooser([&] { return QString::fromStdString(image.string()); });
  window->BitBtn1Click();
  ASSERT_TRUE(window->console().firmware.loadedImage.loaded());
  window->Button10Click();
  timer("Timer3")->start();
  window->show();
  EXPECT_TRUE(window->close());
  Console& c = window->console();
  EXPECT_FALSE(c.firmware.loadedImage.loaded());
  EXPECT_FALSE(c.monitoring.monitoringRunning());
  EXPECT_EQ(c.monitoring.pendingRequests.load() & kRequestRefresh, kRequestRefresh);  // other bits stay
  EXPECT_FALSE(timer("Timer3")->isActive());
  EXPECT_FALSE(timer("Timer2")->isActive());
  EXPECT_EQ(window->deliverPendingRequest(), 0);
}

TEST_F(Close, ACloseDuringAnOperationWaitsForItsEnd) {
  window->show();
  bool closedInside = true;
  onBox = [&](const MessageBoxRequest&) { closedInside = window->close(); };
  window->Button2Click();
  EXPECT_FALSE(closedInside);
  EXPECT_TRUE(window->isVisible());
  QCoreApplication::processEvents();
  EXPECT_FALSE(window->isVisible());
}

TEST_F(Pages, LogOpensOneModalViewerAtATime) {
  window->Button10Click();
  int viewersInside = -1;
  std::string caption;
  QTimer::singleShot(0, [&] {
    window->Button1Click();  // a queued second click while the viewer is up
    const auto viewers = window->findChildren<ui::EventLogViewer*>();
    viewersInside = static_cast<int>(viewers.size());
    if (!viewers.empty()) {
      caption = viewers[0]->windowTitle().toStdString();
      viewers[0]->close();
    }
  });
  window->Button1Click();
  EXPECT_EQ(viewersInside, 1);
  EXPECT_EQ(caption, ui::kRealTimeCaption);
  EXPECT_TRUE(window->findChildren<ui::EventLogViewer*>().empty());
}

// ---------------------------------------------------------------------------------------------

class Viewer : public ::testing::Test {
 protected:
  void SetUp() override { testApplication(); }
  void add(const char* line) { buffer.append(line); }
  std::string memoText() const { return viewer->memo()->toPlainText().toStdString(); }
  void open() {
    viewer = std::make_unique<ui::EventLogViewer>(buffer, [this] { return monitoring; });
    viewer->setErrorReporter([this](const QString& text) { errors.push_back(text.toStdString()); });
    viewer->FormShow();
  }

  LogBuffer buffer;
  bool monitoring = false;
  std::unique_ptr<ui::EventLogViewer> viewer;
  std::vector<std::string> errors;
};

TEST_F(Viewer, PausedViewerCatchesUpWhenMonitoringStarts) {
  add("a");
  add("b");
  open();
  EXPECT_EQ(viewer->windowTitle().toStdString(), ui::kPausedCaption);
  EXPECT_EQ(memoText(), "a\nb");
  EXPECT_TRUE(viewer->timer()->isActive());
  add("c");
  viewer->Timer1Timer();
  EXPECT_EQ(memoText(), "a\nb");
  monitoring = true;
  viewer->Timer1Timer();
  EXPECT_EQ(viewer->windowTitle().toStdString(), ui::kRealTimeCaption);
  EXPECT_EQ(memoText(), "a\nb\nc");
  EXPECT_EQ(viewer->shownLineCount(), 3u);
}

TEST_F(Viewer, AShorterBufferIsShownAfresh) {
  monitoring = true;
  add("old 1");
  add("old 2");
  open();
  buffer.replace({"new day"});
  viewer->Timer1Timer();
  EXPECT_EQ(memoText(), "new day");
}

TEST_F(Viewer, FileViewStopsFollowingAndACancelFreezes) {
  monitoring = true;
  add("live");
  open();
  TempDir dir;
  const auto file = dir.path() / "240506.log";
  std::ofstream(file, std::ios::binary) << "line 1\r\nline 2\r\n";
  viewer->setFileChooser([&] { return QString::fromStdString(file.string()); });
  viewer->Button2Click();
  EXPECT_EQ(viewer->windowTitle().toStdString(), "Event log - 240506.log");
  EXPECT_EQ(memoText(), "line 1\nline 2");
  EXPECT_FALSE(viewer->timer()->isActive());

  viewer->setFileChooser([] { return QString(); });
  viewer->Button2Click();
  EXPECT_EQ(viewer->windowTitle().toStdString(), "Event log - 240506.log");
  EXPECT_FALSE(viewer->timer()->isActive());

  EXPECT_FALSE(viewer->ViewFile(QString::fromStdString((dir.path() / "missing.log").string())));
  EXPECT_EQ(errors.size(), 1u);
  EXPECT_EQ(memoText(), "line 1\nline 2");

  viewer->Button1Click();
  EXPECT_EQ(viewer->windowTitle().toStdString(), ui::kRealTimeCaption);
  EXPECT_EQ(memoText(), "live");
  EXPECT_TRUE(viewer->timer()->isActive());
}

// ---------------------------------------------------------------------------------------------

TEST(SingleInstance, TheLockFolderFollowsXdgRuntimeDir) {
  EXPECT_EQ(instanceLockFolder(nullptr), "/tmp");
  EXPECT_EQ(instanceLockFolder(""), "/tmp");
  EXPECT_EQ(instanceLockFolder("relative/dir"), "/tmp");
  EXPECT_EQ(instanceLockFolder("/run/user/1000"), "/run/user/1000");
}

TEST(SingleInstance, ASecondHolderIsRefusedUntilTheFirstReleases) {
  TempDir dir;
  const auto path = dir.path() / kInstanceLockName;
  std::string error;
  InstanceLock first;
  ASSERT_EQ(first.acquire(path, error), InstanceLock::Result::Acquired) << error;
  InstanceLock second;
  EXPECT_EQ(second.acquire(path, error), InstanceLock::Result::HeldElsewhere);
  first.release();
  EXPECT_EQ(second.acquire(path, error), InstanceLock::Result::Acquired) << error;
  EXPECT_EQ(first.acquire(dir.path() / "no" / "such" / "dir", error), InstanceLock::Result::Failed);
  EXPECT_FALSE(error.empty());
}

TEST(SingleInstance, TheSecondStartEndsSilentlyWithZero) {
  testApplication();
  TempDir dir;
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string previous = saved ? saved : "";
  ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  std::string error;
  InstanceLock running;
  ASSERT_EQ(running.acquire(instanceLockPath(), error), InstanceLock::Result::Acquired) << error;
  char name[] = "tervalo";
  char simulate[] = "--simulate";
  char* argv[] = {name, simulate, nullptr};
  EXPECT_EQ(runTervalo(2, argv), 0);
  EXPECT_TRUE(QApplication::topLevelWidgets().empty() ||
              std::none_of(QApplication::topLevelWidgets().begin(), QApplication::topLevelWidgets().end(),
                           [](QWidget* w) { return w->isVisible(); }));
  char bad[] = "--no-such-option";
  char* badArgv[] = {name, bad, nullptr};
  EXPECT_EQ(runTervalo(2, badArgv), 2);
  if (saved)
    ::setenv("XDG_RUNTIME_DIR", previous.c_str(), 1);
  else
    ::unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
}  // namespace tervalo::app::testing
