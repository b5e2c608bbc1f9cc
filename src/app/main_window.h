#pragma once
// The main window: the firmware upgrade group, monitoring buttons and time lines, the device
// pages with the monitor panel, the RAID mode group and the array controls. It translates
// between its controls and the core; the protocol, log and firmware work happens in the core.
//
// Threads: the window, its timers and every controller operation run on the user-interface
// thread. A detection worker runs detection runs; the request worker's hand-over is a 50 ms
// timer on the user-interface thread that runs one pending request while no detection is
// requested or running and no operation of the window is under way.
#include <QMainWindow>
#include <array>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "core/console.h"
#include "firmware/progress_view.h"
#include "monitor/refresh_cycle.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTabBar;
class QTimer;
class QPlainTextEdit;

namespace tervalo::app {

inline constexpr const char* kProgramTitle = kProgramCaption;
inline constexpr int kStatusPanelWidths[kStatusPanelCount] = {100, 80, 80, 100, 250};
inline constexpr int kDeviceChangeStart = 16;
inline constexpr int kDeviceChangeRecount = 20;

struct WindowOptions {
  // Where the day log files go; empty: the log is kept in memory only.
  std::filesystem::path logFolder;
  // Start the detection worker (the program); tests run its steps by hand.
  bool startWorkers = true;
  // Switch the timers on (the program); tests call the tick handlers instead.
  bool startTimers = true;
  // Listen for USB device changes (real host only).
  bool watchDeviceChanges = false;
  // The clock of the start-time and elapsed-time lines; the console's clock when null.
  Clock* windowClock = nullptr;
};

class MainWindow : public QMainWindow, public ConsoleUi, public MonitorView, public ProgressView {
  Q_OBJECT
 public:
  MainWindow(std::unique_ptr<RawDiskHost> host, std::unique_ptr<Clock> clock, WindowOptions options,
             QWidget* parent = nullptr);
  ~MainWindow() override;

  Console& console() { return *console_; }
  RawDiskHost& host() { return *host_; }

  // Detection worker flags.
  bool detectRequested() const { return detectRequested_.load(); }
  bool detectionRunning() const { return detectionRunning_.load(); }
  bool detectionDone() const { return detectionDone_.load(); }
  int deviceChangeCountdown() const { return deviceChangeCountdown_; }
  const std::string& deviceLabel() const { return deviceLabel_; }

  // One step of the detection worker, on the calling thread: runs a detection when one is
  // requested. Returns whether it ran. Tests call it instead of starting the worker.
  bool runDetectionStep();
  // The request worker's hand-over: runs one pending request unless detection is requested or
  // running or an operation of the window is under way. Returns the request bit that ran.
  std::uint8_t deliverPendingRequest();
  // Whether an operation of the window runs (pending requests are held back meanwhile).
  bool operationRunning() const { return operationDepth_ > 0; }

  // Handlers.
  void WMDeviceChange();
  void Timer4Timer();
  void RebuildDevicePages();
  void BuildDeviceLabel();
  void UpdateArrayControls();  // Timer5
  void Timer3Timer();
  void Timer1Timer();
  void PageControl1Change(int index);
  void UpDown1Click(int position);
  void DeviceBoxClick(int page, bool checked);
  void CheckBox6Click(bool checked);
  void CheckBox7Click(bool checked);
  void ScanButtonClick(int port);  // Button3Click (0), Button4Click (1)
  void Button1Click();             // "Log"
  void BitBtn1Click();             // "Load Firmware "
  void Button2Click();             // "Start Upgrade"
  void Button10Click();            // "Start"
  void Button11Click();            // "Stop"

  // Seams for tests: answer message boxes, choose the firmware file.
  void setMessageBoxHandler(std::function<MessageAnswer(const MessageBoxRequest&)> handler) {
    messageHandler_ = std::move(handler);
  }
  void setFirmwareFileChooser(std::function<QString()> chooser) { firmwareChooser_ = std::move(chooser); }

  // Stops and joins the detection worker; safe to call more than once.
  void stopWorkers();

  // ConsoleUi.
  MessageAnswer showMessage(const MessageBoxRequest& request) override;
  void processPendingEvents() override;

  // MonitorView.
  void setTabVisible(int page, bool visible) override;
  void setDeviceBoxChecked(int page, bool checked) override;
  void setControlEnabled(MonitorControl control, bool enabled) override;
  void setMonitoringTimer(bool on) override;
  void showDeviceIdentity(const DeviceIdentity& identity) override;
  void presentPanel(const MonitorPanelUpdate& update) override;

