#pragma once
// The person at a terminal: status texts and message boxes go to stderr, questions are answered
// by --yes or at a prompt on stdin.
#include <iosfwd>
#include <string>
#include <vector>

#include "core/console_ui.h"

namespace tervalo::cli {

class CliUi final : public ConsoleUi {
 public:
  CliUi(std::ostream& err, std::istream& in, bool assumeYes) : err_(err), in_(in), assumeYes_(assumeYes) {}

  MessageAnswer showMessage(const MessageBoxRequest& request) override;
  void processPendingEvents() override {}

  void setQuiet(bool quiet) { quiet_ = quiet; }

 protected:
  void showStatusText(int panel, const std::string& text) override;

 private:
  std::ostream& err_;
  std::istream& in_;
  bool assumeYes_;
  bool quiet_ = false;
};

}  // namespace tervalo::cli
