#pragma once
// The progress panel of the flash operations drawn as one line on a terminal: the panel's
// caption, a bar and the step count. It redraws from the console's step counter whenever the
// terminal's UI lets pending events run, but only when the bar visibly moves.
#include <cstdint>
#include <iosfwd>
#include <string>

#include "firmware/progress_view.h"

namespace tervalo::cli {

class TerminalProgressView final : public ProgressView {
 public:
  // `count` is the step counter the flash operations advance (Console::protocol.progressCount).
  TerminalProgressView(std::ostream& out, const std::uint32_t& count, int width = 40)
      : out_(out), count_(count), width_(width) {}

  void setPanelCaption(const std::string& caption) override;
  void setPanelVisible(bool visible) override;
  void setStepLabel(const std::string& text) override { label_ = text; }
  void setProgressMaximum(std::uint32_t maximum) override;
  void setProgressPosition(std::uint32_t position) override;
  void setProgressTickEnabled(bool enabled) override { ticking_ = enabled; }

  // Called between flash steps: redraws from the step counter when the bar would change.
  void tick();
  // Ends the line the bar is drawn on, so that other text starts on a fresh line.
  void breakLine();

  int redraws() const { return redraws_; }

 private:
  void draw(std::uint32_t position);
  std::uint64_t cellsOf(std::uint32_t position) const;

  std::ostream& out_;
  const std::uint32_t& count_;
  int width_;
  std::string caption_;
  std::string label_;
  std::uint32_t maximum_ = 0;
  std::uint32_t drawnPosition_ = 0;
  std::uint64_t drawnPermille_ = ~std::uint64_t{0};
  bool visible_ = false;
  bool ticking_ = false;
  bool lineOpen_ = false;
  int redraws_ = 0;
};

}  // namespace tervalo::cli
