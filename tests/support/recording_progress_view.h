#pragma once
// A ProgressView that keeps what the window would show and every caption it was given, in order.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "firmware/progress_view.h"

namespace tervalo::testing {

class RecordingProgressView : public ProgressView {
 public:
  void setPanelCaption(const std::string& text) override {
    caption = text;
    captions.push_back(text);
    if (onCaption) onCaption(text);
  }
  void setPanelVisible(bool visible) override {
    panelVisible = visible;
    if (visible) everShown = true;
  }
  void setStepLabel(const std::string& text) override { label = text; }
  void setProgressMaximum(std::uint32_t value) override {
    maximum = value;
    maxima.push_back(value);
  }
  void setProgressPosition(std::uint32_t value) override { position = value; }
  void setProgressTickEnabled(bool enabled) override {
    tickEnabled = enabled;
    if (enabled) everTicked = true;
  }

  std::string caption;
  std::vector<std::string> captions;
  bool panelVisible = false;
  bool everShown = false;
  std::string label;
  std::uint32_t maximum = 0;
  std::vector<std::uint32_t> maxima;
  std::uint32_t position = 0;
  bool tickEnabled = false;
  bool everTicked = false;
  // Runs on every caption change: a test can act between the steps of a run.
  std::function<void(const std::string&)> onCaption;
};

}  // namespace tervalo::testing