  // ProgressView.
  void setPanelCaption(const std::string& caption) override;
  void setPanelVisible(bool visible) override;
  void setStepLabel(const std::string& text) override;
  void setProgressMaximum(std::uint32_t maximum) override;
  void setProgressPosition(std::uint32_t position) override;
  void setProgressTickEnabled(bool enabled) override;

 protected:
  void showStatusText(int panel, const std::string& text) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  class OperationScope;

  void buildControls();
  void startUp();
  void detectionLoop();
  void showStatusTextNow(int panel, const QString& text);
  MessageAnswer showMessageNow(const MessageBoxRequest& request);
  void applyArrayBox(QCheckBox* box, bool checked, bool& field, void (MainWindow::*click)(bool));
  std::optional<int> activePage() const;
  bool onGuiThread() const;

  std::unique_ptr<RawDiskHost> host_;
  std::unique_ptr<Clock> clock_;
  std::unique_ptr<Console> console_;
  WindowOptions options_;
  Clock* windowClock_ = nullptr;

  // Detection worker.
  std::thread detectionThread_;
  std::atomic<bool> stopWorkers_{false};
  std::atomic<bool> detectRequested_{false};
  std::atomic<bool> detectionRunning_{false};
  std::atomic<bool> detectionDone_{false};
  std::mutex wakeMutex_;
  std::condition_variable wake_;

  int deviceChangeCountdown_ = 0;
  bool blinkVisible_ = true;
  std::string deviceLabel_;
  LocalDateTime guiStartTime_;
  LocalDateTime elapsedNow_;
  int operationDepth_ = 0;
  bool viewerOpen_ = false;
  bool closePending_ = false;
  bool closed_ = false;
  std::function<MessageAnswer(const MessageBoxRequest&)> messageHandler_;
  std::function<QString()> firmwareChooser_;

  // Controls, named as on the form.
  QGroupBox* groupBox1_ = nullptr;  // "Firmware Upgrade"
  QLabel* staticText1_ = nullptr;
  QSpinBox* upDown1_ = nullptr;
  QPushButton* bitBtn1_ = nullptr;
  QPushButton* button2_ = nullptr;
  QPushButton* button8_ = nullptr;
  QPushButton* button9_ = nullptr;
  QPushButton* button10_ = nullptr;
  QPushButton* button11_ = nullptr;
  QCheckBox* checkBox2_ = nullptr;
  std::array<QRadioButton*, 4> sizeButtons_{};
  QLabel* staticText2_ = nullptr;
  QLabel* staticText3_ = nullptr;
  QLabel* staticText4_ = nullptr;
  QLabel* staticText5_ = nullptr;
  QPlainTextEdit* memo1_ = nullptr;
  QWidget* panel1_ = nullptr;
  QLabel* panel1Caption_ = nullptr;
  QLabel* label12_ = nullptr;
  QProgressBar* progressBar1_ = nullptr;
  std::array<QCheckBox*, kDevicePages> deviceBoxes_{};  // CheckBox1, 3, 4, 5
  QTabBar* pageControl1_ = nullptr;
  QWidget* panel2_ = nullptr;
  QLabel* label19_ = nullptr;
  QLabel* label25_ = nullptr;
  QLabel* label24_ = nullptr;
  QLabel* label26_ = nullptr;
  QLabel* label18_ = nullptr;
  QLabel* label1_ = nullptr;
  QLabel* staticText6_ = nullptr;
  QLabel* staticText7_ = nullptr;
  QPushButton* button1_ = nullptr;
  QPushButton* button3_ = nullptr;
  QPushButton* button4_ = nullptr;
  QLabel* label20_ = nullptr;
  QLabel* label21_ = nullptr;
  QLabel* label22_ = nullptr;
  QLabel* label15_ = nullptr;
  QLabel* label23_ = nullptr;
  QLabel* label17_ = nullptr;
  QLabel* label27_ = nullptr;
  QCheckBox* checkBox6_ = nullptr;
  QCheckBox* checkBox7_ = nullptr;
  std::array<QLabel*, kStatusPanelCount> statusPanels_{};
  QTimer* timer1_ = nullptr;
  QTimer* timer2_ = nullptr;
  QTimer* timer3_ = nullptr;
  QTimer* timer4_ = nullptr;
  QTimer* timer5_ = nullptr;
  QTimer* requestTimer_ = nullptr;
  QObject* deviceMonitor_ = nullptr;
};

}  // namespace tervalo::app
