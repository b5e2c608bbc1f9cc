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

  void setStatusText(int panel, const std::string& text) override;
  MessageAnswer showMessage(const MessageBoxRequest& request) override;
  void processPendingEvents() override {}

  // The last text written to each status panel.
  const std::string& statusText(int panel) const { return panels_.at(static_cast<std::size_t>(panel)); }
  void setQuiet(bool quiet) { quiet_ = quiet; }

 private:
  std::ostream& err_;
  std::istream& in_;
  bool assumeYes_;
  bool quiet_ = false;
  std::vector<std::string> panels_ = std::vector<std::string>(kStatusPanelCount);
};

}  // namespace tervalo::cli
