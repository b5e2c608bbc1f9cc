#pragma once
// A ConsoleUi that shows nothing: benchmarks and operations that run without a person. Boxes are
// answered OK (No for questions); panel texts are still kept.
#include "core/console_ui.h"

namespace tervalo {

class QuietUi final : public ConsoleUi {
 public:
  MessageAnswer showMessage(const MessageBoxRequest& request) override {
    return request.buttons == MessageButtons::Ok ? MessageAnswer::Ok : MessageAnswer::No;
  }
  void processPendingEvents() override {}

 protected:
  void showStatusText(int, const std::string&) override {}
};

}  // namespace tervalo
