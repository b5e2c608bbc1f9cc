#pragma once
// A window over a simulated host with a manual clock: no timers, no detection worker, no
// message boxes. Tests run the workers' steps and the timers' handlers themselves.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTabBar>
#include <QTimer>
#include <memory>
#include <vector>

#include "app/main_window.h"
#include "sim/scenario.h"
#include "sim/simulated_host.h"

namespace tervalo::app::testing {

// The one application object of the test program.
QApplication& testApplication();

inline const LocalDateTime kStart{2024, 5, 6, 9, 0, 0};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { testApplication(); }

  MainWindow& makeWindow(const sim::Scenario& scenario = sim::builtinDemoScenario(), bool startWorkers = false) {
    WindowOptions options;
    options.startWorkers = startWorkers;
    options.startTimers = false;
    options.windowClock = &windowClock;
    auto host = std::make_unique<sim::SimulatedHost>(scenario);
    simHost = host.get();
    window = std::make_unique<MainWindow>(std::move(host), std::make_unique<ManualClock>(kStart), options);
    window->setMessageBoxHandler([this](const MessageBoxRequest& request) {
      boxes.push_back(request);
      if (onBox) onBox(request);
      return request.buttons == MessageButtons::YesNo ? answer : MessageAnswer::Ok;
    });
    return *window;
  }

  // Detection on the calling thread, then the 500 ms tick that rebuilds the pages.
  void detectAndRebuild() {
    ASSERT_TRUE(window->runDetectionStep());
    window->Timer4Timer();
  }

  template <typename T>
  T* child(const char* name) {
    T* w = window->findChild<T*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  QLabel* label(const char* name) { return child<QLabel>(name); }
  QPushButton* button(const char* name) { return child<QPushButton>(name); }
  QCheckBox* checkBox(const char* name) { return child<QCheckBox>(name); }
  QTabBar* tabs() { return child<QTabBar>("PageControl1"); }
  QTimer* timer(const char* name) { return child<QTimer>(name); }
  // Hidden by the program itself (not merely because the window is not shown).
  bool hidden(QWidget* w) { return w->isHidden(); }

  ManualClock windowClock{kStart};
  sim::SimulatedHost* simHost = nullptr;
  std::unique_ptr<MainWindow> window;
  std::vector<MessageBoxRequest> boxes;
  std::function<void(const MessageBoxRequest&)> onBox;
  MessageAnswer answer = MessageAnswer::No;
};

}  // namespace tervalo::app::testing
