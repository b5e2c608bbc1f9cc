#include "app/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QStyle>
#include <QTabBar>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <future>

#include "app/device_change_monitor.h"
#include "device/detection.h"
#include "device/drive_table.h"
#include "eventlog/log_time.h"
#include "firmware/firmware_file.h"
#include "firmware/upgrade.h"
#include "protocol/setting_orders.h"
#include "protocol/status_record.h"
#include "ui/disk_picture.h"
#include "ui/event_log_viewer.h"

namespace tervalo::app {

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

QColor colourOf(LabelColour colour) {
  switch (colour) {
    case LabelColour::Black: return Qt::black;
    case LabelColour::Navy: return QColor(0x00, 0x00, 0x80);
    case LabelColour::Red: return Qt::red;
    case LabelColour::Blue: return Qt::blue;
    case LabelColour::Fuchsia: return QColor(0xFF, 0x00, 0xFF);
  }
  return Qt::black;
}

void setTextColour(QWidget* widget, const QColor& colour) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, colour);
  palette.setColor(QPalette::ButtonText, colour);
  widget->setPalette(palette);
}

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text, QRect geometry) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->setGeometry(geometry);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return label;
}

QPushButton* makeButton(QWidget* parent, const char* name, const QString& text, QRect geometry) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(name);
  button->setGeometry(geometry);
  return button;
}

QCheckBox* makeCheckBox(QWidget* parent, const char* name, const QString& text, QRect geometry) {
  auto* box = new QCheckBox(text, parent);
  box->setObjectName(name);
  box->setGeometry(geometry);
  return box;
}

QTimer* makeTimer(QObject* parent, const char* name, int interval) {
  auto* timer = new QTimer(parent);
  timer->setObjectName(name);
  timer->setInterval(interval);
  return timer;
}

// The device selector shows controller numbers from 1; its position stays the 0-based index.
class DeviceSelectorBox : public QSpinBox {
 public:
  using QSpinBox::QSpinBox;

 protected:
  QString textFromValue(int value) const override { return QString::number(value + 1); }
  int valueFromText(const QString& text) const override { return text.toInt() - 1; }
};

