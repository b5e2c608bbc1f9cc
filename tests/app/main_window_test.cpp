#include "app/main_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>

namespace tervalo::app {
namespace {

TEST(MainWindowSmoke, OpensWithTheProgramTitleAndCloses) {
  int argc = 1;
  char name[] = "tervalo";
  char* argv[] = {name, nullptr};
  QApplication qapp(argc, argv);
  MainWindow window;
  window.show();
  EXPECT_EQ(window.windowTitle().toStdString(), "Tervalo v0.22");
  EXPECT_TRUE(window.isVisible());
  QTimer::singleShot(0, &window, &QWidget::close);
  EXPECT_EQ(QApplication::exec(), 0);
  EXPECT_FALSE(window.isVisible());
}

}  // namespace
}  // namespace tervalo::app
