#include "app/main_window.h"

#include "app_fixture.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>

#include "sim/scenario.h"
#include "sim/simulated_host.h"

namespace tervalo::app {
namespace {

TEST(MainWindowSmoke, OpensWithTheProgramTitleAndCloses) {
  testing::testApplication();
  ManualClock clock(LocalDateTime{2024, 5, 6, 9, 0, 0});
  WindowOptions options;
  options.windowClock = &clock;
  MainWindow window(std::make_unique<sim::SimulatedHost>(sim::builtinDemoScenario()),
                    std::make_unique<ManualClock>(LocalDateTime{2024, 5, 6, 9, 0, 0}), options);
  window.show();
  EXPECT_EQ(window.windowTitle().toStdString(), "Tervalo v0.22");
  EXPECT_TRUE(window.isVisible());
  QTimer::singleShot(0, &window, &QWidget::close);
  EXPECT_EQ(QApplication::exec(), 0);
  EXPECT_FALSE(window.isVisible());
}

}  // namespace
}  // namespace tervalo::app
