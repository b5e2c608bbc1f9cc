#pragma once
// The event log viewer: shows the day's log while the console monitors, following new lines once
// a second, or any log file the user picks. It never writes a file and never changes the buffer.
#include <QDialog>
#include <functional>

#include "eventlog/log_buffer.h"

class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace tervalo::ui {

inline constexpr const char* kRealTimeCaption = "Event log - Real Time";
inline constexpr const char* kPausedCaption = "Event log - Real Time( Paused )";

class EventLogViewer : public QDialog {
  Q_OBJECT
 public:
  // `monitoringActive` reads the monitoring bit of the pending requests.
  EventLogViewer(const LogBuffer& buffer, std::function<bool()> monitoringActive, QWidget* parent = nullptr);

  // FormShow: the look by the monitoring bit, the lines shown so far, the timer on.
  void FormShow();
  // One tick of the one-second timer.
  void Timer1Timer();
  // "Real Time Log".
  void Button1Click();
  // "View Log File": the open dialog, then ViewFile.
  void Button2Click();
  // Shows `path` (file view). False, with a message box, when it cannot be read: the window keeps
  // its content and caption.
  bool ViewFile(const QString& path);

  // For tests and the main window.
  QPlainTextEdit* memo() const { return memo_; }
  QTimer* timer() const { return timer_; }
  std::size_t shownLineCount() const { return shownLineCount_; }
  // Replaces the open dialog (tests): returns the chosen path, empty on cancel.
  void setFileChooser(std::function<QString()> chooser) { chooser_ = std::move(chooser); }
  // Replaces the error box (tests).
  void setErrorReporter(std::function<void(const QString&)> reporter) { reporter_ = std::move(reporter); }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void applyLook(bool active);
  void appendLines(std::size_t from, std::size_t to);

  const LogBuffer& buffer_;
  std::function<bool()> monitoringActive_;
  std::function<QString()> chooser_;
  std::function<void(const QString&)> reporter_;
  QPlainTextEdit* memo_;
  QTimer* timer_;
  std::size_t shownLineCount_ = 0;
};

}  // namespace tervalo::ui
