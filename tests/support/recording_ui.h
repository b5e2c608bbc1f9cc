#pragma once
// A ConsoleUi that records every call, so tests assert exact texts, captions and order.
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "core/console_ui.h"

namespace tervalo::testing {

class RecordingUi : public ConsoleUi {
 public:
  struct StatusWrite {
    int panel;
    std::string text;
  };

  MessageAnswer showMessage(const MessageBoxRequest& request) override;
  void processPendingEvents() override;

  // The last text of a panel ("" when never written).
  std::string panel(int index) const;
  std::vector<std::string> messageTexts() const;

  std::vector<StatusWrite> statusWrites;
  std::vector<MessageBoxRequest> messages;
  int pendingEventCalls = 0;
  // Answers given to Yes/No boxes in order; No when the queue is empty.
  std::deque<MessageAnswer> answers;
  // Runs inside processPendingEvents: a test can make window events happen between steps.
  std::function<void()> onPendingEvents;

 protected:
  void showStatusText(int panel, const std::string& text) override;
};

}  // namespace tervalo::testing
