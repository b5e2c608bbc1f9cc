#pragma once
// Notices USB devices arriving and leaving: a libudev monitor on the "usb" subsystem, read
// through a QSocketNotifier on the user-interface thread.
#include <QObject>

struct udev;
struct udev_monitor;
class QSocketNotifier;

namespace tervalo::app {

class DeviceChangeMonitor : public QObject {
  Q_OBJECT
 public:
  explicit DeviceChangeMonitor(QObject* parent = nullptr);
  ~DeviceChangeMonitor() override;
  // Whether the monitor is listening; false when udev could not be reached (no notifications).
  bool active() const { return notifier_ != nullptr; }

 signals:
  void deviceChanged();

 private:
  void readEvents();

  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace tervalo::app
