#pragma once
// What core operations tell the person. The main window implements it, tervaloctl writes to
// stderr and answers prompts from --yes, tests record every call.
#include <array>
#include <optional>
#include <string>

namespace tervalo {

// Status-bar panels of the main window; the fifth panel carries failure texts.
inline constexpr int kStatusPanelCount = 5;
inline constexpr int kErrorPanel = 4;

enum class MessageIcon { None, Error, Warning, Information, Exclamation };
enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

// Who owns the box: the application's own message box, or a plain system box without owner.
enum class MessageBoxKind { Application, System };

struct MessageBoxRequest {
  std::string text;
  // std::nullopt: the system's default error caption.
  std::optional<std::string> caption;
  MessageIcon icon = MessageIcon::None;
  MessageButtons buttons = MessageButtons::Ok;
  MessageBoxKind kind = MessageBoxKind::System;

  bool operator==(const MessageBoxRequest&) const = default;
};

// The caption the system shows when a box has none of its own.
inline constexpr const char* kSystemDefaultErrorCaption = "Error";

class ConsoleUi {
 public:
  virtual ~ConsoleUi() = default;
  // Writes one status-bar panel; the text stays until the next text for that panel.
  void setStatusText(int panel, const std::string& text) {
    if (panel < 0 || panel >= kStatusPanelCount) return;
    panels_[static_cast<std::size_t>(panel)] = text;
    showStatusText(panel, text);
  }
  // The text a panel shows now ("" when none was written).
  const std::string& statusText(int panel) const {
    static const std::string none;
    return panel < 0 || panel >= kStatusPanelCount ? none : panels_[static_cast<std::size_t>(panel)];
  }
  virtual MessageAnswer showMessage(const MessageBoxRequest& request) = 0;
  // Lets pending window events run between the steps of a long operation.
  virtual void processPendingEvents() = 0;

 protected:
  virtual void showStatusText(int panel, const std::string& text) = 0;

 private:
  std::array<std::string, kStatusPanelCount> panels_{};
};

// Helpers for the boxes the protocol and device layers show again and again.
inline MessageBoxRequest applicationBox(std::string text, std::string caption,
                                        MessageIcon icon = MessageIcon::None,
                                        MessageButtons buttons = MessageButtons::Ok) {
  return {std::move(text), std::move(caption), icon, buttons, MessageBoxKind::Application};
}

inline MessageBoxRequest systemBox(std::string text, std::optional<std::string> caption = std::nullopt,
                                   MessageIcon icon = MessageIcon::None) {
  return {std::move(text), std::move(caption), icon, MessageButtons::Ok, MessageBoxKind::System};
}

}  // namespace tervalo