QMessageBox::Icon iconOf(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::None: return QMessageBox::NoIcon;
    case MessageIcon::Error: return QMessageBox::Critical;
    case MessageIcon::Warning: return QMessageBox::Warning;
    case MessageIcon::Information: return QMessageBox::Information;
    case MessageIcon::Exclamation: return QMessageBox::Warning;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

// Marks an operation of the window as under way: pending requests are held back meanwhile, and a
// close asked for during it takes effect once the last one has returned.
class MainWindow::OperationScope {
 public:
  explicit OperationScope(MainWindow& window) : window_(window) { ++window_.operationDepth_; }
  ~OperationScope() {
    if (--window_.operationDepth_ == 0 && window_.closePending_) {
      window_.closePending_ = false;
      QTimer::singleShot(0, &window_, &QWidget::close);
    }
  }
  OperationScope(const OperationScope&) = delete;
  OperationScope& operator=(const OperationScope&) = delete;

 private:
  MainWindow& window_;
};

MainWindow::MainWindow(std::unique_ptr<RawDiskHost> host, std::unique_ptr<Clock> clock, WindowOptions options,
                       QWidget* parent)
    : QMainWindow(parent), host_(std::move(host)), clock_(std::move(clock)), options_(std::move(options)) {
  console_ = std::make_unique<Console>(*host_, *this, *clock_);
  windowClock_ = options_.windowClock ? options_.windowClock : clock_.get();
  console_->eventLog.folder = options_.logFolder;
  buildControls();
  startUp();
}

MainWindow::~MainWindow() {
  stopWorkers();
  // Nothing below may reach the window any more.
  delete deviceMonitor_;
  deviceMonitor_ = nullptr;
}

bool MainWindow::onGuiThread() const { return QThread::currentThread() == thread(); }

// ---------------------------------------------------------------------------------------------
// Controls

void MainWindow::buildControls() {
  setObjectName("TForm1");
  setWindowTitle(kProgramTitle);
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  QFont font("Arial");
  font.setPixelSize(13);
  setFont(font);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, Qt::white);
  setPalette(palette);
  setAutoFillBackground(true);

  auto* central = new QWidget(this);
  central->setObjectName("ClientArea");
  setCentralWidget(central);

  // "Firmware Upgrade".
  groupBox1_ = new QGroupBox("Firmware Upgrade", central);
  groupBox1_->setObjectName("GroupBox1");
  groupBox1_->setGeometry(8, 4, 300, 94);
  staticText1_ = makeLabel(groupBox1_, "StaticText1", "Drive detecting", QRect(12, 24, 210, 20));
  upDown1_ = new DeviceSelectorBox(groupBox1_);
  upDown1_->setObjectName("UpDown1");
  upDown1_->setGeometry(232, 21, 56, 24);
  upDown1_->setRange(0, 0);
  bitBtn1_ = makeButton(groupBox1_, "BitBtn1", "Load Firmware ", QRect(12, 56, 134, 28));
  bitBtn1_->setIcon(style()->standardIcon(QStyle::SP_DialogOpenButton));
  button2_ = makeButton(groupBox1_, "Button2", "Start Upgrade", QRect(154, 56, 134, 28));

  // Monitoring and time lines.
  button10_ = makeButton(central, "Button10", "Start", QRect(320, 10, 92, 28));
  button11_ = makeButton(central, "Button11", "Stop", QRect(420, 10, 92, 28));
  staticText2_ = makeLabel(central, "StaticText2", QString(), QRect(320, 46, 295, 17));
  staticText3_ = makeLabel(central, "StaticText3", "Time Elapsed 0-00:00:00", QRect(320, 64, 295, 17));
  staticText4_ = makeLabel(central, "StaticText4", QString(), QRect(320, 82, 295, 17));

  // The page control: its tabs choose the device whose data the monitor panel shows.
  pageControl1_ = new QTabBar(central);
  pageControl1_->setObjectName("PageControl1");
  pageControl1_->setGeometry(8, 104, 420, 25);
  pageControl1_->setExpanding(false);
  pageControl1_->setDrawBase(false);
  for (int i = 0; i < kDevicePages; ++i) pageControl1_->addTab(QString("TabSheet%1").arg(i + 1));

  // Panel2: the monitor panel.
  panel2_ = new QFrame(central);
  panel2_->setObjectName("Panel2");
  static_cast<QFrame*>(panel2_)->setFrameShape(QFrame::StyledPanel);
  panel2_->setGeometry(8, 128, 420, 184);
  label19_ = makeLabel(panel2_, "Label19", QString(), QRect(6, 4, 204, 34));
  auto* image1 = new ui::DiskPicture(panel2_);
  image1->setObjectName("Image1");
  image1->setGeometry(54, 42, 100, 74);
  label25_ = makeLabel(panel2_, "Label25", QString(), QRect(6, 118, 204, 52));
  label24_ = makeLabel(panel2_, "Label24", QString(), QRect(214, 4, 204, 34));
  auto* image2 = new ui::DiskPicture(panel2_);
  image2->setObjectName("Image2");
  image2->setGeometry(266, 42, 100, 74);
  label26_ = makeLabel(panel2_, "Label26", QString(), QRect(214, 118, 204, 52));
  label18_ = makeLabel(panel2_, "Label18", QString(), QRect(150, 44, 120, 44));
  label18_->setAlignment(Qt::AlignCenter);
  setTextColour(label18_, colourOf(LabelColour::Fuchsia));
  label1_ = makeLabel(panel2_, "Label1", QString(), QRect(150, 150, 120, 17));
  staticText6_ = makeLabel(panel2_, "StaticText6", QString(), QRect(80, 117, 74, 16));
  staticText6_->setAlignment(Qt::AlignRight | Qt::AlignBottom);
  setTextColour(staticText6_, Qt::red);
  staticText7_ = makeLabel(panel2_, "StaticText7", QString(), QRect(292, 117, 74, 16));
  staticText7_->setAlignment(Qt::AlignRight | Qt::AlignBottom);
  setTextColour(staticText7_, Qt::red);
  button1_ = makeButton(panel2_, "Button1", "Log", QRect(175, 92, 70, 24));
  setTextColour(button1_, Qt::red);
  setTextColour(label19_, Qt::black);
  setTextColour(label24_, Qt::black);
  setTextColour(label25_, colourOf(LabelColour::Navy));
  setTextColour(label26_, colourOf(LabelColour::Navy));

  // Scan buttons under the two disks.
  button3_ = makeButton(central, "Button3", "Start P0 Scan", QRect(52, 318, 120, 26));
  button4_ = makeButton(central, "Button4", "Start P1 Scan", QRect(264, 318, 120, 26));

  // "RAID Mode".
  auto* groupBox4 = new QGroupBox("RAID Mode", central);
  groupBox4->setObjectName("GroupBox4");
  groupBox4->setGeometry(436, 128, 179, 150);
  label20_ = makeLabel(groupBox4, "Label20", "RAID Setting:", QRect(10, 22, 90, 17));
  label21_ = makeLabel(groupBox4, "Label21", QString(), QRect(100, 22, 72, 17));
  setTextColour(label21_, Qt::blue);
  label27_ = makeLabel(groupBox4, "Label27", QString(), QRect(10, 42, 162, 17));
  setTextColour(label27_, colourOf(LabelColour::Navy));
  label23_ = makeLabel(groupBox4, "Label23", "RAID Mode of System", QRect(10, 68, 162, 17));
  label17_ = makeLabel(groupBox4, "Label17", QString(), QRect(20, 88, 152, 17));
  setTextColour(label17_, Qt::blue);
  label22_ = makeLabel(groupBox4, "Label22", "RAID Mode in SPI", QRect(10, 108, 162, 17));
  label15_ = makeLabel(groupBox4, "Label15", QString(), QRect(20, 126, 152, 17));
  setTextColour(label15_, Qt::blue);

  checkBox6_ = makeCheckBox(central, "CheckBox6", "Buzzer Mute", QRect(444, 286, 160, 20));
  checkBox7_ = makeCheckBox(central, "CheckBox7", "Auto Scan", QRect(444, 308, 160, 20));

  // Progress of the flash operations.
  panel1_ = new QFrame(central);
  panel1_->setObjectName("Panel1");
  static_cast<QFrame*>(panel1_)->setFrameShape(QFrame::Panel);
  static_cast<QFrame*>(panel1_)->setFrameShadow(QFrame::Raised);
  panel1_->setGeometry(8, 352, 420, 78);
  QPalette face = panel1_->palette();
  face.setColor(QPalette::Window, QColor(0xf0, 0xf0, 0xf0));
  panel1_->setPalette(face);
  panel1_->setAutoFillBackground(true);
  panel1Caption_ = makeLabel(panel1_, "Panel1Caption", QString(), QRect(8, 4, 404, 18));
  panel1Caption_->setAlignment(Qt::AlignCenter);
  label12_ = makeLabel(panel1_, "Label12", QString(), QRect(8, 24, 404, 18));
  progressBar1_ = new QProgressBar(panel1_);
  progressBar1_->setObjectName("ProgressBar1");
  progressBar1_->setGeometry(8, 46, 404, 22);
  progressBar1_->setRange(0, 100);

  // The device check boxes; their captions stay, their hints name the drive.
  const char* boxNames[kDevicePages] = {"CheckBox1", "CheckBox3", "CheckBox4", "CheckBox5"};
  for (int i = 0; i < kDevicePages; ++i) {
    deviceBoxes_[static_cast<std::size_t>(i)] =
        makeCheckBox(central, boxNames[i], QString("Device%1").arg(i + 1), QRect(324 + 72 * i, 440, 72, 20));
    deviceBoxes_[static_cast<std::size_t>(i)]->setChecked(true);
  }

  staticText5_ = makeLabel(central, "StaticText5", QString(), QRect(8, 442, 300, 16));
  QFont small = font;
  small.setPixelSize(12);
  staticText5_->setFont(small);
  setTextColour(staticText5_, Qt::red);

  // Engineering controls: created, never shown.
  button8_ = makeButton(central, "Button8", "Upgrade", QRect(436, 340, 80, 24));
  checkBox2_ = makeCheckBox(central, "CheckBox2", "Offset 49152", QRect(436, 366, 120, 20));
  checkBox2_->setChecked(true);
  const char* sizeNames[4] = {"RadioButton1M", "RadioButton2M", "RadioButton4M", "RadioButton8M"};
  const char* sizeCaptions[4] = {"1M", "2M", "4M", "8M"};
  for (int i = 0; i < 4; ++i) {
    auto* radio = new QRadioButton(sizeCaptions[i], central);
    radio->setObjectName(sizeNames[i]);
    radio->setGeometry(436 + 44 * i, 390, 44, 20);
    sizeButtons_[static_cast<std::size_t>(i)] = radio;
  }
  sizeButtons_[2]->setChecked(true);
  button9_ = makeButton(central, "Button9", "Make BIN", QRect(524, 340, 80, 24));
  memo1_ = new QPlainTextEdit(central);
  memo1_->setObjectName("Memo1");
  memo1_->setGeometry(436, 340, 177, 90);

  // Status bar: five panels; the fifth carries failure texts.
  auto* bar = new QStatusBar(this);
  bar->setObjectName("StatusBar1");
  bar->setSizeGripEnabled(false);
  setStatusBar(bar);
  for (int i = 0; i < kStatusPanelCount; ++i) {
    auto* panel = new QLabel(bar);
    panel->setObjectName(QString("StatusPanel%1").arg(i));
    panel->setFixedWidth(kStatusPanelWidths[i]);
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Sunken);
    bar->addWidget(panel);
    statusPanels_[static_cast<std::size_t>(i)] = panel;
  }

  timer1_ = makeTimer(this, "Timer1", 1000);
  timer2_ = makeTimer(this, "Timer2", kMonitorIntervalMs);
  timer3_ = makeTimer(this, "Timer3", 1000);
  timer4_ = makeTimer(this, "Timer4", 500);
  timer5_ = makeTimer(this, "Timer5", 1000);
  requestTimer_ = makeTimer(this, "RequestWorker", 50);

  setFixedSize(623, 505);

  // Wiring.
  connect(timer1_, &QTimer::timeout, this, [this] { Timer1Timer(); });
  connect(timer2_, &QTimer::timeout, this, [this] { Timer2Timer(*console_); });
  connect(timer3_, &QTimer::timeout, this, [this] { Timer3Timer(); });
  connect(timer4_, &QTimer::timeout, this, [this] { Timer4Timer(); });
  connect(timer5_, &QTimer::timeout, this, [this] { UpdateArrayControls(); });
  connect(requestTimer_, &QTimer::timeout, this, [this] { deliverPendingRequest(); });
  connect(pageControl1_, &QTabBar::currentChanged, this, [this](int index) { PageControl1Change(index); });
  connect(upDown1_, &QSpinBox::valueChanged, this, [this](int value) { UpDown1Click(value); });
  for (int i = 0; i < kDevicePages; ++i)
    connect(deviceBoxes_[static_cast<std::size_t>(i)], &QCheckBox::clicked, this,
            [this, i](bool checked) { DeviceBoxClick(i, checked); });
  connect(checkBox6_, &QCheckBox::clicked, this, [this](bool checked) {
    console_->controls.buzzerMuteChecked = checked;
    CheckBox6Click(checked);
  });
  connect(checkBox7_, &QCheckBox::clicked, this, [this](bool checked) {
    console_->controls.autoScanChecked = checked;
    CheckBox7Click(checked);
  });
  connect(button3_, &QPushButton::clicked, this, [this] { ScanButtonClick(0); });
  connect(button4_, &QPushButton::clicked, this, [this] { ScanButtonClick(1); });
  connect(button1_, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(bitBtn1_, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
  connect(button2_, &QPushButton::clicked, this, [this] { Button2Click(); });
  connect(button10_, &QPushButton::clicked, this, [this] { Button10Click(); });
  connect(button11_, &QPushButton::clicked, this, [this] { Button11Click(); });
}

// FormCreate: module state, the drive counts, the workers and the timers.
void MainWindow::startUp() {
  Console& c = *console_;
  // The engineering size buttons are disabled for good once a firmware operation takes the lock.
  c.firmware.onLockTaken = [this] {
    for (QRadioButton* radio : sizeButtons_) radio->setEnabled(false);
  };

  deviceChangeCountdown_ = 0;
  c.protocol.readForUpgrade = false;
  c.protocol.currentController = 0;
  c.protocol.upgradeTarget = kNoUpgradeTarget;
  c.device.controllerCount = 0;
  staticText1_->setText("Drive detecting");

  {
    OperationScope scope(*this);
    c.device.driveLetterCount = ScanLogicalDrives(c);
    c.device.physicalDriveCount = CountPhysicalDrives(c);
  }

  detectionDone_.store(false);
  detectionRunning_.store(true);
  detectRequested_.store(true);
  c.monitoring.pendingRequests.store(0);
  c.controls.pageChangeGuard = false;

  guiStartTime_ = windowClock_->now();
  elapsedNow_ = guiStartTime_;
  blinkVisible_ = true;
  const std::string stamp = formatTimeStamp(guiStartTime_, c.eventLog.timeFormat);
  staticText2_->setText(qs("GUI start Time : " + stamp));
  staticText4_->setText(qs("Drive removed at: " + stamp));
  staticText4_->setVisible(false);

  c.firmware.loadedImage.release();
  c.protocol.spiSize = 0x80000;

  checkBox2_->setEnabled(false);
  for (QRadioButton* radio : sizeButtons_) radio->setEnabled(false);
  panel1_->setVisible(false);

  c.protocol.randomState =
      static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());

  for (QWidget* w : std::initializer_list<QWidget*>{button11_, button8_, bitBtn1_, button10_, button2_})
    w->setEnabled(false);
  for (QWidget* w : std::initializer_list<QWidget*>{button8_, checkBox2_, sizeButtons_[0], sizeButtons_[1],
                                                    sizeButtons_[2], sizeButtons_[3], button1_, memo1_, button3_,
                                                    button4_, button9_})
    w->setVisible(false);
  for (QLabel* l : {label18_, label19_, label24_, label25_, label26_, label1_}) l->clear();

  upDown1_->setVisible(false);
  {
    const QSignalBlocker block(pageControl1_);
    for (int i = 0; i < kDevicePages; ++i) pageControl1_->setTabVisible(i, false);
  }
  c.controls.activePage = -1;
  for (QCheckBox* box : deviceBoxes_) box->setVisible(false);
  for (QLabel* l : {label15_, label21_, label22_}) l->setVisible(false);

  c.device.singlePrefixCdb = 1;
  c.monitor.firstPass = true;
  checkBox7_->setVisible(false);
  checkBox6_->setEnabled(false);
  checkBox7_->setEnabled(false);
  for (auto& page : c.eventLog.pages) {
    page.scanRunning = 0;
    page.scanAbortMark = 0;
    page.lastBadSectorCount = 0;
    page.lastProgress = kNoProgressTracked;
  }
  c.controls.settingBusy = {};
  c.monitoring.readFailures = {};
  c.monitor.startCaption = windowTitle().toStdString();

  if (options_.watchDeviceChanges) {
    auto* monitor = new DeviceChangeMonitor(this);
    connect(monitor, &DeviceChangeMonitor::deviceChanged, this, [this] { WMDeviceChange(); });
    deviceMonitor_ = monitor;
  }

  // The worker starts once every value it touches has its start value (it writes the prefix
  // flag and the controller list); its first run begins at once.
  if (options_.startWorkers) detectionThread_ = std::thread([this] { detectionLoop(); });
  if (options_.startTimers) {
    timer3_->start();
    timer4_->start();
    timer5_->start();
    requestTimer_->start();
  }
}

