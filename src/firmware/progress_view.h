#pragma once
// The progress display of the flash operations: the panel with its caption, the step label and
// the progress bar. The window's one-second progress tick copies ProgressCount into the bar
// while the tick is enabled.
#include <cstdint>
#include <string>

namespace tervalo {

class ProgressView {
 public:
  virtual ~ProgressView() = default;
  virtual void setPanelCaption(const std::string& caption) = 0;  // Panel1
  virtual void setPanelVisible(bool visible) = 0;
  virtual void setStepLabel(const std::string& text) = 0;  // Label12
  virtual void setProgressMaximum(std::uint32_t maximum) = 0;
  virtual void setProgressPosition(std::uint32_t position) = 0;
  virtual void setProgressTickEnabled(bool enabled) = 0;  // Timer1
};

}  // namespace tervalo
