#pragma once
// The person at a terminal: status texts and message boxes go to stderr, questions are answered
// by --yes or at a prompt on stdin.
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "core/console_ui.h"

namespace tervalo::cli {

class CliUi final : public ConsoleUi {
 public:
  CliUi(std::ostream& err, std::istream& in, bool assumeYes) : err_(err), in_(in), assumeYes_(assumeYes) {}

  MessageAnswer showMessage(const MessageBoxRequest& request) override;
  void processPendingEvents() override {
    if (pendingEventsHook_) pendingEventsHook_();
  }

  void setQuiet(bool quiet) { quiet_ = quiet; }
  // Runs between the steps of a long operation (a progress bar redraws there).
  void setPendingEventsHook(std::function<void()> hook) { pendingEventsHook_ = std::move(hook); }
  // Runs before any text is written, so that a progress line drawn in place can end first.
  void setBeforeTextHook(std::function<void()> hook) { beforeTextHook_ = std::move(hook); }

 protected:
  void showStatusText(int panel, const std::string& text) override;

 private:
  std::ostream& err_;
  std::istream& in_;
  bool assumeYes_;
  bool quiet_ = false;
  std::function<void()> pendingEventsHook_;
  std::function<void()> beforeTextHook_;
};

}  // namespace tervalo::cli
