#include "support/recording_ui.h"

namespace tervalo::testing {

void RecordingUi::showStatusText(int panel, const std::string& text) { statusWrites.push_back({panel, text}); }

MessageAnswer RecordingUi::showMessage(const MessageBoxRequest& request) {
  messages.push_back(request);
  if (request.buttons == MessageButtons::Ok) return MessageAnswer::Ok;
  if (answers.empty()) return MessageAnswer::No;
  const MessageAnswer a = answers.front();
  answers.pop_front();
  return a;
}

void RecordingUi::processPendingEvents() {
  ++pendingEventCalls;
  if (onPendingEvents) onPendingEvents();
}

std::string RecordingUi::panel(int index) const {
  for (auto it = statusWrites.rbegin(); it != statusWrites.rend(); ++it)
    if (it->panel == index) return it->text;
  return {};
}

std::vector<std::string> RecordingUi::messageTexts() const {
  std::vector<std::string> out;
  for (const auto& m : messages) out.push_back(m.text);
  return out;
}

}  // namespace tervalo::testing
