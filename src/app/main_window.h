#pragma once
#include <QMainWindow>

namespace tervalo::app {

inline constexpr const char* kProgramTitle = "Tervalo v0.22";

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainWindow(QWidget* parent = nullptr);
};

}  // namespace tervalo::app
