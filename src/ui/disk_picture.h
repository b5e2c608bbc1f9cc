#pragma once
// The fixed picture of one disk (P0 or P1) in the monitor panel.
#include <QWidget>

namespace tervalo::ui {

class DiskPicture : public QWidget {
  Q_OBJECT
 public:
  explicit DiskPicture(QWidget* parent = nullptr);
  QSize sizeHint() const override { return {96, 72}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace tervalo::ui
