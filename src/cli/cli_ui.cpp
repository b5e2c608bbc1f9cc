#include "cli/cli_ui.h"

#include <istream>
#include <ostream>

namespace tervalo::cli {

void CliUi::showStatusText(int panel, const std::string& text) {
  // Only the failure panel speaks to the person; the others carry figures the commands print.
  if (panel != kErrorPanel || quiet_ || text.empty()) return;
  if (beforeTextHook_) beforeTextHook_();
  err_ << text << '\n';
}

MessageAnswer CliUi::showMessage(const MessageBoxRequest& request) {
  if (beforeTextHook_) beforeTextHook_();
  const std::string caption = request.caption.value_or(kSystemDefaultErrorCaption);
  if (request.buttons == MessageButtons::Ok) {
    err_ << (caption.empty() ? std::string() : caption + ": ") << request.text << '\n';
    return MessageAnswer::Ok;
  }
  err_ << (caption.empty() ? std::string() : caption + ": ") << request.text;
  if (assumeYes_) {
    err_ << " [y/N] y (--yes)\n";
    return MessageAnswer::Yes;
  }
  err_ << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(in_, answer)) {
    err_ << "\n";
    return MessageAnswer::No;
  }
  return (answer == "y" || answer == "Y" || answer == "yes" || answer == "YES") ? MessageAnswer::Yes : MessageAnswer::No;
}

}  // namespace tervalo::cli
