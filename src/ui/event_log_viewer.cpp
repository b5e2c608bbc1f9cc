#include "ui/event_log_viewer.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <filesystem>

#include "eventlog/log_file.h"

namespace tervalo::ui {

namespace {

QString lineText(const std::string& line) { return QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size())); }

}  // namespace

EventLogViewer::EventLogViewer(const LogBuffer& buffer, std::function<bool()> monitoringActive, QWidget* parent)
    : QDialog(parent), buffer_(buffer), monitoringActive_(std::move(monitoringActive)) {
  setObjectName("TForm5");
  setWindowTitle("Event Log");
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(465, 273);

  memo_ = new QPlainTextEdit(this);
  memo_->setObjectName("Memo1");
  memo_->setGeometry(0, 0, 465, 241);
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setBold(true);
  memo_->setFont(font);
  memo_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  memo_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memo_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  auto* realTime = new QPushButton("Real Time Log", this);
  realTime->setObjectName("Button1");
  realTime->setGeometry(64, 245, 140, 25);
  connect(realTime, &QPushButton::clicked, this, [this] { Button1Click(); });
  auto* viewFile = new QPushButton("View Log File", this);
  viewFile->setObjectName("Button2");
  viewFile->setGeometry(261, 245, 140, 25);
  connect(viewFile, &QPushButton::clicked, this, [this] { Button2Click(); });

  timer_ = new QTimer(this);
  timer_->setObjectName("Timer1");
  timer_->setInterval(1000);
  connect(timer_, &QTimer::timeout, this, [this] { Timer1Timer(); });

  // FormCreate.
  memo_->clear();
  shownLineCount_ = buffer_.lineCount();
}

void EventLogViewer::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  FormShow();
}

void EventLogViewer::applyLook(bool active) {
  setWindowTitle(active ? kRealTimeCaption : kPausedCaption);
  QPalette palette = memo_->palette();
  palette.setColor(QPalette::Text, active ? palette.color(QPalette::WindowText)
                                          : palette.color(QPalette::Disabled, QPalette::Text));
  memo_->setPalette(palette);
}

void EventLogViewer::appendLines(std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to && i < buffer_.lineCount(); ++i) memo_->appendPlainText(lineText(buffer_.line(i)));
}

void EventLogViewer::FormShow() {
  applyLook(monitoringActive_());
  memo_->clear();
  appendLines(0, shownLineCount_);
  timer_->start();
}

void EventLogViewer::Timer1Timer() {
  const std::size_t count = buffer_.lineCount();
  if (!monitoringActive_()) {
    applyLook(false);
    return;
  }
  applyLook(true);
  if (shownLineCount_ < count) {
    appendLines(shownLineCount_, count);
    shownLineCount_ = count;
  } else if (shownLineCount_ > count) {
    // The buffer was replaced or restarted (a new day): show it afresh.
    memo_->clear();
    appendLines(0, count);
    shownLineCount_ = count;
  }
}

void EventLogViewer::Button1Click() {
  timer_->stop();
  applyLook(monitoringActive_());
  shownLineCount_ = buffer_.lineCount();
  memo_->clear();
  appendLines(0, shownLineCount_);
  timer_->start();
}

void EventLogViewer::Button2Click() {
  timer_->stop();
  const QString path = chooser_ ? chooser_()
                                : QFileDialog::getOpenFileName(this, "Open", QString(), "Log File (*.log);;All File (*)");
  if (path.isEmpty()) return;  // cancelled: the window stays frozen as it is
  ViewFile(path);
}

bool EventLogViewer::ViewFile(const QString& path) {
  PosixLogFileIo io;
  std::error_code ec;
  const std::filesystem::path file = path.toStdString();
  std::optional<std::string> bytes;
  if (std::filesystem::is_regular_file(file, ec)) bytes = io.readAll(file);
  if (!bytes) {
    const QString text = QString("Cannot open file \"%1\".").arg(path);
    if (reporter_)
      reporter_(text);
    else
      QMessageBox::critical(this, "Error", text);
    return false;
  }
  memo_->clear();
  for (const std::string& line : splitLogText(*bytes)) memo_->appendPlainText(lineText(line));
  setWindowTitle("Event log - " + QFileInfo(path).fileName());
  return true;
}

}  // namespace tervalo::ui