// ---------------------------------------------------------------------------------------------
// Workers

void MainWindow::detectionLoop() {
  while (!stopWorkers_.load()) {
    if (!runDetectionStep()) {
      std::unique_lock lock(wakeMutex_);
      wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stopWorkers_.load(); });
    }
  }
}

bool MainWindow::runDetectionStep() {
  if (!detectRequested_.exchange(false)) return false;
  DetectDevices(*console_);
  // A run requested meanwhile keeps detection marked as running.
  if (!detectRequested_.load()) detectionRunning_.store(false);
  // Published last: the controller list is complete when the tick sees this.
  detectionDone_.store(true);
  return true;
}

void MainWindow::stopWorkers() {
  {
    std::lock_guard lock(wakeMutex_);
    stopWorkers_.store(true);
  }
  wake_.notify_all();
  if (detectionThread_.joinable()) detectionThread_.join();
  for (QTimer* t : {timer1_, timer2_, timer3_, timer4_, timer5_, requestTimer_})
    if (t) t->stop();
}

std::uint8_t MainWindow::deliverPendingRequest() {
  if (closed_ || detectionRunning_.load() || operationRunning()) return 0;
  if ((console_->monitoring.pendingRequests.load() & kRequestMask) == 0) return 0;
  OperationScope scope(*this);
  return RunPendingRequest(*console_, *this);
}

