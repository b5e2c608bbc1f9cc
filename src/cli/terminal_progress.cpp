#include "cli/terminal_progress.h"

#include <algorithm>
#include <ostream>

namespace tervalo::cli {

void TerminalProgressView::setPanelCaption(const std::string& caption) {
  caption_ = caption;
  if (visible_) draw(drawnPosition_);
}

void TerminalProgressView::setPanelVisible(bool visible) {
  visible_ = visible;
  if (visible) {
    draw(drawnPosition_);
  } else {
    breakLine();
  }
}

void TerminalProgressView::setProgressMaximum(std::uint32_t maximum) {
  maximum_ = maximum;
  drawnPermille_ = ~std::uint64_t{0};
}

void TerminalProgressView::setProgressPosition(std::uint32_t position) {
  if (visible_) {
    draw(position);
  } else {
    drawnPosition_ = position;
  }
}

std::uint64_t TerminalProgressView::cellsOf(std::uint32_t position) const {
  // Tenths of a percent: fine enough to move, coarse enough to redraw about a thousand times
  // in a whole upgrade however many steps it has.
  if (maximum_ == 0) return 0;
  return std::uint64_t{std::min(position, maximum_)} * 1000 / maximum_;
}

void TerminalProgressView::tick() {
  if (!visible_ || !ticking_) return;
  const std::uint32_t position = count_;
  if (cellsOf(position) == drawnPermille_) return;
  draw(position);
}

void TerminalProgressView::draw(std::uint32_t position) {
  drawnPosition_ = position;
  drawnPermille_ = cellsOf(position);
  const auto filled = static_cast<int>(maximum_ ? std::uint64_t{std::min(position, maximum_)} * width_ / maximum_ : 0);
  const std::uint64_t percent = drawnPermille_ / 10;
  std::string line = "\r";
  if (!label_.empty()) line.append(label_).append(" ");
  line.append(caption_).append(" [");
  line.append(static_cast<std::size_t>(filled), '#');
  line.append(static_cast<std::size_t>(width_ - filled), '.');
  line += "] " + std::to_string(percent) + "% (" + std::to_string(position) + "/" + std::to_string(maximum_) + ")";
  // Blank out what a longer earlier line left behind.
  line += "   ";
  out_ << line << std::flush;
  lineOpen_ = true;
  ++redraws_;
}

void TerminalProgressView::breakLine() {
  if (!lineOpen_) return;
  out_ << '\n' << std::flush;
  lineOpen_ = false;
}

}  // namespace tervalo::cli
