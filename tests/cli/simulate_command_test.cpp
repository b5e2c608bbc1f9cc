// tervaloctl simulate: argument errors are reported before anything is served.
#include <gtest/gtest.h>

#include "support/cli_run.h"

namespace tervalo::cli {
namespace {

TEST(SimulateCommand, RefusesWhatItCannotServe) {
  struct Case {
    std::vector<std::string> args;
    const char* error;
  };
  const Case cases[] = {
      {{"simulate"}, "Give either --usbip PORT or --stdio."},
      {{"simulate", "--usbip", "0", "/nonexistent/scenario.json"}, "Bad scenario: "},
      {{"simulate", "--usbip", "0", "--drive", "7"}, "The scenario has no drive 7."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    const auto r = testing::runCli(c.args);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  // --usbip and --stdio exclude each other at parse time.
  EXPECT_NE(testing::runCli({"simulate", "--usbip", "0", "--stdio"}).code, 0);
}

}  // namespace
}  // namespace tervalo::cli
