#include <QApplication>

#include "app_fixture.h"

namespace tervalo::app::testing {

QApplication& testApplication() {
  static int argc = 1;
  static char name[] = "tervalo";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

}  // namespace tervalo::app::testing
