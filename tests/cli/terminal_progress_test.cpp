#include "cli/terminal_progress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace tervalo {
namespace {

// The bar is redrawn from the step counter between flash steps; a full upgrade has 3,200 of
// them, and the terminal must not receive a line for each.
TEST(TerminalProgress, RedrawsOnlyWhenTheBarMovesAndEndsItsLine) {
  std::ostringstream out;
  std::uint32_t count = 0;
  cli::TerminalProgressView view(out, count);
  view.setProgressMaximum(2206);
  view.setPanelCaption("Process 1 / 3");
  view.tick();  // hidden: nothing drawn
  EXPECT_EQ(view.redraws(), 0);
  view.setPanelVisible(true);
  view.setProgressTickEnabled(true);
  const int shown = view.redraws();
  for (int step = 0; step < 2176; ++step) {
    view.tick();
    view.tick();  // no step in between: no redraw
    ++count;
  }
  view.tick();
  EXPECT_GT(view.redraws() - shown, 900);
  EXPECT_LE(view.redraws() - shown, 1001);
  const std::string text = out.str();
  EXPECT_NE(text.find("(2176/2206)"), std::string::npos);
  EXPECT_NE(text.find("98%"), std::string::npos);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 0);

  view.breakLine();
  view.breakLine();  // once only
  view.setPanelVisible(false);
  const std::string ended = out.str();
  EXPECT_EQ(std::count(ended.begin(), ended.end(), '\n'), 1);
}

}  // namespace
}  // namespace tervalo