// ---------------------------------------------------------------------------------------------
// ConsoleUi

void MainWindow::showStatusText(int panel, const std::string& text) {
  if (onGuiThread()) {
    showStatusTextNow(panel, qs(text));
    return;
  }
  // From the detection worker: the label is written on the user-interface thread.
  QMetaObject::invokeMethod(this, [this, panel, t = qs(text)] { showStatusTextNow(panel, t); }, Qt::QueuedConnection);
}

void MainWindow::showStatusTextNow(int panel, const QString& text) {
  if (panel < 0 || panel >= kStatusPanelCount) return;
  statusPanels_[static_cast<std::size_t>(panel)]->setText(text);
}

MessageAnswer MainWindow::showMessage(const MessageBoxRequest& request) {
  const MessageAnswer fallback = request.buttons == MessageButtons::Ok ? MessageAnswer::Ok : MessageAnswer::No;
  if (onGuiThread()) return showMessageNow(request);
  // From the detection worker, which holds the device lock that window handlers may be waiting
  // for: a box with only OK is shown on the user-interface thread without waiting for it.
  if (request.buttons == MessageButtons::Ok) {
    QMetaObject::invokeMethod(
        this, [this, request] { if (!stopWorkers_.load()) showMessageNow(request); }, Qt::QueuedConnection);
    return MessageAnswer::Ok;
  }
  // A question waits for its answer; a worker told to stop gives up waiting and takes No.
  auto answer = std::make_shared<std::promise<MessageAnswer>>();
  std::future<MessageAnswer> result = answer->get_future();
  QMetaObject::invokeMethod(
      this,
      [this, request, answer, fallback] {
        answer->set_value(stopWorkers_.load() ? fallback : showMessageNow(request));
      },
      Qt::QueuedConnection);
  while (result.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
    if (stopWorkers_.load()) return fallback;
  return result.get();
}

MessageAnswer MainWindow::showMessageNow(const MessageBoxRequest& request) {
  if (messageHandler_) return messageHandler_(request);
  QMessageBox box(iconOf(request.icon), qs(request.caption.value_or(kSystemDefaultErrorCaption)), qs(request.text),
                  request.buttons == MessageButtons::YesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok,
                  request.kind == MessageBoxKind::Application ? this : nullptr);
  const int answer = box.exec();
  if (request.buttons == MessageButtons::Ok) return MessageAnswer::Ok;
  return answer == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
}

void MainWindow::processPendingEvents() {
  // Only the user-interface thread has window events to run. Pending controller requests stay
  // queued: an operation under way holds the scope that deliverPendingRequest respects.
  if (!onGuiThread()) return;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// ---------------------------------------------------------------------------------------------
// Device changes, detection and the device pages

void MainWindow::WMDeviceChange() { deviceChangeCountdown_ = kDeviceChangeStart; }

void MainWindow::Timer4Timer() {
  Console& c = *console_;
  if (deviceChangeCountdown_ != 0) {
    if (deviceChangeCountdown_ < kDeviceChangeRecount) {
      ++deviceChangeCountdown_;
      return;
    }
    // The recount must not overlap a detection run on the worker; try again at the next tick.
    std::unique_lock lock(c.deviceMutex, std::try_to_lock);
    if (!lock.owns_lock()) return;
    deviceChangeCountdown_ = 0;
    int letters = 0;
    int drives = 0;
    {
      OperationScope scope(*this);
      letters = ScanLogicalDrives(c);
      drives = CountPhysicalDrives(c);
    }
    if (letters == c.device.driveLetterCount && drives == c.device.physicalDriveCount) return;
    c.device.driveLetterCount = letters;
    c.device.physicalDriveCount = drives;
    detectionRunning_.store(true);
    detectRequested_.store(true);
    wake_.notify_all();
    return;
  }
  if (detectionDone_.load()) {
    RebuildDevicePages();
    return;
  }
  if (detectionRunning_.load() && staticText1_->text() == "Drive detecting") {
    blinkVisible_ = !blinkVisible_;
    staticText1_->setVisible(blinkVisible_);
  }
}

void MainWindow::BuildDeviceLabel() {
  const DeviceState& d = console_->device;
  const int current = console_->protocol.currentController;
  const int p = current + 1;
  const int drive = current >= 0 && current < kControllerSlots
                        ? static_cast<int>(d.controllerList[static_cast<std::size_t>(current)] & kFlagDriveMask)
                        : 0;
  deviceLabel_ = std::to_string(p) + "/" + std::to_string(d.controllerCount) + " Device" + std::to_string(p) + "[" +
                 VolumesOfPhysicalDrive(d, drive, ",") + "]";
}

void MainWindow::RebuildDevicePages() {
  Console& c = *console_;
  // A further detection run may have started on the worker; read its results whole.
  std::lock_guard lock(c.deviceMutex);
  detectionDone_.store(false);
  const int count = std::min(c.device.controllerCount, kControllerSlots);
  const int previousPage = c.controls.activePage;
  {
    const QSignalBlocker block(upDown1_);
    upDown1_->setMaximum(std::max(count - 1, 0));
  }
  c.monitoring.deviceSelector = upDown1_->value();
  // The last refresh leaves CurrentController at the last page it read, which may be gone now:
  // the label and the upgrade buttons speak of the selected controller, which always exists.
  c.protocol.currentController = c.monitoring.deviceSelector;
  upDown1_->setVisible(false);
  {
    // All tabs go at once; the page on display is chosen again below.
    const QSignalBlocker block(pageControl1_);
    for (int i = 0; i < kDevicePages; ++i) pageControl1_->setTabVisible(i, false);
    c.controls.activePage = -1;
  }

  auto driveOf = [&](int slot) { return static_cast<int>(c.device.controllerList[static_cast<std::size_t>(slot)] & kFlagDriveMask); };
  if (count > 0) {
    deviceBoxes_[0]->setVisible(true);
    deviceBoxes_[0]->setToolTip(QString("HD%1").arg(driveOf(0)));
    pageControl1_->setTabText(0, "Device1");
    setTabVisible(0, true);
    BuildDeviceLabel();
    const int current = c.protocol.currentController;
    const bool recognised = current >= 0 && current < kControllerSlots &&
                            (c.device.controllerList[static_cast<std::size_t>(current)] & kFlagPathMask) != 0;
    if (recognised && !c.monitoring.monitoringRunning()) {
      for (QWidget* w : std::initializer_list<QWidget*>{button8_, checkBox2_, bitBtn1_, button10_, button2_})
        w->setEnabled(true);
      button1_->setVisible(true);
    } else {
      for (QWidget* w : std::initializer_list<QWidget*>{button8_, bitBtn1_, button10_, button2_}) w->setEnabled(false);
    }
  } else {
    deviceBoxes_[0]->setVisible(false);
    for (QWidget* w : std::initializer_list<QWidget*>{button10_, button8_, bitBtn1_, button2_}) w->setEnabled(false);
    deviceLabel_ = "No Drive found! ";
    timer3_->stop();
    staticText4_->setVisible(true);
    upDown1_->setVisible(false);
  }
  staticText1_->setText(qs(deviceLabel_));
  staticText1_->setVisible(true);
  for (int n = 2; n <= kDevicePages; ++n) {
    QCheckBox* box = deviceBoxes_[static_cast<std::size_t>(n - 1)];
    if (count >= n) {
      box->setVisible(true);
      box->setToolTip(QString("HD%1").arg(driveOf(n - 1)));
      pageControl1_->setTabText(n - 1, QString("Device%1").arg(n));
      setTabVisible(n - 1, true);
      if (n == 2) upDown1_->setVisible(true);
    } else {
      box->setVisible(false);
    }
  }
  // The page on display before the rebuild stays on display when it still exists.
  if (previousPage >= 0 && previousPage < std::min(count, kDevicePages) && previousPage != c.controls.activePage) {
    const QSignalBlocker block(pageControl1_);
    pageControl1_->setCurrentIndex(previousPage);
    c.controls.activePage = previousPage;
  }
  if (count > 0) {
    if (auto identity = ShowDeviceIdentity(c, activePage())) showDeviceIdentity(*identity);
    c.monitoring.pendingRequests.fetch_or(kRequestRefresh);
  }
}

void MainWindow::UpdateArrayControls() {
  Console& c = *console_;
  const std::optional<int> page = activePage();
  bool enable6 = false;
  bool enable7 = false;
  if (c.monitor.firstPass || c.device.controllerCount == 0) {
    // nothing is known yet
  } else if (c.controls.pageChangeGuard) {
    enable7 = true;
  } else if (page && c.controls.settingBusy[static_cast<std::size_t>(*page)] == 0) {
    enable6 = enable7 = true;
  }
  checkBox6_->setEnabled(enable6);
  checkBox7_->setEnabled(enable7);
  button3_->setEnabled(enable6);
  button4_->setEnabled(enable6);
  c.controls.settingBoxesEnabled = enable6;
  for (auto& busy : c.controls.settingBusy)
    if (busy != 0) --busy;
}

// ---------------------------------------------------------------------------------------------
// Time lines and progress

void MainWindow::Timer3Timer() {
  elapsedNow_ = windowClock_->now();
  const std::int64_t e = std::max<std::int64_t>(0, elapsedNow_.toEpochSeconds() - guiStartTime_.toEpochSeconds());
  char hms[16];
  std::snprintf(hms, sizeof hms, "-%02d:%02d:%02d", static_cast<int>(e % 86400 / 3600),
                static_cast<int>(e % 3600 / 60), static_cast<int>(e % 60));
  staticText3_->setText(QString("Time Elapsed %1%2").arg(e / 86400).arg(hms));
  staticText4_->setText(qs("Drive removed at: " + formatTimeStamp(elapsedNow_, console_->eventLog.timeFormat)));
}

void MainWindow::Timer1Timer() { setProgressPosition(console_->protocol.progressCount); }

// ---------------------------------------------------------------------------------------------
// Page control, selector and array controls

std::optional<int> MainWindow::activePage() const {
  const int page = console_->controls.activePage;
  if (page < 0 || page >= kDevicePages) return std::nullopt;
  return page;
}

void MainWindow::PageControl1Change(int index) {
  Console& c = *console_;
  c.controls.activePage = index >= 0 && index < kDevicePages && pageControl1_->isTabVisible(index) ? index : -1;
  std::lock_guard lock(c.deviceMutex);
  if (auto identity = ShowDeviceIdentity(c, activePage())) showDeviceIdentity(*identity);
  c.controls.pageChangeGuard = true;
  checkBox7_->setEnabled(true);
  if (auto update = PresentStatus(c, activePage(), true)) presentPanel(*update);
  c.controls.pageChangeGuard = false;
}

void MainWindow::UpDown1Click(int position) {
  Console& c = *console_;
  std::lock_guard lock(c.deviceMutex);
  c.monitoring.deviceSelector = position;
  c.protocol.currentController = position;
  BuildDeviceLabel();
  staticText1_->setText(qs(deviceLabel_));
  const bool recognised = position >= 0 && position < kControllerSlots &&
                          (c.device.controllerList[static_cast<std::size_t>(position)] & kFlagPathMask) != 0;
  for (QWidget* w : std::initializer_list<QWidget*>{button8_, bitBtn1_, button2_}) w->setEnabled(recognised);
}

void MainWindow::DeviceBoxClick(int page, bool checked) {
  if (page < 0 || page >= kDevicePages) return;
  std::lock_guard lock(console_->deviceMutex);
  console_->monitoring.deviceChecked[static_cast<std::size_t>(page)] = checked;
  DeviceCheckBoxClick(*console_, *this, page);
}

void MainWindow::CheckBox6Click(bool) {
  if (!console_->controls.pageChangeGuard) console_->monitoring.pendingRequests.fetch_or(kRequestSettings);
}

void MainWindow::CheckBox7Click(bool) {
  if (!console_->controls.pageChangeGuard) console_->monitoring.pendingRequests.fetch_or(kRequestSettings);
}

void MainWindow::ScanButtonClick(int port) {
  Console& c = *console_;
  const std::optional<int> page = activePage();
  if (!page || operationRunning()) return;
  QPushButton* button = port == 0 ? button3_ : button4_;
  const std::string portName = port == 0 ? "P0" : "P1";
  if (c.eventLog.pages[static_cast<std::size_t>(*page)].scanRunning) {
    const char* question =
        port == 0 ? "Do You Want to terminate the scan process?" : "Do You want to terminate the scan process?";
    if (showMessage(applicationBox(question, "Message", MessageIcon::None, MessageButtons::YesNo)) !=
        MessageAnswer::Yes)
      return;
    button->setText(qs("Start " + portName + " Scan"));
    c.controls.scanStart = 0;
  } else {
    button->setText(qs("Stop " + portName + " Scan"));
    c.controls.scanStart = 1;
  }
  c.controls.scanPort = static_cast<std::uint8_t>(port);
  c.controls.scanFirstLba = 0;
  c.protocol.currentRecordPage = *page;
  c.controls.scanLastLba =
      scanLastLbaFor(StatusRecordView(c.protocol.statusRecords[static_cast<std::size_t>(*page)]).arrayCapacity());
  c.monitoring.pendingRequests.fetch_or(kRequestScan);
}

void MainWindow::Button1Click() {
  // The modal viewer would stall an operation that lets window events run; it waits for its end.
  if (viewerOpen_ || operationRunning()) return;
  viewerOpen_ = true;
  {
    ui::EventLogViewer viewer(console_->eventLog.buffer, [this] { return console_->monitoring.monitoringRunning(); },
                              this);
    viewer.exec();
  }
  viewerOpen_ = false;
}

void MainWindow::Button10Click() { tervalo::Button10Click(*console_, *this); }
void MainWindow::Button11Click() { tervalo::Button11Click(*console_, *this); }

// ---------------------------------------------------------------------------------------------
// Firmware

void MainWindow::BitBtn1Click() {
  Console& c = *console_;
  if (operationLocked(c)) return;
  OperationScope scope(*this);
  takeOperationLock(c);
  const QString path =
      firmwareChooser_ ? firmwareChooser_()
                       : QFileDialog::getOpenFileName(this, "Open", QString(), "Binary code (*.bin);;All files (*.*)");
  if (!path.isEmpty()) {
    // Its status texts must not interleave with those of a detection run on the worker.
    std::lock_guard lock(c.deviceMutex);
    LoadFirmwareFile(c, path.toStdString());
  }
  releaseOperationLock(c);
}

void MainWindow::Button2Click() {
  Console& c = *console_;
  if (operationLocked(c)) return;
  OperationScope scope(*this);
  UpgradeOptions options;
  options.selectorPosition = upDown1_->value();
  // Detection stays out until the upgrade has returned (events that run meanwhile are on this
  // thread and may take the lock again).
  std::lock_guard lock(c.deviceMutex);
  StartUpgrade(c, *this, options);
}

// ---------------------------------------------------------------------------------------------
// MonitorView

void MainWindow::setTabVisible(int page, bool visible) {
  if (page < 0 || page >= kDevicePages) return;
  int& active = console_->controls.activePage;
  const QSignalBlocker block(pageControl1_);
  pageControl1_->setTabVisible(page, visible);
  if (visible && active < 0) {
    pageControl1_->setCurrentIndex(page);
    active = page;
  } else if (!visible && active == page) {
    // The page control moves to the next visible tab, as a hidden tab cannot stay on display.
    active = -1;
    for (int k = 1; k < kDevicePages && active < 0; ++k) {
      const int candidate = (page + k) % kDevicePages;
      if (pageControl1_->isTabVisible(candidate)) active = candidate;
    }
    if (active >= 0) {
      pageControl1_->setCurrentIndex(active);
      if (auto identity = ShowDeviceIdentity(*console_, active)) showDeviceIdentity(*identity);
    }
  }
}

void MainWindow::setDeviceBoxChecked(int page, bool checked) {
  if (page < 0 || page >= kDevicePages) return;
  const QSignalBlocker block(deviceBoxes_[static_cast<std::size_t>(page)]);
  deviceBoxes_[static_cast<std::size_t>(page)]->setChecked(checked);
}

void MainWindow::setControlEnabled(MonitorControl control, bool enabled) {
  switch (control) {
    case MonitorControl::Start: button10_->setEnabled(enabled); break;
    case MonitorControl::Stop: button11_->setEnabled(enabled); break;
    case MonitorControl::LoadFirmware: bitBtn1_->setEnabled(enabled); break;
    case MonitorControl::StartUpgrade: button2_->setEnabled(enabled); break;
    case MonitorControl::Upgrade: button8_->setEnabled(enabled); break;
    case MonitorControl::DeviceSelector: upDown1_->setEnabled(enabled); break;
    case MonitorControl::Offset49152: checkBox2_->setEnabled(enabled); break;
  }
}

void MainWindow::setMonitoringTimer(bool on) {
  if (on)
    timer2_->start();
  else
    timer2_->stop();
}

void MainWindow::showDeviceIdentity(const DeviceIdentity& identity) {
  checkBox7_->setVisible(identity.scanSupported);
  setWindowTitle(qs(identity.windowCaption));
}

void MainWindow::applyArrayBox(QCheckBox* box, bool checked, bool& field, void (MainWindow::*click)(bool)) {
  if (box->isChecked() == checked && field == checked) return;
  {
    const QSignalBlocker block(box);
    box->setChecked(checked);
  }
  field = checked;
  (this->*click)(checked);
}

void MainWindow::presentPanel(const MonitorPanelUpdate& u) {
  auto label = [](QLabel* l, const LabelChange& change) {
    if (change.text) l->setText(qs(*change.text));
    if (change.colour) setTextColour(l, colourOf(*change.colour));
    if (change.enabled) l->setEnabled(*change.enabled);
  };
  auto text = [](QLabel* l, const std::optional<std::string>& t) {
    if (t) l->setText(qs(*t));
  };
  auto button = [](QPushButton* b, const ButtonChange& change) {
    if (change.caption) b->setText(qs(*change.caption));
    if (change.visible) b->setVisible(*change.visible);
  };
  text(staticText5_, u.staticText5);
  label(label19_, u.label19);
  label(label25_, u.label25);
  label(label24_, u.label24);
  label(label26_, u.label26);
  text(label18_, u.label18);
  text(label21_, u.label21);
  text(label15_, u.label15);
  text(label17_, u.label17);
  text(label27_, u.label27);
  text(staticText6_, u.staticText6);
  text(staticText7_, u.staticText7);
  button(button3_, u.button3);
  button(button4_, u.button4);
  if (u.logVisible) button1_->setVisible(*u.logVisible);
  // Changing a box here runs its click handling, as an operator's click does.
  if (u.buzzerMuteChecked)
    applyArrayBox(checkBox6_, *u.buzzerMuteChecked, console_->controls.buzzerMuteChecked, &MainWindow::CheckBox6Click);
  if (u.autoScanChecked)
    applyArrayBox(checkBox7_, *u.autoScanChecked, console_->controls.autoScanChecked, &MainWindow::CheckBox7Click);
}

// ---------------------------------------------------------------------------------------------
// ProgressView

void MainWindow::setPanelCaption(const std::string& caption) { panel1Caption_->setText(qs(caption)); }
void MainWindow::setPanelVisible(bool visible) { panel1_->setVisible(visible); }
void MainWindow::setStepLabel(const std::string& text) { label12_->setText(qs(text)); }
void MainWindow::setProgressMaximum(std::uint32_t maximum) {
  progressBar1_->setMaximum(static_cast<int>(std::min<std::uint32_t>(maximum, INT32_MAX)));
}
void MainWindow::setProgressPosition(std::uint32_t position) {
  progressBar1_->setValue(static_cast<int>(std::min<std::uint32_t>(position, static_cast<std::uint32_t>(progressBar1_->maximum()))));
}
void MainWindow::setProgressTickEnabled(bool enabled) {
  if (enabled)
    timer1_->start();
  else
    timer1_->stop();
}

// ---------------------------------------------------------------------------------------------
// Close

void MainWindow::closeEvent(QCloseEvent* event) {
  if (operationRunning()) {
    // A firmware operation lets window events run: its image must stay valid until it returns.
    closePending_ = true;
    event->ignore();
    return;
  }
  Console& c = *console_;
  if (c.firmware.loadedImage.loaded()) c.firmware.loadedImage.release();
  timer3_->stop();
  c.monitoring.pendingRequests.fetch_and(static_cast<std::uint8_t>(~kMonitoringRunning));
  closed_ = true;
  stopWorkers();
  event->accept();
}

}  // namespace tervalo::app
