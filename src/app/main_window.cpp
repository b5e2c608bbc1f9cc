#include "app/main_window.h"

#include <QFont>
#include <QLabel>
#include <QStatusBar>

namespace tervalo::app {

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
  setWindowTitle(kProgramTitle);
  setFont(QFont("Arial", 10));
  setFixedSize(623, 505);
  auto* label = new QLabel(tr("Drive detecting"), this);
  label->setAlignment(Qt::AlignCenter);
  setCentralWidget(label);
  statusBar()->showMessage(QString());
}

}  // namespace tervalo::app
